// Model folders through the C interface: the settings beside tokenizer.json
// (special tokens, add_bos_token, every end id), special-token text kept as
// text, generation stopping on any end id, and files refused by name.
// Ids against the reference library: hf_reference_test.py.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "llm/generation.h"
#include "llm/llmruntime.h"
#include "samples/samples.h"
#include "test_support.h"
#include "utils/datagen.h"
#include "vexo.h"

namespace {

using Json = nlohmann::json;
using namespace vexo::samples;

void write(const std::string& path, const Json& json) { std::ofstream(path) << json.dump(); }

// A byte-level BPE of the sample model's 64 ids: three special tokens, then
// printable characters.
Json sample_tokenizer() {
  Json vocab = Json::object();
  const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789Ġ.,!?";
  for (size_t i = 0; i + 3 < kLlmTokenizerVocab; ++i) vocab[std::string(1, letters[i])] = i + 3;
  Json added = Json::array();
  const char* specials[] = {"<eos>", "<bos>", "<|user|>"};
  for (int id = 0; id < 3; ++id) {
    added.push_back({{"id", id}, {"content", specials[id]}, {"special", true}, {"normalized", false}});
  }
  return {{"version", "1.0"},
          {"added_tokens", added},
          {"normalizer", nullptr},
          {"pre_tokenizer", {{"type", "Metaspace"}, {"replacement", "Ġ"}, {"prepend_scheme", "never"}, {"split", true}}},
          {"post_processor", nullptr},
          {"decoder", {{"type", "Metaspace"}, {"replacement", "Ġ"}, {"prepend_scheme", "never"}, {"split", true}}},
          {"model", {{"type", "BPE"}, {"vocab", vocab}, {"merges", Json::array()}}}};
}

class ModelFolder : public ::testing::Test {
 protected:
  llm_tokenizer* load(const std::string& path) {
    tokenizers.push_back(llm_tokenizer_load(path.c_str()));
    return tokenizers.back();
  }
  void TearDown() override {
    for (llm_tokenizer* t : tokenizers) llm_tokenizer_free(t);
  }
  std::vector<int> encode(const llm_tokenizer* t, const std::string& text, unsigned flags) {
    std::vector<int> ids(256);
    const long n = llm_tokenizer_encode_with(t, text.c_str(), flags, ids.data(), ids.size());
    EXPECT_GE(n, 0);
    ids.resize(static_cast<size_t>(std::max(n, 0L)));
    return ids;
  }
  vexotest::TempDir dir;
  std::vector<llm_tokenizer*> tokenizers;
};

TEST_F(ModelFolder, SettingsSpecialTextAndEveryEndId) {
  write(dir.path("tokenizer.json"), sample_tokenizer());
  write(dir.path("tokenizer_config.json"), {{"bos_token", "<bos>"}, {"eos_token", {{"content", "<eos>"}}}, {"add_bos_token", true}});
  // The sample model's third greedy token after the prompt ends the text too.
  LlmOptions options;
  options.logits_head = true;
  llm_tokenizer* t = load(dir.path(""));
  ASSERT_NE(t, nullptr);
  const std::vector<int> prompt = encode(t, "hi", 0);
  const std::vector<int> expected = llm_expected_tokens(prompt, prompt.size() + 3, options);
  const int third = expected.back();
  write(dir.path("generation_config.json"), {{"eos_token_id", {0, third}}});
  t = load(dir.path(""));  // the folder again, now with its generation settings
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(llm_tokenizer_vocab_size(t), kLlmTokenizerVocab);
  EXPECT_EQ(llm_tokenizer_bos_id(t), 1);
  EXPECT_EQ(llm_tokenizer_eos_id(t), 0);

  // add_bos: the bos id first, as add_bos_token asks.
  EXPECT_EQ(encode(t, "ab", LLM_ENCODE_ADD_BOS), (std::vector<int>{1, 3, 4}));
  // Special-token text is its id by default, and stays text when asked.
  EXPECT_EQ(encode(t, "a<|user|>b", 0), (std::vector<int>{3, 2, 4}));
  const std::vector<int> plain = encode(t, "a<|user|>b", LLM_ENCODE_SPECIAL_AS_TEXT);
  EXPECT_EQ(std::count(plain.begin(), plain.end(), 2), 0);
  std::string text(64, '\0');
  text.resize(static_cast<size_t>(llm_tokenizer_decode(t, plain.data(), plain.size(), text.data(), text.size())));
  EXPECT_EQ(text, "auserb");  // "<|>" are not in the vocabulary, which has no unknown token
  EXPECT_EQ(llm_tokenizer_encode_with(t, "a", 4u, nullptr, 0), -1);  // an unknown flag

  // Generation ends on the generation settings' end id, not only eos_token.
  const std::string model = dir.path("llm.bmodel");
  save_model(llm_sample(options), model);
  llmbase llm = llmrun::llm_init(model.c_str(), 0);
  ASSERT_NE(llm, nullptr);
  llm_session* session = llm_session_create(llm, t);
  ASSERT_NE(session, nullptr);
  llm_request request;
  llm_request_defaults(&request);
  request.max_new = 10;
  ASSERT_EQ(llm_session_start(session, prompt.data(), prompt.size(), &request), 1);
  std::vector<int> generated;
  llm_piece piece;
  while (llm_session_step(session, &piece) == 1) {
    if (piece.token >= 0) generated.push_back(piece.token);
  }
  EXPECT_EQ(llm_session_finish(session), LLM_FINISH_EOS);
  EXPECT_EQ(generated, std::vector<int>(expected.begin() + static_cast<long>(prompt.size()), expected.end() - 1));
  llm_session_free(session);
  llmrun::llm_free(llm);
}

TEST_F(ModelFolder, RefusesWhatItCannotFollowByName) {
  const auto refusal = [&](const Json& file) {
    write(dir.path("tokenizer.json"), file);
    EXPECT_EQ(load(dir.path("tokenizer.json")), nullptr);
    return std::string(vexo_get_last_error());
  };
  Json file = sample_tokenizer();
  file["normalizer"] = {{"type", "Precompiled"}, {"precompiled_charsmap", ""}};
  EXPECT_NE(refusal(file).find("normalizer \"Precompiled\""), std::string::npos);
  file = sample_tokenizer();
  file["pre_tokenizer"] = {{"type", "BertPreTokenizer"}};
  EXPECT_NE(refusal(file).find("pre-tokenizer \"BertPreTokenizer\""), std::string::npos);
  file = sample_tokenizer();
  file["model"]["type"] = "WordLevel";
  EXPECT_NE(refusal(file).find("model \"WordLevel\""), std::string::npos);
  file = sample_tokenizer();
  file["decoder"] = {{"type", "CTC"}};
  EXPECT_NE(refusal(file).find("decoder \"CTC\""), std::string::npos);
  file = sample_tokenizer();
  file["pre_tokenizer"] = {{"type", "Split"}, {"pattern", {{"Regex", "(unclosed"}}}, {"behavior", "Isolated"}};
  EXPECT_NE(refusal(file).find("(unclosed"), std::string::npos);
  file = sample_tokenizer();
  file["model"]["merges"] = {"a zz"};
  EXPECT_NE(refusal(file).find("zz"), std::string::npos);
  file = sample_tokenizer();
  file["model"]["vocab"]["huge"] = 1L << 40;  // refused before allocating for it
  EXPECT_NE(refusal(file).find("huge"), std::string::npos);
  file = sample_tokenizer();
  Json nested = {{"type", "Lowercase"}};
  for (int depth = 0; depth < 100; ++depth) nested = {{"type", "Sequence"}, {"normalizers", {nested}}};
  file["normalizer"] = nested;  // refused, not a stack overflow
  EXPECT_NE(refusal(file).find("nested"), std::string::npos);
  file = sample_tokenizer();
  file["model"]["vocab"] = "not an object";
  EXPECT_FALSE(refusal(file).empty());
  std::ofstream(dir.path("tokenizer.json")) << "{\"model\": ";
  EXPECT_EQ(load(dir.path("tokenizer.json")), nullptr);
  EXPECT_NE(std::string(vexo_get_last_error()).find("not valid JSON"), std::string::npos);
  EXPECT_EQ(load(dir.path("empty-folder-that-is-not-there")), nullptr);
}

}  // namespace
