// Reading the JSON bodies of API requests into checked generation requests.
// Fields the server knows must have the right type and range; fields of the
// API that the server does not implement are refused; other fields (sent by
// client libraries) are ignored. Failures throw ApiError.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "device.h"
#include "structured.h"

namespace vexo::serve {

// An OpenAI-style error: HTTP status, error type, message and the field
// at fault.
class ApiError : public std::runtime_error {
 public:
  ApiError(int status, std::string type, const std::string& message, std::string param = "")
      : std::runtime_error(message), status(status), type(std::move(type)), param(std::move(param)) {}
  static ApiError invalid(const std::string& message, const std::string& param = "") {
    return ApiError(400, "invalid_request_error", message, param);
  }
  nlohmann::json body() const;

  int status;
  std::string type;
  std::string param;
};

// A completion or chat request as the server runs it.
struct GenerationRequest {
  bool chat = false;
  // The prompt: ids given as such, or text to tokenize (messages rendered
  // through the chat template for chat).
  std::optional<std::vector<int>> prompt_ids;
  std::string prompt_text;
  // A chat's messages, tools and template options ("" when absent), as the
  // JSON texts the request gave, keys in their order (tools' JSON is shown
  // to the model as it came).
  std::string messages_json;
  std::string tools_json;
  std::string options_json;
  std::optional<size_t> max_tokens;
  Settings settings;
  size_t choices = 1;          // n: generated one after another, seeds seed, seed + 1...
  bool stream = false;
  bool include_usage = false;  // stream_options.include_usage
  std::string model;           // the name the request used (the first served name when none)
  Structure structure;  // response_format, tools and tool_choice
  // Fields given that only a logits head honours (refused on a token head).
  std::vector<std::string> logits_fields;
};

// The body as a JSON object (malformed JSON and other values refused).
nlohmann::json parse_object(const std::string& body);

// POST /v1/completions and /v1/chat/completions. `models` are the names the
// server answers to; a request naming another model is refused (404). `raw`
// is the body's text, read again for what must keep its order (the
// conversation, schemas and tools).
GenerationRequest parse_completion(const nlohmann::json& body, const std::string& raw,
                                   const std::vector<std::string>& models);
GenerationRequest parse_chat(const nlohmann::json& body, const std::string& raw, const std::vector<std::string>& models);

// POST /tokenize {"content": text, "add_special": bool} and
// POST /detokenize {"tokens": [ids]}.
struct TokenizeRequest {
  std::string content;
  bool add_special = true;
};
TokenizeRequest parse_tokenize(const nlohmann::json& body);
std::vector<int> parse_detokenize(const nlohmann::json& body);

}  // namespace vexo::serve
