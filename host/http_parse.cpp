#include "http_parse.h"

#include <algorithm>

namespace kivhost {
namespace {

constexpr size_t kMaxChunkLine = 1024;

}  // namespace

Scan Refuse(Refusal* refusal, int status, std::string message) {
  refusal->status = status;
  refusal->message = std::move(message);
  return Scan::Refused;
}

Scan FindHeadEnd(std::string_view buf, const HttpFrontOptions& o, HeadScan* s, size_t* end, Refusal* refusal) {
  const size_t maxRequestLine = o.maxUrl + 32;  // method, version and blanks around the target
  while (s->pos < buf.size()) {
    const size_t eol = buf.find('\n', s->pos);
    if (eol == std::string_view::npos) {
      s->pos = buf.size();
      break;
    }
    size_t length = eol - s->lineStart;
    if (length > 0 && buf[eol - 1] == '\r') --length;
    if (s->lines == 0 && length > maxRequestLine)
      return Refuse(refusal, 414, "The request URL is longer than " + std::to_string(o.maxUrl) + " bytes");
    if (s->lines > 0 && length == 0) {
      *end = eol + 1;
      return Scan::Done;
    }
    if (s->lines > 0 && length > o.maxHeaderLine)
      return Refuse(refusal, 431, "A header line is longer than " + std::to_string(o.maxHeaderLine) + " bytes");
    s->lines++;
    s->lineStart = s->pos = eol + 1;
  }
  const size_t partial = buf.size() - s->lineStart;
  if (s->lines == 0 && partial > maxRequestLine)
    return Refuse(refusal, 414, "The request URL is longer than " + std::to_string(o.maxUrl) + " bytes");
  if (s->lines > 0 && partial > o.maxHeaderLine)
    return Refuse(refusal, 431, "A header line is longer than " + std::to_string(o.maxHeaderLine) + " bytes");
  if (buf.size() > o.maxHead)
    return Refuse(refusal, 431, "The request head is longer than " + std::to_string(o.maxHead) + " bytes");
  return Scan::NeedMore;
}

Scan ParseHead(std::string_view buf, const HttpFrontOptions& o, Head* head, Refusal* refusal) {
  size_t pos = 0;
  bool first = true;
  size_t count = 0;
  while (true) {
    const size_t eol = buf.find('\n', pos);
    if (eol == std::string_view::npos) return Refuse(refusal, 400, "The request head is incomplete");
    std::string_view line = buf.substr(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = eol + 1;
    if (pos > o.maxHead)
      return Refuse(refusal, 431, "The request head is longer than " + std::to_string(o.maxHead) + " bytes");
    if (line.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos)
      return Refuse(refusal, 400, "The request head holds a stray control character");
    if (first) {
      first = false;
      const size_t a = line.find(' ');
      const size_t b = a == std::string_view::npos ? a : line.find(' ', a + 1);
      if (b == std::string_view::npos || line.find(' ', b + 1) != std::string_view::npos)
        return Refuse(refusal, 400, "The request line is not 'METHOD TARGET HTTP/1.1'");
      head->method = std::string(line.substr(0, a));
      head->target = std::string(line.substr(a + 1, b - a - 1));
      head->version = std::string(line.substr(b + 1));
      if (head->target.size() > o.maxUrl)
        return Refuse(refusal, 414, "The request URL is longer than " + std::to_string(o.maxUrl) + " bytes");
      if (!IsToken(head->method) || head->target.empty())
        return Refuse(refusal, 400, "The request line is not 'METHOD TARGET HTTP/1.1'");
      if (head->version != "HTTP/1.1" && head->version != "HTTP/1.0") {
        if (head->version.rfind("HTTP/", 0) == 0)
          return Refuse(refusal, 505, "Only HTTP/1.1 and HTTP/1.0 are spoken here");
        return Refuse(refusal, 400, "The request line is not 'METHOD TARGET HTTP/1.1'");
      }
      // Only paths: a full URL would name a host of its own, past the Host check.
      if (head->target[0] != '/' && !(head->target == "*" && head->method == "OPTIONS"))
        return Refuse(refusal, 400, "The request target must be a path");
      continue;
    }
    if (line.empty()) break;
    if (line.size() > o.maxHeaderLine)
      return Refuse(refusal, 431, "A header line is longer than " + std::to_string(o.maxHeaderLine) + " bytes");
    if (++count > o.maxHeaders)
      return Refuse(refusal, 431, "The request has more than " + std::to_string(o.maxHeaders) + " header lines");
    if (line[0] == ' ' || line[0] == '\t') return Refuse(refusal, 400, "Folded header lines are not accepted");
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon)))
      return Refuse(refusal, 400, "A header line is not 'Name: value'");
    head->headers.emplace_back(std::string(line.substr(0, colon)), std::string(Trim(line.substr(colon + 1))));
  }
  head->length = pos;
  return Scan::Done;
}

bool ReadFraming(Head* head, const HttpFrontOptions& o, Refusal* refusal) {
  const auto encodings = head->All("transfer-encoding");
  const auto lengths = head->All("content-length");
  if (!encodings.empty() && !lengths.empty()) {
    Refuse(refusal, 400, "A request may not carry both Transfer-Encoding and Content-Length");
    return false;
  }
  if (!encodings.empty()) {
    std::string joined;
    for (const std::string* e : encodings) joined += (joined.empty() ? "" : ",") + *e;
    if (Lower(Trim(joined)) != "chunked") {
      Refuse(refusal, 501, "Transfer-Encoding '" + joined + "' is not supported; send 'chunked' or a Content-Length");
      return false;
    }
    head->chunked = true;
  }
  for (const std::string* value : lengths) {
    if (value->empty() || value->size() > 19 ||
        !std::all_of(value->begin(), value->end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        (head->hasLength && std::stoull(*value) != head->contentLength)) {
      Refuse(refusal, 400, "The Content-Length is not one decimal number");
      return false;
    }
    head->hasLength = true;
    head->contentLength = std::stoull(*value);
  }
  if (head->hasLength && head->contentLength > o.maxBody) {
    Refuse(refusal, 413,
           "The body of " + std::to_string(head->contentLength) + " bytes is over the cap of " +
               std::to_string(o.maxBody) + " bytes");
    return false;
  }
  // A compressed body would be inflated past every cap; no client of the
  // host needs to send one.
  if (const std::string* coding = head->Find("content-encoding")) {
    if (Lower(*coding) != "identity") {
      Refuse(refusal, 415, "Compressed request bodies (Content-Encoding '" + *coding + "') are not accepted");
      return false;
    }
  }
  return true;
}

ChunkScan ScanChunked(std::string_view raw, ChunkState* s, size_t maxBody, size_t maxTrailers) {
  while (true) {
    const size_t eol = raw.find('\n', s->pos);
    if (eol == std::string_view::npos) {
      const size_t partial = raw.size() - s->pos;
      if (s->trailers) return s->trailerBytes + partial > maxTrailers ? ChunkScan::Bad : ChunkScan::NeedMore;
      return partial > kMaxChunkLine ? ChunkScan::Bad : ChunkScan::NeedMore;
    }
    std::string_view line = raw.substr(s->pos, eol - s->pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (s->trailers) {
      s->trailerBytes += eol + 1 - s->pos;
      if (s->trailerBytes > maxTrailers) return ChunkScan::Bad;
      s->pos = eol + 1;
      if (line.empty()) return ChunkScan::Done;
      continue;  // trailer fields are read and dropped
    }
    if (line.size() > kMaxChunkLine) return ChunkScan::Bad;
    uint64_t size = 0;
    size_t digits = 0;
    for (; digits < line.size(); ++digits) {
      const char c = line[digits];
      int v = -1;
      if (c >= '0' && c <= '9') v = c - '0';
      if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
      if (v < 0) break;
      if (digits >= 15) return ChunkScan::TooLarge;
      size = size * 16 + static_cast<uint64_t>(v);
    }
    const std::string_view rest = Trim(line.substr(digits));
    if (digits == 0 || (!rest.empty() && rest[0] != ';')) return ChunkScan::Bad;
    if (size > maxBody - s->body.size()) return ChunkScan::TooLarge;
    if (size == 0) {
      s->pos = eol + 1;
      s->trailers = true;
      continue;
    }
    const size_t dataEnd = eol + 1 + static_cast<size_t>(size);
    if (raw.size() < dataEnd + 2) return ChunkScan::NeedMore;
    if (raw.substr(dataEnd, 2) != "\r\n") return ChunkScan::Bad;
    s->body.append(raw.substr(eol + 1, static_cast<size_t>(size)));
    s->pos = dataEnd + 2;
  }
}

}  // namespace kivhost
