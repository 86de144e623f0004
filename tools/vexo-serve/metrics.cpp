#include "metrics.h"

#include <cstdio>
#include <functional>

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

// A label value as the text format writes it.
std::string quoted(const std::string& value) {
  std::string out = "\"";
  for (const char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out + "\"";
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

void Histogram::render(std::string& out, const std::string& name, const std::string& labels) const {
  uint64_t cumulative = 0;
  for (size_t i = 0; i <= bounds_.size(); ++i) {
    cumulative += counts_[i];
    const std::string le = i < bounds_.size() ? number(bounds_[i]) : "+Inf";
    out += name + "_bucket{" + labels + ",le=\"" + le + "\"} " + std::to_string(cumulative) + "\n";
  }
  out += name + "_sum{" + labels + "} " + number(sum_) + "\n" + name + "_count{" + labels + "} " +
         std::to_string(count_) + "\n";
}

ModelMetrics::ModelMetrics()
    : first_token_({0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10}),
      per_token_({0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5}),
      end_to_end_({0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60}) {}

void ModelMetrics::set_waiting(size_t waiting) {
  std::lock_guard<std::mutex> lock(mutex_);
  waiting_ = waiting;
}

void ModelMetrics::add_running(int delta) {
  std::lock_guard<std::mutex> lock(mutex_);
  running_ += delta;
}

void ModelMetrics::record(const GenerationRecord& record) {
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

void Metrics::count_request(const std::string& model, const std::string& endpoint, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++requests_[{model, endpoint, status}];
}

ModelMetrics& Metrics::model(const std::string& name, bool generates) {
  std::lock_guard<std::mutex> lock(mutex_);
  generates_[name] = generates;
  std::unique_ptr<ModelMetrics>& metrics = models_[name];
  if (!metrics) metrics = std::make_unique<ModelMetrics>();
  return *metrics;
}

std::string Metrics::render() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  header(out, "vexo_requests_total", "counter", "HTTP requests answered, by model, endpoint and status.");
  for (const auto& [key, count] : requests_) {
    const auto& [model, endpoint, status] = key;
    out += "vexo_requests_total{model=" + quoted(model) + ",endpoint=\"" + endpoint + "\",status=\"" +
           std::to_string(status) + "\"} " + std::to_string(count) + "\n";
  }
  // One family at a time, a series per model.
  bool generation = false;  // the family is about generations
  const auto family = [&](const char* name, const char* type, const char* help,
                          const std::function<void(const ModelMetrics&, const std::string&)>& series) {
    header(out, name, type, help);
    for (const auto& [model, metrics] : models_) {
      if (generation && !generates_.at(model)) continue;
      std::lock_guard<std::mutex> model_lock(metrics->mutex_);
      series(*metrics, "model=" + quoted(model));
    }
  };
  const auto single = [&](const char* name, const char* type, const char* help, auto value) {
    family(name, type, help, [&](const ModelMetrics& m, const std::string& labels) {
      out += std::string(name) + "{" + labels + "} " + number(static_cast<double>(value(m))) + "\n";
    });
  };
  single("vexo_requests_waiting", "gauge", "Requests waiting for a device.",
         [](const ModelMetrics& m) { return m.waiting_; });
  single("vexo_requests_running", "gauge", "Requests running on a device.",
         [](const ModelMetrics& m) { return m.running_; });
  generation = true;
  single("vexo_prompt_tokens_total", "counter", "Prompt tokens of finished generations.",
         [](const ModelMetrics& m) { return m.prompt_tokens_; });
  single("vexo_generated_tokens_total", "counter", "Tokens generated.",
         [](const ModelMetrics& m) { return m.generated_tokens_; });
  single("vexo_conversation_reuse_hits_total", "counter",
         "Generations whose prompt extended what the device's caches held.",
         [](const ModelMetrics& m) { return m.reuse_hits_; });
  single("vexo_generations_cancelled_total", "counter", "Generations ended because the client left.",
         [](const ModelMetrics& m) { return m.cancelled_; });
  const auto histogram = [&](const char* name, const char* help, Histogram ModelMetrics::*member) {
    family(name, "histogram", help,
           [&](const ModelMetrics& m, const std::string& labels) { (m.*member).render(out, name, labels); });
  };
  histogram("vexo_time_to_first_token_seconds", "From a request's arrival to its first token.",
            &ModelMetrics::first_token_);
  histogram("vexo_time_per_output_token_seconds", "Mean time per token after the first.", &ModelMetrics::per_token_);
  histogram("vexo_request_duration_seconds", "From a generation request's arrival to its end.",
            &ModelMetrics::end_to_end_);
  return out;
}

}  // namespace vexo::serve
