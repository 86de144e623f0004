// The API's response bodies: whole completions, and the chunks of a stream
// as server-sent events ("data: {chunk}\n\n", then "data: [DONE]\n\n").
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "device.h"

namespace vexo::serve {

// What every response and chunk of one request shares.
struct ResponseHead {
  bool chat = false;
  std::string id;     // "cmpl-..." or "chatcmpl-..."
  int64_t created = 0;  // Unix seconds
  std::string model;
};
ResponseHead response_head(bool chat, const std::string& model);

nlohmann::json usage(const Stats& stats);

// The log-probabilities of generated tokens in the API's shape: for chat
// {"content": [{token, logprob, bytes, top_logprobs}]}, for completions
// {tokens, token_logprobs, top_logprobs, text_offset}. Null when none were
// asked for.
nlohmann::json logprobs_json(bool chat, const std::vector<TokenLogprobs>& tokens, const Tokenizer& tokenizer);

// One choice of a whole answer.
struct Choice {
  std::string text;
  const char* finish_reason = "stop";
  nlohmann::json logprobs;  // null when not asked for
  nlohmann::json tool_calls;  // null: none
};
// The whole answer of a request that does not stream.
nlohmann::json completion(const ResponseHead& head, const std::vector<Choice>& choices, const Stats& stats);

// Chunks of a stream, each for the choice `index`: the chat stream opens
// with the assistant's role; text chunks (with their tokens' logprobs when
// asked for); the last chunk carries the finish reason; with usage asked
// for, a chunk without choices carries the counts.
nlohmann::json role_chunk(const ResponseHead& head, size_t index);
nlohmann::json text_chunk(const ResponseHead& head, size_t index, const std::string& text,
                          const nlohmann::json& logprobs);
nlohmann::json finish_chunk(const ResponseHead& head, size_t index, const char* finish_reason);
nlohmann::json usage_chunk(const ResponseHead& head, const Stats& stats);

// One server-sent event, and the stream's end.
std::string event(const nlohmann::json& chunk);
extern const char kStreamEnd[];

}  // namespace vexo::serve
