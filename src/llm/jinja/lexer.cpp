#include "src/llm/jinja/lexer.h"

#include <cctype>
#include <cstring>

#include "src/llm/utf8.h"
#include "src/utils/guard.h"

namespace llmrun::jinja {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

class Lexer {
 public:
  // Line ends become "\n", in the text and in string literals, as in Jinja.
  Lexer(const std::string& source, const std::string& origin) : origin_(origin) {
    src_.reserve(source.size());
    for (size_t i = 0; i < source.size(); ++i) {
      if (source[i] != '\r') {
        src_ += source[i];
      } else if (i + 1 >= source.size() || source[i + 1] != '\n') {
        src_ += '\n';
      }
    }
  }

  std::vector<Token> run() {
    // As Jinja by default, one newline at the very end is not output.
    end_ = src_.size() - (!src_.empty() && src_.back() == '\n' ? 1 : 0);
    bool strip_next = false;  // a "-" closed the last tag
    bool trim_newline = false;  // a block or comment tag closed last
    while (pos_ < end_) {
      size_t open = find_tag(pos_);
      std::string text = src_.substr(pos_, open - pos_);
      if (strip_next) {
        size_t first = 0;
        while (first < text.size() && is_space(text[first])) ++first;
        text.erase(0, first);
      } else if (trim_newline) {
        if (text.compare(0, 1, "\n") == 0) text.erase(0, 1);
      }
      const size_t text_line = line_;
      count_lines(pos_, open);
      pos_ = open;
      if (open == end_) {
        push_text(std::move(text), text_line);
        break;
      }
      const char kind = src_[open + 1];
      const char modifier = open + 2 < src_.size() ? src_[open + 2] : '\0';
      if (modifier == '-') {
        while (!text.empty() && is_space(text.back())) text.pop_back();
      } else if (kind != '{' && modifier != '+') {
        // lstrip_blocks: only blanks between the line's start and the tag.
        size_t start = open;
        while (start > 0 && is_blank(src_[start - 1])) --start;
        if (start == 0 || src_[start - 1] == '\n') {
          size_t keep = text.size();
          while (keep > 0 && is_blank(text[keep - 1])) --keep;
          text.erase(keep);
        }
      }
      push_text(std::move(text), text_line);
      pos_ = open + 2 + ((modifier == '-' || modifier == '+') ? 1 : 0);
      trim_newline = false;
      if (kind == '#') {
        const size_t close = src_.find("#}", pos_);
        if (close == std::string::npos) fail("the comment is not closed");
        strip_next = close > pos_ && src_[close - 1] == '-';
        count_lines(pos_, close);
        pos_ = close + 2;
        trim_newline = true;
        continue;
      }
      const bool block = kind == '%';
      tokens_.push_back({block ? Token::Kind::BlockOpen : Token::Kind::OutputOpen, "", line_});
      strip_next = lex_inside(block ? '%' : '}');
      tokens_.push_back({block ? Token::Kind::BlockClose : Token::Kind::OutputClose, "", line_});
      trim_newline = block;
    }
    tokens_.push_back({Token::Kind::End, "", line_});
    return std::move(tokens_);
  }

 private:
  size_t find_tag(size_t from) const {
    for (size_t i = src_.find('{', from); i != std::string::npos && i < end_; i = src_.find('{', i + 1)) {
      if (i + 1 < end_ && std::strchr("{%#", src_[i + 1])) return i;
    }
    return end_;
  }

  void count_lines(size_t from, size_t to) {
    for (size_t i = from; i < to && i < src_.size(); ++i) line_ += src_[i] == '\n';
  }

  void push_text(std::string text, size_t line) {
    if (!text.empty()) {
      tokens_.push_back({Token::Kind::Text, std::move(text), line});
    }
  }

  [[noreturn]] void fail(const std::string& what) const { minilog::fail_with(origin_, ":", line_, ": ", what); }

  // Tokens up to the closing "}}" or "%}"; returns whether it was "-}}"/"-%}".
  bool lex_inside(char closer) {
    while (true) {
      while (pos_ < src_.size() && is_space(src_[pos_])) line_ += src_[pos_++] == '\n';
      if (pos_ >= src_.size()) fail("the tag is not closed");
      const char c = src_[pos_];
      if (c == '-' && pos_ + 2 < src_.size() && src_[pos_ + 1] == closer && src_[pos_ + 2] == '}') {
        pos_ += 3;
        return true;
      }
      if (c == closer && pos_ + 1 < src_.size() && src_[pos_ + 1] == '}') {
        // "}}" closes an output tag unless a dictionary literal is open.
        if (closer != '}' || depth_ == 0) {
          pos_ += 2;
          return false;
        }
      }
      if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
        const size_t start = pos_;
        while (pos_ < src_.size() && (std::isalnum(static_cast<unsigned char>(src_[pos_])) || src_[pos_] == '_')) ++pos_;
        tokens_.push_back({Token::Kind::Name, src_.substr(start, pos_ - start), line_});
      } else if (std::isdigit(static_cast<unsigned char>(c))) {
        lex_number();
      } else if (c == '\'' || c == '"') {
        lex_string(c);
      } else {
        lex_operator();
      }
    }
  }

  void lex_number() {
    const size_t start = pos_;
    bool is_float = false;
    while (pos_ < src_.size() && (std::isdigit(static_cast<unsigned char>(src_[pos_])) || src_[pos_] == '_')) ++pos_;
    if (pos_ + 1 < src_.size() && src_[pos_] == '.' && std::isdigit(static_cast<unsigned char>(src_[pos_ + 1]))) {
      is_float = true;
      ++pos_;
      while (pos_ < src_.size() && std::isdigit(static_cast<unsigned char>(src_[pos_]))) ++pos_;
    }
    if (pos_ < src_.size() && (src_[pos_] == 'e' || src_[pos_] == 'E')) {
      size_t p = pos_ + 1;
      if (p < src_.size() && (src_[p] == '+' || src_[p] == '-')) ++p;
      if (p < src_.size() && std::isdigit(static_cast<unsigned char>(src_[p]))) {
        is_float = true;
        pos_ = p;
        while (pos_ < src_.size() && std::isdigit(static_cast<unsigned char>(src_[pos_]))) ++pos_;
      }
    }
    std::string digits;
    for (size_t i = start; i < pos_; ++i) {
      if (src_[i] != '_') digits += src_[i];
    }
    tokens_.push_back({is_float ? Token::Kind::Float : Token::Kind::Integer, digits, line_});
  }

  unsigned long hex(size_t digits) {
    if (pos_ + digits > src_.size()) fail("a \\x or \\u escape is cut short");
    unsigned long value = 0;
    for (size_t i = 0; i < digits; ++i) {
      const char d = src_[pos_++];
      if (!std::isxdigit(static_cast<unsigned char>(d))) fail("a \\x or \\u escape has a non-hex digit");
      value = value * 16 + static_cast<unsigned long>(std::isdigit(static_cast<unsigned char>(d)) ? d - '0' : (std::tolower(d) - 'a' + 10));
    }
    return value;
  }

  void lex_string(char quote) {
    const size_t line = line_;
    std::string value;
    ++pos_;
    while (true) {
      if (pos_ >= src_.size()) fail("the string is not closed");
      const char c = src_[pos_++];
      if (c == quote) break;
      line_ += c == '\n';
      if (c != '\\') {
        value += c;
        continue;
      }
      if (pos_ >= src_.size()) fail("the string is not closed");
      const char e = src_[pos_++];
      switch (e) {
        case 'n': value += '\n'; break;
        case 't': value += '\t'; break;
        case 'r': value += '\r'; break;
        case 'b': value += '\b'; break;
        case 'f': value += '\f'; break;
        case 'v': value += '\v'; break;
        case '0': value += '\0'; break;
        case '\\': case '\'': case '"': value += e; break;
        case '\n': ++line_; break;
        case 'x': append_utf8(value, hex(2)); break;
        case 'u': append_utf8(value, hex(4)); break;
        case 'U': append_utf8(value, std::min(hex(8), 0x10FFFFUL)); break;
        default: value += '\\'; value += e;
      }
    }
    tokens_.push_back({Token::Kind::String, std::move(value), line});
  }

  void lex_operator() {
    static const char* const kTwo[] = {"==", "!=", "<=", ">=", "//", "**"};
    for (const char* op : kTwo) {
      if (src_.compare(pos_, 2, op) == 0) {
        tokens_.push_back({Token::Kind::Operator, op, line_});
        pos_ += 2;
        return;
      }
    }
    const char c = src_[pos_];
    if (!std::strchr("+-*/%~<>=()[]{}.,:|", c)) fail(std::string("unexpected character '") + c + "'");
    if (c == '(' || c == '[' || c == '{') ++depth_;
    if ((c == ')' || c == ']' || c == '}') && depth_ > 0) --depth_;
    tokens_.push_back({Token::Kind::Operator, std::string(1, c), line_});
    ++pos_;
  }

  std::string src_;
  const std::string& origin_;
  size_t end_ = 0;  // the end of the source, less a final newline
  size_t pos_ = 0;
  size_t line_ = 1;
  size_t depth_ = 0;  // open brackets inside the current tag
  std::vector<Token> tokens_;
};

}  // namespace

std::vector<Token> tokenize(const std::string& source, const std::string& origin) {
  return Lexer(source, origin).run();
}

}  // namespace llmrun::jinja
