// The JSON reader on arbitrary bytes. The counted and the zero-terminated
// entry points must agree on every input; failures carry a well-formed
// message with an offset inside the text; a text that looks like an object or
// array and reads successfully gives a structure or collection.
//
// Differential check: the tokenizer's events, taken straight from RapidJSON's
// reader with the default flags (the events its DOM is built from; the DOM
// itself keeps no sign of "-0"), build an independent model of the expected
// tree. Where the tokenizer accepts the text, the reader must give that tree,
// unless it stopped at its nesting bound or, for names that reopen objects,
// at its size budget; where the tokenizer refuses it, the reader must report
// the same error at the same offset.
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "value/value.h"
#include "readers/json_reader.h"
#include "tree_model.h"

// Selects the scratch stack below for the tokenizer that builds the model.
struct ModelScratch {};

namespace rapidjson::internal {

// The tokenizer's own stack starts without a buffer and does arithmetic on
// that null pointer, which the sanitizer stops at; this one owns its buffer
// from the start. With the default flags only string bytes pass through it.
template <>
class Stack<ModelScratch> {
 public:
  Stack(ModelScratch*, size_t capacity) : begin_(static_cast<char*>(std::malloc(capacity))), used_(0), size_(capacity) {
    if (begin_ == nullptr) throw std::bad_alloc();
  }
  ~Stack() { std::free(begin_); }
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;

  void Clear() { used_ = 0; }
  template <typename T>
  T* Push(size_t count = 1) {
    const size_t bytes = sizeof(T) * count;
    if (size_ - used_ < bytes) {
      const size_t wanted = used_ + bytes > 2 * size_ ? used_ + bytes : 2 * size_;
      char* grown = static_cast<char*>(std::realloc(begin_, wanted));
      if (grown == nullptr) throw std::bad_alloc();
      begin_ = grown;
      size_ = wanted;
    }
    T* at = reinterpret_cast<T*>(begin_ + used_);
    used_ += bytes;
    return at;
  }
  template <typename T>
  T* Pop(size_t count) {
    used_ -= sizeof(T) * count;
    return reinterpret_cast<T*>(begin_ + used_);
  }
  template <typename T>
  T* Top() {
    return reinterpret_cast<T*>(begin_ + used_ - sizeof(T));
  }
  size_t GetSize() const { return used_; }
  bool Empty() const { return used_ == 0; }

 private:
  char* begin_;
  size_t used_;
  size_t size_;
};

}  // namespace rapidjson::internal

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Offsets are reported up to the first zero byte, the end of the text.
void CheckMessage(std::string_view message, std::size_t length) {
  constexpr std::string_view kHead = "Error: ", kMarker = " at offset ";
  Check(message.substr(0, kHead.size()) == kHead);
  Check(!message.empty() && message.back() == '.');
  const std::size_t at = message.rfind(kMarker);
  if (message == "Error: Not enough memory to read the JSON text.") return;
  Check(at != std::string_view::npos);
  const std::string digits(message.substr(at + kMarker.size(), message.size() - at - kMarker.size() - 1));
  Check(!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos);
  Check(std::strtoull(digits.c_str(), nullptr, 10) <= length);
}

// Deeper than this the model stops the tokenizer (which recurses per level);
// the reader has refused such a text long before.
constexpr std::size_t kModelDepth = 2 * kiv::codecs::kJsonMaxDepth;

class ModelHandler {
 public:
  explicit ModelHandler(fuzz_model::Builder& model) : model_(model) {}
  bool Null() {
    model_.Null();
    return true;
  }
  bool Bool(bool b) {
    model_.Bool(b);
    return true;
  }
  bool Int(int i) { return Int64(i); }
  bool Uint(unsigned u) { return Uint64(u); }
  bool Int64(int64_t i) {
    model_.Signed(i);
    return true;
  }
  bool Uint64(uint64_t u) {
    model_.Unsigned(u);
    return true;
  }
  bool Double(double d) {
    model_.Float(d);
    return true;
  }
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }  // not with the default flags
  bool String(const char* text, rapidjson::SizeType length, bool) {
    model_.Text(std::string_view(text, length));
    return true;
  }
  bool StartObject() {
    if (model_.Depth() >= kModelDepth) return false;
    model_.OpenObject();
    return true;
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    model_.Name(std::string_view(text, length));
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    model_.Close();
    return true;
  }
  bool StartArray() {
    if (model_.Depth() >= kModelDepth) return false;
    model_.OpenArray();
    return true;
  }
  bool EndArray(rapidjson::SizeType) {
    model_.Close();
    return true;
  }

 private:
  fuzz_model::Builder& model_;
};

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// `ours` is the reader's result for the zero-terminated `text`.
void CompareWithTokenizer(const char* text, const kiv::binding::ValueResult& ours) {
  fuzz_model::Builder model;
  ModelHandler handler(model);
  rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, ModelScratch> reader(nullptr, 256);
  rapidjson::StringStream stream(text);
  const rapidjson::ParseResult parsed = reader.Parse(stream, handler);

  const std::string_view message = ours.Succeeded() ? std::string_view() : ours.ErrorMessage();
  // The reader's own refusals: nested too deep, or (only when a repeated
  // name reopened an object that held members) built beyond its budget.
  const bool ownRefusal = (model.Deepest() > kiv::codecs::kJsonMaxDepth && Contains(message, "nested deeper")) ||
                          (model.Reopened() && Contains(message, "build more than"));
  if (parsed.IsError()) {
    if (parsed.Code() == rapidjson::kParseErrorTermination) {
      Check(!ours.Succeeded() && ownRefusal);  // the model's depth stop lies past the reader's
      return;
    }
    if (parsed.Code() == rapidjson::kParseErrorDocumentEmpty) {
      Check(ours.Succeeded() && ours.IsEmpty());
      return;
    }
    const std::string expected = std::string("Error: ") + rapidjson::GetParseError_En(parsed.Code()) + " at offset " +
                                 std::to_string(parsed.Offset()) + ".";
    Check(!ours.Succeeded() && (message == expected || ownRefusal));
    return;
  }
  if (model.Deepest() > kiv::codecs::kJsonMaxDepth) {
    Check(!ours.Succeeded() && ownRefusal);
    return;
  }
  if (!ours.Succeeded()) {
    Check(ownRefusal);
    return;
  }
  Check(fuzz_model::Matches(model.Root(), ours));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string terminated(text);  // adds the terminator the counted form must not need

  const kiv::binding::ValueResult counted = kiv::codecs::ReadJson(text);
  const kiv::binding::ValueResult zero = kiv::codecs::ReadJson(terminated.c_str());
  Check(counted.Succeeded() == zero.Succeeded());
  Check(counted.ErrorMessage() == zero.ErrorMessage());

  // Both read the text up to its first zero byte.
  CompareWithTokenizer(terminated.c_str(), zero);

  const std::size_t length = std::string_view(terminated.c_str()).size();
  if (!counted.Succeeded()) {
    CheckMessage(counted.ErrorMessage(), length);
    return 0;
  }
  // Floats may be NaN only if the reader invented them; it never does, so
  // equality of the two results is exact.
  Check(static_cast<const kiv::binding::Value&>(counted) == static_cast<const kiv::binding::Value&>(zero));
  if (kiv::codecs::LooksLikeJson(text.substr(0, length))) {
    const std::size_t first = text.find_first_not_of(' ');
    Check(text[first] == '{' ? counted.IsStructure() : counted.IsCollection());
  }
  return 0;
}
