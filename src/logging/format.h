// Message formatting: the positional formatter ("%1", "%2$5d", printf forms,
// each checked against its argument's type) and the named-placeholder
// expansion ("{method}") that feeds it. Every framework message is built here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "logging/memory.h"

namespace kiv::fmt {

// The argument types the formatter knows.
enum class ArgType : uint8_t { Text, Int32, UInt32, Char, Int64, UInt64, Double };

// One formattable argument. Texts are given with their length and need not be
// zero-terminated; a null text prints as "(null)".
struct Arg {
  ArgType type;
  union {
    int32_t i32;
    uint32_t u32;
    int64_t i64;
    uint64_t u64;
    double f64;
    const char* text;
  };
  std::size_t length = 0;  // texts only

  Arg(const char* s) : type(ArgType::Text), text(s), length(s ? std::char_traits<char>::length(s) : 0) {}
  Arg(char* s) : Arg(static_cast<const char*>(s)) {}
  Arg(std::string_view s) : type(ArgType::Text), text(s.data()), length(s.size()) {}
  Arg(const std::string& s) : Arg(std::string_view(s)) {}
  Arg(const String& s) : Arg(std::string_view(s.data(), s.size())) {}
  Arg(char c) : type(ArgType::Char), i32(c) {}
  Arg(signed char v) : type(ArgType::Int32), i32(v) {}
  Arg(unsigned char v) : type(ArgType::UInt32), u32(v) {}
  Arg(short v) : type(ArgType::Int32), i32(v) {}
  Arg(unsigned short v) : type(ArgType::UInt32), u32(v) {}
  Arg(int v) : type(ArgType::Int32), i32(v) {}
  Arg(unsigned v) : type(ArgType::UInt32), u32(v) {}
  Arg(long v) : type(sizeof(long) == 8 ? ArgType::Int64 : ArgType::Int32) {
    if (sizeof(long) == 8)
      i64 = v;
    else
      i32 = static_cast<int32_t>(v);
  }
  Arg(unsigned long v) : type(sizeof(long) == 8 ? ArgType::UInt64 : ArgType::UInt32) {
    if (sizeof(long) == 8)
      u64 = v;
    else
      u32 = static_cast<uint32_t>(v);
  }
  Arg(long long v) : type(ArgType::Int64), i64(v) {}
  Arg(unsigned long long v) : type(ArgType::UInt64), u64(v) {}
  Arg(double v) : type(ArgType::Double), f64(v) {}
  Arg(float v) : type(ArgType::Double), f64(v) {}
  Arg(bool) = delete;  // say which you mean: a number or a word
};

// Capacity of the formatter's working buffer; results hold at most one less.
inline constexpr std::size_t kFormatBufferSize = 4096;

// The engine: fills `buffer` (always zero-terminated when size > 0) and returns
// the number of characters written.
std::size_t FormatInto(char* buffer, std::size_t size, const char* templ, const Arg* args, std::size_t count);

// Formats into a 4096-byte stack buffer and returns the result as a library string.
String FormatArgs(const char* templ, const Arg* args, std::size_t count);

template <typename... A>
String Format(const char* templ, const A&... args) {
  if constexpr (sizeof...(A) == 0) {
    return FormatArgs(templ, nullptr, 0);
  } else {
    const Arg list[] = {Arg(args)...};
    return FormatArgs(templ, list, sizeof...(A));
  }
}

// A value behind one named field. Kind codes follow the dynamic value's kinds:
// 1 bool, 2 signed, 3 unsigned, 4 double, 5 text.
struct NamedArg {
  uint32_t kind = 0;
  String text;
  union {
    bool b;
    int64_t i64;
    uint64_t u64;
    double f64;
  } payload{};

  static NamedArg Bool(bool v);
  static NamedArg Signed(int64_t v);
  static NamedArg Unsigned(uint64_t v);
  static NamedArg Double(double v);
  static NamedArg Text(std::string_view v);
};

// Field name -> the value it was given, in name order.
using FieldTable = Map<String, NamedArg, std::less<>>;

// Expands a template with named fields into a positional template for Format,
// recording each named value in `fields`.
void ExpandNamed(const char* templ, const NamedArg* args, std::size_t count, String* positional, FieldTable* fields);

}  // namespace kiv::fmt

namespace kiv {
using fmt::Format;
}
