#include "readers/yaml_scalars.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <system_error>

namespace kiv::codecs::yaml_scalars {

using binding::Value;

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

static int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// For a number the parser reported out of range: whether its magnitude lies
// above 1 (an overflow) rather than below (an underflow). `t` is the text
// after sign and "0x"; hexadecimal digits and exponents count in bits.
static bool OverflowSide(std::string_view t, bool hex) {
  const int base = hex ? 16 : 10;
  const int64_t scale = hex ? 4 : 1;
  std::size_t i = 0;
  int64_t leadingDigits = 0;  // significant digits before the point
  int64_t fractionZeros = 0;  // zeros after the point before the first other digit
  bool significant = false;
  for (; i < t.size() && DigitValue(t[i]) < base; ++i) {
    if (significant || t[i] != '0') {
      significant = true;
      ++leadingDigits;
    }
  }
  if (i < t.size() && t[i] == '.') {
    for (++i; i < t.size() && DigitValue(t[i]) < base; ++i) {
      if (significant) continue;
      if (t[i] == '0') {
        ++fractionZeros;
      } else {
        significant = true;
      }
    }
  }
  int64_t exponent = 0;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E' || t[i] == 'p' || t[i] == 'P')) {
    ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
      if (exponent < 1000000000000) exponent = exponent * 10 + (t[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  const int64_t order = leadingDigits > 0 ? (leadingDigits - 1) * scale : -(fractionZeros + 1) * scale;
  return order + exponent >= 0;
}

// The C library's strtod over the whole text, in the C locale: leading white
// space, a sign, decimal and "0x" hexadecimal forms, inf and nan. An overflow
// gives an infinity, an underflow zero, as strtod does. False unless the
// whole text is one number.
bool ParseCDouble(std::string_view text, double* out) {
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || text[i] == '+' || text[i] == '-') return false;
  const char* first = text.data() + i;
  const char* last = text.data() + text.size();
  bool hex = false;
  if (last - first >= 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X')) {
    // strtod takes the prefix only before a digit or a point; otherwise it
    // stops after the "0" and the text is no number as a whole.
    if (last - first < 3 || (DigitValue(first[2]) > 15 && first[2] != '.')) return false;
    first += 2;
    hex = true;
  }
  double value = 0.0;
  const auto parsed = std::from_chars(first, last, value, hex ? std::chars_format::hex : std::chars_format::general);
  if (parsed.ptr != last) return false;
  if (parsed.ec == std::errc::result_out_of_range) {
    value = OverflowSide(std::string_view(first, static_cast<std::size_t>(last - first)), hex) ? HUGE_VAL : 0.0;
  } else if (parsed.ec != std::errc()) {
    return false;
  }
  *out = negative ? -value : value;
  return true;
}

// The C library's strtoll / strtoull with base 0 over the whole text: leading
// white space, a sign, "0x" hexadecimal, a leading "0" octal. The empty text
// reads as 0.
IntRead ParseCInteger(std::string_view text, bool isSigned, int64_t* signedOut, uint64_t* unsignedOut) {
  *signedOut = 0;
  *unsignedOut = 0;
  if (text.empty()) return IntRead::kOk;
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && text[i] == '0') {
    base = 8;
    if (i + 2 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && DigitValue(text[i + 2]) < 16) {
      base = 16;
      i += 2;
    }
  }
  const std::size_t start = i;
  uint64_t magnitude = 0;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    const int digit = DigitValue(text[i]);
    if (digit >= base) break;
    const auto d = static_cast<uint64_t>(digit);
    if (magnitude > (UINT64_MAX - d) / static_cast<uint64_t>(base)) {
      overflow = true;
    } else {
      magnitude = magnitude * static_cast<uint64_t>(base) + d;
    }
  }
  if (i == start || i != text.size()) return IntRead::kFormat;
  if (overflow) return IntRead::kRange;
  constexpr uint64_t kSignedLimit = uint64_t{1} << 63;
  if (isSigned) {
    if (negative) {
      if (magnitude > kSignedLimit) return IntRead::kRange;
      *signedOut = magnitude == kSignedLimit ? INT64_MIN : -static_cast<int64_t>(magnitude);
    } else {
      if (magnitude >= kSignedLimit) return IntRead::kRange;
      *signedOut = static_cast<int64_t>(magnitude);
    }
    return IntRead::kOk;
  }
  if (negative) return IntRead::kRange;
  *unsignedOut = magnitude;
  return IntRead::kOk;
}

// 1 for the true words, 0 for the false words, -1 for any other text.
int BoolWord(std::string_view t) {
  switch (t.size()) {
    case 1:
      if (t[0] == 'y' || t[0] == 'Y') return 1;
      if (t[0] == 'n' || t[0] == 'N') return 0;
      return -1;
    case 2:
      if (t == "on" || t == "On" || t == "ON") return 1;
      if (t == "no" || t == "No" || t == "NO") return 0;
      return -1;
    case 3:
      if (t == "yes" || t == "Yes" || t == "YES") return 1;
      if (t == "off" || t == "Off" || t == "OFF") return 0;
      return -1;
    case 4:
      return t == "true" || t == "True" || t == "TRUE" ? 1 : -1;
    case 5:
      return t == "false" || t == "False" || t == "FALSE" ? 0 : -1;
    default:
      return -1;
  }
}

static bool IsNullWord(std::string_view t) {
  return t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL";
}

// An integral number becomes Signed below zero and Unsigned otherwise; one
// that no 64-bit kind can hold keeps its value as a Float.
static void StoreNumber(Value& v, double d) {
  if (std::isnan(d) || d != std::trunc(d)) {
    v.SetFloat(d);
  } else if (d < 0) {
    if (d >= -9223372036854775808.0) {
      v.SetSigned(static_cast<int64_t>(d));
    } else {
      v.SetFloat(d);
    }
  } else if (d < 18446744073709551616.0) {
    v.SetUnsigned(static_cast<uint64_t>(d));
  } else {
    v.SetFloat(d);
  }
}

// Decimal integers are taken exactly, without the round trip through a double
// that would change ids above 2^53; one beyond its 64-bit kind keeps its value
// as a Float rather than rounding onto the kind's end. `magnitude` holds the
// digits unless there are more than 19 of them.
static void StoreDecimalInteger(Value& v, std::string_view t, bool negative, uint64_t magnitude, std::size_t digits) {
  constexpr uint64_t kSignedLimit = uint64_t{1} << 63;
  if (digits > 19) {
    // Twenty digits may still fit an unsigned number.
    constexpr uint64_t kTenth = UINT64_MAX / 10;
    magnitude = 0;
    bool overflow = false;
    for (const char c : t.substr(t.size() - digits)) {
      const auto d = static_cast<uint64_t>(c - '0');
      if (magnitude > kTenth || (magnitude == kTenth && d > UINT64_MAX % 10)) {
        overflow = true;
        break;
      }
      magnitude = magnitude * 10 + d;
    }
    if (overflow) {
      double d = 0.0;
      ParseCDouble(t, &d);
      v.SetFloat(d);
      return;
    }
  }
  if (!negative || magnitude == 0) {
    v.SetUnsigned(magnitude);
  } else if (magnitude < kSignedLimit) {
    v.SetSigned(-static_cast<int64_t>(magnitude));
  } else if (magnitude == kSignedLimit) {
    v.SetSigned(INT64_MIN);
  } else {
    double d = 0.0;
    ParseCDouble(t, &d);
    v.SetFloat(d);
  }
}

// Plain numbers in the usual decimal forms, read in one pass: integers
// exactly, and decimals whose digits fit 2^53 with a power of ten up to 22
// by one correctly rounded multiplication or division of exact doubles,
// which is what strtod gives. The latter only where double arithmetic is not
// carried out in a wider format, which would round twice. False for a text
// that needs the full conversion (or is no number).
static bool StoreDecimal(Value& v, std::string_view t) {
  const char* p = t.data();
  const char* const end = p + t.size();
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  const char* const integerStart = p;
  uint64_t mantissa = 0;  // wraps beyond 19 digits; those take the slow way
  for (unsigned d; p != end && (d = static_cast<unsigned>(static_cast<unsigned char>(*p) - '0')) <= 9; ++p) {
    mantissa = mantissa * 10 + d;
  }
  const auto integerDigits = static_cast<std::size_t>(p - integerStart);
  if (integerDigits == 0) return false;
  if (p == end) {
    StoreDecimalInteger(v, t, negative, mantissa, integerDigits);
    return true;
  }
  if constexpr (FLT_EVAL_METHOD != 0) {
    return false;
  } else {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    std::size_t fractionDigits = 0;
    if (*p == '.') {
      const char* const fractionStart = ++p;
      for (unsigned d; p != end && (d = static_cast<unsigned>(static_cast<unsigned char>(*p) - '0')) <= 9; ++p) {
        mantissa = mantissa * 10 + d;
      }
      fractionDigits = static_cast<std::size_t>(p - fractionStart);
      if (fractionDigits == 0) return false;
    }
    if (integerDigits + fractionDigits > 19 || mantissa > (uint64_t{1} << 53)) return false;
    int scale = -static_cast<int>(fractionDigits);
    if (p != end && (*p == 'e' || *p == 'E')) {
      ++p;
      bool negativeExponent = false;
      if (p != end && (*p == '-' || *p == '+')) negativeExponent = *p++ == '-';
      const char* const exponentStart = p;
      int exponent = 0;
      for (unsigned d;
           p != end && exponent < 1000 && (d = static_cast<unsigned>(static_cast<unsigned char>(*p) - '0')) <= 9; ++p) {
        exponent = exponent * 10 + static_cast<int>(d);
      }
      if (p == exponentStart) return false;
      scale += negativeExponent ? -exponent : exponent;
    }
    if (p != end || scale < -22 || scale > 22) return false;
    double value = static_cast<double>(mantissa);
    value = scale < 0 ? value / kPowers[-scale] : value * kPowers[scale];
    StoreNumber(v, negative ? -value : value);
    return true;
  }
}

// Plain, literal and folded scalars without a tag.
void ResolvePlain(Value& v, std::string_view t) {
  if (t.empty()) {
    v.Reset();
    return;
  }
  const char c = t[0];
  const bool numeric = (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || IsCSpace(c);
  // Of the words strtod knows, only nan can be a number here: inf is the
  // positive infinity, which does not count as one.
  const bool nan = (c == 'n' || c == 'N') && t.size() >= 3 && (t[1] == 'a' || t[1] == 'A');
  if (numeric || nan) {
    if (numeric && StoreDecimal(v, t)) return;
    double d = 0.0;
    if (ParseCDouble(t, &d) && d != HUGE_VAL) {
      StoreNumber(v, d);
      return;
    }
  }
  if (t.size() <= 5) {
    if (IsNullWord(t)) {
      v.Reset();
      return;
    }
    const int word = BoolWord(t);
    if (word >= 0) {
      v.SetBool(word == 1);
      return;
    }
  }
  v.SetString(t);
}

}  // namespace kiv::codecs::yaml_scalars
