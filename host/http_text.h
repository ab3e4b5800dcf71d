// Small pieces of HTTP/1.1 text the front reads and writes itself: tokens
// and header lists, authorities (Host, Origin), and the answers it gives
// without a handler.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kivhost {

using Headers = std::vector<std::pair<std::string, std::string>>;

void ToLowerAscii(std::string* text);
[[nodiscard]] std::string Lower(std::string_view text);
// Without the blanks and tabs around it.
[[nodiscard]] std::string_view Trim(std::string_view text);
// An HTTP token: a method or a header name.
[[nodiscard]] bool IsToken(std::string_view text);
// Whether a comma-separated header value lists `token` (case-insensitive).
[[nodiscard]] bool ListsToken(std::string_view value, std::string_view token);

[[nodiscard]] const char* StatusText(int status);
// An answer the front gives itself, before or instead of any handler: JSON
// like every other error, and the connection closes after it.
[[nodiscard]] std::string ClosingAnswer(int status, const std::string& message, const Headers& extra = {});
// One piece of a chunked body.
[[nodiscard]] std::string Chunk(std::string_view payload);

// "name[:port]" or "[v6]:port" into a lower-case name (brackets kept) and a
// port, -1 when absent.
[[nodiscard]] bool SplitAuthority(std::string_view text, std::string* name, int* port);
// An address as a Host header names it: lower case, IPv6 in brackets.
[[nodiscard]] std::string HostName(std::string address);

}  // namespace kivhost
