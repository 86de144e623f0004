#include "src/llm/sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "src/utils/guard.h"

namespace llmrun {

namespace {

// Tokens whose weight is below e^-20 of the best (a probability below
// 2e-9 of the best token's) are never drawn: skipping them spares the
// exponentials of most of a large vocabulary.
constexpr float kNegligible = 20.0f;

// Buckets of weights for top-p: 16 per power of two, from 1 down to e^-20.
constexpr int kBucketShift = 19;
constexpr size_t kBuckets = 1024;

constexpr float kBan = -100.0f, kForce = 100.0f;
constexpr size_t kMaxBiases = 1024;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

uint32_t float_bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

bool within(float value, float low, float high) { return value >= low && value <= high; }

}  // namespace

int32_t argmax(const float* values, size_t count) {
  // A NaN never compares greater: starting from the first number is enough,
  // and keeps the loop as tight as a plain maximum.
  size_t best = 0;
  while (best < count && std::isnan(values[best])) ++best;
  if (best == count) return 0;
  for (size_t i = best + 1; i < count; ++i) {
    if (values[i] > values[best]) best = i;
  }
  return static_cast<int32_t>(best);
}

const char* invalid_sampling_field(const llm_sampling& s) {
  constexpr float kMax = std::numeric_limits<float>::max();
  if (!within(s.temperature, -kMax, kMax)) return "temperature";
  if (s.top_k < 0) return "top_k";
  if (!within(s.top_p, 0, 1)) return "top_p";
  if (!within(s.min_p, 0, 1)) return "min_p";
  if (!within(s.repeat_penalty, std::numeric_limits<float>::denorm_min(), kMax)) return "repeat_penalty";
  if (s.repeat_last_n < 0) return "repeat_last_n";
  if (!within(s.presence_penalty, -2, 2)) return "presence_penalty";
  if (!within(s.frequency_penalty, -2, 2)) return "frequency_penalty";
  if (s.logit_bias_count > kMaxBiases || (s.logit_bias_count && !s.logit_bias)) return "logit_bias";
  for (size_t i = 0; i < s.logit_bias_count; ++i) {
    if (!within(s.logit_bias[i].bias, kBan, kForce)) return "logit_bias";
  }
  if (s.logprobs < -1 || s.logprobs > LLM_MAX_LOGPROBS) return "logprobs";
  return nullptr;
}

void check_sampling(const llm_sampling& sampling, size_t vocab) {
  if (const char* field = invalid_sampling_field(sampling))
    minilog::fail_with("The sampling setting ", field, " is outside its range (see llm/generation.h)");
  for (size_t i = 0; i < sampling.logit_bias_count; ++i) {
    const int32_t token = sampling.logit_bias[i].token;
    if (token < 0 || (vocab && static_cast<size_t>(token) >= vocab))
      minilog::fail_with("The logit_bias token ", token, " is outside the vocabulary of ", vocab, " ids");
  }
}

Sampler::Sampler(const llm_sampling& sampling)
    : params_(sampling),
      biases_(sampling.logit_bias, sampling.logit_bias + sampling.logit_bias_count),
      random_(sampling.seed) {
  params_.logit_bias = nullptr;  // borrowed: only biases_ is used
}

bool Sampler::greedy() const { return !(params_.temperature > 0.0f) || params_.top_k == 1; }

bool Sampler::plain_greedy() const {
  return greedy() && !(params_.repeat_penalty != 1.0f && params_.repeat_last_n > 0) &&
         params_.presence_penalty == 0.0f && params_.frequency_penalty == 0.0f && biases_.empty() &&
         params_.logprobs < 0;
}

void Sampler::penalise(std::vector<float>& logits, const std::vector<int32_t>& history, size_t generated) {
  const size_t vocab = logits.size();
  const auto in_vocab = [vocab](int32_t token) { return token >= 0 && static_cast<size_t>(token) < vocab; };
  const auto distinct_tail = [&](size_t n) {
    order_.assign(history.end() - std::min(n, history.size()), history.end());
    std::sort(order_.begin(), order_.end());
  };
  if (params_.repeat_penalty != 1.0f && params_.repeat_last_n > 0) {
    distinct_tail(static_cast<size_t>(params_.repeat_last_n));
    order_.erase(std::unique(order_.begin(), order_.end()), order_.end());
    for (const int32_t token : order_) {
      if (!in_vocab(token)) continue;
      float& value = logits[token];
      value = value > 0.0f ? value / params_.repeat_penalty : value * params_.repeat_penalty;
    }
  }
  if (params_.presence_penalty != 0.0f || params_.frequency_penalty != 0.0f) {
    distinct_tail(generated);
    for (size_t i = 0, j = 0; i < order_.size(); i = j) {
      while (j < order_.size() && order_[j] == order_[i]) ++j;
      if (in_vocab(order_[i]))
        logits[order_[i]] -= params_.presence_penalty + params_.frequency_penalty * static_cast<float>(j - i);
    }
  }
  tail_.clear();  // the forced tokens
  for (const llm_logit_bias& bias : biases_) {
    if (!in_vocab(bias.token)) continue;
    if (bias.bias <= kBan) {
      logits[bias.token] = -kInfinity;
    } else if (bias.bias >= kForce) {
      tail_.push_back(bias.token);
    } else {
      logits[bias.token] += bias.bias;
    }
  }
  if (tail_.empty()) return;
  // Only the forced tokens remain, drawn by their own logits; one that is
  // not a number or -inf still stays drawable.
  probs_.clear();
  for (const int32_t token : tail_) {
    const float value = logits[token];
    probs_.push_back(std::isnan(value) || value == -kInfinity ? std::numeric_limits<float>::lowest() : value);
  }
  std::fill(logits.begin(), logits.end(), -kInfinity);
  for (size_t i = 0; i < tail_.size(); ++i) logits[tail_[i]] = probs_[i];
}

int32_t Sampler::sample(std::vector<float>& logits, const std::vector<int32_t>& history, size_t generated) {
  if (logits.empty()) minilog::fail_with("There are no logits to sample from");
  penalise(logits, history, generated);
  const int32_t token = greedy() ? argmax(logits.data(), logits.size()) : draw(logits);
  if (params_.logprobs >= 0) record_logprobs(logits, token);
  return token;
}

int32_t Sampler::draw(const std::vector<float>& logits) {
  const size_t vocab = logits.size();
  const float t = params_.temperature;
  const int32_t first = argmax(logits.data(), vocab);
  const float best = logits[first];
  // +inf (one token or several) or nothing but -inf and NaN: no weights.
  if (!std::isfinite(best)) return first;
  float cutoff = best - kNegligible * t;
  // p_i / p_best = exp((l_i - best) / t) >= min_p
  if (params_.min_p > 0.0f) cutoff = std::max(cutoff, best + t * std::log(params_.min_p));
  order_.clear();
  for (size_t i = 0; i < vocab; ++i) {
    if (logits[i] >= cutoff) order_.push_back(static_cast<int32_t>(i));
  }
  if (order_.empty()) return first;
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
  if (params_.top_p < 1.0f && kept > 1) {
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
    // At least the best token, even for a goal of 0.
    for (size_t i = 0; i < tail_.size() && (sum < goal || n == 0); ++i) {
      order_[n] = tail_[i];
      probs_[n] = std::exp((logits[tail_[i]] - best) / t);
      sum += probs_[n++];
    }
    if (n == 0) return first;
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

void Sampler::record_logprobs(const std::vector<float>& logits, int32_t token) {
  const size_t vocab = logits.size(), wanted = static_cast<size_t>(params_.logprobs);
  const double t = params_.temperature > 0.0f ? params_.temperature : 1.0;
  // The likeliest entries, best first (equal ones by index), by insertion:
  // after the first few tokens, few beat the last kept one.
  top_.clear();
  float best = -kInfinity;
  for (size_t i = 0; i < vocab; ++i) {
    const float value = logits[i];
    if (!(value > -kInfinity)) continue;  // NaN and -inf: never likely, no weight
    best = std::max(best, value);
    if (wanted == 0 || (top_.size() == wanted && !(value > logits[top_.back().token]))) continue;
    if (top_.size() == wanted) top_.pop_back();
    auto at = top_.begin();
    while (at != top_.end() && logits[at->token] >= value) ++at;
    top_.insert(at, {static_cast<int>(i), 0.0});
  }
  // log p_i = (l_i - best) / t - log(sum_j exp((l_j - best) / t)); with
  // +inf logits, the infinite ones share the probability.
  double sum = 0;
  if (best == kInfinity) {
    for (size_t i = 0; i < vocab; ++i) sum += logits[i] == kInfinity;
  } else if (best > -kInfinity) {
    for (size_t i = 0; i < vocab; ++i) {
      if (logits[i] > -kInfinity) sum += std::exp((static_cast<double>(logits[i]) - best) / t);
    }
  }
  const double log_sum = std::log(sum);
  const auto logprob = [&](int32_t id) -> double {
    const float value = logits[id];
    if (std::isnan(value) || value == -kInfinity || sum == 0) return -std::numeric_limits<double>::infinity();
    if (best == kInfinity) return value == kInfinity ? -log_sum : -std::numeric_limits<double>::infinity();
    return (static_cast<double>(value) - best) / t - log_sum;
  };
  for (llm_logprob& entry : top_) entry.logprob = logprob(entry.token);
  chosen_ = {token, logprob(token)};
}

}  // namespace llmrun
