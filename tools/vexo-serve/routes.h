// The HTTP endpoints: the OpenAI completions, chat and models API, health,
// metrics, tokenize and detokenize, with API-key checks and JSON errors.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace vexo::serve {

class ChatTemplate;
class DevicePool;
class Metrics;
class Tokenizer;
struct GenerationRequest;

struct ServiceOptions {
  std::string model;    // the name the server answers to
  std::string api_key;  // "" for none
  size_t body_limit = 1 << 20;
};

class Service {
 public:
  Service(ServiceOptions options, DevicePool& pool, Metrics& metrics)
      : options_(std::move(options)), pool_(pool), metrics_(metrics) {}

  // Installs the endpoints and the error handler.
  void install(httplib::Server& server);
  // From now on requests are served (the tokenizer, template and every
  // device are loaded; they must outlive the server).
  void ready(const Tokenizer& tokenizer, const ChatTemplate& chat_template);
  // Throws ApiError (401) unless the request carries the API key (when
  // one is required).
  void authorize(const httplib::Request& req) const;

 private:
  class Call;
  // The request's prompt ids, checked against the vocabulary and the
  // caches; adds the template's stop string and the token limit to the
  // request's settings.
  std::vector<int> prompt(GenerationRequest& request) const;
  void generate(const httplib::Request& req, httplib::Response& res, bool chat);
  const ServiceOptions options_;
  DevicePool& pool_;
  Metrics& metrics_;
  const Tokenizer* tokenizer_ = nullptr;
  const ChatTemplate* template_ = nullptr;
  std::atomic<bool> ready_{false};
};

}  // namespace vexo::serve
