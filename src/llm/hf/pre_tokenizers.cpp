// Pre-tokenizers: how a text splits into the pieces the model sees.
#include <functional>

#include "src/llm/hf/components.h"
#include "src/llm/hf/regex.h"
#include "src/utils/guard.h"
#include "src/llm/hf/text.h"

namespace llmrun::hf {

namespace {

// A span of a piece and whether it is a delimiter (a match).
struct Span {
  size_t begin, end;
  bool match;
};

enum class Behavior { Removed, Isolated, MergedWithPrevious, MergedWithNext, Contiguous };

Behavior behavior_of(const std::string& name) {
  if (name == "Removed") return Behavior::Removed;
  if (name == "Isolated") return Behavior::Isolated;
  if (name == "MergedWithPrevious") return Behavior::MergedWithPrevious;
  if (name == "MergedWithNext") return Behavior::MergedWithNext;
  if (name == "Contiguous") return Behavior::Contiguous;
  minilog::fail_with("The tokenizer uses the split behavior \"", name, "\", which this library does not have");
}

// Spans covering all of a text from the matches' ranges.
std::vector<Span> spans_of(const std::vector<std::pair<size_t, size_t>>& matches, size_t size, bool invert) {
  std::vector<Span> spans;
  size_t from = 0;
  for (const auto& [begin, end] : matches) {
    if (begin > from) spans.push_back({from, begin, invert});
    spans.push_back({begin, end, !invert});
    from = end;
  }
  if (from < size) spans.push_back({from, size, invert});
  return spans;
}

// The spans regrouped by `behavior`, delimiter flags dropped.
std::vector<Span> regroup(std::vector<Span> spans, Behavior behavior) {
  std::vector<Span> out;
  switch (behavior) {
    case Behavior::Removed:
      for (const Span& s : spans) {
        if (!s.match) out.push_back(s);
      }
      break;
    case Behavior::Isolated:
      out = std::move(spans);
      break;
    case Behavior::MergedWithPrevious: {
      bool previous_match = false;
      for (const Span& s : spans) {
        if (s.match && !previous_match && !out.empty()) out.back().end = s.end;
        else out.push_back(s);
        previous_match = s.match;
      }
      break;
    }
    case Behavior::MergedWithNext: {
      bool previous_match = false;
      for (auto s = spans.rbegin(); s != spans.rend(); ++s) {
        if (s->match && !previous_match && !out.empty()) out.back().begin = s->begin;
        else out.push_back(*s);
        previous_match = s->match;
      }
      std::reverse(out.begin(), out.end());
      break;
    }
    case Behavior::Contiguous:
      for (size_t i = 0; i < spans.size(); ++i) {
        if (i > 0 && spans[i].match == spans[i - 1].match) out.back().end = spans[i].end;
        else out.push_back(spans[i]);
      }
      break;
  }
  return out;
}

// Replaces each piece by its non-empty parts.
void split_each(std::vector<Piece>& pieces, const std::function<std::vector<Span>(const std::string&)>& spans_of_text) {
  std::vector<Piece> out;
  out.reserve(pieces.size());
  for (Piece& piece : pieces) {
    for (const Span& s : spans_of_text(piece.text)) {
      if (s.end > s.begin) out.push_back({piece.text.substr(s.begin, s.end - s.begin), piece.first && s.begin == 0});
    }
  }
  pieces = std::move(out);
}

// Spans from a test on each character: runs of characters that pass are
// matches.
std::vector<Span> char_spans(const std::string& text, const std::function<bool(char32_t)>& test, bool each_alone) {
  std::vector<Span> spans;
  for (size_t i = 0, n; i < text.size(); i += n) {
    const bool match = test(next_char(text, i, &n));
    if (!spans.empty() && spans.back().match == match && !(match && each_alone)) spans.back().end = i + n;
    else spans.push_back({i, i + n, match});
  }
  return spans;
}

class Split : public PreTokenizer {
 public:
  explicit Split(const Json& config)
      : pattern_(pattern_of(config)),
        behavior_(behavior_of(field(config, "behavior").get<std::string>())),
        invert_(bool_or(config, "invert", false)) {}
  void split(std::vector<Piece>& pieces) const override {
    split_each(pieces, [&](const std::string& text) {
      return regroup(spans_of(pattern_.find_all(text), text.size(), invert_), behavior_);
    });
  }

 private:
  Regex pattern_;
  Behavior behavior_;
  bool invert_;
};

constexpr char kByteLevelPattern[] = R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";

class ByteLevel : public PreTokenizer {
 public:
  explicit ByteLevel(const Json& config)
      : add_prefix_space_(bool_or(config, "add_prefix_space", true)), use_regex_(bool_or(config, "use_regex", true)),
        pattern_(kByteLevelPattern) {}
  void split(std::vector<Piece>& pieces) const override {
    if (add_prefix_space_) {
      for (Piece& piece : pieces) {
        if (piece.text.empty() || piece.text[0] != ' ') piece.text.insert(0, " ");
      }
    }
    if (use_regex_) {
      split_each(pieces, [&](const std::string& text) { return spans_of(pattern_.find_all(text), text.size(), false); });
    }
    for (Piece& piece : pieces) {
      std::string mapped;
      mapped.reserve(piece.text.size() * 2);
      for (const char c : piece.text) mapped += byte_char(static_cast<unsigned char>(c));
      piece.text = std::move(mapped);
    }
  }

 private:
  bool add_prefix_space_, use_regex_;
  Regex pattern_;
};

enum class PrependScheme { Always, First, Never };

class Metaspace : public PreTokenizer {
 public:
  explicit Metaspace(const Json& config)
      : replacement_(string_or(config, "replacement", "\xE2\x96\x81")), split_(bool_or(config, "split", true)) {
    const std::string scheme = string_or(config, "prepend_scheme", bool_or(config, "add_prefix_space", true) ? "always" : "never");
    if (scheme == "always") scheme_ = PrependScheme::Always;
    else if (scheme == "first") scheme_ = PrependScheme::First;
    else if (scheme == "never") scheme_ = PrependScheme::Never;
    else minilog::fail_with("The tokenizer uses the Metaspace prepend scheme \"", scheme, "\", which this library does not have");
  }
  void split(std::vector<Piece>& pieces) const override {
    for (Piece& piece : pieces) {
      std::string text;
      for (const char c : piece.text) {
        if (c == ' ') text += replacement_;
        else text += c;
      }
      const bool starts = text.compare(0, replacement_.size(), replacement_) == 0;
      if (!starts && (scheme_ == PrependScheme::Always || (scheme_ == PrependScheme::First && piece.first))) {
        text.insert(0, replacement_);
      }
      piece.text = std::move(text);
    }
    if (!split_) return;
    split_each(pieces, [&](const std::string& text) {
      std::vector<std::pair<size_t, size_t>> matches;
      for (size_t at = text.find(replacement_); at != std::string::npos; at = text.find(replacement_, at + replacement_.size())) {
        matches.emplace_back(at, at + replacement_.size());
      }
      return regroup(spans_of(matches, text.size(), false), Behavior::MergedWithNext);
    });
  }

 private:
  std::string replacement_;
  bool split_;
  PrependScheme scheme_ = PrependScheme::Always;
};

class CharClassSplit : public PreTokenizer {
 public:
  CharClassSplit(std::function<bool(char32_t)> test, bool each_alone, Behavior behavior)
      : test_(std::move(test)), each_alone_(each_alone), behavior_(behavior) {}
  void split(std::vector<Piece>& pieces) const override {
    split_each(pieces, [&](const std::string& text) { return regroup(char_spans(text, test_, each_alone_), behavior_); });
  }

 private:
  std::function<bool(char32_t)> test_;
  bool each_alone_;
  Behavior behavior_;
};

// Runs of word characters, and runs of other non-blank characters.
class Whitespace : public PreTokenizer {
 public:
  void split(std::vector<Piece>& pieces) const override {
    split_each(pieces, [](const std::string& text) {
      std::vector<Span> spans;
      int previous = -1;  // 0 blank, 1 word, 2 other
      for (size_t i = 0, n; i < text.size(); i += n) {
        const char32_t c = next_char(text, i, &n);
        const int kind = is_whitespace(c) ? 0 : is_regex_word_char(c) ? 1 : 2;
        if (kind == previous) spans.back().end = i + n;
        else spans.push_back({i, i + n, kind == 0});
        previous = kind;
      }
      return regroup(std::move(spans), Behavior::Removed);
    });
  }
};

class Sequence : public PreTokenizer {
 public:
  explicit Sequence(const Json& config) : steps_(make_steps<PreTokenizer>(config, "pretokenizers", make_pre_tokenizer)) {}
  void split(std::vector<Piece>& pieces) const override {
    for (const auto& step : steps_) step->split(pieces);
  }

 private:
  std::vector<std::unique_ptr<PreTokenizer>> steps_;
};

}  // namespace

std::unique_ptr<PreTokenizer> make_pre_tokenizer(const Json& config) {
  if (config.is_null()) return nullptr;
  const std::string type = config.value("type", std::string());
  if (type == "Split") return std::make_unique<Split>(config);
  if (type == "ByteLevel") return std::make_unique<ByteLevel>(config);
  if (type == "Metaspace") return std::make_unique<Metaspace>(config);
  if (type == "Digits") {
    return std::make_unique<CharClassSplit>(is_numeric, bool_or(config, "individual_digits", false), Behavior::Isolated);
  }
  if (type == "Punctuation") {
    return std::make_unique<CharClassSplit>(is_punctuation, true, behavior_of(string_or(config, "behavior", "Isolated")));
  }
  if (type == "WhitespaceSplit") return std::make_unique<CharClassSplit>(is_whitespace, false, Behavior::Removed);
  if (type == "Whitespace") return std::make_unique<Whitespace>();
  if (type == "Sequence") return std::make_unique<Sequence>(config);
  unsupported("pre-tokenizer", config);
}

}  // namespace llmrun::hf
