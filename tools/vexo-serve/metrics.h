// The server's counters, gauges and histograms, rendered in the Prometheus
// text format for GET /metrics, every series labelled with the model it
// concerns (model="" for requests that name none). Every method is
// thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace vexo::serve {

class Histogram {
 public:
  explicit Histogram(std::vector<double> bounds);
  void observe(double value);
  // name_bucket{labels,le=...}, name_sum{labels} and name_count{labels} lines.
  void render(std::string& out, const std::string& name, const std::string& labels) const;

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

// The series of one model.
class ModelMetrics {
 public:
  ModelMetrics();
  void set_waiting(size_t waiting);
  void add_running(int delta);
  void record(const GenerationRecord& record);

 private:
  friend class Metrics;
  mutable std::mutex mutex_;
  size_t waiting_ = 0;
  long running_ = 0;
  uint64_t prompt_tokens_ = 0, generated_tokens_ = 0, reuse_hits_ = 0, cancelled_ = 0;
  Histogram first_token_, per_token_, end_to_end_;
};

class Metrics {
 public:
  void count_request(const std::string& endpoint, int status) { count_request("", endpoint, status); }
  void count_request(const std::string& model, const std::string& endpoint, int status);
  // The model's series, made on first use; the reference stays valid. Only
  // models that generate text have the generation series.
  ModelMetrics& model(const std::string& name, bool generates);
  std::string render() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::tuple<std::string, std::string, int>, uint64_t> requests_;
  std::map<std::string, std::unique_ptr<ModelMetrics>> models_;
  std::map<std::string, bool> generates_;
};

}  // namespace vexo::serve
