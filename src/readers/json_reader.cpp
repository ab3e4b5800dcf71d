#include "readers/json_reader.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "logging/format.h"
#include "logging/memory.h"
#include "readers/tree_builder.h"

namespace kiv::codecs {

using binding::Value;
using binding::ValueResult;

namespace {

// Selects the tokenizer's scratch stack below, which keeps its buffer in
// the tree builder's spare storage between documents.
struct ScratchAllocator {
  TreeBuilder* tree;
};

}  // namespace
}  // namespace kiv::codecs

namespace rapidjson {

namespace internal {

// The tokenizer's scratch stack (string bytes on their way to the handler,
// nothing else with the flags used here). Its own stack starts without a
// buffer and does arithmetic on that null pointer; this one owns a buffer
// from the start and takes its memory through the allocation front end.
template <>
class Stack<kiv::codecs::ScratchAllocator> {
 public:
  Stack(kiv::codecs::ScratchAllocator* allocator, size_t capacity) : tree_(allocator->tree) {
    size_t kept = 0;
    begin_ = tree_->TakeText(&kept);
    if (begin_ != nullptr) {
      capacity = kept;
    } else {
      begin_ = static_cast<char*>(kiv::mem::Allocate(capacity));
      if (begin_ == nullptr) throw std::bad_alloc();
    }
    top_ = begin_;
    end_ = begin_ + capacity;
  }
  ~Stack() { tree_->GiveText(begin_, static_cast<size_t>(end_ - begin_)); }
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;

  void Clear() { top_ = begin_; }
  template <typename T>
  T* Push(size_t count = 1) {
    const size_t bytes = sizeof(T) * count;
    if (static_cast<size_t>(end_ - top_) < bytes) Grow(bytes);
    T* at = reinterpret_cast<T*>(top_);
    top_ += bytes;
    return at;
  }
  template <typename T>
  T* Pop(size_t count) {
    top_ -= sizeof(T) * count;
    return reinterpret_cast<T*>(top_);
  }
  template <typename T>
  T* Top() {
    return reinterpret_cast<T*>(top_ - sizeof(T));
  }
  size_t GetSize() const { return static_cast<size_t>(top_ - begin_); }
  bool Empty() const { return top_ == begin_; }

 private:
  void Grow(size_t bytes) {
    const size_t used = GetSize();
    const size_t capacity = static_cast<size_t>(end_ - begin_);
    size_t wanted = capacity + capacity / 2;
    if (wanted < used + bytes) wanted = used + bytes;
    char* grown = static_cast<char*>(kiv::mem::Reallocate(begin_, wanted));
    if (grown == nullptr) throw std::bad_alloc();
    begin_ = grown;
    top_ = grown + used;
    end_ = grown + wanted;
  }

  kiv::codecs::TreeBuilder* tree_;
  char* begin_;
  char* top_;
  char* end_;
};

}  // namespace internal
}  // namespace rapidjson

namespace kiv::codecs {
namespace {

constexpr unsigned kParseFlags = rapidjson::kParseDefaultFlags;
constexpr std::size_t kScratchCapacity = 256;
constexpr const char* kTooDeep = "Arrays and objects are nested deeper than %1 levels.";
constexpr const char* kOverBudget = "Repeated member names build more than the document's size allows.";
constexpr const char* kNoMemory = "Error: Not enough memory to read the JSON text.";
// A counted text this short is copied to the stack rather than the heap (see
// ReadJson), which covers most request bodies.
constexpr std::size_t kLocalCopyBytes = 2048;

// Receives the tokenizer's events and builds the tree. Every value event
// first finds its place: a new element when an array is open, otherwise the
// member chosen by the last name (or the root).
class Handler {
 public:
  // `unsized` is a zero-terminated text whose size is not known yet: it is
  // measured only if the budget is ever needed.
  Handler(std::size_t inputBytes, const char* unsized) : tree_(inputBytes), unsized_(unsized) {
    current_ = &tree_.Root();
  }

  TreeBuilder& Tree() { return tree_; }

  bool Null() {
    Place();
    return true;
  }
  bool Bool(bool b) {
    Place().SetBool(b);
    return true;
  }
  bool Int(int i) {
    Place().SetSigned(i);
    return true;
  }
  bool Uint(unsigned u) {
    Place().SetUnsigned(u);
    return true;
  }
  bool Int64(int64_t i) {
    Place().SetSigned(i);
    return true;
  }
  bool Uint64(uint64_t u) {
    Place().SetUnsigned(u);
    return true;
  }
  bool Double(double d) {
    Place().SetFloat(d);
    return true;
  }
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }  // never asked for
  bool String(const char* text, rapidjson::SizeType length, bool) {
    Place().SetString(std::string_view(text, length));
    return true;
  }

  bool StartObject() {
    Value& place = Place();
    const bool fresh = !place.IsStructure();
    if (!fresh && unsized_ != nullptr) {
      tree_.Budget().Widen(std::strlen(unsized_));
      unsized_ = nullptr;
    }
    if (!tree_.OpenObject(place)) return false;
    if (const std::size_t hint = tree_.Hint(true); hint != 0 && fresh) place.ReserveMembers(hint);
    return true;
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    current_ = &tree_.Member(std::string_view(text, length));
    return true;
  }
  bool EndObject(rapidjson::SizeType count) {
    tree_.Remember(true, count);
    tree_.Close();
    return true;
  }
  bool StartArray() {
    Value& place = Place();
    const bool fresh = !place.IsCollection();
    if (!tree_.OpenArray(place)) return false;
    if (const std::size_t hint = tree_.Hint(false); hint != 0 && fresh) place.Reserve(hint);
    return true;
  }
  bool EndArray(rapidjson::SizeType count) {
    tree_.Remember(false, count);
    tree_.Close();
    return true;
  }

 private:
  Value& Place() {
    Value* array = tree_.OpenArray();
    return array != nullptr ? array->Append() : *current_;
  }

  TreeBuilder tree_;
  const char* unsized_;
  Value* current_;
};

ValueResult Failure(const char* reason, std::size_t offset) {
  char message[4096];
  std::snprintf(message, sizeof message, "Error: %s at offset %" PRIu64 ".", reason, static_cast<uint64_t>(offset));
  ValueResult result;
  result.Fail(message);
  return result;
}

template <typename Stream>
ValueResult Read(Stream& stream, std::size_t inputBytes, const char* unsized) {
  try {
    Handler handler(inputBytes, unsized);
    ScratchAllocator scratch{&handler.Tree()};
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, ScratchAllocator> reader(&scratch, kScratchCapacity);
    const rapidjson::ParseResult parsed = reader.Parse<kParseFlags>(stream, handler);
    if (parsed.IsError()) {
      const rapidjson::ParseErrorCode code = parsed.Code();
      if (code == rapidjson::kParseErrorDocumentEmpty) return ValueResult();
      if (code == rapidjson::kParseErrorTermination) {
        // Reported just after the bracket that could not be opened.
        if (handler.Tree().Stopped() == TreeBuilder::Stop::kTooDeep) {
          const String reason = Format(kTooDeep, static_cast<uint32_t>(kJsonMaxDepth));
          return Failure(reason.c_str(), parsed.Offset() - 1);
        }
        if (handler.Tree().Stopped() == TreeBuilder::Stop::kOverBudget)
          return Failure(kOverBudget, parsed.Offset() - 1);
      }
      return Failure(rapidjson::GetParseError_En(code), parsed.Offset());
    }
    ValueResult result;
    result = handler.Tree().Take();
    return result;
  } catch (const std::bad_alloc&) {
    ValueResult result;
    result.Fail(kNoMemory);
    return result;
  }
}

}  // namespace

ValueResult ReadJson(std::string_view text) {
  // The tokenizer reads a zero-terminated copy: a stream that checked for
  // the end at every byte made it run 8 to 12% more instructions, and the
  // copy costs far less than that. The tokenizer stops at the first zero
  // byte, which a JSON text cannot hold, so a text that holds one reads as
  // if it ended there, as it always has.
  char local[kLocalCopyBytes];
  char* copy = local;
  if (text.size() >= sizeof local) {
    copy = static_cast<char*>(mem::Allocate(text.size() + 1));
    if (copy == nullptr) {
      ValueResult result;
      result.Fail(kNoMemory);
      return result;
    }
  }
  struct CopyGuard {
    char* copy;
    char* local;
    ~CopyGuard() {
      if (copy != local) mem::Free(copy);
    }
  } guard{copy, local};
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());  // an empty view may have no data
  copy[text.size()] = '\0';
  rapidjson::StringStream stream(copy);
  return Read(stream, text.size(), nullptr);
}

ValueResult ReadJson(const char* zeroTerminated) {
  if (zeroTerminated == nullptr) return ValueResult();
  rapidjson::StringStream stream(zeroTerminated);
  return Read(stream, 0, zeroTerminated);
}

bool LooksLikeJson(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  return i < text.size() && (text[i] == '{' || text[i] == '[');
}

}  // namespace kiv::codecs
