// Running a started generation to its end on the device a request holds:
// whole (one JSON answer) or streamed as server-sent events, stopping at
// the next token when the client has left. Both hand the device back and
// record the generation's metrics when they end.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "responses.h"
#include "scheduler.h"

namespace vexo::serve {

class Metrics;

using Clock = std::chrono::steady_clock;

class Generation {
 public:
  Generation(ResponseHead head, std::unique_ptr<Lease> lease, Clock::time_point arrival, bool include_usage,
             Metrics& metrics)
      : head_(std::move(head)), lease_(std::move(lease)), arrival_(arrival), include_usage_(include_usage),
        metrics_(metrics) {}
  ~Generation();
  Generation(const Generation&) = delete;
  Generation& operator=(const Generation&) = delete;

  // The whole answer.
  nlohmann::json run();
  // Writes the events through `write` (false: the client is gone) while
  // `connected` holds; false when the stream was cut short.
  bool stream(const std::function<bool(const std::string&)>& write, const std::function<bool()>& connected);

 private:
  // One step; false at the end. Notes the first token's time.
  bool step(std::string& text);
  // Records the metrics and hands the device back (once).
  void end(bool cancelled);

  ResponseHead head_;
  std::unique_ptr<Lease> lease_;
  Clock::time_point arrival_;
  bool include_usage_;
  Metrics& metrics_;
  double first_token_seconds_ = -1;
};

}  // namespace vexo::serve
