// Runs a program as a child process and collects what it printed and how it
// ended.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace tooltest {

struct Outcome {
  bool exited = false;  // false: ended by a signal
  int status = -1;      // exit status when exited
  int signal = 0;       // the signal otherwise
  std::string out;
  std::string err;
};

// Runs program with args; env entries are set in the child only. Standard
// output and error are captured through files in dir.
Outcome run(const vexotest::TempDir& dir, const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& env = {});

// Runs program as run() does, without extra environment, and sends it
// `signal` once its standard output holds `text` (or after 30 seconds).
Outcome run_until(const vexotest::TempDir& dir, const std::string& program,
                  const std::vector<std::string>& args, const std::string& text, int signal);

// The text split at newlines (a last line without one counts too).
std::vector<std::string> lines(const std::string& text);

}  // namespace tooltest
