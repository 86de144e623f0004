#include "routes.h"

#include <httplib.h>

#include <chrono>
#include <memory>

#include "common/tool.h"
#include "device.h"
#include "language_models.h"
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

// Compares every byte of every key, without stopping at a difference or a
// match, so that the time a refusal takes says little about the keys.
bool known_key(const std::string& given, const std::vector<std::string>& keys) {
  unsigned char found = 0;
  for (const std::string& key : keys) {
    unsigned char difference = given.size() != key.size();
    for (size_t i = 0; i < key.size(); ++i) {
      difference |= static_cast<unsigned char>(key[i] ^ (i < given.size() ? given[i] : 0));
    }
    found |= difference == 0;
  }
  return found != 0;
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

// The language model of the request this thread handles ("" until one is
// chosen): a handler runs on one thread, and its count is labelled with it.
thread_local std::string handled_model;

}  // namespace

// One endpoint's handler: the API-key and readiness checks, errors as JSON
// and the request counted by endpoint and status.
class Service::Call {
 public:
  enum Needs { kNothing = 0, kKey = 1, kReady = 2 };
  using Body = std::function<void(const httplib::Request&, httplib::Response&)>;

  static httplib::Server::Handler make(Service& service, const char* endpoint, int needs, Body body) {
    if (!(needs & kKey)) service.open_paths_.insert(endpoint);
    return [&service, endpoint, needs, body = std::move(body)](const httplib::Request& req,
                                                                httplib::Response& res) {
      handled_model.clear();
      try {
        if (needs & kKey) service.authorize(req);
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
      // Overload and loading are passing: a client may try again after a second.
      if (res.status == 429 || res.status == 503) res.set_header("Retry-After", "1");
      service.metrics_.count_request(handled_model, endpoint, res.status);
    };
  }
};

std::optional<ApiError> Service::key_refusal(const std::string& authorization) const {
  if (options_.api_keys.empty()) return std::nullopt;
  const std::string prefix = "Bearer ";
  if (authorization.compare(0, prefix.size(), prefix) == 0 &&
      known_key(authorization.substr(prefix.size()), options_.api_keys)) {
    return std::nullopt;
  }
  return ApiError(401, "invalid_request_error",
                  authorization.empty() ? "No API key given: send the header 'Authorization: Bearer KEY'"
                                        : "Incorrect API key provided");
}

Gate Service::gate() {
  Gate gate;
  gate.refusal = [this](const std::string&, const std::string& path, const std::string& authorization) {
    return open_paths_.count(path) ? std::nullopt : key_refusal(authorization);
  };
  gate.probe = [](const std::string& method, const std::string& path) {
    return method == "GET" && (path == "/health" || path == "/metrics" || path == "/v2/health/live" ||
                               path == "/v2/health/ready");
  };
  gate.error_body = [](const std::string& path, int status, const std::string& message) {
    // The v2 protocol's errors are {"error": text}; the OpenAI API's are objects.
    if (path.rfind("/v2", 0) == 0) return json{{"error", message}}.dump();
    return ApiError(status, status >= 500 ? "server_error" : "invalid_request_error", message).body().dump();
  };
  gate.count = [this](const std::string& path, int status) { metrics_.count_request(endpoint_label(path), status); };
  return gate;
}

void Service::authorize(const httplib::Request& req) const {
  if (auto refusal = key_refusal(req.get_header_value("Authorization"))) throw *refusal;
}

const LanguageModel& Service::model_for(const json& body) const {
  const LanguageModel& model = models_.chosen_by(body);
  handled_model = model.name();
  return model;
}

void Service::install(HttpServer& server) {
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
    json models = json::array();
    for (const auto& language_model : models_.all()) {
      for (const std::string& name : language_model->names()) {
        json model = {{"id", name}, {"object", "model"}, {"created", 0}, {"owned_by", "vexo"}};
        // Known once the devices are loaded.
        if (ready_) {
          model["max_model_len"] = language_model->pool().capacity();
          model["head_kind"] = language_model->pool().head_kind() == LLM_HEAD_LOGITS ? "logits" : "token";
        }
        models.push_back(std::move(model));
      }
    }
    send(res, 200, {{"object", "list"}, {"data", std::move(models)}});
  }));
  if (!options_.cors_origins.empty()) {
    // Preflight: answered for any path, without a key (browsers send none).
    server.Options(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
      res.status = allowed_origin(req).empty() ? 403 : 204;
      res.set_header("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
      res.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type");
      res.set_header("Access-Control-Max-Age", "600");
    });
    server.set_post_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      const std::string origin = allowed_origin(req);
      if (origin.empty()) return;
      res.set_header("Access-Control-Allow-Origin", origin);
      if (origin != "*") res.set_header("Vary", "Origin");
    });
  }
  server.Post("/tokenize", Call::make(*this, "/tokenize", Call::kKey | Call::kReady, [this](const auto& req, auto& res) {
    const json body = parse_object(req.body);
    const Tokenizer& tokenizer = model_for(body).tokenizer();
    const TokenizeRequest request = parse_tokenize(body);
    send(res, 200, {{"tokens", tokenizer.encode(request.content, request.add_special)}});
  }));
  server.Post("/detokenize",
              Call::make(*this, "/detokenize", Call::kKey | Call::kReady, [this](const auto& req, auto& res) {
                const json body = parse_object(req.body);
                const Tokenizer& tokenizer = model_for(body).tokenizer();
                const std::vector<int> ids = parse_detokenize(body);
                try {
                  send(res, 200, {{"content", tokenizer.decode(ids)}});
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

ApiError Service::too_long(const LanguageModel& model, const GenerationRequest& request,
                           const std::string& tokens) const {
  return ApiError::invalid("This model's maximum context length is " + std::to_string(model.pool().capacity()) +
                               " tokens; the prompt has " + tokens,
                           request.chat ? "messages" : "prompt");
}

void Service::refuse_beyond_context(const LanguageModel& model, const GenerationRequest& request,
                                    const std::string& text) const {
  const size_t least = model.tokenizer().min_tokens(text);
  if (least > model.pool().capacity()) throw too_long(model, request, "at least " + std::to_string(least));
}

std::string Service::allowed_origin(const httplib::Request& req) const {
  const std::string origin = req.get_header_value("Origin");
  for (const std::string& allowed : options_.cors_origins) {
    if (allowed == "*") return "*";
    if (!origin.empty() && allowed == origin) return origin;
  }
  return "";
}

void Service::check_head(const LanguageModel& model, const GenerationRequest& request) const {
  if (model.pool().head_kind() != LLM_HEAD_LOGITS && !request.logits_fields.empty()) {
    const std::string& name = request.logits_fields.front();
    throw ApiError::invalid("'" + name + "' needs a model whose head yields logits; this model chooses its tokens on the device",
                            name);
  }
  const size_t vocab = model.pool().vocab_size();
  for (const llm_logit_bias& bias : request.settings.logit_bias) {
    if (static_cast<size_t>(bias.token) >= vocab) {
      throw ApiError::invalid("'logit_bias' names token " + std::to_string(bias.token) +
                                  ", outside the vocabulary of " + std::to_string(vocab) + " tokens",
                              "logit_bias");
    }
  }
}

std::vector<int> Service::prompt(const LanguageModel& model, GenerationRequest& request) const {
  const Tokenizer& tokenizer = model.tokenizer();
  const ChatTemplate& chat_template = model.chat_template();
  std::vector<int> ids;
  if (request.prompt_ids) {
    ids = *request.prompt_ids;
    const size_t vocab = tokenizer.vocab_size();
    for (const int id : ids) {
      if (static_cast<size_t>(id) >= vocab) {
        throw ApiError::invalid("token " + std::to_string(id) + " is outside the vocabulary of " +
                                    std::to_string(vocab) + " tokens",
                                "prompt");
      }
    }
  } else {
    if (!request.chat) {
      // A text that cannot fit is refused before its encoding spends memory.
      refuse_beyond_context(model, request, request.prompt_text);
      ids = tokenizer.encode(request.prompt_text, true);
    } else {
      try {
        ids = chat_template.encode(request.messages_json, request.tools_json, request.options_json, tokenizer,
                                   [&](const std::string& text) { refuse_beyond_context(model, request, text); });
      } catch (const std::invalid_argument& error) {
        throw ApiError::invalid(error.what(), "messages");
      }
    }
  }
  if (request.chat && !chat_template.stop().empty()) request.settings.stops.push_back(chat_template.stop());
  if (ids.empty()) throw ApiError::invalid("the prompt is empty", request.chat ? "messages" : "prompt");

  const size_t capacity = model.pool().capacity();
  const char* max_name = request.chat ? "max_completion_tokens" : "max_tokens";
  if (ids.size() > capacity) throw too_long(model, request, std::to_string(ids.size()));
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
  const json body = parse_object(req.body);
  const LanguageModel& model = model_for(body);
  ResponseHead head = response_head(chat, model.name());
  const vexo::tool::ScopedLogPrefix request_tag("[" + head.id + "] ");
  GenerationRequest request = chat ? parse_chat(body, req.body, model.names())
                                   : parse_completion(body, req.body, model.names());
  head.model = request.model;  // the name the request used
  check_head(model, request);
  // A token head cannot follow a grammar: under tool_choice "auto" its calls are read as written.
  if (request.structure.lazy && model.pool().head_kind() != LLM_HEAD_LOGITS) request.structure.kind = 0;
  request.settings.grammar = grammars_.get(model.tokenizer(), request.structure);
  Plan plan;
  plan.tool_style = request.structure.tools ? llm_tool_call_style(model.tokenizer().get()) : 0;
  plan.prompt = prompt(model, request);
  plan.settings = std::move(request.settings);
  plan.choices = request.choices;
  plan.include_usage = request.include_usage;

  std::unique_ptr<Lease> lease = model.pool().acquire(plan.prompt);
  auto generation = std::make_shared<Generation>(std::move(head), std::move(lease), std::move(plan),
                                                 model.tokenizer(), arrival, model.metrics());
  generation->begin();
  res.set_header("Cache-Control", "no-cache");
  if (!request.stream) {
    // Sent as one chunk once generated, so that the wait can watch the
    // connection: a client that leaves frees the device at the next token.
    res.set_chunked_content_provider(kJson, [generation](size_t, httplib::DataSink& sink) {
      json answer;
      try {
        answer = generation->run([&sink] { return sink.is_writable(); });
      } catch (const std::exception& error) {
        // The status is sent already: the body says what failed.
        answer = ApiError(500, "server_error", error.what()).body();
      }
      if (answer.is_null()) return false;
      const std::string text = answer.dump(-1, ' ', false, json::error_handler_t::replace);
      if (!sink.write(text.data(), text.size())) return false;
      sink.done();
      return true;
    });
    return;
  }
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
