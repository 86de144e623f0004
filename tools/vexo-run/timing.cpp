#include "timing.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vexo::run_tool {

namespace {

constexpr auto kQuietTime = std::chrono::seconds(1);
constexpr auto kRedrawTime = std::chrono::milliseconds(100);
constexpr size_t kBarWidth = 30;

// The nearest-rank percentile of sorted times.
double percentile(const std::vector<double>& sorted, double percent) {
  const auto rank = static_cast<size_t>(std::ceil(percent / 100 * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

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

Statistics statistics(std::vector<double> seconds) {
  Statistics figures;
  figures.count = seconds.size();
  if (seconds.empty()) return figures;
  std::sort(seconds.begin(), seconds.end());
  for (double s : seconds) figures.total += s;
  const double n = static_cast<double>(seconds.size());
  figures.mean = figures.total / n;
  if (seconds.size() > 1) {
    double squares = 0;
    for (double s : seconds) squares += (s - figures.mean) * (s - figures.mean);
    figures.stddev = std::sqrt(squares / (n - 1));
  }
  const size_t middle = seconds.size() / 2;
  figures.median = seconds.size() % 2 ? seconds[middle] : (seconds[middle - 1] + seconds[middle]) / 2;
  figures.min = seconds.front();
  figures.max = seconds.back();
  figures.p90 = percentile(seconds, 90);
  figures.p99 = percentile(seconds, 99);
  figures.runs_per_second = figures.total > 0 ? n / figures.total : 0;
  return figures;
}

std::string loop_summary(const Statistics& figures) {
  if (figures.count == 1) return "1 loop: " + duration_text(figures.min);
  return std::to_string(figures.count) + " loops: min " + duration_text(figures.min) + ", median " +
         duration_text(figures.median) + ", max " + duration_text(figures.max);
}

std::string spread_summary(const Statistics& figures) {
  char rate[32];
  std::snprintf(rate, sizeof(rate), "%.1f", figures.runs_per_second);
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
