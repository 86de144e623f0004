// The text forms of grammars: regular expressions (JSON Schema "pattern"
// and the string formats) and grammars of rules.
#include <algorithm>
#include <cctype>
#include <map>

#include "src/llm/grammar/grammar.h"
#include "src/utils/guard.h"

namespace llmrun::grammar {

namespace {

using minilog::fail_with;

constexpr uint32_t kMaxCodePoint = 0x10FFFF;
// Bounded repetitions beyond this are written as unbounded ones' limit.
constexpr size_t kMaxCount = 10000;

CharRanges complement(CharRanges set) {
  std::sort(set.begin(), set.end());
  CharRanges out;
  uint32_t next = 0;
  for (const auto& [lo, hi] : set) {
    if (lo > next) out.emplace_back(next, lo - 1);
    next = std::max(next, hi + 1);
  }
  if (next <= kMaxCodePoint) out.emplace_back(next, kMaxCodePoint);
  return out;
}

const CharRanges kDigits{{'0', '9'}};
const CharRanges kWord{{'0', '9'}, {'A', 'Z'}, {'_', '_'}, {'a', 'z'}};
const CharRanges kSpace{{'\t', '\r'}, {' ', ' '}, {0xA0, 0xA0}, {0x2028, 0x2029}, {0xFEFF, 0xFEFF}};

// Reading either text form: characters, escapes, classes and counts.
class Reader {
 public:
  Reader(const std::string& text, const char* what) : text_(text), what_(what) {}
  bool done() const { return pos_ >= text_.size(); }
  char peek(size_t ahead = 0) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }
  bool eat(char c) {
    if (peek() != c || done()) return false;
    ++pos_;
    return true;
  }
  void expect(char c) {
    if (!eat(c)) fail("'" + std::string(1, c) + "' expected");
  }
  [[noreturn]] void fail(const std::string& why) const {
    fail_with("Cannot read the ", what_, " at byte ", pos_, ": ", why);
  }
  // One UTF-8 character.
  uint32_t character() {
    if (done()) fail("the text ends early");
    const auto b = static_cast<unsigned char>(text_[pos_++]);
    if (b < 0x80) return b;
    const size_t more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    if (!more || b > 0xF4) fail("invalid UTF-8");
    uint32_t c = b & (0x3F >> more);
    for (size_t i = 0; i < more; ++i) {
      const auto next = static_cast<unsigned char>(peek());
      if ((next & 0xC0) != 0x80) fail("invalid UTF-8");
      c = (c << 6) | (next & 0x3F);
      ++pos_;
    }
    return c;
  }
  uint32_t hex(size_t digits) {
    uint32_t value = 0;
    for (size_t i = 0; i < digits; ++i) {
      const char c = peek();
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) fail("a hexadecimal digit expected");
      value = value * 16 + static_cast<uint32_t>(d);
      ++pos_;
    }
    if (value > kMaxCodePoint) fail("a code point beyond U+10FFFF");
    return value;
  }
  // After a backslash: the characters it stands for.
  CharRanges escape() {
    const uint32_t c = character();
    switch (c) {
      case 'n': return {{'\n', '\n'}};
      case 't': return {{'\t', '\t'}};
      case 'r': return {{'\r', '\r'}};
      case 'f': return {{'\f', '\f'}};
      case 'v': return {{'\v', '\v'}};
      case '0': return {{0, 0}};
      case 'x': { const uint32_t v = hex(2); return {{v, v}}; }
      case 'u': { const uint32_t v = hex(4); return {{v, v}}; }
      case 'U': { const uint32_t v = hex(8); return {{v, v}}; }
      case 'd': return kDigits;
      case 'w': return kWord;
      case 's': return kSpace;
      case 'D': return complement(kDigits);
      case 'W': return complement(kWord);
      case 'S': return complement(kSpace);
      default:
        if (c < 0x80 && !std::isalnum(static_cast<int>(c))) return {{c, c}};
        fail("the escape \\" + std::string(1, static_cast<char>(c)) + " is not supported");
    }
  }
  static CharRanges single(uint32_t c) { return {{c, c}}; }
  // After '[': the set up to and with ']'.
  CharRanges char_class() {
    const bool negated = eat('^');
    CharRanges set;
    bool first = true;
    while (first || peek() != ']') {
      if (done()) fail("']' expected");
      first = false;
      CharRanges item = eat('\\') ? escape() : single(character());
      if (item.size() == 1 && item[0].first == item[0].second && peek() == '-' && peek(1) != ']' && peek(1)) {
        ++pos_;
        const CharRanges end = eat('\\') ? escape() : single(character());
        if (end.size() != 1 || end[0].first != end[0].second || end[0].first < item[0].first) {
          fail("an invalid range in a character class");
        }
        item[0].second = end[0].first;
      }
      set.insert(set.end(), item.begin(), item.end());
    }
    expect(']');
    return negated ? complement(set) : set;
  }
  size_t number() {
    if (!std::isdigit(static_cast<unsigned char>(peek()))) fail("a number expected");
    size_t n = 0;
    while (std::isdigit(static_cast<unsigned char>(peek()))) {
      n = n * 10 + static_cast<size_t>(peek() - '0');
      if (n > kMaxCount) fail("a count above " + std::to_string(kMaxCount));
      ++pos_;
    }
    return n;
  }
  // A count after an item (*, +, ?, {n}, {n,}, {n,m}) applied to it.
  ExprPtr counted(ExprPtr item) {
    for (;;) {
      size_t min = 0, max = kUnbounded;
      if (eat('*')) {
      } else if (eat('+')) {
        min = 1;
      } else if (eat('?')) {
        max = 1;
      } else if (peek() == '{' && std::isdigit(static_cast<unsigned char>(peek(1)))) {
        ++pos_;
        min = max = number();
        if (eat(',')) max = peek() == '}' ? kUnbounded : number();
        expect('}');
        if (max < min) fail("a count whose maximum is below its minimum");
      } else {
        return item;
      }
      item = repeat(item, min, max);
    }
  }
  size_t pos_ = 0;
  const std::string& text_;

 private:
  const char* what_;
};

// Alternatives of sequences of counted atoms: the shape both text forms share.
class ExpressionParser {
 public:
  virtual ~ExpressionParser() = default;

 protected:
  ExpressionParser(const std::string& text, const char* what) : in_(text, what) {}
  virtual void skip() {}
  // The sequence ends here (besides '|', ')' and the end of the text).
  virtual bool sequence_ends() const = 0;
  virtual ExprPtr atom() = 0;
  ExprPtr alternatives() {
    std::vector<ExprPtr> options{items()};
    while (in_.eat('|')) options.push_back(items());
    return choice(std::move(options));
  }
  ExprPtr items() {
    std::vector<ExprPtr> seq;
    for (skip(); !in_.done() && in_.peek() != '|' && in_.peek() != ')' && !sequence_ends(); skip()) {
      seq.push_back(in_.counted(atom()));
    }
    return sequence(std::move(seq));
  }

  Reader in_;
};

// Regular expressions. Lazy counts match the same texts as greedy ones.
class RegexParser : public ExpressionParser {
 public:
  RegexParser(const std::string& pattern, const CharWriter& write) : ExpressionParser(pattern, "pattern"), write_(write) {}
  ExprPtr parse(bool anchored) {
    const bool start = in_.eat('^');
    ExprPtr body = alternatives();
    const bool end = in_.eat('$');
    if (!in_.done()) in_.fail("'" + std::string(1, in_.peek()) + "' is not supported here");
    const ExprPtr anything = repeat(write_(complement({})), 0, kUnbounded);
    std::vector<ExprPtr> parts;
    if (!start && !anchored) parts.push_back(anything);
    parts.push_back(body);
    if (!end && !anchored) parts.push_back(anything);
    return sequence(std::move(parts));
  }

 private:
  bool sequence_ends() const override { return in_.peek() == '$' && in_.pos_ + 1 == in_.text_.size(); }
  ExprPtr atom() override {
    if (in_.eat('(')) {
      if (in_.eat('?') && !in_.eat(':')) in_.fail("only (?: ) groups are supported");
      ExprPtr inner = alternatives();
      in_.expect(')');
      return inner;
    }
    if (in_.eat('[')) return write_(in_.char_class());
    if (in_.eat('.')) return write_(complement({{'\n', '\n'}, {'\r', '\r'}, {0x2028, 0x2029}}));
    if (in_.eat('\\')) {
      if (in_.peek() == 'b' || in_.peek() == 'B' || std::isdigit(static_cast<unsigned char>(in_.peek()))) {
        in_.fail("word boundaries and back references are not supported");
      }
      return write_(in_.escape());
    }
    const char c = in_.peek();
    if (c == '*' || c == '+' || c == '?' || c == '{' || c == '^' || c == '$') in_.fail("nothing to repeat or anchor");
    const uint32_t code = in_.character();
    return write_(Reader::single(code));
  }

  const CharWriter& write_;
};

ExprPtr raw_chars(const CharRanges& set) {
  std::vector<ExprPtr> options;
  for (const auto& [lo, hi] : set) options.push_back(code_points(lo, hi));
  return choice(std::move(options));
}

// Grammars of rules: `name ::= alternatives`, starting at "root".
class RulesParser : public ExpressionParser {
 public:
  explicit RulesParser(const std::string& text) : ExpressionParser(text, "grammar") {}
  std::shared_ptr<const Automaton> parse() {
    skip();
    while (!in_.done()) {
      const std::string name = identifier();
      skip();
      if (!(in_.eat(':') && in_.eat(':') && in_.eat('='))) in_.fail("'::=' expected after " + name);
      const int rule = rule_named(name);
      if (rules_.defined(rule)) in_.fail("the rule " + name + " is defined twice");
      rules_.define(rule, alternatives());
    }
    const auto root = ids_.find("root");
    if (root == ids_.end() || !rules_.defined(root->second)) fail_with("The grammar has no rule named root");
    return rules_.compile(root->second);
  }

 private:
  // Skips blanks, line ends and # comments.
  void skip() override {
    for (;;) {
      if (in_.eat('#')) {
        while (!in_.done() && in_.peek() != '\n') ++in_.pos_;
      } else if (!in_.done() && std::isspace(static_cast<unsigned char>(in_.peek()))) {
        ++in_.pos_;
      } else {
        return;
      }
    }
  }
  static bool name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; }
  std::string identifier() {
    std::string name;
    while (name_char(in_.peek())) name += in_.text_[in_.pos_++];
    if (name.empty()) in_.fail("a rule name expected");
    return name;
  }
  int rule_named(const std::string& name) {
    const auto found = ids_.find(name);
    if (found != ids_.end()) return found->second;
    const int id = rules_.declare(name);
    ids_.emplace(name, id);
    return id;
  }
  // A new rule begins here (a name, then ::=).
  bool sequence_ends() const override {
    size_t p = in_.pos_;
    while (p < in_.text_.size() && name_char(in_.text_[p])) ++p;
    if (p == in_.pos_) return false;
    while (p < in_.text_.size() && std::isspace(static_cast<unsigned char>(in_.text_[p]))) ++p;
    return in_.text_.compare(p, 3, "::=") == 0;
  }
  ExprPtr atom() override {
    if (in_.eat('(')) {
      ExprPtr inner = alternatives();
      in_.expect(')');
      return inner;
    }
    if (in_.eat('"')) {
      std::vector<ExprPtr> chars;
      while (!in_.eat('"')) {
        if (in_.done()) in_.fail("'\"' expected");
        if (in_.eat('\\')) {
          const CharRanges c = in_.escape();
          if (c.size() != 1 || c[0].first != c[0].second) in_.fail("a class escape inside a literal");
          chars.push_back(raw_chars(c));
        } else {
          const uint32_t c = in_.character();
          chars.push_back(raw_chars(Reader::single(c)));
        }
      }
      return sequence(std::move(chars));
    }
    if (in_.eat('[')) return raw_chars(in_.char_class());
    if (in_.eat('.')) return raw_chars(complement({}));
    return call(rule_named(identifier()));
  }

  RuleSet rules_;
  std::map<std::string, int> ids_;
};

}  // namespace

ExprPtr regex(const std::string& pattern, const CharWriter& write, bool anchored) {
  return RegexParser(pattern, write).parse(anchored);
}

std::shared_ptr<const Automaton> compile_rules(const std::string& text) { return RulesParser(text).parse(); }

}  // namespace llmrun::grammar
