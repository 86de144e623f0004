#include "sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace llmrun {

namespace {

// Tokens whose weight is below e^-20 of the best (a probability below
// 2e-9 of the best token's) are never drawn: skipping them spares the
// exponentials of most of a large vocabulary.
constexpr float kNegligible = 20.0f;

// Buckets of weights for top-p: 16 per power of two, from 1 down to e^-20.
constexpr int kBucketShift = 19;
constexpr size_t kBuckets = 1024;

uint32_t float_bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

int32_t argmax(const float* values, size_t count) {
  size_t best = 0;
  for (size_t i = 1; i < count; ++i) {
    if (values[i] > values[best]) best = i;
  }
  return static_cast<int32_t>(best);
}

Sampler::Sampler(const llm_sampling& sampling) : params_(sampling), random_(sampling.seed) {}

bool Sampler::greedy() const { return !(params_.temperature > 0.0f) || params_.top_k == 1; }

int32_t Sampler::sample(std::vector<float>& logits, const std::vector<int32_t>& recent) {
  const size_t vocab = logits.size();
  if (params_.repeat_penalty != 1.0f && params_.repeat_penalty > 0.0f && params_.repeat_last_n > 0) {
    const size_t n = std::min(recent.size(), static_cast<size_t>(params_.repeat_last_n));
    order_.assign(recent.end() - n, recent.end());
    std::sort(order_.begin(), order_.end());
    order_.erase(std::unique(order_.begin(), order_.end()), order_.end());
    for (const int32_t token : order_) {
      if (token < 0 || static_cast<size_t>(token) >= vocab) continue;
      float& value = logits[token];
      value = value > 0.0f ? value / params_.repeat_penalty : value * params_.repeat_penalty;
    }
  }
  if (greedy()) return argmax(logits.data(), vocab);

  const float t = params_.temperature;
  const float best = *std::max_element(logits.begin(), logits.end());
  if (!std::isfinite(best)) return argmax(logits.data(), vocab);
  float cutoff = best - kNegligible * t;
  // p_i / p_best = exp((l_i - best) / t) >= min_p
  if (params_.min_p > 0.0f) cutoff = std::max(cutoff, best + t * std::log(std::min(params_.min_p, 1.0f)));
  order_.clear();
  for (size_t i = 0; i < vocab; ++i) {
    if (logits[i] >= cutoff) order_.push_back(static_cast<int32_t>(i));
  }
  if (order_.empty()) return argmax(logits.data(), vocab);  // scores that are not numbers
  // Best first, equal scores by index: the same choice on every run.
  const auto better = [&](int32_t a, int32_t b) { return logits[a] > logits[b] || (logits[a] == logits[b] && a < b); };
  size_t kept = order_.size();
  if (params_.top_k > 0 && static_cast<size_t>(params_.top_k) < kept) {
    kept = static_cast<size_t>(params_.top_k);
    std::nth_element(order_.begin(), order_.begin() + kept, order_.end(), better);
    order_.resize(kept);
  }
  probs_.resize(kept);
  double total = 0;
  for (size_t i = 0; i < kept; ++i) {
    probs_[i] = std::exp((logits[order_[i]] - best) / t);
    total += probs_[i];
  }
  if (params_.top_p < 1.0f && params_.top_p > 0.0f && kept > 1) {
    // The smallest set of best tokens holding top_p of the probability,
    // without sorting them: the weights (0 to 1) fall into buckets by their
    // exponent and top mantissa bits, which order positive floats; only the
    // bucket where the sum crosses top_p is sorted.
    const double goal = params_.top_p * total;
    const uint32_t top = float_bits(1.0f) >> kBucketShift;
    const auto bucket = [top](float weight) {
      return std::min<size_t>(top - (float_bits(weight) >> kBucketShift), kBuckets - 1);
    };
    mass_.assign(kBuckets, 0.0);
    for (size_t i = 0; i < kept; ++i) mass_[bucket(probs_[i])] += probs_[i];
    double sum = 0;
    size_t crossing = 0;
    while (crossing < kBuckets && sum + mass_[crossing] < goal) sum += mass_[crossing++];
    size_t n = 0;
    tail_.clear();
    for (size_t i = 0; i < kept; ++i) {
      const size_t b = bucket(probs_[i]);
      if (b < crossing) {
        order_[n] = order_[i];
        probs_[n++] = probs_[i];
      } else if (b == crossing) {
        tail_.push_back(order_[i]);
      }
    }
    std::sort(tail_.begin(), tail_.end(), better);
    for (size_t i = 0; i < tail_.size() && sum < goal; ++i) {
      order_[n] = tail_[i];
      probs_[n] = std::exp((logits[tail_[i]] - best) / t);
      sum += probs_[n++];
    }
    kept = n;
    total = sum;
  }
  // A uniform draw of 53 bits in [0, total).
  const double draw = static_cast<double>(random_() >> 11) * (1.0 / 9007199254740992.0) * total;
  double sum = 0;
  for (size_t i = 0; i < kept; ++i) {
    sum += probs_[i];
    if (draw < sum) return order_[i];
  }
  return order_[kept - 1];
}

}  // namespace llmrun
