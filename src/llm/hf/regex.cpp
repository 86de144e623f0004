#include "src/llm/hf/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "src/utils/guard.h"

namespace llmrun::hf {

namespace {

// Files are written for a engine whose \s is the White_Space property, which
// holds U+0085 where PCRE2's does not.
std::string with_full_whitespace(const std::string& pattern) {
  std::string out;
  bool in_class = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\' && i + 1 < pattern.size()) {
      const char next = pattern[++i];
      if (next == 's') out += in_class ? "\\s\\x{85}" : "[\\s\\x{85}]";
      else if (next == 'S' && !in_class) out += "[^\\s\\x{85}]";
      else out += c, out += next;
      continue;
    }
    if (c == '[' && !in_class) in_class = true;
    else if (c == ']' && in_class) in_class = false;
    out += c;
  }
  return out;
}

struct MatchData {
  // Room for the whole match only: captures are not used.
  MatchData() : data(pcre2_match_data_create(1, nullptr)) {
    if (!data) throw std::bad_alloc();
  }
  ~MatchData() { pcre2_match_data_free(data); }
  MatchData(const MatchData&) = delete;
  MatchData& operator=(const MatchData&) = delete;
  pcre2_match_data* data;
};

}  // namespace

struct Regex::Code {
  pcre2_code* code = nullptr;
  bool jit = false;
  ~Code() { pcre2_code_free(code); }
};

Regex::Regex(const std::string& pattern) : code_(std::make_unique<Code>()) {
  const std::string translated = with_full_whitespace(pattern);
  int error = 0;
  PCRE2_SIZE offset = 0;
  code_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated.data()), translated.size(),
                              PCRE2_UTF | PCRE2_UCP | PCRE2_NO_UTF_CHECK, &error, &offset, nullptr);
  if (!code_->code) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(error, message, sizeof message);
    minilog::fail_with("The pattern ", pattern, " does not compile: ", reinterpret_cast<const char*>(message));
  }
  code_->jit = pcre2_jit_compile(code_->code, PCRE2_JIT_COMPLETE) == 0;
}

Regex::~Regex() = default;

std::vector<std::pair<size_t, size_t>> Regex::find_all(const std::string& text) const {
  thread_local MatchData match;
  std::vector<std::pair<size_t, size_t>> found;
  const auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  size_t start = 0;
  while (start <= text.size()) {
    // The text is valid UTF-8 already: the pipeline repairs it on the way in.
    const int rc = code_->jit ? pcre2_jit_match(code_->code, subject, text.size(), start, 0, match.data, nullptr)
                              : pcre2_match(code_->code, subject, text.size(), start, PCRE2_NO_UTF_CHECK, match.data, nullptr);
    if (rc == PCRE2_ERROR_NOMATCH) break;
    if (rc < 0) minilog::fail_with("A pattern match failed (PCRE2 error ", rc, ")");
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match.data);
    const size_t begin = ovector[0], end = ovector[1];
    found.emplace_back(begin, end);
    if (end > begin) {
      start = end;
    } else {  // an empty match: step over one character
      start = end + 1;
      while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
    }
  }
  return found;
}

std::string Regex::replace_all(const std::string& text, const std::string& content) const {
  std::string out;
  size_t from = 0;
  for (const auto& [begin, end] : find_all(text)) {
    out.append(text, from, begin - from).append(content);
    from = end;
  }
  return out.append(text, from, std::string::npos);
}

std::string Regex::quote(const std::string& literal) {
  std::string out = "\\Q";
  size_t from = 0, at;
  while ((at = literal.find("\\E", from)) != std::string::npos) {
    out.append(literal, from, at - from).append("\\E\\\\E\\Q");
    from = at + 2;
  }
  return out.append(literal, from, std::string::npos).append("\\E");
}

}  // namespace llmrun::hf
