// The BPE model: characters (or their bytes) merged pair by pair, the
// earliest-learnt merge first.
#include <cstdio>
#include <mutex>
#include <queue>

#include "src/llm/hf/models.h"
#include "src/utils/guard.h"
#include "src/llm/hf/text.h"
#include "src/llm/hf/vocab.h"

namespace llmrun::hf {

namespace {

uint64_t pair_key(int left, int right) { return (static_cast<uint64_t>(static_cast<uint32_t>(left)) << 32) | static_cast<uint32_t>(right); }

class Bpe : public VocabModel {
 public:
  explicit Bpe(const Json& config)
      : prefix_(string_or(config, "continuing_subword_prefix", "")),
        suffix_(string_or(config, "end_of_word_suffix", "")),
        byte_fallback_(bool_or(config, "byte_fallback", false)),
        fuse_unk_(bool_or(config, "fuse_unk", false)),
        ignore_merges_(bool_or(config, "ignore_merges", false)) {
    if (config.contains("dropout") && !config["dropout"].is_null() && config["dropout"].get<double>() > 0) {
      minilog::fail_with("The tokenizer's BPE uses dropout, which gives random tokens; this library does not have it");
    }
    for (const auto& [token, id] : field(config, "vocab").items()) add(token, id.get<long>());
    const std::string unk = string_or(config, "unk_token", "");
    if (!unk.empty()) unk_id_ = id_of(unk);  // may be absent: then unknown characters are dropped
    for (int b = 0; b < 256; ++b) {
      char name[8];
      std::snprintf(name, sizeof name, "<0x%02X>", b);
      byte_ids_[b] = id_of(name);
    }
    const Json& merges = field(config, "merges");
    merges_.reserve(merges.size());
    int rank = 0;
    for (const Json& merge : merges) {
      std::string left, right;
      if (merge.is_string()) {
        const std::string text = merge.get<std::string>();
        const size_t space = text.find(' ');
        if (space == std::string::npos || text.find(' ', space + 1) != std::string::npos) {
          minilog::fail_with("The tokenizer's merge \"", text, "\" is not two tokens");
        }
        left = text.substr(0, space), right = text.substr(space + 1);
      } else if (merge.is_array() && merge.size() == 2) {
        left = merge[0].get<std::string>(), right = merge[1].get<std::string>();
      } else {
        minilog::fail_with("The tokenizer's merge ", merge.dump(), " is not two tokens");
      }
      const std::string joined = left + (right.compare(0, prefix_.size(), prefix_) == 0 ? right.substr(prefix_.size()) : right);
      const int merged = required_id(joined, "merged token");
      merges_.emplace(pair_key(required_id(left, "merge part"), required_id(right, "merge part")), Merge{rank++, merged});
    }
  }

  void tokenize(const std::string& piece, std::vector<int>& ids) const override {
    if (ignore_merges_) {
      const int whole = id_of(piece);
      if (whole >= 0) return ids.push_back(whole);
    }
    {
      std::lock_guard<std::mutex> lock(cache_mutex_);
      const auto cached = cache_.find(piece);
      if (cached != cache_.end()) return ids.insert(ids.end(), cached->second.begin(), cached->second.end()), void();
    }
    std::vector<int> word = merge_word(piece);
    ids.insert(ids.end(), word.begin(), word.end());
    std::lock_guard<std::mutex> lock(cache_mutex_);
    if (cache_.size() >= kCacheEntries) cache_.clear();  // bounded memory: start over
    cache_.emplace(piece, std::move(word));
  }

 private:
  struct Merge {
    int rank, merged;
  };
  struct Symbol {
    int id, prev, next;
  };
  struct Candidate {
    int rank, pos, merged;
    bool operator>(const Candidate& other) const { return rank != other.rank ? rank > other.rank : pos > other.pos; }
  };
  static constexpr size_t kCacheEntries = 1 << 16;

  // The symbols of a piece before merging, per character.
  std::vector<Symbol> symbols_of(const std::string& piece) const {
    std::vector<Symbol> symbols;
    int unk_run = -1;  // the symbol of unknown characters being fused, -1: none
    const auto push = [&](int id) {
      symbols.push_back({id, static_cast<int>(symbols.size()) - 1, static_cast<int>(symbols.size()) + 1});
    };
    std::string unit;
    for (size_t i = 0, n; i < piece.size(); i += n) {
      next_char(piece, i, &n);
      unit.clear();
      if (i > 0) unit = prefix_;
      unit.append(piece, i, n);
      if (i + n == piece.size()) unit += suffix_;
      const int id = id_of(unit);
      if (id >= 0) {
        push(id);
        unk_run = -1;
        continue;
      }
      if (byte_fallback_) {
        bool all = true;
        for (size_t k = i; k < i + n; ++k) all = all && byte_ids_[static_cast<unsigned char>(piece[k])] >= 0;
        if (all) {
          for (size_t k = i; k < i + n; ++k) push(byte_ids_[static_cast<unsigned char>(piece[k])]);
          unk_run = -1;
          continue;
        }
      }
      if (unk_id_ < 0) continue;
      if (fuse_unk_ && unk_run >= 0) continue;
      push(unk_id_);
      unk_run = static_cast<int>(symbols.size()) - 1;
    }
    return symbols;
  }

  std::vector<int> merge_word(const std::string& piece) const {
    std::vector<Symbol> symbols = symbols_of(piece);
    const int count = static_cast<int>(symbols.size());
    std::priority_queue<Candidate, std::vector<Candidate>, std::greater<Candidate>> queue;
    const auto consider = [&](int pos) {
      const int next = symbols[static_cast<size_t>(pos)].next;
      if (next >= count) return;
      const auto found = merges_.find(pair_key(symbols[static_cast<size_t>(pos)].id, symbols[static_cast<size_t>(next)].id));
      if (found != merges_.end()) queue.push({found->second.rank, pos, found->second.merged});
    };
    for (int pos = 0; pos + 1 < count; ++pos) consider(pos);
    std::vector<bool> gone(symbols.size());
    while (!queue.empty()) {
      const Candidate top = queue.top();
      queue.pop();
      Symbol& left = symbols[static_cast<size_t>(top.pos)];
      if (gone[static_cast<size_t>(top.pos)] || left.next >= count) continue;
      Symbol& right = symbols[static_cast<size_t>(left.next)];
      const auto found = merges_.find(pair_key(left.id, right.id));
      if (found == merges_.end() || found->second.merged != top.merged) continue;  // stale
      left.id = top.merged;
      gone[static_cast<size_t>(left.next)] = true;
      left.next = right.next;
      if (left.next < count) symbols[static_cast<size_t>(left.next)].prev = top.pos;
      if (left.prev >= 0) consider(left.prev);
      consider(top.pos);
    }
    std::vector<int> ids;
    for (int pos = 0; pos < count; pos = symbols[static_cast<size_t>(pos)].next) ids.push_back(symbols[static_cast<size_t>(pos)].id);
    return ids;
  }

  std::string prefix_, suffix_;
  bool byte_fallback_, fuse_unk_, ignore_merges_;
  int unk_id_ = -1;
  int byte_ids_[256];
  std::unordered_map<uint64_t, Merge> merges_;
  mutable std::mutex cache_mutex_;
  mutable std::unordered_map<std::string, std::vector<int>> cache_;
};

}  // namespace

std::unique_ptr<Model> make_bpe(const Json& config) { return std::make_unique<Bpe>(config); }

}  // namespace llmrun::hf
