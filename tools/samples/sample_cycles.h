// Whole cycles over the sample models: open, run every net and stage (or
// generate until the caches are full), free. The reliability test and
// benchmark repeat them and compare what is live before and after.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "general_reference.h"
#include "samples.h"

namespace vexo::samples {

// What the process holds: live allocations and bytes of device 0 of the
// simulated device, and host heap bytes in use.
struct Footprint {
  int64_t device_allocations = -1;
  int64_t device_bytes = -1;
  uint64_t heap_bytes = 0;
};

// Reads the device's part from the close line of a probe handle in the
// simulated device's trace, which must be on (VEXO_SIM_TRACE=trace_path).
Footprint footprint(const std::string& trace_path);

// The general sample, written to `path`; run() is one cycle over every net
// and stage with the reference inputs, true when every output matched.
class GeneralCycle {
 public:
  explicit GeneralCycle(std::string path);
  bool run();

 private:
  std::string path_;
  std::vector<ReferenceCase> cases_;
};

// The language-model sample, written to `path`; run() is one cycle of a
// first pass and next passes until the caches are full, true when every
// token matched.
class LlmCycle {
 public:
  explicit LlmCycle(std::string path, const LlmOptions& options = {});
  bool run();

 private:
  std::string path_;
  std::vector<int> prompt_{5, 17, 42};
  std::vector<int32_t> expected_;
};

}  // namespace vexo::samples
