#include "http_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>

#include "host.h"
#include "peers.h"
#include "router.h"

namespace kivhost {
namespace {

using Clock = std::chrono::steady_clock;
using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr size_t kMaxQueuedEvents = 10000;
constexpr size_t kReadPiece = 64 * 1024;
constexpr size_t kMaxChunkLine = 1024;
constexpr size_t kMaxAcceptsPerTurn = 64;
// After an answer that closes the connection, what the client still sends is
// read and dropped for a moment: closing on unread bytes resets the
// connection, and the client may then lose the answer.
constexpr std::chrono::milliseconds kLinger{1000};
constexpr size_t kLingerBytes = 1u << 20;
constexpr std::chrono::milliseconds kAcceptPause{100};
constexpr int kStreamRetryAfterSeconds = 5;

// ---- small text helpers ---------------------------------------------------------

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

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool IsToken(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar); }

// Whether a comma-separated header value lists `token` (case-insensitive).
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

// An answer the front gives itself, before or instead of any handler: JSON
// like every other error, and the connection closes after it.
std::string ClosingAnswer(int status, const std::string& message, const Headers& extra = {}) {
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

// ---- handlers -------------------------------------------------------------------

void SendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  if (status == 204 || status == 304) return;
  res.set_content(DumpJson(body), "application/json");
}

uint64_t SinceParam(const httplib::Request& req) {
  if (!req.has_param("since")) return 0;
  const std::string text = req.get_param_value("since");
  if (text.empty() || text.size() > 19) return 0;
  if (!std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; })) return 0;
  return std::stoull(text);
}

bool HopByHop(std::string name) {
  ToLowerAscii(&name);
  return name == "content-length" || name == "content-type" || name == "transfer-encoding" || name == "connection" ||
         name == "keep-alive";
}

struct Peer {
  std::string remoteIp, localIp;
  int remotePort = 0, localPort = 0;
};

// One whole request in memory and its answer: the handlers never touch a
// socket, so no client can make one wait.
class MemoryStream final : public httplib::Stream {
 public:
  MemoryStream(std::string_view in, std::string* out, const Peer& peer) : in_(in), out_(out), peer_(peer) {}
  bool is_readable() const override { return pos_ < in_.size(); }
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override {
    const size_t n = std::min(size, in_.size() - pos_);
    std::memcpy(ptr, in_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    out_->append(ptr, size);
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = peer_.remoteIp;
    port = peer_.remotePort;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = peer_.localIp;
    port = peer_.localPort;
  }
  // No socket: httplib compares it with FD_SETSIZE and must not find a large one.
  socket_t socket() const override { return INVALID_SOCKET; }

 private:
  std::string_view in_;
  size_t pos_ = 0;
  std::string* out_;
  const Peer& peer_;
};

class Handlers final : public httplib::Server {
 public:
  // Returns the answer's bytes; `close` tells whether the connection ends after it.
  std::string Process(std::string_view request, bool closeAfter, const Peer& peer, bool* close) {
    std::string out;
    MemoryStream stream(request, &out, peer);
    bool closed = false;
    const bool ok = process_request(stream, closeAfter, closed, nullptr);
    *close = closeAfter || closed || !ok;
    return out;
  }
};

// ---- request heads --------------------------------------------------------------

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

Scan Refuse(Refusal* refusal, int status, std::string message) {
  refusal->status = status;
  refusal->message = std::move(message);
  return Scan::Refused;
}

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
Scan FindHeadEnd(std::string_view buf, const HttpFront::Options& o, HeadScan* s, size_t* end, Refusal* refusal) {
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

// Reads a whole head, as FindHeadEnd delimited it: the request line and the
// headers, with every cap.
Scan ParseHead(std::string_view buf, const HttpFront::Options& o, Head* head, Refusal* refusal) {
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

// How the body is framed, and whether it can be taken at all.
bool ReadFraming(Head* head, const HttpFront::Options& o, Refusal* refusal) {
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

enum class ChunkScan { NeedMore, Done, Bad, TooLarge };

// A chunked body being read; `pos` is where the next chunk line starts,
// relative to the body, so that every byte is looked at once.
struct ChunkState {
  size_t pos = 0;
  bool trailers = false;
  size_t trailerBytes = 0;
  std::string body;
};

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

// "name[:port]" or "[v6]:port" into a lower-case name (brackets kept) and a
// port, -1 when absent.
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

// ---- event streams --------------------------------------------------------------

struct Listener {
  std::string filter;  // event name, or empty for every event
  std::deque<std::string> queue;
  size_t bytes = 0;
  size_t dropped = 0;
};

// What the publishing threads share with the serving thread. The host's
// observer holds it too, so that an event published while the front goes
// away finds it still there.
struct Hub {
  std::mutex mutex;
  std::vector<std::shared_ptr<Listener>> listeners;
  size_t backlog = 0;
  int wake[2] = {-1, -1};
  std::atomic<bool> wakePending{false};

  Hub() {
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) wake[0] = wake[1] = -1;
  }
  ~Hub() {
    for (int fd : wake) {
      if (fd >= 0) close(fd);
    }
  }
  void Wake() {
    if (!wakePending.exchange(true)) (void)!write(wake[1], "w", 1);
  }
  void Broadcast(const RecordedEvent& e) {
    // Rendering an event costs more than publishing it; with nobody listening
    // (the common case under load) it is skipped altogether.
    std::vector<std::shared_ptr<Listener>> targets;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (const auto& l : listeners) {
        if (l->filter.empty() || l->filter == e.name) targets.push_back(l);
      }
    }
    if (targets.empty()) return;
    const std::string text = "id: " + std::to_string(e.seq) + "\ndata: " + DumpJson(e.ToJson()) + "\n\n";
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (const auto& l : targets) {
        l->queue.push_back(text);
        l->bytes += text.size();
        // A client that does not read loses its oldest events, not the host's memory.
        while (l->queue.size() > 1 && (l->bytes > backlog || l->queue.size() > kMaxQueuedEvents)) {
          l->bytes -= l->queue.front().size();
          l->queue.pop_front();
          ++l->dropped;
        }
      }
    }
    Wake();
  }
};

}  // namespace

// ---- the front --------------------------------------------------------------------

struct HttpFront::Impl {
  enum class State { Reading, Busy, Writing, Lingering };

  struct Conn {
    int fd = -1;
    Peer peer;
    State state = State::Reading;
    std::string in;
    std::string out;
    size_t outPos = 0;
    bool closeAfter = false;
    size_t served = 0;
    bool requestActive = false;  // bytes of a request have arrived
    std::optional<Head> head;    // once the head of that request is whole
    HeadScan scan;
    ChunkState chunks;
    bool continueSent = false;
    Clock::time_point idleSince, requestStart, lastProgress, lingerStart;
    size_t lingered = 0;
  };
  struct Stream {
    int fd = -1;
    std::shared_ptr<Listener> listener;
    bool chunked = true;
    std::string out;
    size_t outPos = 0;
    Clock::time_point lastProgress, nextHeartbeat;
  };
  struct Job {
    uint64_t conn;
    std::string request;
    bool closeAfter;
    Peer peer;
  };
  struct Result {
    uint64_t conn;
    std::string response;
    bool close;
  };

  Impl(Host& host, Options options) : host_(host), o_(std::move(options)), hub_(std::make_shared<Hub>()) {
    o_.threads = std::max<size_t>(o_.threads, 1);
    o_.maxConnections = std::max<size_t>(o_.maxConnections, 1);
    o_.maxRequestsPerConnection = std::max<size_t>(o_.maxRequestsPerConnection, 1);
    hub_->backlog = o_.streamBacklog;
    // A chunked body may spend some bytes on framing; beyond this it spends too many.
    maxBuffered_ = o_.maxHead + 2 * o_.maxBody + kReadPiece;
    handlers_.set_payload_max_length(o_.maxBody);
    handlers_.set_keep_alive_max_count(o_.maxRequestsPerConnection);
    handlers_.set_keep_alive_timeout(std::max<time_t>(
        1, static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(o_.keepAlive).count())));
    Route();
    std::shared_ptr<Hub> hub = hub_;
    observer_ = host_.Observe([hub](const RecordedEvent& e) { hub->Broadcast(e); });
  }

  ~Impl() {
    Stop();
    host_.Unobserve(observer_);
    if (listenFd_ >= 0) close(listenFd_);
  }

  void Route();
  int Bind(const std::string& address, int port);
  bool Serve();
  void Stop();

  // Serving thread only, from here on.
  void Accept(Clock::time_point now);
  bool EvictIdle();
  void OnReadable(uint64_t id, Conn& c, Clock::time_point now);
  void Advance(uint64_t id, Conn& c, Clock::time_point now);
  void Reply(uint64_t id, Conn& c, std::string bytes, bool close, Clock::time_point now);
  void RefuseRequest(uint64_t id, Conn& c, const Refusal& r, Clock::time_point now);
  void Flush(uint64_t id, Conn& c, Clock::time_point now);
  void Linger(Conn& c, Clock::time_point now);
  void CloseConn(uint64_t id);
  bool CheckHead(const Head& head, Refusal* refusal) const;
  bool OwnAuthority(std::string_view text) const;
  void StartStream(uint64_t id, Conn& c, const Head& head, Clock::time_point now);
  void Pump(uint64_t id, Stream& s, Clock::time_point now);
  void CloseStream(uint64_t id);
  void TakeResults(Clock::time_point now);
  void CheckTimers(Clock::time_point now);
  int NextTimeoutMs(Clock::time_point now) const;
  void OnConnEvent(uint64_t id, short revents, Clock::time_point now);
  void OnStreamEvent(uint64_t id, short revents);
  void EndEverything();
  void CloseAnswered();
  void Work();

  Host& host_;
  Options o_;
  std::shared_ptr<Hub> hub_;
  Handlers handlers_;
  int observer_ = 0;
  int listenFd_ = -1;
  int port_ = -1;
  std::set<std::string> ownNames_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> serving_{false};
  std::thread thread_;

  std::map<uint64_t, Conn> conns_;
  std::map<uint64_t, Stream> streams_;
  uint64_t nextId_ = 1;
  size_t maxBuffered_ = 0;
  Clock::time_point acceptPausedUntil_{};

  std::mutex jobsMutex_;
  std::condition_variable jobsCv_;
  std::deque<Job> jobs_;
  bool workersStop_ = false;
  std::mutex resultsMutex_;
  std::vector<Result> results_;
};

void HttpFront::Impl::Route() {
  httplib::Server& s = handlers_;

  s.Get("/api", [this](const httplib::Request&, httplib::Response& res) {
    json api = host_.DescribeApi();
    api["subscriptions"] = host_.Subscriptions();
    SendJson(res, 200, api);
  });
  s.Get("/kivhost/requests", [this](const httplib::Request& req, httplib::Response& res) {
    json out = json::array();
    for (const auto& r : host_.Requests(SinceParam(req))) out.push_back(r.ToJson());
    SendJson(res, 200, out);
  });
  s.Get("/kivhost/events", [this](const httplib::Request& req, httplib::Response& res) {
    json out = json::array();
    for (const auto& e : host_.Events(SinceParam(req))) out.push_back(e.ToJson());
    SendJson(res, 200, out);
  });
  s.Get("/kivhost/log", [this](const httplib::Request& req, httplib::Response& res) {
    json out = json::array();
    for (const auto& l : host_.Logs(SinceParam(req))) {
      out.push_back({{"seq", l.seq}, {"time", l.time}, {"plugin", l.plugin}, {"level", l.level}, {"text", l.text}});
    }
    SendJson(res, 200, out);
  });
  s.Get("/kivhost/peers", [this](const httplib::Request&, httplib::Response& res) {
    if (host_.peers() == nullptr) return SendJson(res, 404, json{{"error", "The peers are not simulated"}});
    SendJson(res, 200, host_.peers()->State());
  });

  auto dispatch = [this](const httplib::Request& req, httplib::Response& res) {
    Call call;
    call.method = req.method;
    call.url = req.target.empty() ? req.path : req.target;
    for (const auto& [name, value] : req.headers) {
      std::string lower = name;
      ToLowerAscii(&lower);
      // httplib adds these for its own bookkeeping; they are not the client's.
      if (lower == "remote_addr" || lower == "remote_port" || lower == "local_addr" || lower == "local_port") continue;
      call.headers.emplace_back(std::move(lower), value);
    }
    call.contentType = req.get_header_value("Content-Type");
    call.body = req.body;
    Answer answer = host_.Dispatch(call);
    const int status = answer.HttpStatus();
    for (const auto& [name, value] : answer.headers) {
      if (!HopByHop(name)) res.set_header(name, value);
    }
    if (status == 405 && !answer.allowed.empty()) {
      std::string allow;
      for (const auto& m : answer.allowed) allow += (allow.empty() ? "" : ", ") + m;
      res.set_header("Allow", allow);
    }
    SendJson(res, status, answer.HttpBody());
  };
  // The catch-all handlers below cost an expression match per request. A
  // request without a body needs nothing httplib does after pre-routing, so
  // it is dispatched here; the host's own GET paths and bodies go the regular
  // way. Requests arrive whole and with any chunked body already decoded, so
  // no Content-Length means no body.
  s.set_pre_routing_handler([dispatch](const httplib::Request& req, httplib::Response& res) {
    using Outcome = httplib::Server::HandlerResponse;
    const std::string& m = req.method;
    const bool get = m == "GET" || m == "HEAD";
    if (!get && m != "POST" && m != "PUT" && m != "PATCH" && m != "DELETE" && m != "OPTIONS") return Outcome::Unhandled;
    if (get && (req.path == "/api" || req.path.rfind("/kivhost/", 0) == 0)) return Outcome::Unhandled;
    if (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0") return Outcome::Unhandled;
    dispatch(req, res);
    return Outcome::Handled;
  });
  for (const char* pattern : {".*"}) {
    s.Get(pattern, dispatch);
    s.Post(pattern, dispatch);
    s.Put(pattern, dispatch);
    s.Patch(pattern, dispatch);
    s.Delete(pattern, dispatch);
    s.Options(pattern, dispatch);
  }

  s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    res.set_content(DumpJson(json{{"error", StatusText(res.status)}}), "application/json");
    return httplib::Server::HandlerResponse::Handled;
  }));
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "The host failed";
    try {
      if (ep) std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what += std::string(": ") + e.what();
    } catch (...) {
    }
    res.status = 500;
    res.set_content(DumpJson(json{{"error", what}}), "application/json");
  });
}

int HttpFront::Impl::Bind(const std::string& address, int port) {
  if (listenFd_ >= 0 || port < 0 || port > 65535) return -1;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.empty() ? nullptr : address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
    return -1;
  for (addrinfo* a = found; a != nullptr && listenFd_ < 0; a = a->ai_next) {
    const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (a->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 128) == 0) {
      listenFd_ = fd;
    } else {
      close(fd);
    }
  }
  freeaddrinfo(found);
  if (listenFd_ < 0) return -1;
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  ownNames_ = {"127.0.0.1", "localhost", "[::1]"};
  // Serving a given address on purpose accepts it as a name; the wildcard
  // addresses name no host, so those callers list their names themselves.
  if (!address.empty() && address != "0.0.0.0" && address != "::") ownNames_.insert(HostName(address));
  for (const std::string& name : o_.allowedHosts) ownNames_.insert(HostName(name));
  return port_;
}

bool HttpFront::Impl::OwnAuthority(std::string_view text) const {
  std::string name;
  int port = -1;
  if (!SplitAuthority(text, &name, &port)) return false;
  return (port < 0 ? 80 : port) == port_ && ownNames_.count(name) != 0;
}

// Requests that name the host by any other address (a page that rebound its
// own name to 127.0.0.1) or come from any other page than the host's own are
// refused before anything reads them.
bool HttpFront::Impl::CheckHead(const Head& head, Refusal* refusal) const {
  const auto hosts = head.All("host");
  const auto origins = head.All("origin");
  if (hosts.size() > 1) {
    Refuse(refusal, 400, "The request has more than one Host header");
  } else if (hosts.empty() && head.version == "HTTP/1.1") {
    Refuse(refusal, 400, "An HTTP/1.1 request needs a Host header");
  } else if (!hosts.empty() && !OwnAuthority(*hosts[0])) {
    Refuse(refusal, 403,
           "This host answers requests addressed to 127.0.0.1, localhost or [::1] on port " + std::to_string(port_) +
               ", not to '" + *hosts[0] + "'; to serve another name on purpose, start kivhost with --allow-host NAME");
  } else {
    for (const std::string* origin : origins) {
      if (origins.size() > 1 || Lower(*origin).rfind("http://", 0) != 0 ||
          !OwnAuthority(std::string_view(*origin).substr(7))) {
        Refuse(refusal, 403, "Requests from other web pages are refused (Origin '" + *origin + "')");
        break;
      }
    }
  }
  return refusal->status == 0;
}

void HttpFront::Impl::Accept(Clock::time_point now) {
  for (size_t i = 0; i < kMaxAcceptsPerTurn; ++i) {
    sockaddr_storage remote{};
    socklen_t length = sizeof remote;
    const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&remote), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors or memory: the pending connections wait in the
      // backlog rather than spin this loop.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        acceptPausedUntil_ = now + kAcceptPause;
      return;
    }
    if (conns_.size() >= o_.maxConnections && !EvictIdle()) {
      const std::string busy =
          ClosingAnswer(503, "Too many connections are open; try again shortly", {{"Retry-After", "1"}});
      (void)!send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      close(fd);
      continue;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Conn c;
    c.fd = fd;
    auto describe = [](const sockaddr_storage& a, std::string* ip, int* port) {
      char text[INET6_ADDRSTRLEN] = "";
      if (a.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        *port = ntohs(v6->sin6_port);
      } else {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        *port = ntohs(v4->sin_port);
      }
      *ip = text;
    };
    describe(remote, &c.peer.remoteIp, &c.peer.remotePort);
    sockaddr_storage local{};
    length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
      describe(local, &c.peer.localIp, &c.peer.localPort);
    c.idleSince = now;
    conns_.emplace(nextId_++, std::move(c));
  }
}

// A connection waiting between requests is the cheapest to give up: its
// client reconnects as keep-alive clients do whenever a server closes.
bool HttpFront::Impl::EvictIdle() {
  auto oldest = conns_.end();
  for (auto it = conns_.begin(); it != conns_.end(); ++it) {
    const Conn& c = it->second;
    if (c.state != State::Reading || c.requestActive || c.outPos < c.out.size()) continue;
    if (oldest == conns_.end() || c.idleSince < oldest->second.idleSince) oldest = it;
  }
  if (oldest == conns_.end()) return false;
  CloseConn(oldest->first);
  return true;
}

void HttpFront::Impl::CloseConn(uint64_t id) {
  auto it = conns_.find(id);
  if (it == conns_.end()) return;
  close(it->second.fd);
  conns_.erase(it);
}

void HttpFront::Impl::OnReadable(uint64_t id, Conn& c, Clock::time_point now) {
  char buffer[kReadPiece];
  if (c.state == State::Lingering) {
    while (true) {
      const ssize_t n = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        c.lingered += static_cast<size_t>(n);
        if (c.lingered <= kLingerBytes) continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
      return CloseConn(id);
    }
  }
  const ssize_t n = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    return CloseConn(id);
  }
  if (n == 0) {
    // The client is done sending: a request it left unfinished cannot be answered.
    if (!c.requestActive) return CloseConn(id);
    Refusal r;
    Refuse(&r, 400, "The connection ended inside a request");
    return RefuseRequest(id, c, r, now);
  }
  if (!c.requestActive) {
    c.requestActive = true;
    c.requestStart = now;
  }
  c.in.append(buffer, static_cast<size_t>(n));
  Advance(id, c, now);
}

// Reads as much of the request as has arrived; a whole one goes to a worker
// or becomes an event stream.
void HttpFront::Impl::Advance(uint64_t id, Conn& c, Clock::time_point now) {
  if (c.state != State::Reading || c.in.empty()) return;
  if (!c.requestActive) {
    c.requestActive = true;
    c.requestStart = now;
  }
  Refusal refusal;
  if (!c.head) {
    // Blank lines between requests are tolerated, and are no request yet.
    const size_t start = c.in.find_first_not_of("\r\n");
    if (start != 0) {
      c.in.erase(0, start == std::string::npos ? c.in.size() : start);
      c.scan = HeadScan();
    }
    if (c.in.empty()) {
      c.requestActive = false;
      c.idleSince = now;
      return;
    }
    size_t end = 0;
    Head head;
    Scan scan = FindHeadEnd(c.in, o_, &c.scan, &end, &refusal);
    if (scan == Scan::NeedMore) return;
    if (scan == Scan::Done) scan = ParseHead(std::string_view(c.in).substr(0, end), o_, &head, &refusal);
    if (scan == Scan::Refused || !CheckHead(head, &refusal) || !ReadFraming(&head, o_, &refusal))
      return RefuseRequest(id, c, refusal, now);
    c.head = std::move(head);
    c.scan = HeadScan();
    c.chunks = ChunkState();
    c.continueSent = false;
  }
  const Head& head = *c.head;
  const std::string_view raw = std::string_view(c.in).substr(head.length);
  size_t consumed = head.length;
  std::string_view body;
  bool complete = true;
  if (head.chunked) {
    switch (ScanChunked(raw, &c.chunks, o_.maxBody, o_.maxHead)) {
      case ChunkScan::NeedMore:
        complete = false;
        break;
      case ChunkScan::Bad:
        return RefuseRequest(id, c, Refusal{400, "The chunked body is malformed", {}}, now);
      case ChunkScan::TooLarge:
        return RefuseRequest(
            id, c, Refusal{413, "The body is over the cap of " + std::to_string(o_.maxBody) + " bytes", {}}, now);
      case ChunkScan::Done:
        body = c.chunks.body;
        consumed += c.chunks.pos;
        break;
    }
  } else if (head.hasLength) {
    if (raw.size() < head.contentLength) {
      complete = false;
    } else {
      body = raw.substr(0, static_cast<size_t>(head.contentLength));
      consumed += static_cast<size_t>(head.contentLength);
    }
  }
  if (!complete && c.in.size() >= maxBuffered_) {
    return RefuseRequest(id, c,
                         Refusal{413, "The body is over the cap of " + std::to_string(o_.maxBody) + " bytes", {}}, now);
  }
  if (!complete) {
    const std::string* expect = head.Find("expect");
    if (expect != nullptr && Lower(*expect) == "100-continue" && !c.continueSent) {
      c.continueSent = true;
      c.out.append("HTTP/1.1 100 Continue\r\n\r\n");
      Flush(id, c, now);
    }
    return;
  }

  if (head.method == "GET" && head.Path() == "/events") {
    const Head stream = head;
    c.in.clear();
    return StartStream(id, c, stream, now);
  }

  // What the handlers read: the head as parsed, with the body whole and its
  // length stated, and nothing httplib would answer on its own (100-continue).
  std::string request = head.method + " " + head.target + " " + head.version + "\r\n";
  for (const auto& [name, value] : head.headers) {
    const std::string lower = Lower(name);
    if (lower == "content-length" || lower == "transfer-encoding" || lower == "expect") continue;
    request += name + ": " + value + "\r\n";
  }
  if (head.hasLength || head.chunked) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "\r\n";
  request.append(body);

  bool closeAfter = stopping_.load() || c.served + 1 >= o_.maxRequestsPerConnection;
  for (const std::string* connection : head.All("connection")) {
    if (ListsToken(*connection, "close")) closeAfter = true;
  }
  if (head.version == "HTTP/1.0") {
    bool keep = false;
    for (const std::string* connection : head.All("connection")) keep = keep || ListsToken(*connection, "keep-alive");
    closeAfter = closeAfter || !keep;
  }
  c.in.erase(0, consumed);
  c.head.reset();
  c.chunks = ChunkState();
  c.requestActive = false;
  c.state = State::Busy;
  {
    std::lock_guard<std::mutex> lock(jobsMutex_);
    jobs_.push_back(Job{id, std::move(request), closeAfter, c.peer});
  }
  jobsCv_.notify_one();
}

void HttpFront::Impl::RefuseRequest(uint64_t id, Conn& c, const Refusal& r, Clock::time_point now) {
  c.in.clear();
  c.scan = HeadScan();
  c.head.reset();
  c.requestActive = false;
  Reply(id, c, ClosingAnswer(r.status, r.message, r.headers), true, now);
}

void HttpFront::Impl::Reply(uint64_t id, Conn& c, std::string bytes, bool close, Clock::time_point now) {
  c.out.erase(0, c.outPos);
  c.outPos = 0;
  c.out += bytes;
  c.closeAfter = close;
  c.state = State::Writing;
  c.lastProgress = now;
  Flush(id, c, now);
}

void HttpFront::Impl::Flush(uint64_t id, Conn& c, Clock::time_point now) {
  while (c.outPos < c.out.size()) {
    const ssize_t n = send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      return CloseConn(id);
    }
    c.outPos += static_cast<size_t>(n);
    c.lastProgress = now;
  }
  c.out.clear();
  c.outPos = 0;
  if (c.state != State::Writing) return;
  ++c.served;
  if (c.closeAfter) return Linger(c, now);
  c.state = State::Reading;
  c.idleSince = now;
  Advance(id, c, now);  // a pipelined request may be waiting
}

void HttpFront::Impl::Linger(Conn& c, Clock::time_point now) {
  shutdown(c.fd, SHUT_WR);
  c.state = State::Lingering;
  c.lingerStart = now;
  c.in.clear();
}

void HttpFront::Impl::StartStream(uint64_t id, Conn& c, const Head& head, Clock::time_point now) {
  auto listener = std::make_shared<Listener>();
  listener->filter =
      ParseQuery(head.target.find('?') == std::string::npos ? std::string()
                                                            : head.target.substr(head.target.find('?') + 1))["name"];
  {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    if (hub_->listeners.size() >= o_.maxStreams) {
      Refusal r{503,
                "All " + std::to_string(o_.maxStreams) + " event streams are taken; try again when one has closed",
                {{"Retry-After", std::to_string(kStreamRetryAfterSeconds)}}};
      return RefuseRequest(id, c, r, now);
    }
    hub_->listeners.push_back(listener);
  }
  Stream s;
  s.fd = c.fd;
  s.listener = std::move(listener);
  s.chunked = head.version == "HTTP/1.1";
  // The stream ends with the connection: no length, and it is never reused.
  s.out = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n";
  s.out += s.chunked ? "Transfer-Encoding: chunked\r\n" : "";
  s.out += "Connection: close\r\n\r\n";
  s.out += s.chunked ? Chunk(": connected\n\n") : std::string(": connected\n\n");
  s.lastProgress = now;
  s.nextHeartbeat = now + o_.heartbeat;
  conns_.erase(id);  // the descriptor now belongs to the stream
  const uint64_t streamId = nextId_++;
  Pump(streamId, streams_.emplace(streamId, std::move(s)).first->second, now);
}

void HttpFront::Impl::Pump(uint64_t id, Stream& s, Clock::time_point now) {
  if (s.outPos == s.out.size()) {
    s.out.clear();
    s.outPos = 0;
    std::string payload;
    {
      std::lock_guard<std::mutex> lock(hub_->mutex);
      Listener& l = *s.listener;
      if (l.dropped != 0) payload += ": " + std::to_string(l.dropped) + " events dropped\n\n";
      l.dropped = 0;
      for (const std::string& text : l.queue) payload += text;
      l.queue.clear();
      l.bytes = 0;
    }
    // The comment also finds clients that went away without closing.
    if (payload.empty() && now >= s.nextHeartbeat) payload = ": keep-alive\n\n";
    if (payload.empty()) return;
    s.out = s.chunked ? Chunk(payload) : std::move(payload);
  }
  while (s.outPos < s.out.size()) {
    const ssize_t n = send(s.fd, s.out.data() + s.outPos, s.out.size() - s.outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      return CloseStream(id);
    }
    s.outPos += static_cast<size_t>(n);
    s.lastProgress = now;
    s.nextHeartbeat = now + o_.heartbeat;
  }
}

void HttpFront::Impl::CloseStream(uint64_t id) {
  auto it = streams_.find(id);
  if (it == streams_.end()) return;
  {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    auto& all = hub_->listeners;
    all.erase(std::remove(all.begin(), all.end(), it->second.listener), all.end());
  }
  close(it->second.fd);
  streams_.erase(it);
}

void HttpFront::Impl::TakeResults(Clock::time_point now) {
  std::vector<Result> results;
  {
    std::lock_guard<std::mutex> lock(resultsMutex_);
    results.swap(results_);
  }
  for (Result& r : results) {
    auto it = conns_.find(r.conn);
    if (it == conns_.end()) continue;
    if (r.response.empty()) {
      CloseConn(r.conn);
      continue;
    }
    Reply(r.conn, it->second, std::move(r.response), r.close || stopping_.load(), now);
  }
}

void HttpFront::Impl::CheckTimers(Clock::time_point now) {
  std::vector<uint64_t> expired, slow;
  for (auto& [id, c] : conns_) {
    switch (c.state) {
      case State::Reading:
        if (c.outPos < c.out.size() && now - c.lastProgress >= o_.writeTimeout) {
          expired.push_back(id);
        } else if (c.requestActive && now - c.requestStart >= o_.requestTimeout) {
          slow.push_back(id);
        } else if (!c.requestActive && now - c.idleSince >= o_.keepAlive) {
          expired.push_back(id);
        }
        break;
      case State::Writing:
        if (now - c.lastProgress >= o_.writeTimeout) expired.push_back(id);
        break;
      case State::Lingering:
        if (now - c.lingerStart >= kLinger) expired.push_back(id);
        break;
      case State::Busy:
        break;
    }
  }
  for (uint64_t id : expired) CloseConn(id);
  for (uint64_t id : slow) {
    auto it = conns_.find(id);
    if (it == conns_.end()) continue;
    RefuseRequest(
        id, it->second,
        Refusal{
            408, "The request did not arrive whole within " + std::to_string(o_.requestTimeout.count()) + " ms", {}},
        now);
  }
  std::vector<uint64_t> stalled;
  for (auto& [id, s] : streams_) {
    if (s.outPos < s.out.size() && now - s.lastProgress >= o_.writeTimeout) {
      stalled.push_back(id);
    } else if (now >= s.nextHeartbeat) {
      Pump(id, s, now);
    }
  }
  for (uint64_t id : stalled) CloseStream(id);
}

int HttpFront::Impl::NextTimeoutMs(Clock::time_point now) const {
  Clock::time_point next = now + std::chrono::seconds(1);
  auto consider = [&](Clock::time_point t) { next = std::min(next, t); };
  for (const auto& [id, c] : conns_) {
    switch (c.state) {
      case State::Reading:
        if (c.outPos < c.out.size()) consider(c.lastProgress + o_.writeTimeout);
        consider(c.requestActive ? c.requestStart + o_.requestTimeout : c.idleSince + o_.keepAlive);
        break;
      case State::Writing:
        consider(c.lastProgress + o_.writeTimeout);
        break;
      case State::Lingering:
        consider(c.lingerStart + kLinger);
        break;
      case State::Busy:
        break;
    }
  }
  for (const auto& [id, s] : streams_) {
    consider(s.outPos < s.out.size() ? s.lastProgress + o_.writeTimeout : s.nextHeartbeat);
  }
  if (acceptPausedUntil_ > now) consider(acceptPausedUntil_);
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::max<long long>(0, wait) + (next > now ? 1 : 0));
}

// Every stream ends at once, with the end of its chunks where there is room
// for them; idle and half-read connections close; requests being handled
// are answered first.
void HttpFront::Impl::EndEverything() {
  if (listenFd_ >= 0) {
    close(listenFd_);
    listenFd_ = -1;
  }
  std::vector<uint64_t> ids;
  for (auto& [id, s] : streams_) {
    if (s.chunked) {
      s.out.erase(0, s.outPos);
      s.outPos = 0;
      s.out += "0\r\n\r\n";
      (void)!send(s.fd, s.out.data(), s.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ids.push_back(id);
  }
  for (uint64_t id : ids) CloseStream(id);
  {
    std::lock_guard<std::mutex> lock(jobsMutex_);
    for (const Job& job : jobs_) CloseConn(job.conn);
    jobs_.clear();
  }
  ids.clear();
  for (auto& [id, c] : conns_) {
    if (c.state == State::Busy) continue;
    if (c.outPos < c.out.size())
      (void)!send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
    ids.push_back(id);
  }
  for (uint64_t id : ids) CloseConn(id);
}

void HttpFront::Impl::Work() {
  while (true) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(jobsMutex_);
      jobsCv_.wait(lock, [&] { return workersStop_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    Result result{job.conn, std::string(), true};
    try {
      result.response = handlers_.Process(job.request, job.closeAfter, job.peer, &result.close);
    } catch (...) {
      // Out of memory, most likely: the answer is short and the connection ends.
      result.response = ClosingAnswer(500, "The host failed to answer");
      result.close = true;
    }
    {
      std::lock_guard<std::mutex> lock(resultsMutex_);
      results_.push_back(std::move(result));
    }
    hub_->Wake();
  }
}

void HttpFront::Impl::OnConnEvent(uint64_t id, short revents, Clock::time_point now) {
  auto it = conns_.find(id);
  if (it == conns_.end()) return;
  if (revents & POLLOUT) Flush(id, it->second, now);
  it = conns_.find(id);
  if (it == conns_.end() || !(revents & (POLLIN | POLLHUP | POLLERR))) return;
  if (it->second.state == State::Reading || it->second.state == State::Lingering) {
    OnReadable(id, it->second, now);
  } else if (revents & (POLLHUP | POLLERR)) {
    CloseConn(id);
  }
}

void HttpFront::Impl::OnStreamEvent(uint64_t id, short revents) {
  auto it = streams_.find(id);
  if (it == streams_.end()) return;
  if (revents & (POLLERR | POLLHUP)) return CloseStream(id);
  if (revents & POLLIN) {
    // Nothing is expected from a stream's client but its end.
    char drain[4096];
    const ssize_t n = recv(it->second.fd, drain, sizeof drain, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) CloseStream(id);
  }
}

// Once stopping, a connection whose answer has come closes with whatever of
// it fits into the socket at once.
void HttpFront::Impl::CloseAnswered() {
  std::vector<uint64_t> done;
  for (const auto& [id, c] : conns_) {
    if (c.state != State::Busy) done.push_back(id);
  }
  for (uint64_t id : done) {
    Conn& c = conns_.at(id);
    if (c.outPos < c.out.size())
      (void)!send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
    CloseConn(id);
  }
}

bool HttpFront::Impl::Serve() {
  if (listenFd_ < 0 || hub_->wake[0] < 0 || serving_.exchange(true)) return false;
  std::vector<std::thread> workers;
  for (size_t i = 0; i < o_.threads; ++i) workers.emplace_back([this] { Work(); });

  enum Kind { kWake, kListener, kConn, kStream };
  std::vector<pollfd> fds;
  std::vector<std::pair<Kind, uint64_t>> targets;
  bool ended = false;
  bool ok = true;
  while (true) {
    Clock::time_point now = Clock::now();
    if (stopping_.load() && !ended) {
      EndEverything();
      ended = true;
    }
    if (ended &&
        std::none_of(conns_.begin(), conns_.end(), [](const auto& e) { return e.second.state == State::Busy; }))
      break;
    fds.assign(1, pollfd{hub_->wake[0], POLLIN, 0});
    targets.assign(1, {kWake, 0});
    if (!ended && now >= acceptPausedUntil_) {
      fds.push_back({listenFd_, POLLIN, 0});
      targets.push_back({kListener, 0});
    }
    for (const auto& [id, c] : conns_) {
      short events = 0;
      if ((c.state == State::Reading && c.in.size() < maxBuffered_) || c.state == State::Lingering) events |= POLLIN;
      if (c.outPos < c.out.size()) events |= POLLOUT;
      if (events == 0) continue;
      fds.push_back({c.fd, events, 0});
      targets.push_back({kConn, id});
    }
    for (const auto& [id, s] : streams_) {
      fds.push_back({s.fd, static_cast<short>(POLLIN | (s.outPos < s.out.size() ? POLLOUT : 0)), 0});
      targets.push_back({kStream, id});
    }
    if (poll(fds.data(), fds.size(), ended ? 100 : NextTimeoutMs(now)) < 0 && errno != EINTR) {
      ok = false;
      stopping_.store(true);
      continue;
    }
    now = Clock::now();
    try {
      if (fds[0].revents != 0) {
        char drain[256];
        while (read(hub_->wake[0], drain, sizeof drain) > 0) {
        }
        hub_->wakePending.store(false);
      }
      TakeResults(now);
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        const auto [kind, id] = targets[i];
        if (kind == kListener) Accept(now);
        if (kind == kConn) OnConnEvent(id, fds[i].revents, now);
        if (kind == kStream) OnStreamEvent(id, fds[i].revents);
      }
      if (ended) {
        CloseAnswered();
        continue;
      }
      std::vector<uint64_t> ids;
      for (const auto& [id, s] : streams_) ids.push_back(id);
      for (uint64_t id : ids) {
        auto it = streams_.find(id);
        if (it != streams_.end()) Pump(id, it->second, now);
      }
      CheckTimers(now);
    } catch (const std::exception&) {
      // Out of memory while buffering: the clients of the moment lose their
      // connections, the front keeps serving.
      std::vector<uint64_t> ids;
      for (const auto& [id, c] : conns_) {
        if (c.state != State::Busy) ids.push_back(id);
      }
      for (uint64_t id : ids) CloseConn(id);
    }
  }
  {
    std::lock_guard<std::mutex> lock(jobsMutex_);
    workersStop_ = true;
  }
  jobsCv_.notify_all();
  for (std::thread& w : workers) w.join();
  for (auto& [id, c] : conns_) close(c.fd);
  conns_.clear();
  return ok;
}

void HttpFront::Impl::Stop() {
  stopping_.store(true);
  hub_->Wake();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

HttpFront::HttpFront(Host& host, Options options) : impl_(std::make_unique<Impl>(host, std::move(options))) {}

HttpFront::~HttpFront() = default;

int HttpFront::Bind(const std::string& address, int port) { return impl_->Bind(address, port); }

bool HttpFront::Serve() { return impl_->Serve(); }

void HttpFront::Start() {
  impl_->thread_ = std::thread([this] { impl_->Serve(); });
}

void HttpFront::Stop() { impl_->Stop(); }

int HttpFront::port() const { return impl_->port_; }

size_t HttpFront::listeners() const {
  std::lock_guard<std::mutex> lock(impl_->hub_->mutex);
  return impl_->hub_->listeners.size();
}

}  // namespace kivhost
