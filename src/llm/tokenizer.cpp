#include "tokenizer.h"

#include <sentencepiece_processor.h>

#include <fstream>

#include "src/utils/guard.h"

namespace llmrun {

namespace {

// A SentencePiece model file ("tokenizer.model").
class SentencePieceTokenizer : public Tokenizer {
 public:
  explicit SentencePieceTokenizer(const std::string& path) {
    const auto status = processor_.Load(path);
    if (!status.ok()) minilog::fail_with("Cannot read the SentencePiece model ", path, ": ", status.ToString());
  }
  std::vector<int> encode(const std::string& text, bool add_bos) const override {
    std::vector<int> ids;
    const auto status = processor_.Encode(text, &ids);
    if (!status.ok()) minilog::fail_with("Cannot encode the text: ", status.ToString());
    if (add_bos && bos_id() >= 0) ids.insert(ids.begin(), bos_id());
    return ids;
  }
  std::string decode(const std::vector<int>& ids) const override {
    const size_t vocab = vocab_size();
    for (const int id : ids) {
      if (id < 0 || static_cast<size_t>(id) >= vocab) {
        minilog::fail_with("Token ", id, " is outside the tokenizer's ", vocab, " ids");
      }
    }
    std::string text;
    const auto status = processor_.Decode(ids, &text);
    if (!status.ok()) minilog::fail_with("Cannot decode the tokens: ", status.ToString());
    return text;
  }
  size_t vocab_size() const override { return static_cast<size_t>(processor_.GetPieceSize()); }
  int bos_id() const override { return processor_.bos_id(); }
  int eos_id() const override { return processor_.eos_id(); }
  std::string token_bytes(int id) const override {
    if (processor_.IsControl(id) || processor_.IsUnknown(id)) return "";
    std::string piece = processor_.IdToPiece(id);
    if (processor_.IsByte(id)) return std::string(1, static_cast<char>(std::stoi(piece.substr(3, 2), nullptr, 16)));
    // The pieces write a space as U+2581.
    static const std::string kSpaceMark = "\xE2\x96\x81";
    for (size_t at = piece.find(kSpaceMark); at != std::string::npos; at = piece.find(kSpaceMark, at + 1)) {
      piece.replace(at, kSpaceMark.size(), " ");
    }
    return piece;
  }

 private:
  sentencepiece::SentencePieceProcessor processor_;
};

class CallbackTokenizer : public Tokenizer {
 public:
  explicit CallbackTokenizer(const llm_tokenizer_callbacks& callbacks) : callbacks_(callbacks) {
    if (!callbacks_.encode || !callbacks_.decode) minilog::fail_with("A tokenizer needs encode and decode functions");
  }
  std::vector<int> encode(const std::string& text, bool add_bos) const override {
    const long n = callbacks_.encode(callbacks_.user, text.c_str(), nullptr, 0);
    std::vector<int> ids(n > 0 ? static_cast<size_t>(n) : 0);
    if (n < 0 || callbacks_.encode(callbacks_.user, text.c_str(), ids.data(), ids.size()) != n) {
      minilog::fail_with("The tokenizer could not encode the text");
    }
    if (add_bos && bos_id() >= 0) ids.insert(ids.begin(), bos_id());
    return ids;
  }
  std::string decode(const std::vector<int>& ids) const override {
    const long n = callbacks_.decode(callbacks_.user, ids.data(), ids.size(), nullptr, 0);
    std::string text(n > 0 ? static_cast<size_t>(n) + 1 : 1, '\0');
    if (n < 0 || callbacks_.decode(callbacks_.user, ids.data(), ids.size(), text.data(), text.size()) != n) {
      minilog::fail_with("The tokenizer could not decode the tokens");
    }
    text.resize(static_cast<size_t>(n));
    return text;
  }
  size_t vocab_size() const override { return callbacks_.vocab_size; }
  int bos_id() const override { return callbacks_.bos_id; }
  int eos_id() const override { return callbacks_.eos_id; }

 private:
  llm_tokenizer_callbacks callbacks_;
};

// Bytes at the end of `text` that start a UTF-8 character not complete yet.
size_t incomplete_tail(const std::string& text) {
  const size_t n = text.size();
  for (size_t back = 1; back <= 4 && back <= n; ++back) {
    const auto byte = static_cast<unsigned char>(text[n - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const size_t length = byte < 0x80 ? 1 : (byte & 0xE0) == 0xC0 ? 2 : (byte & 0xF0) == 0xE0 ? 3 : 4;
    return length > back ? back : 0;
  }
  return 0;
}

// U+FFFD, which a decoder gives for bytes that do not form a character yet.
constexpr char kReplacement[] = "\xEF\xBF\xBD";
// Ids held back at most: beyond, the text is shown as it decodes.
constexpr size_t kMaxPending = 8;
// Ids of shown text kept as context, so that spacing decodes as in one text.
constexpr size_t kContext = 4;

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::unique_ptr<Tokenizer> callback_tokenizer(const llm_tokenizer_callbacks& callbacks) {
  return std::make_unique<CallbackTokenizer>(callbacks);
}

std::unique_ptr<Tokenizer> load_tokenizer(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) minilog::fail_with("Cannot open the tokenizer file ", path);
  char first = 0;
  file >> first;  // skips blanks
  if (first == '{') {
    minilog::fail_with("The tokenizer file ", path,
                       " is a JSON tokenizer, which is not supported yet; give a SentencePiece model");
  }
  return std::make_unique<SentencePieceTokenizer>(path);
}

std::string StreamDecoder::push(int id) {
  pending_.push_back(id);
  try {
    return settle(false);
  } catch (...) {
    pending_.pop_back();  // an id that does not decode is not kept
    throw;
  }
}

std::string StreamDecoder::flush() {
  std::string text = pending_.empty() ? std::string() : settle(true);
  reset();
  return text;
}

void StreamDecoder::reset(const std::vector<int>& context) {
  context_.assign(context.end() - std::min(context.size(), kContext), context.end());
  pending_.clear();
}

std::string StreamDecoder::settle(bool force) {
  std::vector<int> all = context_;
  all.insert(all.end(), pending_.begin(), pending_.end());
  const std::string before = tokenizer_.decode(context_), after = tokenizer_.decode(all);
  size_t shown = 0;  // of `after`, the part already shown as `before`
  while (shown < before.size() && shown < after.size() && before[shown] == after[shown]) ++shown;
  const bool complete = shown == before.size() && incomplete_tail(after) == 0 && !ends_with(after, kReplacement);
  if (!complete && !force && pending_.size() < kMaxPending) return {};
  std::string text = after.substr(shown);
  context_.assign(all.end() - std::min(all.size(), kContext), all.end());
  pending_.clear();
  return text;
}

}  // namespace llmrun
