#include "src/llm/hf/hf_tokenizer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "src/llm/hf/added_tokens.h"
#include "src/llm/hf/components.h"
#include "src/llm/hf/models.h"
#include "src/utils/guard.h"
#include "src/llm/hf/text.h"

namespace llmrun::hf {

namespace {

namespace fs = std::filesystem;

// Above any real tokenizer file (the largest are tens of MB).
constexpr uintmax_t kMaxFileBytes = 1ULL << 30;

Json read_json(const fs::path& path) {
  std::error_code error;
  const uintmax_t size = fs::file_size(path, error);
  if (error) minilog::fail_with("Cannot read ", path.string(), ": ", error.message());
  if (size > kMaxFileBytes) minilog::fail_with("The file ", path.string(), " is ", size, " bytes, above the ", kMaxFileBytes, " a tokenizer may have");
  std::ifstream file(path, std::ios::binary);
  if (!file) minilog::fail_with("Cannot open ", path.string());
  try {
    return Json::parse(file);
  } catch (const Json::exception& e) {
    minilog::fail_with("The file ", path.string(), " is not valid JSON: ", e.what());
  }
}

std::unique_ptr<Model> model_of(const Json& config) {
  if (!config.is_object()) minilog::fail_with("The tokenizer has no model");
  const std::string type = config.value("type", std::string(config.contains("merges") ? "BPE" : ""));
  if (type == "BPE") return make_bpe(config);
  if (type == "Unigram") return make_unigram(config);
  if (type == "WordPiece") return make_word_piece(config);
  unsupported("model", config);
}

// A special token as tokenizer_config.json names it: a string or {"content": …}.
std::string token_text(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_object() && value.contains("content") && value["content"].is_string()) return value["content"].get<std::string>();
  return {};
}

class JsonTokenizer : public Tokenizer {
 public:
  explicit JsonTokenizer(const Json& file)
      : added_(file.contains("added_tokens") ? file["added_tokens"] : Json()),
        normalizer_(make_normalizer(file.value("normalizer", Json()))),
        pre_tokenizer_(make_pre_tokenizer(file.value("pre_tokenizer", Json()))),
        model_(model_of(file.value("model", Json()))),
        decoder_(make_decoder(file.value("decoder", Json()))) {
    size_ = model_->size();
    for (const AddedToken& token : added_.all()) {
      added_ids_[token.content] = token.id;
      size_ = std::max(size_, static_cast<size_t>(token.id) + 1);
    }
    added_by_id_.assign(size_, nullptr);
    for (const AddedToken& token : added_.all()) added_by_id_[static_cast<size_t>(token.id)] = &token;
    for (size_t id = 0; id < size_; ++id) {
      const std::string* token = token_of(static_cast<int>(id));
      if (token) longest_token_ = std::max(longest_token_, token->size());
    }
    post_processor_ = make_post_processor(file.value("post_processor", Json()), added_ids_);
    bos_id_ = post_processor_ ? post_processor_->first_special() : -1;
  }

  // The folder's settings, over what the file says.
  void configure(const Json& config, const Json& generation) {
    if (config.is_object()) {
      if (config.contains("bos_token")) bos_id_ = id_of(token_text(config["bos_token"]));
      if (config.contains("eos_token")) eos_id_ = id_of(token_text(config["eos_token"]));
      if (config.contains("add_bos_token") || config.contains("add_eos_token")) {
        config_specials_ = true;
        add_bos_token_ = bool_or(config, "add_bos_token", false);
        add_eos_token_ = bool_or(config, "add_eos_token", false);
      }
    }
    if (eos_id_ >= 0) eos_ids_.push_back(eos_id_);
    const Json ends = generation.is_object() && generation.contains("eos_token_id") ? generation["eos_token_id"] : Json();
    for (const Json& id : ends.is_array() ? ends : Json::array({ends})) {
      if (!id.is_number_integer()) continue;
      const int value = id.get<int>();
      if (value < 0 || static_cast<size_t>(value) >= size_) minilog::fail_with("generation_config.json names the end id ", value, ", outside the tokenizer's ", size_, " ids");
      if (std::find(eos_ids_.begin(), eos_ids_.end(), value) == eos_ids_.end()) eos_ids_.push_back(value);
    }
    if (eos_id_ < 0 && !eos_ids_.empty()) eos_id_ = eos_ids_.front();
  }

  std::vector<int> encode(const std::string& text, bool add_bos) const override {
    return encode_text({{valid_utf8(text), -1, true}}, add_bos, false);
  }
  std::vector<int> encode_plain(const std::string& text, bool add_bos) const override {
    return encode_text({{valid_utf8(text), -1, true}}, add_bos, true);
  }
  std::vector<int> encode_chat(const std::string& text, bool add_bos,
                               const std::vector<std::pair<size_t, size_t>>& plain) const override {
    std::vector<Segment> segments;
    size_t done = 0;
    const auto cut = [&](size_t end, bool is_plain) {
      if (end > done) segments.push_back({valid_utf8(text.substr(done, end - done)), -1, done == 0, is_plain});
      done = std::max(done, end);
    };
    for (const auto& [begin, end] : plain) {
      cut(std::min(begin, text.size()), false);
      cut(std::min(end, text.size()), true);
    }
    cut(text.size(), false);
    return encode_text(std::move(segments), add_bos, false);
  }

  std::string decode(const std::vector<int>& ids) const override {
    std::vector<std::string> tokens;
    tokens.reserve(ids.size());
    for (const int id : ids) {
      const std::string* token = token_of(id);
      if (!token) minilog::fail_with("Token ", id, " is outside the tokenizer's ", size_, " ids");
      tokens.push_back(*token);
    }
    if (decoder_) decoder_->decode(tokens);
    std::string text;
    for (size_t i = 0; i < tokens.size(); ++i) text += (i && !decoder_ ? " " : "") + tokens[i];
    return text;
  }
  // What the decoder makes of the token inside a text: byte-level letters
  // and byte tokens as their raw bytes, metaspaces as spaces, continuation
  // prefixes dropped; added tokens pass the decoder as decode passes them.
  // "" for an id without a token.
  std::string token_bytes(int id) const override {
    const std::string* token = token_of(id);
    if (!token) return {};
    if (!decoder_) return " " + *token;  // tokens are joined by spaces
    std::string bytes = *token;
    bool fused = false;
    decoder_->decode_inner(bytes, fused);
    return bytes;
  }

  // No id covers more of the text than the longest token's bytes, which the
  // pipeline's forms of the text (byte-level letters, metaspaces) only make
  // longer; a normalizer may shorten the text, by less than a factor of four
  // for composition, stripping and the usual replacements.
  size_t min_ids(const std::string& text) const override {
    if (longest_token_ == 0) return 0;
    const size_t per_id = normalizer_ ? 4 * longest_token_ : longest_token_;
    return text.size() / per_id;
  }
  size_t vocab_size() const override { return size_; }
  int bos_id() const override { return bos_id_; }
  int eos_id() const override { return eos_id_; }
  std::vector<int> eos_ids() const override { return eos_ids_; }

 private:
  size_t longest_token_ = 0;  // bytes of the longest token's string
  // The string of an id (added or the model's), null when none.
  const std::string* token_of(int id) const {
    const AddedToken* added = id >= 0 && static_cast<size_t>(id) < size_ ? added_by_id_[static_cast<size_t>(id)] : nullptr;
    return added ? &added->content : model_->token_of(id);
  }
  int id_of(const std::string& token) const {
    if (token.empty()) return -1;
    const auto added = added_ids_.find(token);
    return added != added_ids_.end() ? added->second : model_->id_of(token);
  }

  // `segments`: the text, cut where what users wrote (plain) begins and ends.
  std::vector<int> encode_text(std::vector<Segment> segments, bool add_bos, bool special_as_text) const {
    added_.split(segments, false, special_as_text);
    // Only special tokens cut the text for the rest of the pipeline, as
    // they do when nobody's writing is marked.
    std::vector<Segment> joined;
    for (Segment& segment : segments) {
      if (segment.id < 0 && !joined.empty() && joined.back().id < 0) {
        joined.back().text += segment.text;
      } else {
        joined.push_back(std::move(segment));
      }
      joined.back().plain = false;
    }
    segments = std::move(joined);
    if (normalizer_) {
      for (Segment& segment : segments) {
        if (segment.id < 0) normalizer_->normalize(segment.text);
      }
    }
    added_.split(segments, true, special_as_text);
    std::vector<int> ids;
    std::vector<Piece> pieces;
    for (Segment& segment : segments) {
      if (segment.id >= 0) {
        ids.push_back(segment.id);
        continue;
      }
      if (segment.text.empty()) continue;
      pieces.clear();
      pieces.push_back({std::move(segment.text), segment.first});
      if (pre_tokenizer_) pre_tokenizer_->split(pieces);
      for (const Piece& piece : pieces) model_->tokenize(piece.text, ids);
    }
    if (add_bos) add_special(ids);
    return ids;
  }

  // The special tokens of a text: as the folder's settings ask, else as
  // the file's post-processor puts them.
  void add_special(std::vector<int>& ids) const {
    if (!config_specials_) {
      if (post_processor_) post_processor_->add_special(ids);
      return;
    }
    if (add_bos_token_ && bos_id_ >= 0) ids.insert(ids.begin(), bos_id_);
    if (add_eos_token_ && eos_id_ >= 0) ids.push_back(eos_id_);
  }

  AddedTokens added_;
  std::unordered_map<std::string, int> added_ids_;
  std::vector<const AddedToken*> added_by_id_;
  std::unique_ptr<Normalizer> normalizer_;
  std::unique_ptr<PreTokenizer> pre_tokenizer_;
  std::unique_ptr<Model> model_;
  std::unique_ptr<PostProcessor> post_processor_;
  std::unique_ptr<Decoder> decoder_;
  size_t size_ = 0;
  int bos_id_ = -1, eos_id_ = -1;
  std::vector<int> eos_ids_;
  bool config_specials_ = false, add_bos_token_ = false, add_eos_token_ = false;
};

std::unique_ptr<JsonTokenizer> build(const Json& file) {
  try {
    return std::make_unique<JsonTokenizer>(file);
  } catch (const Json::exception& e) {
    minilog::fail_with("The tokenizer file has a value of the wrong kind: ", e.what());
  }
}

}  // namespace

std::unique_ptr<Tokenizer> load_json_tokenizer(const std::string& path) {
  auto tokenizer = build(read_json(path));
  const fs::path folder = fs::path(path).parent_path();
  const auto beside = [&](const char* name) {
    const fs::path file = folder / name;
    return fs::is_regular_file(file) ? read_json(file) : Json();
  };
  try {
    tokenizer->configure(beside("tokenizer_config.json"), beside("generation_config.json"));
  } catch (const Json::exception& e) {
    minilog::fail_with("The tokenizer's settings beside ", path, " have a value of the wrong kind: ", e.what());
  }
  return tokenizer;
}

std::unique_ptr<Tokenizer> json_tokenizer_from_text(const std::string& text) {
  Json file;
  try {
    file = Json::parse(text);
  } catch (const Json::exception& e) {
    minilog::fail_with("The tokenizer is not valid JSON: ", e.what());
  }
  auto tokenizer = build(file);
  tokenizer->configure(Json(), Json());
  return tokenizer;
}

}  // namespace llmrun::hf
