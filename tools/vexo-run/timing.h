// Timing of the tool's steps: a stopwatch, the summaries of a loop's run
// times, and a progress bar for loops long enough to need one.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "common/statistics.h"

namespace vexo::run_tool {

using Clock = std::chrono::steady_clock;
using vexo::tool::Statistics;
using vexo::tool::statistics;

double seconds_since(Clock::time_point start);

// "12.5 us", "3.250 ms" or "1.500 s".
std::string duration_text(double seconds);

// "1 loop: 0.123 ms" or "N loops: min A ms, median B ms, max C ms".
std::string loop_summary(const Statistics& figures);
// "mean A, standard deviation B, p90 C, p99 D, E runs per second".
std::string spread_summary(const Statistics& figures);

// A bar on standard error, drawn only when standard error is a terminal and
// the loop has run for a second, redrawn at most ten times a second, and
// erased when the loop ends.
class Progress {
 public:
  Progress();
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // `fraction` of the loop is done, after `runs` runs.
  void update(double fraction, size_t runs);

 private:
  bool terminal_;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point last_draw_;
};

}  // namespace vexo::run_tool
