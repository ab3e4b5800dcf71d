#include "plugin/chat_helpers.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace Tarn::Client::GameClientChat {

Vector<String> SplitUriPath(std::string_view uri) {
  Vector<String> segments;
  if (uri.empty()) return segments;
  std::size_t start = 1;
  for (;;) {
    const std::size_t end = uri.find_first_of("/?#=", start);
    if (end == std::string_view::npos) {
      segments.push_back(kiv::ToString(uri.substr(std::min(start, uri.size()))));
      return segments;
    }
    segments.push_back(kiv::ToString(uri.substr(start, end - start)));
    start = end + 1;
  }
}

uint64_t ParseUnsigned(std::string_view text, int base) {
  // The C library stops at the first zero byte; so does the copy.
  const String copy = kiv::ToString(text);
  return static_cast<uint64_t>(std::strtoull(copy.c_str(), nullptr, base));
}

String DecimalText(uint64_t number) {
  char buffer[24];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, number);
  return String(buffer, static_cast<std::size_t>(written.ptr - buffer));
}

namespace {

// A float converted the way an integer of its value would be: fractions
// truncated, negative values in two's complement. A value no 64-bit integer
// holds (and NaN) has no such conversion and gives 0.
uint64_t FloatToUnsigned(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 0.0) return value < 18446744073709551616.0 ? static_cast<uint64_t>(value) : 0;
  return value > -9223372036854775809.0 ? static_cast<uint64_t>(static_cast<int64_t>(value)) : 0;
}

}  // namespace

uint64_t SummonerIdOf(const binding::Value& member) {
  switch (member.Kind()) {
    case binding::ValueKind::Bool:
      return member.AsBool() ? 1 : 0;
    case binding::ValueKind::Signed:
      return static_cast<uint64_t>(member.AsSigned());
    case binding::ValueKind::Unsigned:
      return member.AsUnsigned();
    case binding::ValueKind::Float:
      return FloatToUnsigned(member.AsFloat());
    case binding::ValueKind::String:
      return ParseUnsigned(member.AsText(), 0);
    case binding::ValueKind::Enum:
      return static_cast<uint64_t>(static_cast<int64_t>(member.AsEnum().number));
    default:
      return 0;
  }
}

bool LookedUpSummonerId(const binding::Value& answer, uint64_t* id) {
  const binding::Value& member = answer.FindMember("summonerId");
  uint64_t number = 0;
  if (member.Kind() == binding::ValueKind::Unsigned) {
    number = member.AsUnsigned();
  } else if (member.Kind() == binding::ValueKind::Signed && member.AsSigned() > 0) {
    // Readers give small positive numbers either kind.
    number = static_cast<uint64_t>(member.AsSigned());
  }
  // 0 stands for "no summoner" (a session without one reads as 0 too).
  if (number == 0) return false;
  *id = number;
  return true;
}

bool ExtractNames(const binding::Value& list, Vector<String>& names) {
  names.clear();
  if (!list.IsCollection()) return false;
  const auto elements = list.Elements();
  names.reserve(elements.size());
  bool wellFormed = true;
  for (const binding::Value& element : elements) {
    if (!element.IsStructure()) {
      wellFormed = false;
      continue;
    }
    // An absent "name" and one that is no text both read as the empty text.
    const std::string_view text = element.FindMember("name").AsText();
    if (text.empty()) {
      wellFormed = false;
      continue;
    }
    names.push_back(kiv::ToString(text));
  }
  return wellFormed;
}

bool FormatStartTimestamp(int64_t milliseconds, String* out) {
  out->clear();
  const int64_t seconds = milliseconds / 1000;
  const int remainder = static_cast<int>(milliseconds % 1000);
  // time_t is 32 bits on some targets: a value it cannot hold has no calendar time.
  const std::time_t when = static_cast<std::time_t>(seconds);
  if (static_cast<int64_t>(when) != seconds || remainder < 0) return false;
  std::tm calendar{};
#if defined(_WIN32)
  if (gmtime_s(&calendar, &when) != 0) return false;
#else
  if (gmtime_r(&when, &calendar) == nullptr) return false;
#endif
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &calendar);
  if (length == 0) return false;
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03d", remainder);
  out->assign(text, length - 1);
  out->append(fraction);
  out->push_back('Z');
  return true;
}

int64_t UtcMillisecondsNow() {
  using namespace std::chrono;
  return static_cast<int64_t>(floor<milliseconds>(system_clock::now().time_since_epoch()).count());
}

bool StampsBefore(std::string_view stamp, std::string_view start) {
  // char_traits<char> compares as unsigned char, and a prefix orders first.
  return stamp.compare(start) < 0;
}

}  // namespace Tarn::Client::GameClientChat
