// The chat page: HTML, CSS and JavaScript from tools/vexo-serve/webui,
// compiled into the server and served at "/" and "/webui/...".
#pragma once

#include <cstddef>
#include <vector>

namespace vexo::serve {

class HttpServer;

struct WebAsset {
  const char* path;
  const char* content_type;
  const unsigned char* data;
  size_t size;
};

// The page's files (generated at build time from the webui folder).
const std::vector<WebAsset>& web_assets();

// Serves the page's files, each with a Content-Security-Policy that lets it
// load nothing but its own files and talk to nothing but this server.
void install_webui(HttpServer& server);

}  // namespace vexo::serve
