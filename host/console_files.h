// The web console's files (host/console/), embedded in kivhost when it is
// built, so that the console needs no network and no files beside the
// program.
#pragma once

#include <string_view>

namespace kivhost {

struct EmbeddedFile {
  std::string_view name;  // "index.html"
  std::string_view type;  // its Content-Type
  std::string_view bytes;
};

// The file of that name, or null.
const EmbeddedFile* FindConsoleFile(std::string_view name);

}  // namespace kivhost
