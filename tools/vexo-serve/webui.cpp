#include "webui.h"

#include <httplib.h>

#include "intake.h"

namespace vexo::serve {

namespace {

// No inline script or style, no other origin: a model's reply that reached
// the page as markup could neither run nor load anything.
const char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

}  // namespace

void install_webui(HttpServer& server) {
  for (const WebAsset& asset : web_assets()) {
    server.Get(asset.path, [&asset](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Security-Policy", kContentSecurityPolicy);
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("Referrer-Policy", "no-referrer");
      // The page changes with the server: a browser asks again each time.
      res.set_header("Cache-Control", "no-cache");
      res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.content_type);
    });
  }
}

}  // namespace vexo::serve
