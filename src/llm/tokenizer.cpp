#include "src/llm/tokenizer.h"

#include <sentencepiece_processor.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "src/llm/hf/hf_tokenizer.h"

#include "src/utils/guard.h"

namespace llmrun {

namespace {

// Spaces, controls, the space mark U+2581 and the invisible characters
// that a SentencePiece normalizer may turn into a space or remove.
bool may_vanish(std::string_view character) {
  const auto lead = static_cast<unsigned char>(character[0]);
  if (lead < 0x80) return lead <= 0x20 || lead == 0x7F;
  if (character.size() < 2) return true;
  const auto second = static_cast<unsigned char>(character[1]);
  if (lead == 0xC2) return second <= 0xA0 || second == 0xAD;  // C1 controls, no-break and soft hyphen
  if (lead == 0xE1) return character.substr(0, 3) == "\xE1\x9A\x80";     // ogham space
  if (lead == 0xE2) return second == 0x80 || second == 0x81 || character.substr(0, 3) == "\xE2\x96\x81";
  if (lead == 0xE3) return character.substr(0, 3) == "\xE3\x80\x80";     // ideographic space
  if (lead == 0xEF) return character.substr(0, 3) == "\xEF\xBB\xBF";     // byte order mark
  return false;
}

// A SentencePiece model file ("tokenizer.model").
class SentencePieceTokenizer : public Tokenizer {
 public:
  explicit SentencePieceTokenizer(const std::string& path) {
    const auto status = processor_.Load(path);
    if (!status.ok()) minilog::fail_with("Cannot read the SentencePiece model ", path, ": ", status.ToString());
    for (int id = 0; id < processor_.GetPieceSize(); ++id) {
      if (processor_.IsControl(id) || processor_.IsUnknown(id) || processor_.IsByte(id) || processor_.IsUnused(id))
        continue;
      longest_piece_ = std::max(longest_piece_, processor_.IdToPiece(id).size());
    }
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
  // Every id but an unknown or a byte one covers at most the longest
  // piece's bytes of the text, and only those ids cover a character that is
  // a piece by itself; other characters, and those the normalizer may drop
  // or fold into a space, count for nothing.
  size_t min_ids(const std::string& text) const override {
    if (longest_piece_ == 0) return 0;
    size_t covered = 0;
    for (size_t at = 0; at < text.size();) {
      const auto lead = static_cast<unsigned char>(text[at]);
      const size_t length = std::min(text.size() - at, size_t{lead < 0x80 ? 1u : lead < 0xE0 ? 2u : lead < 0xF0 ? 3u : 4u});
      const std::string_view character(text.data() + at, length);
      if (!may_vanish(character) && processor_.PieceToId(character) != processor_.unk_id()) covered += length;
      at += length;
    }
    return (covered + longest_piece_ - 1) / longest_piece_;
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
  size_t longest_piece_ = 0;  // in bytes, of the pieces that stand for text
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
  size_t min_ids(const std::string&) const override { return 0; }  // the caller's encoding is opaque
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
// Shown ids kept at least once the window is cut, and the size past which a
// cut is tried: the window's decode costs O(its size) per id.
constexpr size_t kKeptWindow = 64;
constexpr size_t kCutPast = 4 * kKeptWindow;

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The end of the part of `text` that later ids cannot change: before an
// incomplete character's bytes, or before the replacement characters (at
// most one per byte of a character) that a decoder gives for them.
size_t complete_end(const std::string& text) {
  size_t end = text.size() - incomplete_tail(text);
  const size_t length = sizeof(kReplacement) - 1;
  for (int i = 0; i < 3 && end >= length && text.compare(end - length, length, kReplacement) == 0; ++i) {
    end -= length;
  }
  return end;
}

}  // namespace

std::unique_ptr<Tokenizer> callback_tokenizer(const llm_tokenizer_callbacks& callbacks) {
  return std::make_unique<CallbackTokenizer>(callbacks);
}

std::unique_ptr<Tokenizer> load_tokenizer(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::is_directory(path, error)) {
    for (const char* name : {"tokenizer.json", "tokenizer.model"}) {
      const fs::path file = fs::path(path) / name;
      if (fs::is_regular_file(file, error)) return load_tokenizer(file.string());
    }
    minilog::fail_with("The folder ", path, " has neither a tokenizer.json nor a tokenizer.model");
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) minilog::fail_with("Cannot open the tokenizer file ", path);
  char first = 0;
  file >> first;  // skips blanks
  if (first == '{') return hf::load_json_tokenizer(path);
  return std::make_unique<SentencePieceTokenizer>(path);
}

std::string StreamDecoder::push(int id) {
  window_.push_back(id);
  try {
    return settle(false);
  } catch (...) {
    window_.pop_back();  // an id that does not decode is not kept
    throw;
  }
}

std::string StreamDecoder::flush() {
  std::string text = window_.empty() ? std::string() : settle(true);
  reset();
  return text;
}

void StreamDecoder::reset(const std::vector<int>& context) {
  window_ = context;
  shown_ids_ = window_.size();
  shown_text_ = tokenizer_.decode(window_);
  cut_window();
}

std::string StreamDecoder::settle(bool force) {
  const std::string after = tokenizer_.decode(window_);
  if (after.compare(0, shown_text_.size(), shown_text_) != 0) {
    // The text shown changed with later ids, which a tokenizer decoding as
    // described never does: show what differs once the wait is over.
    if (!force && window_.size() - shown_ids_ < kMaxPending) return {};
    size_t same = 0;
    while (same < shown_text_.size() && same < after.size() && shown_text_[same] == after[same]) ++same;
    shown_text_ = after;
    shown_ids_ = window_.size();
    return after.substr(same);
  }
  // What later ids may still complete (a character's first bytes) waits;
  // past kMaxPending ids the complete part before it shows.
  const size_t end = force ? after.size() : std::max(shown_text_.size(), complete_end(after));
  if (end < after.size() && !force && window_.size() - shown_ids_ < kMaxPending) return {};
  std::string text = after.substr(shown_text_.size(), end - shown_text_.size());
  shown_text_ = after.substr(0, end);
  shown_ids_ = window_.size();
  cut_window();
  return text;
}

void StreamDecoder::cut_window() {
  if (window_.size() <= kCutPast) return;
  // The last ids may stand for the whole only when they decode on their own
  // to some text that ends the whole's text: then what follows them decodes
  // after them as after the whole (a first piece's spacing, or bytes of a
  // character begun earlier, would show as a difference).
  const std::vector<int> kept(window_.end() - kKeptWindow, window_.end());
  std::string text = tokenizer_.decode(kept);
  if (text.empty() || complete_end(text) != text.size() || !ends_with(shown_text_, text)) return;
  window_ = kept;
  shown_ids_ = window_.size();
  shown_text_ = std::move(text);
}

}  // namespace llmrun
