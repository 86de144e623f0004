// Running a request's generation to its end on the device it holds: each
// of its choices one after another, whole (one JSON answer) or streamed as
// server-sent events, stopping at the next token when the client has left.
// Both hand the device back and record the generation's metrics when they
// end.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "responses.h"
#include "scheduler.h"

namespace vexo::serve {

class ModelMetrics;

using Clock = std::chrono::steady_clock;

// What a request generates.
struct Plan {
  std::vector<int> prompt;
  Settings settings;   // of the first choice; choice i draws with seed + i
  size_t choices = 1;
  bool include_usage = false;
  int tool_style = 0;  // LLM_TOOL_CALLS_*: answers are read for tool calls
};

class Generation {
 public:
  Generation(ResponseHead head, std::unique_ptr<Lease> lease, Plan plan, const Tokenizer& tokenizer,
             Clock::time_point arrival, ModelMetrics& metrics);
  ~Generation();
  Generation(const Generation&) = delete;
  Generation& operator=(const Generation&) = delete;

  // Feeds the prompt of the first choice: a failure here comes before any
  // answer is sent. Throws std::runtime_error.
  void begin();
  // The whole answer; null when `connected` turned false (the client left).
  nlohmann::json run(const std::function<bool()>& connected);
  // Writes the events through `write` (false: the client is gone) while
  // `connected` holds; false when the stream was cut short.
  bool stream(const std::function<bool(const std::string&)>& write, const std::function<bool()>& connected);

 private:
  void start_choice(size_t index);
  // One step; false at the end. Appends the token's logprobs when asked
  // for (their text offset counted from `offset`). Notes the first token's time.
  bool step(std::string& text, std::vector<TokenLogprobs>& logprobs, size_t offset);
  nlohmann::json logprobs(const std::vector<TokenLogprobs>& tokens) const;
  // Records the metrics and hands the device back (once).
  void end(bool cancelled);

  ResponseHead head_;
  std::unique_ptr<Lease> lease_;
  Plan plan_;
  const Tokenizer& tokenizer_;
  Clock::time_point arrival_;
  ModelMetrics& metrics_;
  double first_token_seconds_ = -1;
  bool begun_ = false;
  Stats stats_;  // all choices so far: the prompt once, every generated token
};

}  // namespace vexo::serve
