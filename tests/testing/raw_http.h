// Raw bytes over a loopback socket, for the HTTP front's tests that send what
// no well-behaved client would.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace kivhost::rawhttp {

inline int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A connection that stays open across requests and reads answers one at a
// time, as soon as each is whole.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(ConnectLoopback(port)) {}
  ~RawConnection() {
    if (fd_ >= 0) close(fd_);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  RawConnection(RawConnection&& other) noexcept : fd_(other.fd_), buffered_(std::move(other.buffered_)) {
    other.fd_ = -1;
  }

  bool ok() const { return fd_ >= 0; }
  bool Send(const std::string& bytes) {
    return fd_ >= 0 && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Tells the server that nothing more will come.
  void HalfClose() { shutdown(fd_, SHUT_WR); }

  // One answer: its head and a body of its Content-Length (or, without one,
  // whatever comes until the server closes). Empty when none is whole in time.
  std::string ReadAnswer(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    size_t headEnd;
    while ((headEnd = buffered_.find("\r\n\r\n")) == std::string::npos) {
      if (!Fill(end)) return "";
    }
    headEnd += 4;
    std::string lower = buffered_.substr(0, headEnd);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    const size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) {
      while (Fill(end)) {
      }
      return Take(buffered_.size());
    }
    const size_t length = std::stoul(lower.substr(at + 17));
    while (buffered_.size() < headEnd + length) {
      if (!Fill(end)) return "";
    }
    return Take(headEnd + length);
  }

  // Everything read until `text` has arrived, or empty when it has not in time.
  std::string ReadUntil(const std::string& text, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    size_t at;
    while ((at = buffered_.find(text)) == std::string::npos) {
      if (!Fill(end)) return "";
    }
    return Take(at + text.size());
  }

  // Whether the server closes the connection in time; what it sends before is kept.
  bool ClosedWithin(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (Fill(end)) {
    }
    return closed_;
  }
  const std::string& buffered() const { return buffered_; }

 private:
  // Reads what arrives before `end`; false at the deadline or the end of the connection.
  bool Fill(std::chrono::steady_clock::time_point end) {
    if (fd_ < 0 || closed_) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[16384];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffered_.append(buffer, static_cast<size_t>(n));
    return true;
  }
  std::string Take(size_t n) {
    std::string out = buffered_.substr(0, n);
    buffered_.erase(0, n);
    return out;
  }

  int fd_;
  bool closed_ = false;
  std::string buffered_;
};

// Sends `bytes` and returns everything the server answers until it closes
// the connection, or what came within two seconds. With `halfClose` the
// sending side is shut right after the bytes.
inline std::string RawExchange(int port, const std::string& bytes, bool halfClose = false) {
  RawConnection connection(port);
  connection.Send(bytes);
  if (halfClose) connection.HalfClose();
  connection.ClosedWithin(std::chrono::seconds(2));
  return connection.buffered();
}

}  // namespace kivhost::rawhttp
