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

std::string loop_summary(std::vector<double> seconds) {
  if (seconds.size() == 1) return "1 loop: " + duration_text(seconds[0]);
  std::sort(seconds.begin(), seconds.end());
  const size_t middle = seconds.size() / 2;
  const double median = seconds.size() % 2 ? seconds[middle] : (seconds[middle - 1] + seconds[middle]) / 2;
  return std::to_string(seconds.size()) + " loops: min " + duration_text(seconds.front()) + ", median " +
         duration_text(median) + ", max " + duration_text(seconds.back());
}

Progress::Progress(size_t total)
    : total_(total), terminal_(isatty(STDERR_FILENO) == 1), start_(Clock::now()), last_draw_(start_) {}

Progress::~Progress() {
  if (drawn_) std::fputs("\r\033[K", stderr);  // back to the line's start, erased
}

void Progress::update(size_t done) {
  const Clock::time_point now = Clock::now();
  if (!terminal_ || now - start_ < kQuietTime || (drawn_ && now - last_draw_ < kRedrawTime)) return;
  const size_t filled = total_ ? done * kBarWidth / total_ : kBarWidth;
  std::fprintf(stderr, "\rrunning [%s%s] %zu/%zu", std::string(filled, '#').c_str(),
               std::string(kBarWidth - filled, '.').c_str(), done, total_);
  std::fflush(stderr);
  drawn_ = true;
  last_draw_ = now;
}

}  // namespace vexo::run_tool
