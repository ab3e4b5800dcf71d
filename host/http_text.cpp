#include "http_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host_value.h"

namespace kivhost {
namespace {

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

}  // namespace

void ToLowerAscii(std::string* text) {
  for (char& c : *text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

std::string Lower(std::string_view text) {
  std::string out(text);
  ToLowerAscii(&out);
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsToken(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar); }

bool ListsToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    if (Lower(Trim(value.substr(0, comma))) == token) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

const char* StatusText(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Payload Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 416:
      return "Range Not Satisfiable";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return status < 500 ? "Client Error" : "Server Error";
  }
}

std::string ClosingAnswer(int status, const std::string& message, const Headers& extra) {
  const std::string body = DumpJson(json{{"error", message}});
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + StatusText(status) + "\r\n";
  out += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  for (const auto& [name, value] : extra) out += name + ": " + value + "\r\n";
  out += "Connection: close\r\n\r\n";
  out += body;
  return out;
}

std::string Chunk(std::string_view payload) {
  char size[24];
  std::snprintf(size, sizeof size, "%zx\r\n", payload.size());
  std::string out = size;
  out.append(payload);
  out += "\r\n";
  return out;
}

bool SplitAuthority(std::string_view text, std::string* name, int* port) {
  std::string_view rest;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    *name = Lower(text.substr(0, close + 1));
    rest = text.substr(close + 1);
  } else {
    const size_t colon = text.find(':');
    if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) return false;
    *name = Lower(text.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
  }
  if (name->empty()) return false;
  *port = -1;
  if (rest.empty()) return true;
  rest.remove_prefix(1);
  if (rest.empty() || rest.size() > 5 ||
      !std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  *port = std::stoi(std::string(rest));
  return true;
}

std::string HostName(std::string address) {
  ToLowerAscii(&address);
  if (address.find(':') != std::string::npos && address.front() != '[') address = "[" + address + "]";
  return address;
}

}  // namespace kivhost
