// The server's counters, gauges and histograms, rendered in the Prometheus
// text format for GET /metrics. Every method is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vexo::serve {

class Histogram {
 public:
  explicit Histogram(std::vector<double> bounds);
  void observe(double value);
  // name_bucket{le=...}, name_sum and name_count lines.
  void render(std::string& out, const std::string& name) const;

 private:
  std::vector<double> bounds_;
  std::vector<uint64_t> counts_;  // one per bound, then +Inf
  double sum_ = 0;
  uint64_t count_ = 0;
};

// What one finished generation adds.
struct GenerationRecord {
  size_t prompt_tokens = 0;
  size_t generated_tokens = 0;
  bool reused = false;        // the caches held part of the prompt
  bool cancelled = false;     // the client left before the end
  double first_token_seconds = -1;  // from arrival; < 0: no token
  double total_seconds = 0;   // from arrival to the last token
};

class Metrics {
 public:
  Metrics();
  void count_request(const std::string& endpoint, int status);
  void set_waiting(size_t waiting);
  void add_running(int delta);
  void record(const GenerationRecord& record);
  std::string render() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, int>, uint64_t> requests_;
  size_t waiting_ = 0;
  long running_ = 0;
  uint64_t prompt_tokens_ = 0, generated_tokens_ = 0, reuse_hits_ = 0, cancelled_ = 0;
  Histogram first_token_, per_token_, end_to_end_;
};

}  // namespace vexo::serve
