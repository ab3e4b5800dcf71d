#include "codecs/json_reader.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "codecs/member_names.h"
#include "logging/memory.h"

namespace kiv::codecs {

using binding::Value;
using binding::ValueResult;

namespace {

// Selects the tokenizer's scratch stack below.
struct ScratchAllocator {};

// A counted text read as if it were zero-terminated: past the end the
// stream yields zero bytes and never moves, so the tokenizer stops there as
// it stops at a terminator.
class CountedStream {
 public:
  using Ch = char;
  CountedStream(const char* begin, const char* end) : cur_(begin), begin_(begin), end_(end) {}
  Ch Peek() const { return cur_ != end_ ? *cur_ : '\0'; }
  Ch Take() { return cur_ != end_ ? *cur_++ : '\0'; }
  std::size_t Tell() const { return static_cast<std::size_t>(cur_ - begin_); }
  // Writing is only used by in-place parsing, which this reader never asks for.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

 private:
  const char* cur_;
  const char* begin_;
  const char* end_;
};

}  // namespace
}  // namespace kiv::codecs

namespace rapidjson {

template <>
struct StreamTraits<kiv::codecs::CountedStream> {
  enum { copyOptimization = 1 };
};

namespace internal {

// The tokenizer's scratch stack (string bytes on their way to the handler,
// nothing else with the flags used here). Its own stack starts without a
// buffer and does arithmetic on that null pointer; this one owns a buffer
// from the start and takes its memory through the allocation front end.
template <>
class Stack<kiv::codecs::ScratchAllocator> {
 public:
  Stack(kiv::codecs::ScratchAllocator*, size_t capacity) {
    begin_ = static_cast<char*>(kiv::mem::Allocate(capacity));
    if (begin_ == nullptr) throw std::bad_alloc();
    top_ = begin_;
    end_ = begin_ + capacity;
  }
  ~Stack() { kiv::mem::Free(begin_); }
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
constexpr uint32_t kHintLimit = 1u << 16;  // larger containers grow as they fill
constexpr const char* kTooDeep = "Arrays and objects are nested deeper than 1000 levels.";

// Receives the tokenizer's events and builds the tree. Every value event
// first finds its place: a new element when an array is open, otherwise the
// member chosen by the last name (or the root).
class Builder {
 public:
  Builder() : keys_(root_) {
    frames_.reserve(32);
    current_ = &root_;
  }

  // The finished tree; the builder is done with it.
  Value& Root() {
    keys_.Release();
    return root_;
  }
  bool TooDeep() const { return tooDeep_; }

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
    if (frames_.size() >= kJsonMaxDepth) return Refuse();
    Value& place = Place();
    // A repeated name finds its earlier value here: an object merges into an
    // earlier object, whose names the index has not seen, so those go
    // through the exact lookup.
    const bool reopened = place.IsStructure();
    place.MakeStructure();
    if (const std::size_t hint = Hint(true); hint != 0 && !reopened) place.ReserveMembers(hint);
    Push(&place, true, reopened);
    return true;
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    Frame& frame = frames_.back();
    const std::string_view name(text, length);
    if (!frame.exact) {
      if (Value* member = keys_.Append(*frame.container, frame.keys, name)) {
        current_ = member;
        return true;
      }
      frame.exact = true;
    }
    current_ = &frame.container->Member(name);
    return true;
  }
  bool EndObject(rapidjson::SizeType count) {
    Remember(true, count);
    Pop();
    return true;
  }
  bool StartArray() {
    if (frames_.size() >= kJsonMaxDepth) return Refuse();
    Value& place = Place();
    const bool reopened = place.IsCollection();  // an earlier array of a repeated name keeps its elements
    place.MakeCollection();
    if (const std::size_t hint = Hint(false); hint != 0 && !reopened) place.Reserve(hint);
    Push(&place, false, false);
    return true;
  }
  bool EndArray(rapidjson::SizeType count) {
    Remember(false, count);
    Pop();
    return true;
  }

 private:
  struct Frame {
    Value* container;
    bool isObject;
    bool exact;  // names go through the exact lookup
    detail::ObjectKeys keys;
  };

  Value& Place() { return array_ != nullptr ? array_->Append() : *current_; }

  void Push(Value* container, bool isObject, bool exact) {
    frames_.push_back(Frame{container, isObject, exact, isObject ? keys_.Open(frames_.size()) : detail::ObjectKeys{}});
    array_ = isObject ? nullptr : container;
  }
  void Pop() {
    const Frame& frame = frames_.back();
    if (frame.isObject) keys_.Close(frame.keys);
    frames_.pop_back();
    array_ = !frames_.empty() && !frames_.back().isObject ? frames_.back().container : nullptr;
  }
  bool Refuse() {
    tooDeep_ = true;
    return false;
  }

  // Documents repeat their shapes: the records of an array tend to have as
  // many members as the one before, rows as many elements. A new container
  // reserves what the last one closed at its depth held, so it is built
  // without growing. A hint is the size of a container already read, and
  // a smaller one replaces it, so what is reserved stays proportional to the
  // text read, whatever the text.
  std::size_t Hint(bool isObject) const {
    const std::size_t depth = frames_.size();
    return depth < hints_.size() ? (isObject ? hints_[depth].members : hints_[depth].elements) : 0;
  }
  void Remember(bool isObject, rapidjson::SizeType count) {
    const std::size_t depth = frames_.size() - 1;
    if (depth >= hints_.size()) hints_.resize(depth + 1);
    (isObject ? hints_[depth].members : hints_[depth].elements) = count < kHintLimit ? count : kHintLimit;
  }

  Value root_;
  Value* current_;
  Value* array_ = nullptr;  // the innermost open container when it is an array
  Vector<Frame> frames_;
  struct Sizes {
    uint32_t elements = 0;
    uint32_t members = 0;
  };
  Vector<Sizes> hints_;      // by depth
  detail::MemberKeys keys_;  // after root_: gives its counts back before the tree goes
  bool tooDeep_ = false;
};

ValueResult Failure(const char* reason, std::size_t offset) {
  char message[4096];
  std::snprintf(message, sizeof message, "Error: %s at offset %" PRIu64 ".", reason, static_cast<uint64_t>(offset));
  ValueResult result;
  result.Fail(message);
  return result;
}

template <typename Stream>
ValueResult Read(Stream& stream) {
  try {
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, ScratchAllocator> reader(nullptr, kScratchCapacity);
    Builder builder;
    const rapidjson::ParseResult parsed = reader.Parse<kParseFlags>(stream, builder);
    if (parsed.IsError()) {
      const rapidjson::ParseErrorCode code = parsed.Code();
      if (code == rapidjson::kParseErrorDocumentEmpty) return ValueResult();
      if (code == rapidjson::kParseErrorTermination && builder.TooDeep()) {
        // Reported just after the bracket that opened one level too many.
        return Failure(kTooDeep, parsed.Offset() - 1);
      }
      return Failure(rapidjson::GetParseError_En(code), parsed.Offset());
    }
    ValueResult result;
    result = std::move(builder.Root());
    return result;
  } catch (const std::bad_alloc&) {
    ValueResult result;
    result.Fail("Error: Not enough memory to read the JSON text.");
    return result;
  }
}

}  // namespace

ValueResult ReadJson(std::string_view text) {
  CountedStream stream(text.data(), text.data() + text.size());
  return Read(stream);
}

ValueResult ReadJson(const char* zeroTerminated) {
  if (zeroTerminated == nullptr) return ValueResult();
  rapidjson::StringStream stream(zeroTerminated);
  return Read(stream);
}

bool LooksLikeJson(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  return i < text.size() && (text[i] == '{' || text[i] == '[');
}

}  // namespace kiv::codecs
