// The host sampler on a 150,000-entry vocabulary (plain, and with
// penalties, biases and log-probabilities) beside a plain max_element pass
// and a greedy pass over the same logits, and the time to the first token of
// a conversation's second turn with the caches reused beside a first pass
// over the whole conversation, in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "llm/generation.h"
#include "llm/llmruntime.h"
#include "llm_sample.h"
#include "samples/samples.h"
#include "src/llm/sampler.h"

namespace {

constexpr size_t kVocab = 150000;

// kVocab scores drawn around 0.
std::vector<float> normal_logits(unsigned seed, float spread) {
  std::mt19937 random(seed);
  std::normal_distribution<float> heap(0.0f, spread);
  std::vector<float> values(kVocab);
  for (float& v : values) v = heap(random);
  return values;
}

// Scores as a trained model gives them: most of the vocabulary in a broad
// heap around 0, a few dozen plausible tokens well above it.
const std::vector<float>& peaked_logits() {
  static const std::vector<float> logits = [] {
    std::vector<float> values = normal_logits(1, 2.0f);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> plausible(8.0f, 20.0f);
    for (int i = 0; i < 50; ++i) values[random() % kVocab] = plausible(random);
    return values;
  }();
  return logits;
}

// The worst case for sampling: every score alike.
const std::vector<float>& flat_logits() {
  static const std::vector<float> logits = normal_logits(2, 1.0f);
  return logits;
}

void BM_MaxElement(benchmark::State& state) {
  const std::vector<float>& logits = peaked_logits();
  for (auto _ : state) benchmark::DoNotOptimize(std::max_element(logits.begin(), logits.end()));
}

void sample(benchmark::State& state, const std::vector<float>& source, float temperature, float top_p) {
  llm_sampling params;
  llm_sampling_defaults(&params);
  params.temperature = temperature;
  params.top_p = top_p;
  llmrun::Sampler sampler(params);
  std::vector<float> logits = source;
  const std::vector<int32_t> recent;
  for (auto _ : state) benchmark::DoNotOptimize(sampler.sample(logits, recent));
}

// The whole request surface: repetition, presence and frequency penalties
// over 256 generated tokens, 16 biases and the 20 likeliest log-probabilities
// (one exponential in double per token of the vocabulary), greedy or drawn.
void sample_with_everything(benchmark::State& state, float temperature, int32_t logprobs = 20) {
  llm_sampling params;
  llm_sampling_defaults(&params);
  params.temperature = temperature;
  params.top_p = 0.9f;
  params.repeat_penalty = 1.1f;
  params.presence_penalty = 0.5f;
  params.frequency_penalty = 0.5f;
  std::vector<llm_logit_bias> biases;
  for (int32_t i = 0; i < 16; ++i) biases.push_back({i * 9001, i % 2 ? -100.0f : 5.0f});
  params.logit_bias = biases.data();
  params.logit_bias_count = biases.size();
  params.logprobs = logprobs;
  llmrun::Sampler sampler(params);
  std::vector<int32_t> history(256);
  for (size_t i = 0; i < history.size(); ++i) history[i] = static_cast<int32_t>((i * 7919) % 4000);
  // Penalties and biases change the logits in place: each draw starts
  // from a copy, as a pass's fresh logits would.
  std::vector<float> logits;
  for (auto _ : state) {
    logits = peaked_logits();
    benchmark::DoNotOptimize(sampler.sample(logits, history, history.size()));
  }
}

// The baseline of the same run: a copy of the logits and the greedy pass.
void BM_SampleGreedyCopied(benchmark::State& state) {
  llm_sampling params;
  llm_sampling_defaults(&params);
  llmrun::Sampler sampler(params);
  std::vector<float> logits;
  for (auto _ : state) {
    logits = peaked_logits();
    benchmark::DoNotOptimize(sampler.sample(logits, {}));
  }
}
void BM_SampleEverythingGreedy(benchmark::State& state) { sample_with_everything(state, 0.0f); }
void BM_SampleEverythingDrawn(benchmark::State& state) { sample_with_everything(state, 0.8f); }
void BM_SamplePenaltiesBiasesGreedy(benchmark::State& state) { sample_with_everything(state, 0.0f, -1); }

void BM_SampleGreedy(benchmark::State& state) { sample(state, peaked_logits(), 0.0f, 1.0f); }
void BM_SampleTopP(benchmark::State& state) { sample(state, peaked_logits(), 0.8f, 0.9f); }
void BM_SampleTopPFlat(benchmark::State& state) { sample(state, flat_logits(), 0.8f, 0.9f); }

// A conversation of 200 tokens on a 24-layer sample of 512 positions, then a
// second turn of state.range(0) more tokens.
constexpr uint32_t kLayers = 24;
constexpr uint32_t kSeqLen = 512;
constexpr size_t kFirstTurn = 200;

llmrun::llmbase open_sample() {
  vexo::samples::LlmOptions options;
  options.layers = kLayers;
  options.seq_len = kSeqLen;
  options.logits_head = true;
  return open_llm_sample(options, "/tmp/vexo-generation-bench.bmodel");
}

void second_turn(benchmark::State& state, bool reuse) {
  llmrun::llmbase llm = open_sample();
  llm_session* session = llm_session_create(llm, nullptr);
  std::vector<int> first(kFirstTurn), other(kFirstTurn, 1);
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<int>(i % 60);
  std::vector<int> second = first;
  for (int64_t i = 0; i < state.range(0); ++i) second.push_back(static_cast<int>(i % 50));
  llm_request request;
  llm_request_defaults(&request);
  llm_piece piece;
  for (auto _ : state) {
    state.PauseTiming();
    // The caches hold the first turn, or something else.
    llm_session_start(session, reuse ? first.data() : other.data(), kFirstTurn, &request);
    state.ResumeTiming();
    llm_session_start(session, second.data(), second.size(), &request);
    llm_session_step(session, &piece);
  }
  llm_session_stats stats;
  llm_session_get_stats(session, &stats);
  state.counters["reused"] = static_cast<double>(stats.reused_tokens);
  llm_session_free(session);
  llmrun::llm_free(llm);
}

void BM_SecondTurnReused(benchmark::State& state) { second_turn(state, true); }
void BM_SecondTurnFirstPass(benchmark::State& state) { second_turn(state, false); }

}  // namespace

BENCHMARK(BM_MaxElement)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SampleGreedy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SampleTopP)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SampleTopPFlat)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SampleGreedyCopied)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SampleEverythingGreedy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SampleEverythingDrawn)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SamplePenaltiesBiasesGreedy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SecondTurnReused)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SecondTurnFirstPass)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);
