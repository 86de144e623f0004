// The v2 inference protocol's REST endpoints: server and model metadata,
// health, readiness and inference (JSON data or the binary tensor data
// extension) for the general networks of V2Models; the language model is
// listed too, with text as its input and output, and answers no /infer.
// Errors are {"error": "..."} with 400, 401, 404, 429 or 503. The API key,
// when the server requires one, is needed everywhere but on health.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <utility>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace vexo::serve {

class HttpServer;
class Metrics;
class V2Models;
struct V2Model;

class V2Service {
 public:
  // Throws (an ApiError) for a request that may not use the API.
  using Authorize = std::function<void(const httplib::Request&)>;
  // language_model: the name the language model answers to.
  V2Service(V2Models& models, Metrics& metrics, std::string language_model, Authorize authorize)
      : models_(models),
        metrics_(metrics),
        language_model_(std::move(language_model)),
        authorize_(std::move(authorize)) {}

  void install(HttpServer& server);
  // From now on /v2/health/ready and the models answer: everything is loaded.
  void ready() { ready_ = true; }

 private:
  void infer(const httplib::Request& req, httplib::Response& res, const V2Model& model);

  V2Models& models_;
  Metrics& metrics_;
  const std::string language_model_;
  const Authorize authorize_;
  std::atomic<bool> ready_{false};
};

}  // namespace vexo::serve
