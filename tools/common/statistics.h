// The figures of a series of measured times: what vexo-run reports of its
// runs and vexo-llm of its tokens.
#pragma once

#include <cstddef>
#include <vector>

namespace vexo::tool {

// The figures of a series of times, in seconds. Percentiles take the
// nearest rank (the smallest time that at least p% of the series do not
// exceed); the standard deviation is the sample one (0 for one time); the
// rate is count / total, 0 when the total is 0.
struct Statistics {
  size_t count = 0;
  double total = 0;
  double mean = 0;
  double stddev = 0;
  double min = 0;
  double median = 0;
  double p90 = 0;
  double p99 = 0;
  double max = 0;
  double per_second = 0;
};

Statistics statistics(std::vector<double> seconds);

}  // namespace vexo::tool
