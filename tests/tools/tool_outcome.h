// Checks of how a tool run as a child process ended, shared by the tests of
// vexo-run, vexo-llm and vexo-samples.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"

namespace tooltest {

// Exit status 0, nothing on standard error.
inline void expect_clean_exit(const Outcome& outcome) {
  EXPECT_TRUE(outcome.exited) << "ended by signal " << outcome.signal;
  EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  EXPECT_EQ(outcome.err, "");
}

// Whether a line is one of the library's own log lines.
inline bool is_library_log_line(const std::string& line) {
  return line.find("[ERROR]") != std::string::npos || line.find("[WARNING]") != std::string::npos ||
         line.rfind("[BMODEL]", 0) == 0;
}

// No crash, the given non-zero status, and one line "<tool>: error: ..."
// that contains `text`, last on standard error after nothing but the
// library's log lines; none of those on standard output.
inline void expect_one_error(const Outcome& outcome, const std::string& tool, const std::string& text,
                             int status = 1) {
  ASSERT_TRUE(outcome.exited) << "ended by signal " << outcome.signal;
  EXPECT_EQ(outcome.status, status) << outcome.err;
  const std::vector<std::string> err = lines(outcome.err);
  ASSERT_FALSE(err.empty());
  for (size_t i = 0; i + 1 < err.size(); ++i) EXPECT_TRUE(is_library_log_line(err[i])) << outcome.err;
  EXPECT_EQ(err.back().rfind(tool + ": error: ", 0), 0u) << err.back();
  EXPECT_NE(err.back().find(text), std::string::npos) << err.back();
  for (const std::string& line : lines(outcome.out)) EXPECT_FALSE(is_library_log_line(line)) << line;
}

}  // namespace tooltest
