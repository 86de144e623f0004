// Drawing the next token from logits on the host. Internal to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "llm/generation.h"

namespace llmrun {

// The index of the highest value, the first of equal ones; values that are
// not numbers are passed over (0 when all are).
int32_t argmax(const float* values, size_t count);

// The name of the first field of `sampling` outside its range, or null.
const char* invalid_sampling_field(const llm_sampling& sampling);
// Throws (after an error line) unless every field is valid and every
// biased token is below `vocab`.
void check_sampling(const llm_sampling& sampling, size_t vocab);

class Sampler {
 public:
  // `sampling` must have passed check_sampling; its biases are copied.
  explicit Sampler(const llm_sampling& sampling);
  // Draws a token of `logits` (modified in place: penalties and biases are
  // applied). `history` holds the tokens so far, newest last, the last
  // `generated` of which were generated. Whatever the logits hold (NaN,
  // infinities), the result is an index of `logits`.
  int32_t sample(std::vector<float>& logits, const std::vector<int32_t>& history, size_t generated = 0);
  // The argmax of the logits alone gives the token: no penalty, bias,
  // record of log-probabilities or random draw.
  bool plain_greedy() const;
  bool greedy() const;
  // The log-probabilities of the last sample, when asked for.
  const llm_logprob& chosen() const { return chosen_; }
  const std::vector<llm_logprob>& top() const { return top_; }

 private:
  void penalise(std::vector<float>& logits, const std::vector<int32_t>& history, size_t generated);
  int32_t draw(const std::vector<float>& logits);
  void record_logprobs(const std::vector<float>& logits, int32_t token);

  llm_sampling params_;
  std::vector<llm_logit_bias> biases_;
  std::mt19937_64 random_;
  llm_logprob chosen_{-1, 0.0};
  std::vector<llm_logprob> top_;
  // Candidate indexes and probabilities, kept between calls to spare allocations.
  std::vector<int32_t> order_;
  std::vector<float> probs_;
  std::vector<double> mass_;
  std::vector<int32_t> tail_;
};

}  // namespace llmrun
