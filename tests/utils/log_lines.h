// Capturing standard output and taking apart the logger's lines.
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace testlog {

template <typename Action>
std::string captured_stdout(Action&& action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}

struct Line {
  std::string colour;  // escape sequence
  std::string time;    // "%Y-%m-%d %H:%M:%S"
  std::string tag;     // nine characters
  std::string text;    // the pieces, without reset and newline
};

// Splits output into log lines: colour, time, blank, tag, blank, text, reset,
// newline. Anything else fails the test.
inline std::vector<Line> parse_lines(const std::string& output) {
  static const std::regex line(
      "(\x1b\\[[0-9]+m)([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}) (.{9}) ([^\x1b]*)\x1b\\[0m\n");
  std::vector<Line> lines;
  auto rest = output.cbegin();
  std::smatch match;
  while (rest != output.cend()) {
    if (!std::regex_search(rest, output.cend(), match, line, std::regex_constants::match_continuous)) {
      ADD_FAILURE() << "not a log line: " << std::string(rest, output.cend());
      break;
    }
    lines.push_back({match[1], match[2], match[3], match[4]});
    rest = match[0].second;
  }
  return lines;
}

// The texts of the lines, which must all carry the given colour and tag.
inline std::vector<std::string> texts_at(const std::string& output, const std::string& colour,
                                         const std::string& tag) {
  std::vector<std::string> texts;
  for (const Line& l : parse_lines(output)) {
    EXPECT_EQ(l.colour, colour);
    EXPECT_EQ(l.tag, tag);
    texts.push_back(l.text);
  }
  return texts;
}

inline std::vector<std::string> error_texts(const std::string& output) {
  return texts_at(output, "\x1b[31m", "[ERROR]  ");
}

}  // namespace testlog
