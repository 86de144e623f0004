// Drawing the next token from logits on the host. Internal to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "llm/generation.h"

namespace llmrun {

// The index of the highest value, the first of equal ones.
int32_t argmax(const float* values, size_t count);

class Sampler {
 public:
  explicit Sampler(const llm_sampling& sampling);
  // Draws a token from `logits` (modified: penalties and temperature are
  // applied in place); `recent` are the tokens so far, newest last.
  int32_t sample(std::vector<float>& logits, const std::vector<int32_t>& recent);
  bool greedy() const;

 private:
  llm_sampling params_;
  std::mt19937_64 random_;
  // Candidate indexes and probabilities, kept between calls to spare allocations.
  std::vector<int32_t> order_;
  std::vector<float> probs_;
  std::vector<double> mass_;
  std::vector<int32_t> tail_;
};

}  // namespace llmrun
