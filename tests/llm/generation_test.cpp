// Text generation on the sample language models: the logits head, the
// sampler, tokenizers, stop rules, conversation reuse and chat templates,
// through the C interface of libvexo.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "llm/generation.h"
#include "llm/llmruntime.h"
#include "samples/samples.h"
#include "src/llm/sampler.h"
#include "src/llm/tokenizer.h"
#include "test_support.h"
#include "utils/datagen.h"

namespace {

using namespace vexo::samples;

struct Generated {
  std::vector<int> tokens;
  std::string text;
  int finish = 0;
  llm_session_stats stats{};
};

class Generation : public ::testing::Test {
 protected:
  void SetUp() override {
    write_llm_tokenizer(dir.path("tokenizer.model"));
    tokenizer = llm_tokenizer_load(dir.path("tokenizer.model").c_str());
    ASSERT_NE(tokenizer, nullptr);
  }
  void TearDown() override {
    for (llm_session* session : sessions) llm_session_free(session);
    for (llmbase llm : models) llmrun::llm_free(llm);
    llm_tokenizer_free(tokenizer);
  }
  llmbase open(const LlmOptions& options) {
    const std::string path = dir.path("llm" + std::to_string(models.size()) + ".bmodel");
    save_model(llm_sample(options), path);
    llmbase llm = llmrun::llm_init(path.c_str(), 0);
    EXPECT_NE(llm, nullptr);
    models.push_back(llm);
    return llm;
  }
  llm_session* session(llmbase llm) {
    sessions.push_back(llm_session_create(llm, tokenizer));
    return sessions.back();
  }
  std::vector<int> encode(const std::string& text) {
    std::vector<int> ids(64);
    const long n = llm_tokenizer_encode(tokenizer, text.c_str(), 0, ids.data(), ids.size());
    EXPECT_GE(n, 0);
    ids.resize(static_cast<size_t>(std::max(n, 0L)));
    return ids;
  }
  std::string decode(const std::vector<int>& ids) {
    std::string text(256, '\0');
    const long n = llm_tokenizer_decode(tokenizer, ids.data(), ids.size(), text.data(), text.size());
    EXPECT_GE(n, 0);
    text.resize(static_cast<size_t>(std::max(n, 0L)));
    return text;
  }
  static Generated run(llm_session* session, const std::vector<int>& prompt, const llm_request& request) {
    Generated out;
    EXPECT_EQ(llm_session_start(session, prompt.data(), prompt.size(), &request), 1);
    llm_piece piece;
    for (int more = 1; more == 1;) {
      more = llm_session_step(session, &piece);
      EXPECT_GE(more, 0);
      if (more < 0) break;
      if (piece.token >= 0) out.tokens.push_back(piece.token);
      out.text.append(piece.text, piece.text_len);
    }
    out.finish = llm_session_finish(session);
    llm_session_get_stats(session, &out.stats);
    return out;
  }
  void expect_logits_head_follows_the_rule(const LlmOptions& options);
  static llm_request request(size_t max_new) {
    llm_request r;
    llm_request_defaults(&r);
    r.max_new = max_new;
    return r;
  }

  vexotest::TempDir dir;
  llm_tokenizer* tokenizer = nullptr;
  std::vector<llmbase> models;
  std::vector<llm_session*> sessions;
};

// The model of the conversation-reuse tests: generated tokens read the rows
// of the tokens 4 places before them.
LlmOptions reuse_options(bool logits) {
  LlmOptions options;
  options.logits_head = logits;
  options.layers = 3;
  options.seq_len = 24;
  return options;
}

LlmOptions logits_options() {
  LlmOptions options;
  options.logits_head = true;
  return options;
}

// The sample's vocabulary, and a real tokenizer's (Qwen's padded 151,936
// ids, scored by a head whose weights repeat a short row).
TEST_F(Generation, LogitsHeadPassesFollowTheSampleRule) {
  LlmOptions big = logits_options();
  big.vocab = 151936;
  big.seq_len = 512;
  for (const LlmOptions& options : {logits_options(), big}) {
    SCOPED_TRACE(options.vocab);
    expect_logits_head_follows_the_rule(options);
  }

  // Token heads tell themselves apart.
  LlmOptions greedy;
  greedy.greedy_head = true;
  llmbase token_model = open(greedy);
  EXPECT_EQ(llm_get_head_kind(token_model), LLM_HEAD_TOKEN);
  EXPECT_EQ(llm_get_head_dtype(token_model), BM_INT32);
  EXPECT_EQ(llm_get_head_size(token_model), 1u);
  EXPECT_EQ(llm_get_head_kind(nullptr), 0);
}

void Generation::expect_logits_head_follows_the_rule(const LlmOptions& options) {
  llmbase llm = open(options);
  ASSERT_NE(llm, nullptr);
  EXPECT_EQ(llm_get_head_kind(llm), LLM_HEAD_LOGITS);
  EXPECT_EQ(llm_get_head_dtype(llm), BM_FLOAT32);
  EXPECT_EQ(llm_get_head_size(llm), options.vocab);
  EXPECT_EQ(llm_get_num_layers(llm), options.layers);

  // The plain passes pick the best score on the host, never the logits' first word.
  std::vector<int> prompt{5, 17, 42, 9};
  const auto expected = llm_expected_tokens(prompt, options.seq_len + 1, options);
  std::vector<int> got = prompt;
  got.push_back(llmrun::llm_forward_first(llm, prompt.data(), prompt.size()));
  while (llmrun::llm_get_token_len(llm) <= options.seq_len) got.push_back(llmrun::llm_forward_next(llm));
  EXPECT_EQ(got, expected);

  // The logits passes hand every score over, and a next pass feeds the token given.
  std::vector<float> logits(options.vocab);
  const int first = llm_forward_first_logits(llm, prompt.data(), prompt.size(), logits.data(), logits.size());
  EXPECT_EQ(first, expected[prompt.size()]);
  const int hidden = llm_embed(prompt[prompt.size() - 1 - options.layers], options.vocab);
  for (uint32_t t = 0; t < options.vocab; ++t) EXPECT_EQ(logits[t], llm_logit(hidden, t, options.vocab));
  std::vector<int> fed = prompt;
  fed.push_back(30);  // not the best token: the caches now hold it instead
  const int next = llm_forward_next_logits(llm, 30, logits.data(), logits.size());
  EXPECT_EQ(next, llm_expected_tokens(fed, fed.size() + 1, options).back());
  EXPECT_EQ(llm_forward_next_logits(llm, 1, logits.data(), 3), -1);  // too small an array
}

TEST_F(Generation, SamplerKeepsToItsCandidatesAndRepeatsWithTheSeed) {
  // Scores 0 to 9 on tokens 0 to 9.
  const std::vector<float> scores{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const auto drawn = [&](llm_sampling params, const std::vector<int32_t>& recent = {}) {
    llmrun::Sampler sampler(params);
    std::vector<int32_t> tokens;
    for (int i = 0; i < 400; ++i) {
      std::vector<float> logits = scores;
      tokens.push_back(sampler.sample(logits, recent));
    }
    return tokens;
  };
  const auto set_of = [](const std::vector<int32_t>& tokens) { return std::set<int32_t>(tokens.begin(), tokens.end()); };
  llm_sampling params;
  llm_sampling_defaults(&params);
  EXPECT_EQ(set_of(drawn(params)), std::set<int32_t>{9});  // greedy by default
  params.temperature = 1.0f;
  params.seed = 3;
  EXPECT_EQ(drawn(params), drawn(params));
  EXPECT_GE(set_of(drawn(params)).size(), 4u);  // not only the best
  params.top_k = 3;
  EXPECT_EQ(set_of(drawn(params)), (std::set<int32_t>{7, 8, 9}));
  params.top_k = 0;
  // p(9) = 0.63, p(8) = 0.23, p(7) = 0.086: 0.8 takes two tokens.
  params.top_p = 0.8f;
  EXPECT_EQ(set_of(drawn(params)), (std::set<int32_t>{8, 9}));
  params.top_p = 1.0f;
  params.min_p = 0.1f;  // e^-2 = 0.135 > 0.1 > e^-3
  EXPECT_EQ(set_of(drawn(params)), (std::set<int32_t>{7, 8, 9}));
  params.min_p = 0;
  // A large vocabulary: exactly the best tokens holding 0.5 of the probability.
  std::vector<float> many(3000);
  for (size_t i = 0; i < many.size(); ++i) many[i] = -0.002f * static_cast<float>((i * 7) % many.size());
  double all = 0, sum = 0;
  for (const float v : many) all += std::exp(v - many[0]);
  size_t nucleus = 0;
  std::vector<int32_t> by_score(many.size());
  for (size_t i = 0; i < many.size(); ++i) by_score[i] = static_cast<int32_t>(i);
  std::sort(by_score.begin(), by_score.end(), [&](int32_t a, int32_t b) { return many[a] > many[b]; });
  while (sum < 0.5 * all) sum += std::exp(many[by_score[nucleus++]] - many[0]);
  params.top_p = 0.5f;
  llmrun::Sampler wide(params);
  std::set<int32_t> drawn_wide;
  for (int i = 0; i < 2000; ++i) {
    std::vector<float> logits = many;
    drawn_wide.insert(wide.sample(logits, {}));
  }
  const std::set<int32_t> allowed(by_score.begin(), by_score.begin() + nucleus);
  for (const int32_t token : drawn_wide) EXPECT_EQ(allowed.count(token), 1u) << token;
  EXPECT_GT(drawn_wide.size(), nucleus / 2);
  params.top_p = 1.0f;
  params.temperature = 0;
  params.repeat_penalty = 2.0f;  // 9 / 2 < 8
  EXPECT_EQ(set_of(drawn(params, {9})), std::set<int32_t>{8});
}

TEST_F(Generation, SamplerPenaltiesBiasesAndLogprobsFollowTheirDefinitions) {
  const std::vector<float> scores{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  llm_sampling params;
  llm_sampling_defaults(&params);
  const auto greedy = [&](const llm_sampling& p, const std::vector<int32_t>& history, size_t generated) {
    std::vector<float> logits = scores;
    return llmrun::Sampler(p).sample(logits, history, generated);
  };
  // Presence and frequency penalties count generated tokens only.
  params.presence_penalty = 1.5f;  // 9 - 1.5 < 8
  EXPECT_EQ(greedy(params, {9}, 1), 8);
  EXPECT_EQ(greedy(params, {9}, 0), 9);
  params.presence_penalty = 0;
  params.frequency_penalty = 0.6f;  // once: 8.4 > 8; twice: 7.8 < 8
  EXPECT_EQ(greedy(params, {9}, 1), 9);
  EXPECT_EQ(greedy(params, {9, 9}, 2), 8);
  params.frequency_penalty = 0;

  // -100 bans, +100 forces (the draw among the forced tokens), others add.
  const llm_logit_bias ban[] = {{9, -100.0f}, {8, -1.5f}};
  params.logit_bias = ban;
  params.logit_bias_count = 2;
  EXPECT_EQ(greedy(params, {}, 0), 7);
  const llm_logit_bias force[] = {{3, 100.0f}, {4, 100.0f}};
  params.logit_bias = force;
  params.temperature = 1.0f;
  std::set<int32_t> forced;
  llmrun::Sampler sampler(params);
  for (int i = 0; i < 200; ++i) {
    std::vector<float> logits = scores;
    forced.insert(sampler.sample(logits, {}));
  }
  EXPECT_EQ(forced, (std::set<int32_t>{3, 4}));
  params.logit_bias_count = 0;

  // Log-probabilities of the distribution drawn from (temperature 2), in
  // double, before top-k.
  params.temperature = 2.0f;
  params.top_k = 2;
  params.logprobs = 3;
  llmrun::Sampler recording(params);
  std::vector<float> logits = scores;
  const int32_t token = recording.sample(logits, {});
  double sum = 0;
  for (const float s : scores) sum += std::exp((s - 9.0) / 2.0);
  EXPECT_EQ(recording.chosen().token, token);
  EXPECT_NEAR(recording.chosen().logprob, (scores[token] - 9.0) / 2.0 - std::log(sum), 1e-12);
  ASSERT_EQ(recording.top().size(), 3u);
  double mass = 0;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(recording.top()[i].token, 9 - static_cast<int>(i));
    EXPECT_NEAR(recording.top()[i].logprob, -static_cast<double>(i) / 2.0 - std::log(sum), 1e-12);
    mass += std::exp(recording.top()[i].logprob);
  }
  EXPECT_LT(mass, 1.0);
}

// Whatever the logits hold and however extreme the valid settings, the
// sampler returns an id of the vocabulary.
TEST_F(Generation, SamplerIsTotal) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<std::vector<float>> cases{
      {nan, nan, nan}, {-inf, -inf, -inf}, {nan, 1, inf}, {inf, inf, 0}, {-inf, nan, 2, 5}, {1e38f, -1e38f, 0},
  };
  llm_sampling params;
  llm_sampling_defaults(&params);
  const llm_logit_bias biases[] = {{0, 100.0f}, {1, -100.0f}};
  for (const float temperature : {0.0f, 1e-30f, 1.0f, 3e38f}) {
    for (const float repeat : {1e-38f, 1.0f, 3e38f}) {
      for (const float top_p : {0.0f, 0.5f, 1.0f}) {
        for (const size_t bias_count : {0, 1, 2}) {
          params.temperature = temperature;
          params.repeat_penalty = repeat;
          params.top_p = top_p;
          params.min_p = 1.0f;
          params.top_k = std::numeric_limits<int32_t>::max();
          params.presence_penalty = -2.0f;
          params.logit_bias = biases;
          params.logit_bias_count = bias_count;
          params.logprobs = 20;
          ASSERT_EQ(llm_sampling_invalid(&params), nullptr);
          llmrun::Sampler sampler(params);
          for (const std::vector<float>& values : cases) {
            std::vector<float> logits = values;
            const int32_t token = sampler.sample(logits, {0, 1, 2}, 3);
            EXPECT_GE(token, 0);
            EXPECT_LT(static_cast<size_t>(token), values.size());
            EXPECT_FALSE(std::isnan(sampler.chosen().logprob));
          }
        }
      }
    }
  }
  // One +inf score wins; the infinite ones share the probability.
  std::vector<float> logits{0, inf, 3};
  params = {};
  llm_sampling_defaults(&params);
  params.logprobs = 1;
  llmrun::Sampler sampler(params);
  EXPECT_EQ(sampler.sample(logits, {}), 1);
  EXPECT_EQ(sampler.chosen().logprob, 0.0);
}

TEST_F(Generation, SamplingSettingsOutsideTheirRangesAreRefused) {
  llmbase llm = open(logits_options());
  llm_session* s = session(llm);
  const std::vector<int> prompt{1, 5, 9};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const llm_logit_bias too_strong[] = {{3, 101.0f}}, not_a_number[] = {{3, nan}}, outside[] = {{64, 1.0f}};
  struct Case {
    const char* field;
    void (*set)(llm_sampling&, const llm_logit_bias*);
    const llm_logit_bias* bias;
  };
  const Case cases[] = {
      {"temperature", [](llm_sampling& p, const llm_logit_bias*) { p.temperature = std::nanf(""); }, nullptr},
      {"temperature", [](llm_sampling& p, const llm_logit_bias*) { p.temperature = HUGE_VALF; }, nullptr},
      {"top_k", [](llm_sampling& p, const llm_logit_bias*) { p.top_k = -1; }, nullptr},
      {"top_p", [](llm_sampling& p, const llm_logit_bias*) { p.top_p = 1.5f; }, nullptr},
      {"min_p", [](llm_sampling& p, const llm_logit_bias*) { p.min_p = std::nanf(""); }, nullptr},
      {"repeat_penalty", [](llm_sampling& p, const llm_logit_bias*) { p.repeat_penalty = HUGE_VALF; }, nullptr},
      {"repeat_penalty", [](llm_sampling& p, const llm_logit_bias*) { p.repeat_penalty = 0; }, nullptr},
      {"repeat_last_n", [](llm_sampling& p, const llm_logit_bias*) { p.repeat_last_n = -1; }, nullptr},
      {"presence_penalty", [](llm_sampling& p, const llm_logit_bias*) { p.presence_penalty = 2.5f; }, nullptr},
      {"frequency_penalty", [](llm_sampling& p, const llm_logit_bias*) { p.frequency_penalty = -HUGE_VALF; },
       nullptr},
      {"logprobs", [](llm_sampling& p, const llm_logit_bias*) { p.logprobs = 21; }, nullptr},
      {"logit_bias", [](llm_sampling& p, const llm_logit_bias* b) { p.logit_bias = b, p.logit_bias_count = 1; },
       too_strong},
      {"logit_bias", [](llm_sampling& p, const llm_logit_bias* b) { p.logit_bias = b, p.logit_bias_count = 1; },
       not_a_number},
      {nullptr, [](llm_sampling& p, const llm_logit_bias* b) { p.logit_bias = b, p.logit_bias_count = 1; },
       outside},
  };
  for (const Case& c : cases) {
    llm_request r = request(2);
    c.set(r.sampling, c.bias);
    SCOPED_TRACE(c.field ? c.field : "logit_bias token");
    const char* invalid = llm_sampling_invalid(&r.sampling);
    EXPECT_EQ(invalid ? std::string(invalid) : "", c.field ? c.field : "");
    EXPECT_EQ(llm_session_start(s, prompt.data(), prompt.size(), &r), 0);
  }
  llm_request fine = request(2);
  EXPECT_EQ(llm_sampling_invalid(&fine.sampling), nullptr);
  EXPECT_EQ(llm_session_start(s, prompt.data(), prompt.size(), &fine), 1);
}

// Models often pad their vocabulary past the tokenizer's: a logits head
// never yields the padding ids, a token head that chooses one ends there.
TEST_F(Generation, IdsOutsideTheTokenizersVocabularyAreNeverGenerated) {
  LlmOptions options = logits_options();
  options.vocab = 96;
  options.seq_len = 64;
  const std::vector<int> prompt{1, 5, 9};
  const std::vector<int> rule = llm_expected_tokens(prompt, 40, options);
  ASSERT_TRUE(std::any_of(rule.begin() + 3, rule.end(), [](int id) { return id >= 64; }));
  llm_session* logits = session(open(options));
  llm_request r = request(30);
  r.eos_ids = &prompt[0];  // an id the sample never generates: no early end
  r.eos_count = 1;
  r.sampling.logprobs = 2;
  llm_piece piece;
  ASSERT_EQ(llm_session_start(logits, prompt.data(), prompt.size(), &r), 1);
  size_t generated = 0;
  for (int more = 1; more == 1; ++generated) {
    more = llm_session_step(logits, &piece);
    ASSERT_GE(more, 0);
    ASSERT_GE(piece.token, 0);
    EXPECT_LT(piece.token, 64);
    llm_logprob chosen{}, top[2];
    ASSERT_EQ(llm_session_logprobs(logits, &chosen, top, 2), 2);
    EXPECT_EQ(chosen.token, piece.token);
    EXPECT_EQ(top[0].token, piece.token);  // greedy: the likeliest
    EXPECT_LE(chosen.logprob, 0.0);
    EXPECT_GE(top[0].logprob, top[1].logprob);
  }
  EXPECT_EQ(generated, 30u);
  EXPECT_EQ(llm_session_finish(logits), LLM_FINISH_LENGTH);

  options.logits_head = false;
  options.greedy_head = true;
  llm_session* tokens = session(open(options));
  const Generated ended = run(tokens, prompt, request(30));
  const size_t first_padding =
      std::find_if(rule.begin() + 3, rule.end(), [](int id) { return id >= 64; }) - (rule.begin() + 3);
  EXPECT_EQ(ended.finish, LLM_FINISH_UNKNOWN_TOKEN);
  EXPECT_EQ(ended.tokens, std::vector<int>(rule.begin() + 3, rule.begin() + 3 + first_padding));
  EXPECT_STREQ(llm_finish_name(LLM_FINISH_UNKNOWN_TOKEN), "unknown_token");
  EXPECT_EQ(llm_session_logprobs(tokens, nullptr, nullptr, 0), -1);
}

TEST_F(Generation, TextInTextOutWithStopRules) {
  const LlmOptions options = logits_options();
  llmbase llm = open(options);
  ASSERT_EQ(llm_tokenizer_vocab_size(tokenizer), options.vocab);
  EXPECT_EQ(llm_tokenizer_eos_id(tokenizer), 2);
  const std::vector<int> prompt = encode("hello world");
  ASSERT_FALSE(prompt.empty());
  EXPECT_EQ(decode(prompt), "hello world");

  // The text that generated tokens add to the prompt's.
  const auto added = [&](const std::vector<int>& tokens) {
    std::vector<int> all = prompt;
    all.insert(all.end(), tokens.begin(), tokens.end());
    return decode(all).substr(decode(prompt).size());
  };
  // Greedy: the rule's tokens, decoded piece by piece into the whole text.
  llm_session* s = session(llm);
  llm_request r = request(6);
  const std::vector<int> expected = llm_expected_tokens(prompt, options.seq_len + 1, options);
  const Generated greedy = run(s, prompt, r);
  EXPECT_EQ(greedy.tokens, std::vector<int>(expected.begin() + prompt.size(), expected.begin() + prompt.size() + 6));
  EXPECT_EQ(greedy.text, added(greedy.tokens));
  EXPECT_EQ(greedy.finish, LLM_FINISH_LENGTH);
  EXPECT_EQ(greedy.stats.prompt_tokens, prompt.size());
  EXPECT_EQ(greedy.stats.generated_tokens, 6u);

  // A stop string across the boundary of the second and third tokens: the
  // text before it is all that shows.
  const std::string two = added({greedy.tokens[0], greedy.tokens[1]});
  const std::string three = added({greedy.tokens[0], greedy.tokens[1], greedy.tokens[2]});
  ASSERT_GT(three.size(), two.size());
  const std::string stop = two.substr(two.size() - 1) + three.substr(two.size(), 1);
  const size_t at = three.find(stop);
  const char* stops[] = {stop.c_str()};
  r.stops = stops;
  r.stop_count = 1;
  const Generated stopped = run(s, prompt, r);
  EXPECT_EQ(stopped.finish, LLM_FINISH_STOP);
  EXPECT_EQ(stopped.text, three.substr(0, at));

  // Sampling with a seed repeats itself; another seed draws other tokens.
  r = request(10);
  r.sampling.temperature = 4.0f;
  r.sampling.top_p = 0.95f;
  r.sampling.seed = 11;
  const Generated a = run(s, prompt, r), b = run(s, prompt, r);
  EXPECT_EQ(a.tokens, b.tokens);
  EXPECT_EQ(a.text, b.text);
  r.sampling.seed = 12;
  const Generated c = run(s, prompt, r);
  EXPECT_NE(c.tokens, a.tokens);

  // End ids end the generation without showing the token; a full cache ends it too.
  r = request(0);
  const int eos[] = {expected[prompt.size() + 2]};
  r.eos_ids = eos;
  r.eos_count = 1;
  const Generated ended = run(s, prompt, r);
  EXPECT_EQ(ended.finish, LLM_FINISH_EOS);
  EXPECT_EQ(ended.tokens.size(), std::find(expected.begin() + prompt.size(), expected.end(), eos[0]) -
                                     (expected.begin() + prompt.size()));
  r = request(0);
  const Generated full = run(s, prompt, r);
  EXPECT_EQ(full.finish, LLM_FINISH_CAPACITY);
  EXPECT_EQ(prompt.size() + full.tokens.size(), options.seq_len + 1);
  EXPECT_STREQ(llm_finish_name(full.finish), "capacity");

  // A callback cancels at the next token.
  int pieces = 0;
  const auto cancel_second = [](void* user, const llm_piece*) { return ++*static_cast<int*>(user) == 2 ? 1 : 0; };
  EXPECT_EQ(llm_session_generate(s, prompt.data(), prompt.size(), &r, cancel_second, &pieces), LLM_FINISH_CANCELLED);
  EXPECT_EQ(pieces, 2);
  EXPECT_EQ(llm_session_finish(s), LLM_FINISH_CANCELLED);
}

TEST_F(Generation, ConversationReuseEqualsAFreshPass) {
  for (const bool logits : {true, false}) {
    const LlmOptions options = reuse_options(logits);
    llmbase llm = open(options);
    llm_session *s = session(llm), *fresh = session(open(options));
    const llm_request r = request(4);
    const std::vector<int> first_prompt{5, 17, 42, 9, 33};
    const Generated turn1 = run(s, first_prompt, r);
    EXPECT_EQ(turn1.stats.reused_tokens, 0u);

    // The caches hold the prompt and every generated token but the last.
    const int* held = nullptr;
    const size_t count = llm_session_cached_tokens(s, &held);
    std::vector<int> cached(held, held + count);
    std::vector<int> expected_cache = first_prompt;
    expected_cache.insert(expected_cache.end(), turn1.tokens.begin(), turn1.tokens.end() - 1);
    EXPECT_EQ(cached, expected_cache);
    EXPECT_EQ(llm_session_capacity(s), options.seq_len);

    std::vector<int> second = first_prompt;
    second.insert(second.end(), turn1.tokens.begin(), turn1.tokens.end());
    second.insert(second.end(), {7, 8, 60});
    const Generated reused = run(s, second, r);
    EXPECT_EQ(reused.stats.reused_tokens, count);
    const Generated again = run(fresh, second, r);
    EXPECT_EQ(again.stats.reused_tokens, 0u);
    EXPECT_EQ(reused.tokens, again.tokens);
    const std::vector<int> rule = llm_expected_tokens(second, second.size() + 4, options);
    EXPECT_EQ(reused.tokens, std::vector<int>(rule.begin() + second.size(), rule.end()));

    // Another prefix takes a first pass.
    const std::vector<int> other{6, 17, 42};
    EXPECT_EQ(run(s, other, r).stats.reused_tokens, 0u);
    // Passes run beside the session make it forget what the caches hold.
    llmrun::llm_forward_first(llm, second.data(), 3);
    EXPECT_EQ(llm_session_cached_tokens(s, &held), 0u);
    std::vector<int> extended = other;
    extended.push_back(1);
    EXPECT_EQ(run(s, extended, r).stats.reused_tokens, 0u);
  }
  // A prompt beyond the capacity is refused.
  llm_session* s = session(open(logits_options()));
  const std::vector<int> too_long(17, 1);
  const llm_request r = request(1);
  EXPECT_EQ(llm_session_start(s, too_long.data(), too_long.size(), &r), 0);
  llm_piece piece;
  EXPECT_EQ(llm_session_step(s, &piece), -1);
}

// A new prompt that extends the cached tokens except in one of them (a chat
// template re-renders the previous reply, whose ids often differ from the
// generated ones) must not reuse the caches: the output is a fresh pass's.
TEST_F(Generation, ReuseNeedsEveryCachedTokenToAgree) {
  for (const bool logits : {true, false}) {
    const LlmOptions options = reuse_options(logits);
    llm_session *s = session(open(options)), *fresh = session(open(options));
    const llm_request r = request(4);
    const std::vector<int> first_prompt{5, 17, 42, 9, 33, 12, 20};
    for (const size_t changed : {first_prompt.size() + 2, first_prompt.size() + 1}) {  // the last cached, one before
      SCOPED_TRACE(changed);
      run(s, first_prompt, r);
      const int* held = nullptr;
      const size_t count = llm_session_cached_tokens(s, &held);
      std::vector<int> prompt(held, held + count);
      ASSERT_EQ(prompt.size(), first_prompt.size() + 3);
      ASSERT_LT(changed, prompt.size());
      prompt[changed] = prompt[changed] == 50 ? 51 : 50;
      // Generated tokens read the rows of tokens layers + 1 before them: with
      // one new token, the second and third generated read the changed ones.
      prompt.push_back(7);
      const Generated second = run(s, prompt, r);
      const Generated expected = run(fresh, prompt, r);
      EXPECT_EQ(second.stats.reused_tokens, 0u);
      EXPECT_EQ(second.tokens, expected.tokens);
      const std::vector<int> rule = llm_expected_tokens(prompt, prompt.size() + 4, options);
      EXPECT_EQ(second.tokens, std::vector<int>(rule.begin() + prompt.size(), rule.end()));
    }
  }
}

// Ids are bytes: a character of two bytes takes two tokens.
class ByteTokenizer : public llmrun::Tokenizer {
 public:
  std::vector<int> encode(const std::string& text, bool) const override {
    return std::vector<int>(text.begin(), text.end());
  }
  size_t min_ids(const std::string& text) const override { return text.size(); }
  std::string decode(const std::vector<int>& ids) const override {
    std::string text;
    for (const int id : ids) text += static_cast<char>(id);
    return text;
  }
  size_t vocab_size() const override { return 256; }
  int bos_id() const override { return -1; }
  int eos_id() const override { return -1; }
};

// The streamed pieces of any ids make exactly their decoded text: runs of
// spaces and of ids that decode to nothing, leading spaces, and characters
// whose bytes come one id each.
TEST_F(Generation, StreamedPiecesMakeTheDecodedText) {
  const std::string fallback_path = dir.path("byte-fallback.model");
  write_byte_fallback_tokenizer(fallback_path);
  for (const std::string& path : {dir.path("tokenizer.model"), fallback_path}) {
    SCOPED_TRACE(path);
    const std::unique_ptr<llmrun::Tokenizer> tokenizer = llmrun::load_tokenizer(path);
    llmrun::StreamDecoder decoder(*tokenizer);
    const auto expect_whole = [&](const std::vector<int>& ids) {
      std::string streamed;
      for (const int id : ids) streamed += decoder.push(id);
      streamed += decoder.flush();
      EXPECT_EQ(streamed, tokenizer->decode(ids)) << testing::PrintToString(ids);
    };
    int space = 0;  // the piece of one space
    while (space < 64 && tokenizer->decode({42, space}) != tokenizer->decode({42}) + " ") ++space;
    ASSERT_LT(space, 64);
    expect_whole({5, 6, 26, 27, 9, 54, 6, 34, 53, 23, 5, 45, 4, 27, 9, 54, 6, 34, 36, 36, 36, 36, 36, 53, 6, 0, 45});
    expect_whole({44, 1, 1, 1, 1, 26});
    expect_whole({space, space, space, 44});
    expect_whole({44, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, space, 44});
    std::vector<int> indented{44};
    for (int line = 0; line < 40; ++line) {
      indented.insert(indented.end(), {5, space, space, space, space, space, space, space, space, 26});
    }
    expect_whole(indented);  // long enough for the decoder to cut what it keeps

    // Random ids, most of them spaces, nothing ids and (with byte fallback)
    // bytes of characters of 2 to 4 bytes, valid or not.
    const std::vector<int> vocab_ids = tokenizer->encode("the lazy dog\nhello world", false);
    std::mt19937 random(26);
    // With byte fallback a character the pieces lack takes one id per byte,
    // and the byte ids follow each other: "<0x00>" is byte_ids + 0.
    int byte_ids = -1;
    if (path == fallback_path) {
      const std::vector<int> emoji = tokenizer->encode("\xF0\x9F\x98\x80", false);
      ASSERT_GE(emoji.size(), 4u);
      byte_ids = emoji[emoji.size() - 4] - 0xF0;
      ASSERT_EQ(emoji.back(), byte_ids + 0x80);
      expect_whole({emoji.end() - 4, emoji.end()});
      expect_whole({emoji.end() - 4, emoji.end() - 1});  // cut short
      expect_whole({byte_ids + 0xE2, byte_ids + 0x82, space, byte_ids + 0xC3, byte_ids + 0xA9});
    }
    for (int round = 0; round < 300; ++round) {
      std::vector<int> ids;
      for (size_t n = random() % 40; ids.size() < n;) {
        switch (random() % 5) {
          case 0: ids.push_back(space); break;
          case 1: ids.push_back(1 + static_cast<int>(random() % 2)); break;
          case 2: ids.push_back(vocab_ids[random() % vocab_ids.size()]); break;
          default:
            ids.push_back(byte_ids >= 0 ? byte_ids + 0x80 + static_cast<int>(random() % 0x78)
                                        : static_cast<int>(random() % tokenizer->vocab_size()));
        }
      }
      expect_whole(ids);
    }
  }
}

TEST_F(Generation, StreamingDecodeNeverSplitsACharacter) {
  ByteTokenizer bytes;
  llmrun::StreamDecoder decoder(bytes);
  EXPECT_EQ(decoder.push('a'), "a");
  EXPECT_EQ(decoder.push(0xC3), "");
  EXPECT_EQ(decoder.push(0xA9), "\xC3\xA9");
  EXPECT_EQ(decoder.push(0xE2), "");
  EXPECT_EQ(decoder.push(0x82), "");
  EXPECT_EQ(decoder.flush(), "\xE2\x82");  // an unfinished character shows at the end

  // SentencePiece spacing: the pieces make the text that decodes at once.
  llm_decoder* stream = llm_decoder_create(tokenizer);
  const std::vector<int> ids = encode("the lazy dog and the fox");
  std::string text;
  for (const int id : ids) text += llm_decoder_push(stream, id);
  text += llm_decoder_flush(stream);
  EXPECT_EQ(text, "the lazy dog and the fox");
  EXPECT_EQ(llm_decoder_push(stream, 64), nullptr);  // outside the vocabulary
  llm_decoder_free(stream);

  const std::string json = dir.path("tokenizer.json");
  std::ofstream(json) << "{\"model\": {}}";
  EXPECT_EQ(llm_tokenizer_load(json.c_str()), nullptr);
}

TEST_F(Generation, ChatTemplatesRenderMessages) {
  const llm_chat_message messages[] = {{"system", "Be brief."}, {"user", "hello {content}"}};
  llm_chat_template* chatml = llm_chat_template_chatml();
  char text[256];
  const long n = llm_chat_template_render(chatml, messages, 2, 1, text, sizeof text);
  const std::string expected =
      "<|im_start|>system\nBe brief.<|im_end|>\n<|im_start|>user\nhello {content}<|im_end|>\n"
      "<|im_start|>assistant\n";
  EXPECT_EQ(std::string(text), expected);
  EXPECT_EQ(n, static_cast<long>(expected.size()));
  EXPECT_EQ(llm_chat_template_render(chatml, messages, 2, 0, text, 4), static_cast<long>(expected.size() - 22));
  EXPECT_STREQ(text, "<|i");
  EXPECT_STREQ(llm_chat_template_stop(chatml), "<|im_end|>");
  llm_chat_template_free(chatml);

  // The ChatML tokens are single ids of the sample tokenizer.
  const std::vector<int> turn = encode("<|im_start|>user\nhi<|im_end|>");
  EXPECT_EQ(std::count(turn.begin(), turn.end(), 3), 1);
  EXPECT_EQ(std::count(turn.begin(), turn.end(), 4), 1);
  EXPECT_EQ(std::count(turn.begin(), turn.end(), 0), 0);  // the newline is known too

  const std::string path = dir.path("plain.template");
  std::ofstream(path) << "# a plain template\n"
                         "begin = [start]\n"
                         "message = {role}: {content}\\n\n"
                         "message.system = ({content})\\n\n"
                         "generation = assistant:\\s\n"
                         "stop = \\n\\n\n";
  llm_chat_template* plain = llm_chat_template_load(path.c_str());
  ASSERT_NE(plain, nullptr);
  llm_chat_template_render(plain, messages, 2, 1, text, sizeof text);
  EXPECT_STREQ(text, "[start](Be brief.)\nuser: hello {content}\nassistant: ");
  EXPECT_STREQ(llm_chat_template_stop(plain), "\n\n");
  llm_chat_template_free(plain);

  std::ofstream(path) << "message = x\nfooter = y\n";
  EXPECT_EQ(llm_chat_template_load(path.c_str()), nullptr);
  std::ofstream(path) << "begin = x\n";
  EXPECT_EQ(llm_chat_template_load(path.c_str()), nullptr);
}

}  // namespace
