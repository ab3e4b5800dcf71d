#include "http/name_rule.h"

#include "logging/format.h"

namespace kiv {
namespace {

// The C locale's casing, without the undefined behaviour that <cctype> has
// for bytes above 0x7F on a signed char.
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsSeparator(char c) { return c == '!' || c == '+' || c == '-' || c == '.' || c == '/' || c == '_'; }

}  // namespace

String NameRule(std::string_view prefix, std::string_view path) {
  String working;
  if (!prefix.empty()) {
    String rest = ToString(prefix.substr(1));
    for (char& c : rest) c = Lower(c);
    working = Format("%1%2/", prefix.substr(0, 1), rest);
  }
  working.append(path.data(), path.size());

  String result;
  result.reserve(working.size() + 8);
  bool capitalise = true;
  for (char c : working) {
    if (IsSeparator(c)) {
      capitalise = true;
    } else if (c == '{') {
      result.append("By");
      capitalise = true;
    } else if (c == '}') {
      // dropped; the flag stays as it was
    } else if (capitalise) {
      result.push_back(Upper(c));
      capitalise = false;
    } else {
      result.push_back(c);
    }
  }
  return result;
}

String FunctionName(HttpMethod method, std::string_view path) { return NameRule(MethodName(method), path); }

String TypePrefix(std::string_view shortName) { return NameRule(std::string_view(), shortName); }

}  // namespace kiv
