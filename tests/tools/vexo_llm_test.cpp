// vexo-llm run as a child process on the language-model sample: the tokens
// it prints against the sample's reference, where it stops, and its errors.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "llm/generation.h"
#include "samples/samples.h"
#include "test_support.h"
#include "tool_outcome.h"

namespace {

using tooltest::Outcome;
using vexo::samples::LlmOptions;

const std::string kLlm = VEXO_LLM_PATH;

// The tokens after the prompt that the sample model yields, in the tool's
// format: one line, separated by blanks.
std::string expected_line(const std::vector<int32_t>& prompt, size_t generated,
                          const LlmOptions& options = {}) {
  const std::vector<int32_t> all =
      vexo::samples::llm_expected_tokens(prompt, prompt.size() + generated, options);
  std::ostringstream line;
  for (size_t i = prompt.size(); i < all.size(); ++i) line << (i > prompt.size() ? " " : "") << all[i];
  return line.str();
}

class VexoLlm : public testing::Test {
 protected:
  std::string model(const LlmOptions& options = {}) const {
    const std::string file = dir_.path("llm.bmodel");
    vexo::samples::save_model(vexo::samples::llm_sample(options), file);
    return file;
  }
  Outcome run(const std::vector<std::string>& args) const { return tooltest::run(dir_, kLlm, args); }
  std::string path(const std::string& name) const { return dir_.path(name); }

 private:
  vexotest::TempDir dir_;
};

TEST_F(VexoLlm, PrintsTheModelsTokensUntilTheSequenceIsFull) {
  const Outcome outcome = run({model(), "--tokens", "1,2,3"});
  tooltest::expect_clean_exit(outcome);
  const std::vector<std::string> lines = tooltest::lines(outcome.out);
  ASSERT_EQ(lines.size(), 4u) << outcome.out;
  // 16 positions: the first pass and 13 next passes, the last token unfed.
  EXPECT_EQ(lines[0], expected_line({1, 2, 3}, 14));
  const std::string t = "[0-9]+\\.[0-9]{3} ms";
  EXPECT_TRUE(
      std::regex_match(lines[1], std::regex("time to first token: " + t + " \\(prompt of 3 tokens\\)")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex("13 next tokens in " + t + ": [0-9.e+]+ tokens/s")))
      << lines[2];
  EXPECT_EQ(lines[3], "stopped: the model's sequence of 16 positions is full");
}

TEST_F(VexoLlm, MaxNewAndAFullPromptStopEarly) {
  const std::string file = model();
  const Outcome four = run({file, "--tokens", "4, 5", "--max-new", "4"});
  tooltest::expect_clean_exit(four);
  EXPECT_EQ(tooltest::lines(four.out).at(0), expected_line({4, 5}, 4));
  EXPECT_EQ(tooltest::lines(four.out).back(), "stopped: --max-new reached");

  const std::vector<int32_t> full{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  const Outcome one = run({file, "--tokens", "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15"});
  tooltest::expect_clean_exit(one);
  const std::vector<std::string> lines = tooltest::lines(one.out);
  ASSERT_EQ(lines.size(), 3u) << one.out;  // no next pass, so no rate
  EXPECT_EQ(lines[0], expected_line(full, 1));
}

TEST_F(VexoLlm, GreedyHeadModelsGiveTheSameTokens) {
  LlmOptions options;
  options.greedy_head = true;
  options.layers = 3;
  const Outcome outcome = run({model(options), "--tokens", "7", "--max-new", "10"});
  tooltest::expect_clean_exit(outcome);
  EXPECT_EQ(tooltest::lines(outcome.out).at(0), expected_line({7}, 10, options));
}

TEST_F(VexoLlm, ErrorsEndWithOneLine) {
  const std::string file = model();
  vexo::samples::save_model(vexo::samples::general_sample(), path("general.bmodel"));
  struct Case {
    std::vector<std::string> args;
    std::string text;
    int status = 1;
  };
  const std::vector<Case> cases{
      {{file, "--tokens", ""}, "no prompt tokens given"},
      {{file, "--tokens", "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16"},
       "17 prompt tokens do not fit the model's sequence of 16 positions"},
      {{file, "--tokens", "1,x"}, "bad token list 1,x: 'x' is not a token identifier"},
      {{file, "--tokens", "1,,2"}, "bad token list 1,,2: '' is not a token identifier"},
      {{file, "--tokens", "1,-2"}, "'-2' is not a token identifier"},
      {{file, "--tokens", "2147483648"}, "'2147483648' is not a token identifier"},
      {{path("missing.bmodel"), "--tokens", "1"}, "cannot open " + path("missing.bmodel")},
      {{path("general.bmodel"), "--tokens", "1"},
       "cannot load " + path("general.bmodel") + " on device 0 as a language model"},
      {{file}, "--tokens is required", 2},
      {{file, "--tokens", "1", "--max-new", "0"}, "--max-new", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    tooltest::expect_one_error(run(c.args), "vexo-llm", c.text, c.status);
  }
}

// A token beyond the vocabulary makes the device refuse the embedding.
TEST_F(VexoLlm, ATokenBeyondTheVocabularyEndsWithOneLine) {
  tooltest::expect_one_error(run({model(), "--tokens", "5,64"}), "vexo-llm",
                             "the language model failed at token 2");
}

// The text that the sample's rule adds to `prompt` in `count` tokens.
std::string expected_text(llm_tokenizer* tokenizer, const std::vector<int>& prompt, size_t count,
                          const LlmOptions& options) {
  const std::vector<int32_t> all = vexo::samples::llm_expected_tokens(prompt, prompt.size() + count, options);
  const auto decode = [&](const std::vector<int>& ids) {
    std::string text(512, '\0');
    text.resize(static_cast<size_t>(llm_tokenizer_decode(tokenizer, ids.data(), ids.size(), text.data(), text.size())));
    return text;
  };
  return decode(all).substr(decode(prompt).size());
}

TEST_F(VexoLlm, TextInTextOutAndAConversation) {
  LlmOptions options;
  options.logits_head = true;
  options.seq_len = 64;
  const std::string file = model(options), tokenizer_file = path("tokenizer.model");
  vexo::samples::write_llm_tokenizer(tokenizer_file);
  llm_tokenizer* tokenizer = llm_tokenizer_load(tokenizer_file.c_str());
  ASSERT_NE(tokenizer, nullptr);
  std::vector<int> prompt(32);
  prompt.resize(static_cast<size_t>(llm_tokenizer_encode(tokenizer, "the fox", 1, prompt.data(), prompt.size())));

  const Outcome text = run({file, "--tokenizer", tokenizer_file, "--prompt", "the fox", "--max-new", "9"});
  tooltest::expect_clean_exit(text);
  const std::string generated = expected_text(tokenizer, prompt, 9, options);
  ASSERT_EQ(text.out.substr(0, generated.size() + 1), generated + "\n") << text.out;
  const std::string t = "[0-9]+\\.[0-9]{3} ms";
  EXPECT_TRUE(std::regex_search(text.out, std::regex("\nstopped: length\nprompt: " + std::to_string(prompt.size()) +
                                                     " tokens in " + t + "\ntime to first token: " + t +
                                                     "\n9 generated tokens: [0-9.e+]+ tokens/s\n$")))
      << text.out;

  // A stop string spanning tokens, and the same seed giving the same text.
  const std::string stop = generated.substr(2, 3);
  const Outcome stopped = run({file, "--tokenizer", tokenizer_file, "--prompt", "the fox", "--stop", stop});
  tooltest::expect_clean_exit(stopped);
  EXPECT_EQ(stopped.out.substr(0, generated.find(stop) + 1), generated.substr(0, generated.find(stop)) + "\n");
  EXPECT_NE(stopped.out.find("\nstopped: stop\n"), std::string::npos);
  const std::vector<std::string> sampled{"--prompt", "the fox", "--temperature", "4", "--top-k", "20",
                                         "--seed", "9", "--max-new", "12"};
  std::vector<std::string> args{file, "--tokenizer", tokenizer_file};
  args.insert(args.end(), sampled.begin(), sampled.end());
  const Outcome a = run(args), b = run(args);
  tooltest::expect_clean_exit(a);
  EXPECT_EQ(a.out.substr(0, a.out.find("\nstopped")), b.out.substr(0, b.out.find("\nstopped")));

  // Two turns on standard input: the second feeds only its new tokens.
  std::ofstream(path("turns.txt")) << "hi\nthe dog\n";
  const Outcome chat = tooltest::run(
      vexotest::TempDir(), "/bin/sh",
      {"-c", "\"" + kLlm + "\" \"" + file + "\" --chat --tokenizer \"" + tokenizer_file + "\" --max-new 3 < \"" +
                 path("turns.txt") + "\""});
  tooltest::expect_clean_exit(chat);
  EXPECT_EQ(std::regex_search(chat.out, std::regex("reused from the caches")), true) << chat.out;
  std::smatch first;
  ASSERT_TRUE(std::regex_search(chat.out, first, std::regex("prompt: ([0-9]+) tokens in"))) << chat.out;
  EXPECT_NE(chat.out.find("prompt: " + first[1].str() + " tokens in"), std::string::npos);
  llm_tokenizer_free(tokenizer);
}

}  // namespace
