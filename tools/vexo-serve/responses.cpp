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

json choice(const ResponseHead& head, size_t index, const std::string& text, const char* finish_reason,
            const json& logprobs) {
  json item = {{"index", index}, {"finish_reason", finish_reason ? json(finish_reason) : json()}};
  if (head.chat) {
    item["delta"] = finish_reason ? json::object() : json{{"content", text}};
  } else {
    item["text"] = text;
  }
  item["logprobs"] = logprobs;
  return item;
}

// JSON has no infinities: an impossible token gets the API's floor.
double finite(double logprob) { return logprob > -9999.0 ? logprob : -9999.0; }

json bytes_of(const std::string& text) {
  json bytes = json::array();
  for (const char c : text) bytes.push_back(static_cast<unsigned char>(c));
  return bytes;
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

json logprobs_json(bool chat, const std::vector<TokenLogprobs>& tokens, const Tokenizer& tokenizer) {
  const auto text_of = [&tokenizer](int id) { return tokenizer.decode({id}); };
  if (chat) {
    json content = json::array();
    for (const TokenLogprobs& token : tokens) {
      json top = json::array();
      for (const llm_logprob& entry : token.top) {
        const std::string text = text_of(entry.token);
        top.push_back({{"token", text}, {"logprob", finite(entry.logprob)}, {"bytes", bytes_of(text)}});
      }
      const std::string text = text_of(token.chosen.token);
      content.push_back({{"token", text},
                         {"logprob", finite(token.chosen.logprob)},
                         {"bytes", bytes_of(text)},
                         {"top_logprobs", std::move(top)}});
    }
    return {{"content", std::move(content)}, {"refusal", nullptr}};
  }
  json texts = json::array(), logprobs = json::array(), tops = json::array(), offsets = json::array();
  for (const TokenLogprobs& token : tokens) {
    texts.push_back(text_of(token.chosen.token));
    logprobs.push_back(finite(token.chosen.logprob));
    json top = json::object();
    for (const llm_logprob& entry : token.top) top[text_of(entry.token)] = finite(entry.logprob);
    tops.push_back(std::move(top));
    offsets.push_back(token.text_offset);
  }
  return {{"tokens", std::move(texts)},
          {"token_logprobs", std::move(logprobs)},
          {"top_logprobs", std::move(tops)},
          {"text_offset", std::move(offsets)}};
}

json completion(const ResponseHead& head, const std::vector<Choice>& choices, const Stats& stats) {
  json items = json::array();
  for (const Choice& choice : choices) {
    json item = {{"index", items.size()}, {"finish_reason", choice.finish_reason}, {"logprobs", choice.logprobs}};
    if (head.chat) {
      item["message"] = {{"role", "assistant"}, {"content", choice.text}};
      if (!choice.tool_calls.is_null()) {
        if (choice.text.empty()) item["message"]["content"] = nullptr;
        item["message"]["tool_calls"] = choice.tool_calls;
      }
    } else {
      item["text"] = choice.text;
    }
    items.push_back(std::move(item));
  }
  return {{"id", head.id},
          {"object", head.chat ? "chat.completion" : "text_completion"},
          {"created", head.created},
          {"model", head.model},
          {"choices", std::move(items)},
          {"usage", usage(stats)}};
}

json role_chunk(const ResponseHead& head, size_t index) {
  return frame(head, json::array({{{"index", index},
                                   {"delta", {{"role", "assistant"}, {"content", ""}}},
                                   {"logprobs", nullptr},
                                   {"finish_reason", nullptr}}}));
}

json text_chunk(const ResponseHead& head, size_t index, const std::string& text, const json& logprobs) {
  return frame(head, json::array({choice(head, index, text, nullptr, logprobs)}));
}

json finish_chunk(const ResponseHead& head, size_t index, const char* finish_reason) {
  return frame(head, json::array({choice(head, index, "", finish_reason, nullptr)}));
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
