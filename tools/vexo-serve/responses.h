// The API's response bodies: whole completions, and the chunks of a stream
// as server-sent events ("data: {chunk}\n\n", then "data: [DONE]\n\n").
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

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

// The whole answer of a request that does not stream.
nlohmann::json completion(const ResponseHead& head, const std::string& text, const char* finish_reason,
                          const Stats& stats);

// Chunks of a stream: the chat stream opens with the assistant's role;
// text chunks; the last chunk carries the finish reason; with usage asked
// for, a chunk without choices carries the counts.
nlohmann::json role_chunk(const ResponseHead& head);
nlohmann::json text_chunk(const ResponseHead& head, const std::string& text);
nlohmann::json finish_chunk(const ResponseHead& head, const char* finish_reason);
nlohmann::json usage_chunk(const ResponseHead& head, const Stats& stats);

// One server-sent event, and the stream's end.
std::string event(const nlohmann::json& chunk);
extern const char kStreamEnd[];

}  // namespace vexo::serve
