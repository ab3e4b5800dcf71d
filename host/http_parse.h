// Reading requests as they arrive, piece by piece: where a head ends, what
// it says, how its body is framed, and chunked bodies, with every cap of
// HttpFrontOptions enforced as early as the bytes allow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "http_front.h"
#include "http_text.h"

namespace kivhost {

// Why a request is answered by the front itself, and the connection closed.
struct Refusal {
  int status = 0;
  std::string message;
  Headers headers;
};

struct Head {
  std::string method, target, version;
  Headers headers;    // names as sent, values without surrounding blanks
  size_t length = 0;  // bytes of the head in the buffer, the blank line included
  bool chunked = false;
  bool hasLength = false;
  uint64_t contentLength = 0;

  std::vector<const std::string*> All(std::string_view lowerName) const {
    std::vector<const std::string*> out;
    for (const auto& [name, value] : headers) {
      if (name.size() == lowerName.size() && Lower(name) == lowerName) out.push_back(&value);
    }
    return out;
  }
  const std::string* Find(std::string_view lowerName) const {
    auto all = All(lowerName);
    return all.empty() ? nullptr : all.front();
  }
  std::string Path() const { return target.substr(0, target.find('?')); }
};

enum class Scan { NeedMore, Done, Refused };

// Fills the refusal; returns Scan::Refused for the callers that pass it on.
Scan Refuse(Refusal* refusal, int status, std::string message);

// How far the search for the end of a head has come, so that each byte of a
// head that trickles in is looked at once, not once per piece.
struct HeadScan {
  size_t pos = 0;        // examined up to here
  size_t lineStart = 0;  // of the line being read
  size_t lines = 0;      // complete lines, the request line included
};

// Finds the end of the head at the start of `buf` and enforces the size caps
// on the way, so that an endless line is refused as soon as it is too long
// rather than when it ends. `*end` is the length of the whole head.
[[nodiscard]] Scan FindHeadEnd(std::string_view buf, const HttpFrontOptions& o, HeadScan* s, size_t* end,
                               Refusal* refusal);

// Reads a whole head, as FindHeadEnd delimited it: the request line and the
// headers, with every cap.
[[nodiscard]] Scan ParseHead(std::string_view buf, const HttpFrontOptions& o, Head* head, Refusal* refusal);

// How the body is framed, and whether it can be taken at all.
[[nodiscard]] bool ReadFraming(Head* head, const HttpFrontOptions& o, Refusal* refusal);

enum class ChunkScan { NeedMore, Done, Bad, TooLarge };

// A chunked body being read; `pos` is where the next chunk line starts,
// relative to the body, so that every byte is looked at once.
struct ChunkState {
  size_t pos = 0;
  bool trailers = false;
  size_t trailerBytes = 0;
  std::string body;
};

// Decodes as much of a chunked body as `raw` holds; trailer fields are read
// within `maxTrailers` bytes and dropped.
[[nodiscard]] ChunkScan ScanChunked(std::string_view raw, ChunkState* s, size_t maxBody, size_t maxTrailers);

}  // namespace kivhost
