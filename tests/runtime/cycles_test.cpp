// Many cycles of open, run and free of each sample model leave the device
// and the host heap where they started.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "runtime/miniruntime.h"
#include "samples/sample_cycles.h"
#include "test_support.h"

namespace {

using vexo::samples::Footprint;

constexpr int kCycles = 20;

TEST(Cycles, EachSampleReturnsDeviceAndHeapToTheStart) {
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  ASSERT_NE(tunables ? std::strstr(tunables, "glibc.malloc.tcache_count=0") : nullptr, nullptr)
      << "run with GLIBC_TUNABLES=glibc.malloc.tcache_count=0: cached freed blocks count as heap in use";
  vexotest::TempDir dir;
  const vexotest::SimTrace trace(dir);
  const std::string trace_path = dir.path("trace.jsonl");
  vexo::samples::GeneralCycle general(dir.path("general.bmodel"));
  vexo::samples::LlmCycle llm(dir.path("llm.bmodel"));
  // The first cycles make what lives until the process ends (the logger,
  // the simulated device's state).
  ASSERT_TRUE(general.run());
  ASSERT_TRUE(llm.run());
  const Footprint start = vexo::samples::footprint(trace_path);
  // The probe sees an open model's areas.
  minirun::vexoruntime open = minirun::vexoruntime_init(dir.path("general.bmodel").c_str(), 0);
  EXPECT_EQ(vexo::samples::footprint(trace_path).device_allocations, 16);
  minirun::vexoruntime_free(open);
  int mismatched = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) mismatched += !general.run() + !llm.run();
  const Footprint end = vexo::samples::footprint(trace_path);
  EXPECT_EQ(mismatched, 0);
  EXPECT_EQ(start.device_allocations, 0);
  EXPECT_EQ(start.device_bytes, 0);
  EXPECT_EQ(end.device_allocations, start.device_allocations);
  EXPECT_EQ(end.device_bytes, start.device_bytes);
  // A leak grows the heap. It may end a few bytes smaller: the per-thread
  // record of the last error line holds whichever message came last.
  EXPECT_LE(end.heap_bytes, start.heap_bytes);
}

}  // namespace
