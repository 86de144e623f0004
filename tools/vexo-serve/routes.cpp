#include "routes.h"

#include <httplib.h>

#include <chrono>
#include <memory>

#include "common/tool.h"
#include "metrics.h"
#include "requests.h"
#include "scheduler.h"
#include "streaming.h"

namespace vexo::serve {

using nlohmann::json;

namespace {

const char kJson[] = "application/json";

void send(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), kJson);
}

void send_error(httplib::Response& res, const ApiError& error) {
  send(res, error.status, error.body());
}

// Compares without stopping at the first difference, so that the time a
// refusal takes says little about the key.
bool same_key(const std::string& given, const std::string& key) {
  if (given.size() != key.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < given.size(); ++i) difference |= static_cast<unsigned char>(given[i] ^ key[i]);
  return difference == 0;
}

// The endpoints the metrics name; anything else counts as "other".
const char* const kEndpoints[] = {"/v1/completions", "/v1/chat/completions", "/v1/models", "/health",
                                  "/metrics",        "/tokenize",            "/detokenize"};

std::string endpoint_label(const std::string& path) {
  for (const char* endpoint : kEndpoints) {
    if (path == endpoint) return endpoint;
  }
  return "other";
}

}  // namespace

// One endpoint's handler: the API-key and readiness checks, errors as JSON
// and the request counted by endpoint and status.
class Service::Call {
 public:
  enum Needs { kNothing = 0, kKey = 1, kReady = 2 };
  using Body = std::function<void(const httplib::Request&, httplib::Response&)>;

  static httplib::Server::Handler make(Service& service, const char* endpoint, int needs, Body body) {
    return [&service, endpoint, needs, body = std::move(body)](const httplib::Request& req,
                                                                httplib::Response& res) {
      try {
        if ((needs & kKey) && !service.options_.api_key.empty()) {
          const std::string given = req.get_header_value("Authorization");
          const std::string prefix = "Bearer ";
          if (given.compare(0, prefix.size(), prefix) != 0 ||
              !same_key(given.substr(prefix.size()), service.options_.api_key)) {
            throw ApiError(401, "invalid_request_error",
                           given.empty() ? "No API key given: send the header 'Authorization: Bearer KEY'"
                                         : "Incorrect API key provided");
          }
        }
        if ((needs & kReady) && !service.ready_)
          throw ApiError(503, "server_error", "The model is still loading; try again shortly");
        body(req, res);
      } catch (const ApiError& error) {
        send_error(res, error);
      } catch (const QueueFull& error) {
        send_error(res, ApiError(429, "rate_limit_error", error.what()));
      } catch (const Unavailable& error) {
        send_error(res, ApiError(503, "server_error", error.what()));
      } catch (const std::exception& error) {
        send_error(res, ApiError(500, "server_error", error.what()));
      }
      if (res.status == -1) res.status = 200;  // what the server sends when a handler sets none
      service.metrics_.count_request(endpoint, res.status);
    };
  }
};

void Service::ready(const Tokenizer& tokenizer, const ChatTemplate& chat_template) {
  tokenizer_ = &tokenizer;
  template_ = &chat_template;
  ready_ = true;
}

void Service::install(httplib::Server& server) {
  server.set_payload_max_length(options_.body_limit);
  // A stream's small events go out at once, not held back for an ACK.
  server.set_tcp_nodelay(true);
  // A fixed send buffer (inherited by every connection) bounds what a
  // client that does not read makes the server hold: its stream then waits
  // on the write, and the write timeout ends it.
  server.set_socket_options([](socket_t sock) {
    const int yes = 1, send_buffer = 64 << 10;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
  });
  // Errors that the server meets before any endpoint runs (no such path,
  // a body over the limit, a request that cannot be read) get JSON too.
  server.set_error_handler(httplib::Server::HandlerWithResponse([this](const httplib::Request& req,
                                                                        httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    const int status = res.status;
    std::string message = "The request cannot be served";
    if (status == 404) message = "No endpoint " + req.method + " " + req.path;
    if (status == 413) message = "The request body is over the limit of " + std::to_string(options_.body_limit) + " bytes";
    send(res, status, ApiError(status, "invalid_request_error", message).body());
    metrics_.count_request(endpoint_label(req.path), status);
    return httplib::Server::HandlerResponse::Handled;
  }));

  server.Get("/health", Call::make(*this, "/health", Call::kNothing, [this](const auto&, auto& res) {
    send(res, ready_ ? 200 : 503, {{"status", ready_ ? "ok" : "loading"}});
  }));
  server.Get("/metrics", Call::make(*this, "/metrics", Call::kNothing, [this](const auto&, auto& res) {
    res.set_content(metrics_.render(), "text/plain; version=0.0.4");
  }));
  server.Get("/v1/models", Call::make(*this, "/v1/models", Call::kKey, [this](const auto&, auto& res) {
    send(res, 200,
         {{"object", "list"},
          {"data", json::array({{{"id", options_.model}, {"object", "model"}, {"created", 0}, {"owned_by", "vexo"}}})}});
  }));
  server.Post("/tokenize", Call::make(*this, "/tokenize", Call::kKey | Call::kReady, [this](const auto& req, auto& res) {
    const TokenizeRequest request = parse_tokenize(parse_object(req.body));
    send(res, 200, {{"tokens", tokenizer_->encode(request.content, request.add_special)}});
  }));
  server.Post("/detokenize",
              Call::make(*this, "/detokenize", Call::kKey | Call::kReady, [this](const auto& req, auto& res) {
                const std::vector<int> ids = parse_detokenize(parse_object(req.body));
                try {
                  send(res, 200, {{"content", tokenizer_->decode(ids)}});
                } catch (const std::invalid_argument& error) {
                  throw ApiError::invalid(error.what(), "tokens");
                }
              }));
  for (const bool chat : {false, true}) {
    const char* endpoint = chat ? "/v1/chat/completions" : "/v1/completions";
    server.Post(endpoint, Call::make(*this, endpoint, Call::kKey | Call::kReady, [this, chat](const auto& req, auto& res) {
      generate(req, res, chat);
    }));
  }
}

std::vector<int> Service::prompt(GenerationRequest& request) const {
  std::vector<int> ids;
  if (request.prompt_ids) {
    ids = *request.prompt_ids;
    const size_t vocab = tokenizer_->vocab_size();
    for (const int id : ids) {
      if (static_cast<size_t>(id) >= vocab) {
        throw ApiError::invalid("token " + std::to_string(id) + " is outside the vocabulary of " +
                                    std::to_string(vocab) + " tokens",
                                "prompt");
      }
    }
  } else {
    const std::string text = request.chat ? template_->render(request.messages) : request.prompt_text;
    ids = tokenizer_->encode(text, true);
  }
  if (request.chat && !template_->stop().empty()) request.settings.stops.push_back(template_->stop());
  if (ids.empty()) throw ApiError::invalid("the prompt is empty", request.chat ? "messages" : "prompt");

  const size_t capacity = pool_.capacity();
  const char* max_name = request.chat ? "max_completion_tokens" : "max_tokens";
  if (ids.size() > capacity) {
    throw ApiError::invalid("This model's maximum context length is " + std::to_string(capacity) +
                                " tokens; the prompt has " + std::to_string(ids.size()),
                            request.chat ? "messages" : "prompt");
  }
  if (request.max_tokens && *request.max_tokens > capacity - ids.size()) {
    throw ApiError::invalid("This model's maximum context length is " + std::to_string(capacity) +
                                " tokens; the prompt has " + std::to_string(ids.size()) + " and " +
                                std::to_string(*request.max_tokens) + " more were asked for",
                            max_name);
  }
  request.settings.max_new = request.max_tokens.value_or(0);
  return ids;
}

void Service::generate(const httplib::Request& req, httplib::Response& res, bool chat) {
  const Clock::time_point arrival = Clock::now();
  ResponseHead head = response_head(chat, options_.model);
  const vexo::tool::ScopedLogPrefix request_tag("[" + head.id + "] ");
  const json body = parse_object(req.body);
  GenerationRequest request = chat ? parse_chat(body, options_.model) : parse_completion(body, options_.model);
  const std::vector<int> ids = prompt(request);

  std::unique_ptr<Lease> lease = pool_.acquire(ids);
  lease->device().start(ids, request.settings);
  auto generation = std::make_shared<Generation>(std::move(head), std::move(lease), arrival,
                                                 request.include_usage, metrics_);
  if (!request.stream) {
    send(res, 200, generation->run());
    return;
  }
  res.set_header("Cache-Control", "no-cache");
  res.set_chunked_content_provider("text/event-stream", [generation](size_t, httplib::DataSink& sink) {
    const auto write = [&sink](const std::string& text) { return sink.write(text.data(), text.size()); };
    bool whole = false;
    try {
      whole = generation->stream(write, [&sink] { return sink.is_writable(); });
    } catch (const std::exception& error) {
      // The status is sent already: the stream ends with an error event.
      write(event(ApiError(500, "server_error", error.what()).body()));
    }
    if (whole) sink.done();
    return whole;
  });
}

}  // namespace vexo::serve
