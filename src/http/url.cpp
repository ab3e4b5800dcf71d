#include "http/url.h"

#include <cstdint>

namespace kiv::url {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

UrlParts SplitUrl(std::string_view url) {
  UrlParts parts;
  const std::size_t mark = url.find('?');
  if (mark == std::string_view::npos) {
    parts.path = url;
  } else {
    parts.path = url.substr(0, mark);
    parts.query = url.substr(mark + 1);
    parts.hasQuery = true;
  }
  return parts;
}

void DecodeComponentInto(std::string_view text, String* out) {
  // Decoding never lengthens a text: write in place, then cut to size.
  out->resize(text.size());
  char* const begin = out->data();
  char* to = begin;
  const char* from = text.data();
  const char* const end = from + text.size();
  while (from < end) {
    const char c = *from;
    if (c == '+') {
      *to++ = ' ';
      ++from;
    } else if (c == '%') {
      // Only a complete escape of two hexadecimal digits is decoded. Anything
      // else would either read past the text or invent a byte from non-digits
      // (control characters, NULs) that the sender never wrote; dropping the
      // lone "%" matches what a truncated escape at the end already does.
      const int high = end - from > 2 ? HexValue(from[1]) : -1;
      const int low = end - from > 2 ? HexValue(from[2]) : -1;
      if (high >= 0 && low >= 0) {
        *to++ = static_cast<char>(static_cast<uint8_t>(high * 16 + low));
        from += 3;
      } else {
        ++from;
      }
    } else {
      *to++ = c;
      ++from;
    }
  }
  out->resize(static_cast<std::size_t>(to - begin));
}

String DecodeComponent(std::string_view text) {
  String out;
  DecodeComponentInto(text, &out);
  return out;
}

String NormalizeEndpointPath(std::string_view path) {
  if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return ToString(path);
}

}  // namespace kiv::url
