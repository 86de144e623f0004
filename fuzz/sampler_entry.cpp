// The sampler over logits and settings taken from the input: every valid
// setting (infinities, NaN and extremes in the logits) must give an id of
// the vocabulary.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "entries.h"
#include "src/llm/sampler.h"

namespace vexo::fuzz {

namespace {

// Reads the next value's bytes, zeros past the input's end.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  template <typename T>
  T next() {
    T value{};
    const size_t n = std::min(sizeof value, size_ - std::min(at_, size_));
    if (n) std::memcpy(&value, data_ + at_, n);
    at_ += sizeof value;
    return value;
  }
  size_t left() const { return at_ < size_ ? size_ - at_ : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

int sampler_entry(const uint8_t* data, size_t size) {
  Bytes in(data, size);
  llm_sampling sampling;
  llm_sampling_defaults(&sampling);
  sampling.temperature = in.next<float>();
  sampling.top_k = in.next<int32_t>();
  sampling.top_p = in.next<float>();
  sampling.min_p = in.next<float>();
  sampling.repeat_penalty = in.next<float>();
  sampling.repeat_last_n = in.next<int32_t>();
  sampling.presence_penalty = in.next<float>();
  sampling.frequency_penalty = in.next<float>();
  sampling.logprobs = in.next<int8_t>();
  sampling.seed = in.next<uint8_t>();
  const size_t bias_count = in.next<uint8_t>() % 8, history_count = in.next<uint8_t>() % 32;
  std::vector<llm_logit_bias> biases(bias_count);
  for (llm_logit_bias& bias : biases) bias = {in.next<int32_t>(), in.next<float>()};
  std::vector<int32_t> history(history_count);
  for (int32_t& token : history) token = in.next<int8_t>();
  std::vector<float> logits(std::max<size_t>(in.left() / sizeof(float), 1));
  for (float& logit : logits) logit = in.next<float>();
  // Biased tokens are checked against the vocabulary when a generation starts.
  for (llm_logit_bias& bias : biases) bias.token = static_cast<int32_t>(static_cast<uint32_t>(bias.token) % logits.size());
  sampling.logit_bias = biases.data();
  sampling.logit_bias_count = biases.size();
  if (llmrun::invalid_sampling_field(sampling)) return 0;  // refused before any sampling

  llmrun::Sampler sampler(sampling);
  for (int draw = 0; draw < 3; ++draw) {
    std::vector<float> scratch = logits;
    const int32_t token = sampler.sample(scratch, history, history.size() / 2);
    if (token < 0 || static_cast<size_t>(token) >= logits.size()) std::abort();
    if (sampling.logprobs >= 0 && (sampler.chosen().token != token || std::isnan(sampler.chosen().logprob)))
      std::abort();
  }
  return 0;
}

}  // namespace vexo::fuzz
