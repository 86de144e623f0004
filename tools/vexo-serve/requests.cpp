#include "requests.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <random>

namespace vexo::serve {

using nlohmann::json;

namespace {

// Up to this many stop strings, as the API allows.
constexpr size_t kMaxStops = 4;
constexpr int64_t kMaxChoices = 16;

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

// The name the request used, one of `models` (the first when none given).
std::string check_model(const json& body, const std::vector<std::string>& models) {
  const json* value = field(body, "model");
  if (!value) return models.front();
  if (!value->is_string()) wrong("model", "a string");
  const std::string name = value->get<std::string>();
  if (std::find(models.begin(), models.end(), name) == models.end()) {
    throw ApiError(404, "invalid_request_error",
                   "The model '" + name + "' does not exist; this server serves '" + models.front() + "'", "model");
  }
  return name;
}

// Text passed on to the library, which takes NUL-terminated strings.
std::string text_field(const json& value, const char* name, const char* expected) {
  if (!value.is_string()) wrong(name, expected);
  std::string text = value.get<std::string>();
  if (text.find('\0') != std::string::npos)
    throw ApiError::invalid("'" + std::string(name) + "' must not hold a NUL character", name);
  return text;
}

// Fields of the API that this server does not implement: refused rather
// than ignored, so that a client never takes an answer for what it asked.
const char* const kUnimplemented[] = {
    "functions",        "function_call",
    "parallel_tool_calls", "audio",   "modalities",         "prediction",       "web_search_options",
    "service_tier",    "reasoning_effort", "suffix",        "best_of"};

void refuse_unimplemented(const json& body) {
  for (const char* name : kUnimplemented) {
    if (field(body, name))
      throw ApiError::invalid("'" + std::string(name) + "' is not supported by this server", name);
  }
  if (boolean(body, "echo", false)) throw ApiError::invalid("'echo' is not supported by this server", "echo");
  // Accepted without effect: store: false, user, metadata.
  if (boolean(body, "store", false))
    throw ApiError::invalid("'store' is not supported by this server (it keeps no completions)", "store");
  if (const json* user = field(body, "user"); user && !user->is_string()) wrong("user", "a string");
  if (const json* metadata = field(body, "metadata"); metadata && !metadata->is_object())
    wrong("metadata", "an object");
}

// The fields the library's sampler adds to the API's temperature and top_p.
void parse_sampler_fields(const json& body, GenerationRequest& request) {
  llm_sampling& sampling = request.settings.sampling;
  sampling.presence_penalty = static_cast<float>(number(body, "presence_penalty", -2, 2, 0));
  sampling.frequency_penalty = static_cast<float>(number(body, "frequency_penalty", -2, 2, 0));
  sampling.repeat_penalty = static_cast<float>(number(body, "repetition_penalty", 0, 100, 1));
  if (!(sampling.repeat_penalty > 0))
    throw ApiError::invalid("'repetition_penalty' must be above 0", "repetition_penalty");
  if (const json* bias = field(body, "logit_bias")) {
    if (!bias->is_object() || bias->size() > 1024)
      wrong("logit_bias", "an object of up to 1024 token ids, each mapped to a number from -100 to 100");
    for (const auto& [key, value] : bias->items()) {
      int64_t token = -1;
      const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), token);
      if (error != std::errc() || end != key.data() + key.size() || token < 0 ||
          token > std::numeric_limits<int32_t>::max() || !value.is_number() || !(value.get<double>() >= -100) ||
          !(value.get<double>() <= 100))
        wrong("logit_bias", "an object of token ids, each mapped to a number from -100 to 100");
      request.settings.logit_bias.push_back({static_cast<int32_t>(token), value.get<float>()});
    }
  }
  for (const char* name : {"logprobs", "top_logprobs", "presence_penalty", "frequency_penalty",
                           "repetition_penalty", "logit_bias", "top_k", "min_p"}) {
    const json* value = field(body, name);
    if (value && *value != json(false)) request.logits_fields.push_back(name);
  }
}

// Completions: logprobs N (0 to 5). Chat: logprobs true, top_logprobs N (0 to 20).
void parse_logprobs(const json& body, GenerationRequest& request) {
  int32_t& logprobs = request.settings.sampling.logprobs;
  if (!request.chat) {
    if (const std::optional<int64_t> n = integer(body, "logprobs", 0)) {
      if (*n > 5) throw ApiError::invalid("'logprobs' must be from 0 to 5", "logprobs");
      logprobs = static_cast<int32_t>(*n);
    }
    return;
  }
  const std::optional<int64_t> top = integer(body, "top_logprobs", 0);
  if (top && *top > LLM_MAX_LOGPROBS) throw ApiError::invalid("'top_logprobs' must be from 0 to 20", "top_logprobs");
  if (!boolean(body, "logprobs", false)) {
    if (top) throw ApiError::invalid("'top_logprobs' needs 'logprobs' to be true", "top_logprobs");
    return;
  }
  logprobs = static_cast<int32_t>(top.value_or(0));
}

// The parameters that completions and chat share.
void parse_common(const json& body, const std::string& raw, GenerationRequest& request, const char* max_name) {
  refuse_unimplemented(body);
  if (const std::optional<int64_t> n = integer(body, "n", 1)) {
    if (*n > kMaxChoices) throw ApiError::invalid("'n' must be from 1 to 16", "n");
    request.choices = static_cast<size_t>(*n);
  }
  if (const std::optional<int64_t> max = integer(body, max_name, 1)) request.max_tokens = static_cast<size_t>(*max);

  llm_sampling& sampling = request.settings.sampling;
  llm_sampling_defaults(&sampling);
  // The API's defaults: temperature 1, all tokens, a fresh seed.
  sampling.temperature = static_cast<float>(number(body, "temperature", 0, 2, 1));
  sampling.top_p = static_cast<float>(number(body, "top_p", 0, 1, 1));
  parse_sampler_fields(body, request);
  parse_logprobs(body, request);
  request.structure = parse_structure(body, raw, request.chat, request.logits_fields);
  if (!request.structure.tools) request.tools_json.clear();  // tool_choice "none": none offered
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
      std::string stop = text_field(text, "stop", "a string or an array of up to 4 strings");
      if (stop.empty()) wrong("stop", "a string or an array of up to 4 strings");
      request.settings.stops.push_back(std::move(stop));
    }
  }

  request.stream = boolean(body, "stream", false);
  if (const json* options = field(body, "stream_options")) {
    if (!options->is_object()) wrong("stream_options", "an object");
    request.include_usage = boolean(*options, "include_usage", false);
  }
}

std::string message_content(const json& content) {
  if (content.is_string()) return text_field(content, "messages", "text");
  // The array form: parts of type "text".
  if (!content.is_array()) wrong("messages", "an array of objects with a 'role' and a text 'content'");
  std::string text;
  for (const json& part : content) {
    if (!part.is_object() || part.value("type", json()) != "text" || !part.contains("text") ||
        !part["text"].is_string())
      throw ApiError::invalid("only text content parts are supported", "messages");
    text += text_field(part["text"], "messages", "text");
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

GenerationRequest parse_completion(const json& body, const std::string& raw, const std::vector<std::string>& models) {
  GenerationRequest request;
  request.model = check_model(body, models);
  const json* prompt = field(body, "prompt");
  if (!prompt) throw ApiError::invalid("'prompt' is required", "prompt");
  // One prompt: text, ids, or a list holding one of either.
  const json* one = prompt;
  if (prompt->is_array() && prompt->size() == 1 && ((*prompt)[0].is_string() || (*prompt)[0].is_array()))
    one = &(*prompt)[0];
  if (one->is_string()) {
    request.prompt_text = text_field(*one, "prompt", "text or an array of token ids");
  } else if (one->is_array()) {
    request.prompt_ids = token_ids(*one, "prompt");
  } else {
    wrong("prompt", "text or an array of token ids");
  }
  parse_common(body, raw, request, "max_tokens");
  return request;
}

GenerationRequest parse_chat(const json& body, const std::string& raw, const std::vector<std::string>& models) {
  GenerationRequest request;
  request.model = check_model(body, models);
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
  parse_common(body, raw, request, field(body, "max_completion_tokens") ? "max_completion_tokens" : "max_tokens");
  return request;
}

TokenizeRequest parse_tokenize(const json& body) {
  const json* content = field(body, "content");
  if (!content) wrong("content", "a string");
  return {text_field(*content, "content", "a string"), boolean(body, "add_special", true)};
}

std::vector<int> parse_detokenize(const json& body) {
  const json* tokens = field(body, "tokens");
  if (!tokens || !tokens->is_array()) wrong("tokens", "an array of token ids");
  return token_ids(*tokens, "tokens");
}

}  // namespace vexo::serve
