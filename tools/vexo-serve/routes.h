// The HTTP endpoints: the OpenAI completions, chat and models API, health,
// metrics, tokenize and detokenize, with API-key checks and JSON errors.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "intake.h"
#include "structured.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace vexo::serve {

class LanguageModel;
class LanguageModels;
class Metrics;

struct ServiceOptions {
  std::vector<std::string> api_keys;  // any of them opens the API; none: no key needed
  // Origins whose pages may call the API ("*": any); none: no CORS headers.
  std::vector<std::string> cors_origins;
  size_t body_limit = 1 << 20;
};

class Service {
 public:
  Service(ServiceOptions options, const LanguageModels& models, Metrics& metrics)
      : options_(std::move(options)), models_(models), metrics_(metrics) {}

  // Installs the endpoints and the error handler.
  void install(HttpServer& server);
  // What the intake asks from a request's head: the API key, the probes,
  // and the counting of what it answers itself.
  Gate gate();
  // From now on requests are served (every model is loaded; they must
  // outlive the server).
  void ready() { ready_ = true; }
  // Throws ApiError (401) unless the request carries the API key (when
  // one is required).
  void authorize(const httplib::Request& req) const;
  // A path served elsewhere (the chat page, the v2 probes) that needs no key.
  void open_path(const std::string& path) { open_paths_.insert(path); }

 private:
  class Call;
  // 401 when the API keys are set and `authorization` holds none of them.
  std::optional<ApiError> key_refusal(const std::string& authorization) const;
  // The language model a request's body names, noted for the metrics.
  const LanguageModel& model_for(const nlohmann::json& body) const;
  // The request's prompt ids, checked against the vocabulary and the
  // caches; adds the template's stop string and the token limit to the
  // request's settings.
  std::vector<int> prompt(const LanguageModel& model, GenerationRequest& request) const;
  // 400: the prompt, of `tokens` tokens, is over the context.
  ApiError too_long(const LanguageModel& model, const GenerationRequest& request, const std::string& tokens) const;
  // Throws too_long for a text that cannot fit, before its encoding spends memory.
  void refuse_beyond_context(const LanguageModel& model, const GenerationRequest& request,
                             const std::string& text) const;
  void generate(const httplib::Request& req, httplib::Response& res, bool chat);
  // Checks what a token head cannot honour and the biased token ids.
  void check_head(const LanguageModel& model, const GenerationRequest& request) const;
  // The Access-Control-Allow-Origin value for a request's Origin, "" for none.
  std::string allowed_origin(const httplib::Request& req) const;
  const ServiceOptions options_;
  const LanguageModels& models_;
  Metrics& metrics_;
  std::atomic<bool> ready_{false};
  std::set<std::string> open_paths_;  // the endpoints that need no key
  GrammarCache grammars_;
};

}  // namespace vexo::serve
