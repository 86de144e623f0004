#include "timing.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace vexo::run_tool {

namespace {

constexpr auto kQuietTime = std::chrono::seconds(1);
constexpr auto kRedrawTime = std::chrono::milliseconds(100);
constexpr size_t kBarWidth = 30;

}  // namespace

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string duration_text(double seconds) {
  char text[32];
  if (seconds < 1e-3) {
    std::snprintf(text, sizeof(text), "%.1f us", seconds * 1e6);
  } else if (seconds < 1) {
    std::snprintf(text, sizeof(text), "%.3f ms", seconds * 1e3);
  } else {
    std::snprintf(text, sizeof(text), "%.3f s", seconds);
  }
  return text;
}

std::string loop_summary(const Statistics& figures) {
  if (figures.count == 1) return "1 loop: " + duration_text(figures.min);
  return std::to_string(figures.count) + " loops: min " + duration_text(figures.min) + ", median " +
         duration_text(figures.median) + ", max " + duration_text(figures.max);
}

std::string spread_summary(const Statistics& figures) {
  char rate[32];
  std::snprintf(rate, sizeof(rate), "%.1f", figures.per_second);
  return "mean " + duration_text(figures.mean) + ", standard deviation " + duration_text(figures.stddev) +
         ", p90 " + duration_text(figures.p90) + ", p99 " + duration_text(figures.p99) + ", " + rate +
         " runs per second";
}

Progress::Progress() : terminal_(isatty(STDERR_FILENO) == 1), start_(Clock::now()), last_draw_(start_) {}

Progress::~Progress() {
  if (drawn_) std::fputs("\r\033[K", stderr);  // back to the line's start, erased
}

void Progress::update(double fraction, size_t runs) {
  const Clock::time_point now = Clock::now();
  if (!terminal_ || now - start_ < kQuietTime || (drawn_ && now - last_draw_ < kRedrawTime)) return;
  const auto filled = static_cast<size_t>(std::clamp(fraction, 0.0, 1.0) * kBarWidth);
  std::fprintf(stderr, "\rrunning [%s%s] %zu runs", std::string(filled, '#').c_str(),
               std::string(kBarWidth - filled, '.').c_str(), runs);
  std::fflush(stderr);
  drawn_ = true;
  last_draw_ = now;
}

}  // namespace vexo::run_tool
