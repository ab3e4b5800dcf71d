// Opening a URL in the desktop's browser, for `kivhost --open`.
#pragma once

#include <string>

namespace kivhost {

// Hands the URL to the desktop's opener (xdg-open; open on macOS) and
// returns without waiting for it. False, with the reason, when the opener
// cannot be started. Only builds with the HTTP front have a console to
// open, and those are POSIX builds.
bool OpenInBrowser(const std::string& url, std::string* why);

}  // namespace kivhost
