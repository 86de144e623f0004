// The v2 inference protocol's REST endpoints: server and model metadata,
// health, readiness and inference (JSON data or the binary tensor data
// extension) for the general networks of V2Models; the language models are
// listed too, with text as their input and output, and answer no /infer.
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
class LanguageModels;
class Metrics;
class V2Models;
struct V2Model;

class V2Service {
 public:
  // Throws (an ApiError) for a request that may not use the API.
  using Authorize = std::function<void(const httplib::Request&)>;
  V2Service(V2Models& models, const LanguageModels& language_models, Metrics& metrics, Authorize authorize)
      : models_(models),
        language_models_(language_models),
        metrics_(metrics),
        authorize_(std::move(authorize)) {}

  void install(HttpServer& server);
  // From now on /v2/health/ready and the models answer: everything is loaded.
  void ready() { ready_ = true; }

 private:
  void infer(const httplib::Request& req, httplib::Response& res, const V2Model& model);
  // The served model a request's path names, "" for none (metrics label only these).
  std::string served_model(const httplib::Request& req) const;

  V2Models& models_;
  const LanguageModels& language_models_;
  Metrics& metrics_;
  const Authorize authorize_;
  std::atomic<bool> ready_{false};
};

}  // namespace vexo::serve
