#include "metrics.h"

#include <cstdio>

namespace vexo::serve {

namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.9g", value);
  return text;
}

void header(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void single(std::string& out, const char* name, const char* type, const char* help, double value) {
  header(out, name, type, help);
  out += std::string(name) + " " + number(value) + "\n";
}

}  // namespace

Histogram::Histogram(std::vector<double> bounds) : bounds_(std::move(bounds)), counts_(bounds_.size() + 1) {}

void Histogram::observe(double value) {
  size_t i = 0;
  while (i < bounds_.size() && value > bounds_[i]) ++i;
  ++counts_[i];
  sum_ += value;
  ++count_;
}

void Histogram::render(std::string& out, const std::string& name) const {
  uint64_t cumulative = 0;
  for (size_t i = 0; i <= bounds_.size(); ++i) {
    cumulative += counts_[i];
    const std::string le = i < bounds_.size() ? number(bounds_[i]) : "+Inf";
    out += name + "_bucket{le=\"" + le + "\"} " + std::to_string(cumulative) + "\n";
  }
  out += name + "_sum " + number(sum_) + "\n" + name + "_count " + std::to_string(count_) + "\n";
}

Metrics::Metrics()
    : first_token_({0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10}),
      per_token_({0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5}),
      end_to_end_({0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60}) {}

void Metrics::count_request(const std::string& endpoint, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++requests_[{endpoint, status}];
}

void Metrics::set_waiting(size_t waiting) {
  std::lock_guard<std::mutex> lock(mutex_);
  waiting_ = waiting;
}

void Metrics::add_running(int delta) {
  std::lock_guard<std::mutex> lock(mutex_);
  running_ += delta;
}

void Metrics::record(const GenerationRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  prompt_tokens_ += record.prompt_tokens;
  generated_tokens_ += record.generated_tokens;
  reuse_hits_ += record.reused ? 1 : 0;
  cancelled_ += record.cancelled ? 1 : 0;
  if (record.first_token_seconds >= 0) {
    first_token_.observe(record.first_token_seconds);
    if (record.generated_tokens > 1) {
      per_token_.observe((record.total_seconds - record.first_token_seconds) /
                         static_cast<double>(record.generated_tokens - 1));
    }
  }
  end_to_end_.observe(record.total_seconds);
}

std::string Metrics::render() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  header(out, "vexo_requests_total", "counter", "HTTP requests answered, by endpoint and status.");
  for (const auto& [key, count] : requests_) {
    out += "vexo_requests_total{endpoint=\"" + key.first + "\",status=\"" + std::to_string(key.second) + "\"} " +
           std::to_string(count) + "\n";
  }
  single(out, "vexo_requests_waiting", "gauge", "Generation requests waiting for a device.",
         static_cast<double>(waiting_));
  single(out, "vexo_requests_running", "gauge", "Generation requests running on a device.",
         static_cast<double>(running_));
  single(out, "vexo_prompt_tokens_total", "counter", "Prompt tokens of finished generations.",
         static_cast<double>(prompt_tokens_));
  single(out, "vexo_generated_tokens_total", "counter", "Tokens generated.", static_cast<double>(generated_tokens_));
  single(out, "vexo_conversation_reuse_hits_total", "counter",
         "Generations whose prompt extended what the device's caches held.", static_cast<double>(reuse_hits_));
  single(out, "vexo_generations_cancelled_total", "counter", "Generations ended because the client left.",
         static_cast<double>(cancelled_));
  header(out, "vexo_time_to_first_token_seconds", "histogram", "From a request's arrival to its first token.");
  first_token_.render(out, "vexo_time_to_first_token_seconds");
  header(out, "vexo_time_per_output_token_seconds", "histogram", "Mean time per token after the first.");
  per_token_.render(out, "vexo_time_per_output_token_seconds");
  header(out, "vexo_request_duration_seconds", "histogram", "From a generation request's arrival to its end.");
  end_to_end_.render(out, "vexo_request_duration_seconds");
  return out;
}

}  // namespace vexo::serve
