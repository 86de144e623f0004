#include "responses.h"

#include <atomic>
#include <chrono>

namespace vexo::serve {

using nlohmann::json;

namespace {

json frame(const ResponseHead& head, json choices) {
  return {{"id", head.id},
          {"object", head.chat ? "chat.completion.chunk" : "text_completion"},
          {"created", head.created},
          {"model", head.model},
          {"choices", std::move(choices)}};
}

json choice(const ResponseHead& head, const std::string& text, const char* finish_reason) {
  json item = {{"index", 0}, {"finish_reason", finish_reason ? json(finish_reason) : json()}};
  if (head.chat) {
    item["delta"] = finish_reason ? json::object() : json{{"content", text}};
  } else {
    item["text"] = text;
    item["logprobs"] = nullptr;
  }
  return item;
}

}  // namespace

const char kStreamEnd[] = "data: [DONE]\n\n";

ResponseHead response_head(bool chat, const std::string& model) {
  static std::atomic<uint64_t> next{0};
  const int64_t now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  return {chat, (chat ? "chatcmpl-" : "cmpl-") + std::to_string(now) + "-" + std::to_string(next++), now, model};
}

json usage(const Stats& stats) {
  return {{"prompt_tokens", stats.prompt_tokens},
          {"completion_tokens", stats.generated_tokens},
          {"total_tokens", stats.prompt_tokens + stats.generated_tokens}};
}

json completion(const ResponseHead& head, const std::string& text, const char* finish_reason, const Stats& stats) {
  json item = {{"index", 0}, {"finish_reason", finish_reason}};
  if (head.chat) {
    item["message"] = {{"role", "assistant"}, {"content", text}};
  } else {
    item["text"] = text;
    item["logprobs"] = nullptr;
  }
  return {{"id", head.id},
          {"object", head.chat ? "chat.completion" : "text_completion"},
          {"created", head.created},
          {"model", head.model},
          {"choices", json::array({item})},
          {"usage", usage(stats)}};
}

json role_chunk(const ResponseHead& head) {
  return frame(head, json::array({{{"index", 0},
                                   {"delta", {{"role", "assistant"}, {"content", ""}}},
                                   {"finish_reason", nullptr}}}));
}

json text_chunk(const ResponseHead& head, const std::string& text) {
  return frame(head, json::array({choice(head, text, nullptr)}));
}

json finish_chunk(const ResponseHead& head, const char* finish_reason) {
  return frame(head, json::array({choice(head, "", finish_reason)}));
}

json usage_chunk(const ResponseHead& head, const Stats& stats) {
  json chunk = frame(head, json::array());
  chunk["usage"] = usage(stats);
  return chunk;
}

std::string event(const json& chunk) {
  // Invalid UTF-8 from a model is replaced rather than failing the stream.
  return "data: " + chunk.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
}

}  // namespace vexo::serve
