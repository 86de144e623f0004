#include "requests.h"

#include <limits>
#include <random>

namespace vexo::serve {

using nlohmann::json;

namespace {

// Up to this many stop strings, as the API allows.
constexpr size_t kMaxStops = 4;

const json* field(const json& body, const char* name) {
  const auto it = body.find(name);
  return it == body.end() || it->is_null() ? nullptr : &*it;
}

[[noreturn]] void wrong(const char* name, const char* expected) {
  throw ApiError::invalid(std::string("'") + name + "' must be " + expected, name);
}

double number(const json& body, const char* name, double low, double high, double fallback) {
  const json* value = field(body, name);
  if (!value) return fallback;
  if (!value->is_number()) wrong(name, "a number");
  const double x = value->get<double>();
  if (!(x >= low && x <= high)) {
    throw ApiError::invalid("'" + std::string(name) + "' must be from " + json(low).dump() + " to " +
                                json(high).dump() + ", not " + value->dump(),
                            name);
  }
  return x;
}

std::optional<int64_t> integer(const json& body, const char* name, int64_t low) {
  const json* value = field(body, name);
  if (!value) return std::nullopt;
  if (!value->is_number_integer()) wrong(name, "an integer");
  if (value->is_number_unsigned() && value->get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max()))
    wrong(name, "an integer below 2^63");
  const int64_t x = value->get<int64_t>();
  if (x < low) throw ApiError::invalid("'" + std::string(name) + "' must be at least " + std::to_string(low), name);
  return x;
}

bool boolean(const json& body, const char* name, bool fallback) {
  const json* value = field(body, name);
  if (!value) return fallback;
  if (!value->is_boolean()) wrong(name, "true or false");
  return value->get<bool>();
}

std::vector<int> token_ids(const json& array, const char* name) {
  std::vector<int> ids;
  for (const json& id : array) {
    if (!id.is_number_integer() || id.get<int64_t>() < 0 || id.get<int64_t>() > std::numeric_limits<int>::max())
      wrong(name, "an array of token ids (integers from 0 to 2^31 - 1)");
    ids.push_back(id.get<int>());
  }
  return ids;
}

void check_model(const json& body, const std::string& model) {
  const json* value = field(body, "model");
  if (!value) return;
  if (!value->is_string()) wrong("model", "a string");
  if (value->get<std::string>() != model) {
    throw ApiError(404, "invalid_request_error",
                   "The model '" + value->get<std::string>() + "' does not exist; this server serves '" + model +
                       "'",
                   "model");
  }
}

// The parameters that completions and chat share.
void parse_common(const json& body, GenerationRequest& request, const char* max_name) {
  if (const std::optional<int64_t> n = integer(body, "n", 1); n && *n != 1)
    throw ApiError::invalid("only one choice per request is supported ('n' must be 1)", "n");
  if (const std::optional<int64_t> max = integer(body, max_name, 1)) request.max_tokens = static_cast<size_t>(*max);

  llm_sampling& sampling = request.settings.sampling;
  llm_sampling_defaults(&sampling);
  // The API's defaults: temperature 1, all tokens, a fresh seed.
  sampling.temperature = static_cast<float>(number(body, "temperature", 0, 2, 1));
  sampling.top_p = static_cast<float>(number(body, "top_p", 0, 1, 1));
  if (!(sampling.top_p > 0)) throw ApiError::invalid("'top_p' must be above 0", "top_p");
  sampling.min_p = static_cast<float>(number(body, "min_p", 0, 1, 0));
  const std::optional<int64_t> top_k = integer(body, "top_k", -1);  // -1 or 0: all tokens
  if (top_k && *top_k > std::numeric_limits<int32_t>::max()) wrong("top_k", "an integer below 2^31");
  sampling.top_k = top_k && *top_k > 0 ? static_cast<int32_t>(*top_k) : 0;
  const json* seed = field(body, "seed");
  if (seed && !seed->is_number_integer()) wrong("seed", "an integer");
  sampling.seed = seed ? (seed->is_number_unsigned() ? seed->get<uint64_t>()
                                                     : static_cast<uint64_t>(seed->get<int64_t>()))
                       : (uint64_t(std::random_device{}()) << 32) ^ std::random_device{}();

  if (const json* stop = field(body, "stop")) {
    const json list = stop->is_string() ? json::array({*stop}) : *stop;
    if (!list.is_array() || list.size() > kMaxStops) wrong("stop", "a string or an array of up to 4 strings");
    for (const json& text : list) {
      if (!text.is_string() || text.get<std::string>().empty()) wrong("stop", "a string or an array of up to 4 strings");
      request.settings.stops.push_back(text.get<std::string>());
    }
  }

  request.stream = boolean(body, "stream", false);
  if (const json* options = field(body, "stream_options")) {
    if (!options->is_object()) wrong("stream_options", "an object");
    request.include_usage = boolean(*options, "include_usage", false);
  }
}

std::string message_content(const json& content) {
  if (content.is_string()) return content.get<std::string>();
  // The array form: parts of type "text".
  if (!content.is_array()) wrong("messages", "an array of objects with a 'role' and a text 'content'");
  std::string text;
  for (const json& part : content) {
    if (!part.is_object() || part.value("type", json()) != "text" || !part.contains("text") ||
        !part["text"].is_string())
      throw ApiError::invalid("only text content parts are supported", "messages");
    text += part["text"].get<std::string>();
  }
  return text;
}

}  // namespace

json ApiError::body() const {
  return {{"error",
           {{"message", what()}, {"type", type}, {"param", param.empty() ? json() : json(param)}, {"code", json()}}}};
}

json parse_object(const std::string& body) {
  json value = json::parse(body, nullptr, false);
  if (value.is_discarded()) throw ApiError::invalid("the request body is not valid JSON");
  if (!value.is_object()) throw ApiError::invalid("the request body must be a JSON object");
  return value;
}

GenerationRequest parse_completion(const json& body, const std::string& model) {
  check_model(body, model);
  GenerationRequest request;
  const json* prompt = field(body, "prompt");
  if (!prompt) throw ApiError::invalid("'prompt' is required", "prompt");
  // One prompt: text, ids, or a list holding one of either.
  const json* one = prompt;
  if (prompt->is_array() && prompt->size() == 1 && ((*prompt)[0].is_string() || (*prompt)[0].is_array()))
    one = &(*prompt)[0];
  if (one->is_string()) {
    request.prompt_text = one->get<std::string>();
  } else if (one->is_array()) {
    request.prompt_ids = token_ids(*one, "prompt");
  } else {
    wrong("prompt", "text or an array of token ids");
  }
  parse_common(body, request, "max_tokens");
  return request;
}

GenerationRequest parse_chat(const json& body, const std::string& raw, const std::string& model) {
  check_model(body, model);
  GenerationRequest request;
  request.chat = true;
  const json* messages = field(body, "messages");
  if (!messages) throw ApiError::invalid("'messages' is required", "messages");
  if (!messages->is_array() || messages->empty())
    wrong("messages", "a non-empty array of objects with a 'role' and a text 'content'");
  for (const json& message : *messages) {
    if (!message.is_object() || !message.contains("role") || !message["role"].is_string())
      wrong("messages", "an array of objects with a 'role' and a text 'content'");
    const json content = message.value("content", json());
    if (!content.is_null()) message_content(content);  // checked: text, or text parts
  }
  if (const json* tools = field(body, "tools"); tools && !tools->is_null() && !tools->is_array()) wrong("tools", "an array");
  const json* options = field(body, "chat_template_kwargs");
  if (options && !options->is_null() && !options->is_object()) wrong("chat_template_kwargs", "an object");
  const nlohmann::ordered_json ordered = nlohmann::ordered_json::parse(raw);
  request.messages_json = ordered["messages"].dump();
  if (ordered.contains("tools") && !ordered["tools"].is_null()) request.tools_json = ordered["tools"].dump();
  if (options && options->is_object()) request.options_json = ordered["chat_template_kwargs"].dump();
  // Newer clients send max_completion_tokens, older ones max_tokens.
  parse_common(body, request, field(body, "max_completion_tokens") ? "max_completion_tokens" : "max_tokens");
  return request;
}

TokenizeRequest parse_tokenize(const json& body) {
  const json* content = field(body, "content");
  if (!content || !content->is_string()) wrong("content", "a string");
  return {content->get<std::string>(), boolean(body, "add_special", true)};
}

std::vector<int> parse_detokenize(const json& body) {
  const json* tokens = field(body, "tokens");
  if (!tokens || !tokens->is_array()) wrong("tokens", "an array of token ids");
  return token_ids(*tokens, "tokens");
}

}  // namespace vexo::serve
