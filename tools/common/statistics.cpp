#include "common/statistics.h"

#include <algorithm>
#include <cmath>

namespace vexo::tool {

namespace {

// The nearest-rank percentile of sorted times.
double percentile(const std::vector<double>& sorted, double percent) {
  const auto rank = static_cast<size_t>(std::ceil(percent / 100 * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

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
  figures.per_second = figures.total > 0 ? n / figures.total : 0;
  return figures;
}

}  // namespace vexo::tool
