// Conversion of single values: the Read and Write functions of convert.h,
// which converters and bound functions call, and the number syntax of texts.
#include "value/convert.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "logging/format.h"
#include "value/convert_messages.h"

namespace kiv::binding {

using namespace convert_detail;

namespace {

// ---------------------------------------------------------------------------
// Texts to numbers. Texts of values need not be zero-terminated where the C
// parsers expect it, so they are copied first.

class CText {
 public:
  explicit CText(std::string_view text) {
    if (text.size() < sizeof(small_)) {
      std::memcpy(small_, text.data(), text.size());
      small_[text.size()] = '\0';
      data_ = small_;
    } else {
      large_.assign(text.data(), text.size());
      data_ = large_.c_str();
    }
    size_ = text.size();
  }
  CText(const CText&) = delete;
  CText& operator=(const CText&) = delete;

  const char* data() const { return data_; }
  // Whether the parser stopped at the end of the text (an embedded zero
  // byte ends parsing early and so counts as left-over characters).
  bool Consumed(const char* end) const { return end == data_ + size_; }

 private:
  char small_[64];
  String large_;
  const char* data_;
  std::size_t size_;
};

enum class Parse { Ok, OutOfRange, BadFormat };

bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

Parse ParseSigned(std::string_view text, int64_t& value) {
  const CText c(text);
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(c.data(), &end, 0);
  if (errno == ERANGE) return Parse::OutOfRange;
  if (!c.Consumed(end)) return Parse::BadFormat;
  value = static_cast<int64_t>(parsed);
  return Parse::Ok;
}

Parse ParseUnsigned(std::string_view text, uint64_t& value) {
  // The C parser negates "-1" into the largest number instead of refusing it;
  // a minus sign after leading white space is refused as well.
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  if (i < text.size() && text[i] == '-') return Parse::OutOfRange;
  const CText c(text);
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(c.data(), &end, 0);
  if (errno == ERANGE) return Parse::OutOfRange;
  if (!c.Consumed(end)) return Parse::BadFormat;
  value = static_cast<uint64_t>(parsed);
  return Parse::Ok;
}

Parse ParseDouble(std::string_view text, double& value) {
  const CText c(text);
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(c.data(), &end);
  // Only an overflow is out of range: an underflow still gives the nearest
  // representable number (a denormal or zero), which is what was meant.
  if (errno == ERANGE && std::fabs(parsed) == HUGE_VAL) return Parse::OutOfRange;
  if (!c.Consumed(end)) return Parse::BadFormat;
  value = parsed;
  return Parse::Ok;
}

// 2^63 and 2^64 as doubles: the first values that no longer fit the 64-bit
// integers (the bounds themselves round up to them).
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

}  // namespace

// ---------------------------------------------------------------------------
// Reading

bool ReadBool(ValueResult& result, bool& out, const Value& input, std::string_view name) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::Bool:
      out = input.AsBool();
      return true;
    case ValueKind::String: {
      const std::string_view text = input.AsText();
      if (text == "true" || text == "1") {
        out = true;
        return true;
      }
      if (text == "false" || text == "0") {
        out = false;
        return true;
      }
      return Fail(result, kBoolFormat, text, name);
    }
    default:
      return Fail(result, kBoolInvalidType, name, KindName(input));
  }
}

bool ReadSigned(ValueResult& result, int64_t& out, const Value& input, std::string_view name, int64_t min, int64_t max,
                const char* typeName) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::Signed: {
      const int64_t v = input.AsSigned();
      if (v < min || v > max) return Fail(result, kOutOfRange, v, name, typeName);
      out = v;
      return true;
    }
    case ValueKind::Unsigned: {
      const uint64_t v = input.AsUnsigned();
      if (max < 0 || v > static_cast<uint64_t>(max)) return Fail(result, kOutOfRange, v, name, typeName);
      out = static_cast<int64_t>(v);
      return true;
    }
    case ValueKind::Float: {
      const double x = input.AsFloat();
      // The upper bound of int64 rounds up to 2^63 as a double, which no
      // longer fits: that one is excluded explicitly. A NaN fails every test.
      if (!(x >= static_cast<double>(min) && x <= static_cast<double>(max) && x < kTwoPow63)) {
        return Fail(result, kOutOfRange, x, name, typeName);
      }
      out = static_cast<int64_t>(x);
      return true;
    }
    case ValueKind::String: {
      const std::string_view text = input.AsText();
      int64_t v = 0;
      switch (ParseSigned(text, v)) {
        case Parse::OutOfRange:
          return Fail(result, kOutOfRange, text, name, typeName);
        case Parse::BadFormat:
          return Fail(result, kIncorrectFormat, text, name, typeName);
        case Parse::Ok:
          break;
      }
      if (v < min || v > max) return Fail(result, kOutOfRange, text, name, typeName);
      out = v;
      return true;
    }
    case ValueKind::Enum: {
      const int32_t n = input.AsEnum().number;
      if (n < min || n > max) return Fail(result, kOutOfRange, n, name, typeName);
      out = n;
      return true;
    }
    default:
      return Fail(result, kInvalidType, name, typeName, KindName(input));
  }
}

bool ReadUnsigned(ValueResult& result, uint64_t& out, const Value& input, std::string_view name, uint64_t max,
                  const char* typeName) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::Signed: {
      const int64_t v = input.AsSigned();
      if (v < 0 || static_cast<uint64_t>(v) > max) return Fail(result, kOutOfRange, v, name, typeName);
      out = static_cast<uint64_t>(v);
      return true;
    }
    case ValueKind::Unsigned: {
      const uint64_t v = input.AsUnsigned();
      if (v > max) return Fail(result, kOutOfRange, v, name, typeName);
      out = v;
      return true;
    }
    case ValueKind::Float: {
      const double x = input.AsFloat();
      if (!(x >= 0.0 && x <= static_cast<double>(max) && x < kTwoPow64)) {
        return Fail(result, kOutOfRange, x, name, typeName);
      }
      out = static_cast<uint64_t>(x);
      return true;
    }
    case ValueKind::String: {
      const std::string_view text = input.AsText();
      uint64_t v = 0;
      switch (ParseUnsigned(text, v)) {
        case Parse::OutOfRange:
          return Fail(result, kOutOfRange, text, name, typeName);
        case Parse::BadFormat:
          return Fail(result, kIncorrectFormat, text, name, typeName);
        case Parse::Ok:
          break;
      }
      if (v > max) return Fail(result, kOutOfRange, text, name, typeName);
      out = v;
      return true;
    }
    case ValueKind::Enum: {
      const int32_t n = input.AsEnum().number;
      if (n < 0 || static_cast<uint64_t>(n) > max) return Fail(result, kOutOfRange, n, name, typeName);
      out = static_cast<uint64_t>(n);
      return true;
    }
    default:
      return Fail(result, kInvalidType, name, typeName, KindName(input));
  }
}

bool ReadFloating(ValueResult& result, double& out, const Value& input, std::string_view name, double min, double max,
                  const char* typeName) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::Signed: {
      const int64_t v = input.AsSigned();
      const double x = static_cast<double>(v);
      if (x < min || x > max) return Fail(result, kOutOfRange, v, name, typeName);
      out = x;
      return true;
    }
    case ValueKind::Unsigned: {
      const uint64_t v = input.AsUnsigned();
      const double x = static_cast<double>(v);
      if (x < min || x > max) return Fail(result, kOutOfRange, v, name, typeName);
      out = x;
      return true;
    }
    case ValueKind::Float: {
      const double x = input.AsFloat();
      if (x < min || x > max) return Fail(result, kOutOfRange, x, name, typeName);  // a NaN passes
      out = x;
      return true;
    }
    case ValueKind::String: {
      const std::string_view text = input.AsText();
      double x = 0;
      switch (ParseDouble(text, x)) {
        case Parse::OutOfRange:
          return Fail(result, kOutOfRange, text, name, typeName);
        case Parse::BadFormat:
          return Fail(result, kIncorrectFormat, text, name, typeName);
        case Parse::Ok:
          break;
      }
      if (x < min || x > max) return Fail(result, kOutOfRange, text, name, typeName);
      out = x;
      return true;
    }
    case ValueKind::Enum: {
      const int32_t n = input.AsEnum().number;
      const double x = static_cast<double>(n);
      if (x < min || x > max) return Fail(result, kOutOfRange, n, name, typeName);
      out = x;
      return true;
    }
    default:
      return Fail(result, kInvalidType, name, typeName, KindName(input));
  }
}

bool ReadString(ValueResult& result, String& out, const Value& input, std::string_view name,
                const TypeRegistry* registry) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::String: {
      const std::string_view text = input.AsText();
      out.assign(text.data(), text.size());
      return true;
    }
    case ValueKind::Enum: {
      const EnumValue e = input.AsEnum();
      const EnumeratorDescriptor* enumerator =
          registry != nullptr && e.type != nullptr ? registry->FindEnumerator(*e.type, e.number) : nullptr;
      if (enumerator == nullptr) return Fail(result, kNotEnumeratorOfAny, e.number, name);
      out = enumerator->name;
      return true;
    }
    default:
      return Fail(result, kNotString, name);
  }
}

bool ReadBlob(ValueResult& result, Vector<uint8_t>& out, const Value& input, std::string_view name) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::Blob: {
      const auto bytes = input.AsBlob();
      out.assign(bytes.begin(), bytes.end());
      return true;
    }
    case ValueKind::String: {
      const std::string_view text = input.AsText();
      out.assign(reinterpret_cast<const uint8_t*>(text.data()),
                 reinterpret_cast<const uint8_t*>(text.data()) + text.size());
      return true;
    }
    default:
      return Fail(result, kInvalidType, name, TypeKindName(TypeKind::Blob), KindName(input));
  }
}

bool ReadObject(ValueResult& result, Value& out, const Value& input, std::string_view) {
  if (!result.Succeeded()) return false;
  out.CopyFrom(input);
  return true;
}

bool ReadEnum(ValueResult& result, int32_t& out, const Value& input, std::string_view name,
              const TypeDescriptor* descriptor) {
  if (!result.Succeeded()) return false;
  switch (input.Kind()) {
    case ValueKind::Empty:
      return Fail(result, kRequired, name);
    case ValueKind::Signed:
    case ValueKind::Unsigned:
    case ValueKind::String:
    case ValueKind::Enum:
      break;
    default:
      return Fail(result, kEnumInvalidType, name, KindName(input));
  }
  if (descriptor == nullptr || !descriptor->isEnum) return Fail(result, kEnumUnregistered, name);
  const std::string_view enumName(descriptor->name.data(), descriptor->name.size());
  switch (input.Kind()) {
    case ValueKind::Signed: {
      // Compared as 64-bit numbers: 2^32 + 1 must not pass for 1.
      const int64_t v = input.AsSigned();
      if (v < INT32_MIN || v > INT32_MAX || !descriptor->IsEnumerator(static_cast<int32_t>(v))) {
        return Fail(result, kNotEnumerator, v, enumName, name);
      }
      out = static_cast<int32_t>(v);
      return true;
    }
    case ValueKind::Unsigned: {
      const uint64_t v = input.AsUnsigned();
      if (v > static_cast<uint64_t>(INT32_MAX) || !descriptor->IsEnumerator(static_cast<int32_t>(v))) {
        return Fail(result, kNotEnumerator, v, enumName, name);
      }
      out = static_cast<int32_t>(v);
      return true;
    }
    case ValueKind::Enum: {
      const int32_t n = input.AsEnum().number;
      if (!descriptor->IsEnumerator(n)) return Fail(result, kNotEnumerator, n, enumName, name);
      out = n;
      return true;
    }
    default: {
      const std::string_view text = input.AsText();
      if (const EnumeratorDescriptor* e = descriptor->FindEnumerator(text); e != nullptr) {
        out = e->number;
        return true;
      }
      // A number in text form; its own failure message gives way to ours.
      ValueResult scratch;
      int64_t n = 0;
      if (ReadSigned(scratch, n, input, name, INT32_MIN, INT32_MAX, TypeKindName(TypeKind::Int32)) &&
          descriptor->IsEnumerator(static_cast<int32_t>(n))) {
        out = static_cast<int32_t>(n);
        return true;
      }
      return Fail(result, kNotEnumerator, text, enumName, name);
    }
  }
}

// ---------------------------------------------------------------------------
// Writing

void WriteEnum(ValueResult& result, int32_t number, const TypeId* type) {
  result.Clear();
  result.SetEnum(number, type != nullptr ? type : &NoNativeType());
}

bool IsOmittable(const Value& value) {
  switch (value.Kind()) {
    case ValueKind::Empty:
      return true;
    case ValueKind::Bool:
      return !value.AsBool();
    case ValueKind::Signed:
      return value.AsSigned() == 0;
    case ValueKind::Unsigned:
      return value.AsUnsigned() == 0;
    case ValueKind::Float:
      return value.AsFloat() == 0.0;
    case ValueKind::Enum:
      return value.AsEnum().number == 0;
    default:
      return value.Size() == 0;
  }
}

}  // namespace kiv::binding
