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

// No crash, the given non-zero status, and one line "<tool>: error: ..."
// that contains `text`.
inline void expect_one_error(const Outcome& outcome, const std::string& tool, const std::string& text,
                             int status = 1) {
  ASSERT_TRUE(outcome.exited) << "ended by signal " << outcome.signal;
  EXPECT_EQ(outcome.status, status) << outcome.err;
  const std::vector<std::string> err = lines(outcome.err);
  ASSERT_EQ(err.size(), 1u) << outcome.err;
  EXPECT_EQ(err[0].rfind(tool + ": error: ", 0), 0u) << err[0];
  EXPECT_NE(err[0].find(text), std::string::npos) << err[0];
}

}  // namespace tooltest
