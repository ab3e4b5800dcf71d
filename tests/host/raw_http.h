// Raw bytes over a loopback socket, for the HTTP front's tests that send what
// no well-behaved client would.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace kivhost::rawhttp {

// Sends `bytes` and returns everything the server answers until it closes
// the connection or stays silent for two seconds. With `halfClose` the
// sending side is shut right after the bytes, so the server knows that
// nothing more will come.
inline std::string RawExchange(int port, const std::string& bytes, bool halfClose = false) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return "";
  }
  timeval timeout{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  (void)!send(fd, bytes.data(), bytes.size(), 0);
  if (halfClose) shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[4096];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, static_cast<size_t>(n));
  close(fd);
  return answer;
}

}  // namespace kivhost::rawhttp
