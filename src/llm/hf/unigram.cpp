// The Unigram model: the most likely segmentation (Viterbi) under the
// pieces' log probabilities.
#include <cstdio>
#include <limits>

#include "src/llm/hf/models.h"
#include "src/utils/guard.h"
#include "src/llm/hf/text.h"
#include "src/llm/hf/vocab.h"

namespace llmrun::hf {

namespace {

// What an unknown character costs below the least likely piece.
constexpr double kUnknownPenalty = 10.0;

class Unigram : public VocabModel {
 public:
  explicit Unigram(const Json& config) : byte_fallback_(bool_or(config, "byte_fallback", false)) {
    long id = 0;
    double lowest = std::numeric_limits<double>::max();
    for (const Json& entry : field(config, "vocab")) {
      if (!entry.is_array() || entry.size() != 2) minilog::fail_with("A Unigram vocabulary entry is not [piece, score]: ", entry.dump());
      const std::string piece = entry[0].get<std::string>();
      scores_.push_back(entry[1].get<double>());
      lowest = std::min(lowest, scores_.back());
      longest_ = std::max(longest_, piece.size());
      add(piece, id++);
    }
    unknown_score_ = (scores_.empty() ? 0.0 : lowest) - kUnknownPenalty;
    const Json& unk = config.contains("unk_id") ? config["unk_id"] : Json();
    if (unk.is_number_integer()) {
      unk_id_ = unk.get<int>();
      if (unk_id_ < 0 || static_cast<size_t>(unk_id_) >= size()) minilog::fail_with("The Unigram unk_id ", unk_id_, " is outside its vocabulary");
    }
  }

  void tokenize(const std::string& piece, std::vector<int>& ids) const override {
    struct Best {
      double score = 0;
      size_t from = 0;
      int id = -1;
      bool reached = false;
    };
    std::vector<Best> best(piece.size() + 1);
    best[0].reached = true;
    for (size_t at = 0, n; at < piece.size(); at += n) {
      next_char(piece, at, &n);
      if (!best[at].reached) continue;
      bool single = false;
      for (size_t length = 1; length <= longest_ && at + length <= piece.size(); ++length) {
        const int id = id_of(piece.substr(at, length));
        if (id < 0) continue;
        if (length == n) single = true;
        const double score = best[at].score + scores_[static_cast<size_t>(id)];
        Best& target = best[at + length];
        if (!target.reached || score > target.score) target = {score, at, id, true};
      }
      if (!single) {
        const double score = best[at].score + unknown_score_;
        Best& target = best[at + n];
        if (!target.reached || score > target.score) target = {score, at, unk_id_, true};
      }
    }
    // Back from the end, fusing runs of unknown characters.
    std::vector<std::pair<size_t, size_t>> spans;
    std::vector<int> span_ids;
    for (size_t end = piece.size(); end > 0; end = best[end].from) {
      const bool unknown = best[end].id == unk_id_;
      if (unknown && !span_ids.empty() && span_ids.back() == unk_id_) {
        spans.back().first = best[end].from;
      } else {
        spans.emplace_back(best[end].from, end);
        span_ids.push_back(best[end].id);
      }
    }
    for (size_t k = spans.size(); k-- > 0;) {
      if (span_ids[k] != unk_id_ || !byte_fallback_) {
        if (span_ids[k] < 0) minilog::fail_with("The text has characters the Unigram vocabulary lacks, and it has no unk_id");
        ids.push_back(span_ids[k]);
        continue;
      }
      for (size_t b = spans[k].first; b < spans[k].second; ++b) {
        char name[8];
        std::snprintf(name, sizeof name, "<0x%02X>", static_cast<unsigned char>(piece[b]));
        ids.push_back(required_id(name, "byte token"));
      }
    }
  }

 private:
  bool byte_fallback_;
  std::vector<double> scores_;
  size_t longest_ = 0;
  double unknown_score_ = 0;
  int unk_id_ = -1;
};

class WordPiece : public VocabModel {
 public:
  explicit WordPiece(const Json& config)
      : prefix_(string_or(config, "continuing_subword_prefix", "##")),
        max_chars_(config.value("max_input_chars_per_word", 100UL)) {
    for (const auto& [token, id] : field(config, "vocab").items()) add(token, id.get<long>());
    unk_id_ = required_id(string_or(config, "unk_token", "[UNK]"), "unk_token");
  }

  void tokenize(const std::string& piece, std::vector<int>& ids) const override {
    size_t chars = 0;
    for (size_t i = 0, n; i < piece.size(); i += n) next_char(piece, i, &n), ++chars;
    if (chars > max_chars_) return ids.push_back(unk_id_);
    std::vector<int> found;
    for (size_t start = 0; start < piece.size();) {
      // The longest vocabulary entry from `start`, shortening by characters.
      size_t end = piece.size();
      int id = -1;
      while (end > start) {
        id = id_of((start > 0 ? prefix_ : std::string()) + piece.substr(start, end - start));
        if (id >= 0) break;
        do --end;
        while (end > start && (static_cast<unsigned char>(piece[end]) & 0xC0) == 0x80);
      }
      if (id < 0) return ids.push_back(unk_id_);
      found.push_back(id);
      start = end;
    }
    ids.insert(ids.end(), found.begin(), found.end());
  }

 private:
  std::string prefix_;
  size_t max_chars_;
  int unk_id_ = -1;
};

}  // namespace

std::unique_ptr<Model> make_unigram(const Json& config) { return std::make_unique<Unigram>(config); }
std::unique_ptr<Model> make_word_piece(const Json& config) { return std::make_unique<WordPiece>(config); }

}  // namespace llmrun::hf
