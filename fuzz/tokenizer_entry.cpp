// The sample SentencePiece tokenizers, with and without byte fallback: the
// input's first byte picks one; the rest, read as ids of two bytes each, is
// streamed through the decoder, whose pieces must make the decoded text of
// them all; and, read as text, its encoding may not take fewer ids than the
// tokenizer's lower bound says.
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "entries.h"
#include "samples/samples.h"
#include "scratch_file.h"
#include "src/llm/tokenizer.h"

namespace vexo::fuzz {

namespace {

std::unique_ptr<llmrun::Tokenizer> written(const char* tag, void (*write)(const std::string&)) {
  const ScratchFile file(tag);
  write(file.path());
  return llmrun::load_tokenizer(file.path());
}

}  // namespace

int tokenizer_entry(const uint8_t* data, size_t size) {
  static const std::unique_ptr<llmrun::Tokenizer> tokenizers[] = {
      written("tokenizer.model", samples::write_llm_tokenizer),
      written("byte-fallback.model", samples::write_byte_fallback_tokenizer)};
  if (size == 0) return 0;
  const llmrun::Tokenizer& tokenizer = *tokenizers[data[0] % 2];
  std::vector<int> ids;
  for (size_t i = 1; i + 1 < size; i += 2) {
    ids.push_back(static_cast<int>((data[i] | data[i + 1] << 8) % tokenizer.vocab_size()));
  }
  llmrun::StreamDecoder decoder(tokenizer);
  std::string streamed;
  for (const int id : ids) streamed += decoder.push(id);
  streamed += decoder.flush();
  if (streamed != tokenizer.decode(ids)) std::abort();

  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (text.find('\0') == std::string::npos && tokenizer.min_ids(text) > tokenizer.encode(text, false).size()) {
    std::abort();
  }
  return 0;
}

}  // namespace vexo::fuzz
