// The pages' own files (HTML, script, style), built into the program from
// src/ui/pages so that the pages need nothing from outside.
//
// Shared by the files of the user interface only.
#pragma once

#include <string_view>

namespace km {

struct WebPage {
  std::string_view path; // "/", "/app.js", ...
  std::string_view contentType;
  std::string_view body;
};

// The file served at a path, or null.
const WebPage* findWebPage(std::string_view path);

} // namespace km
