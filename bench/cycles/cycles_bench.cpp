// 1,000 cycles of open, run every net and stage (or generate until the
// caches are full) and free, for each sample model, with the live device
// allocations and the host heap in use before the first measured cycle and
// after the last. Beside them, in the same run, the smallest cycle: a device
// handle opened and freed. docs/reliability.md records the figures.
//
// The counters need the simulated device's trace (for its live allocations)
// and the C library's per-thread cache of freed blocks off (it would count
// as heap in use); the program sets both up itself.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "samples/sample_cycles.h"
#include "utils/device.h"

namespace {

using vexo::samples::Footprint;

constexpr int kCycles = 1000;
constexpr const char* kTunable = "glibc.malloc.tcache_count=0";

const std::string& trace_path() {
  static const std::string path = "/tmp/vexo-cycles-bench-" + std::to_string(getpid()) + ".jsonl";
  return path;
}

void report(benchmark::State& state, const Footprint& start, const Footprint& end, int mismatched) {
  state.counters["device_allocations_start"] = static_cast<double>(start.device_allocations);
  state.counters["device_allocations_end"] = static_cast<double>(end.device_allocations);
  state.counters["device_bytes_start"] = static_cast<double>(start.device_bytes);
  state.counters["device_bytes_end"] = static_cast<double>(end.device_bytes);
  state.counters["heap_bytes_start"] = static_cast<double>(start.heap_bytes);
  state.counters["heap_bytes_end"] = static_cast<double>(end.heap_bytes);
  state.counters["mismatched_cycles"] = mismatched;
}

template <typename Cycle>
void run_cycles(benchmark::State& state, Cycle& cycle) {
  cycle.run();  // what lives until the process ends is made here
  const Footprint start = vexo::samples::footprint(trace_path());
  int mismatched = 0;
  for (auto _ : state) mismatched += !cycle.run();
  report(state, start, vexo::samples::footprint(trace_path()), mismatched);
}

void BM_HandleCycle(benchmark::State& state) {
  free_handle(get_handle(0));
  const Footprint start = vexo::samples::footprint(trace_path());
  for (auto _ : state) free_handle(get_handle(0));
  report(state, start, vexo::samples::footprint(trace_path()), 0);
}
BENCHMARK(BM_HandleCycle)->Iterations(kCycles)->Unit(benchmark::kMicrosecond);

void BM_GeneralSampleCycle(benchmark::State& state) {
  vexo::samples::GeneralCycle cycle("/tmp/vexo-cycles-bench-general.bmodel");
  run_cycles(state, cycle);
}
BENCHMARK(BM_GeneralSampleCycle)->Iterations(kCycles)->Unit(benchmark::kMicrosecond);

void BM_LlmSampleCycle(benchmark::State& state) {
  vexo::samples::LlmCycle cycle("/tmp/vexo-cycles-bench-llm.bmodel");
  run_cycles(state, cycle);
}
BENCHMARK(BM_LlmSampleCycle)->Iterations(kCycles)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (!tunables || !std::strstr(tunables, kTunable)) {
    // The C library reads its tunables at start: run again with it set.
    setenv("GLIBC_TUNABLES", kTunable, 1);
    execv("/proc/self/exe", argv);
    return 1;
  }
  setenv("VEXO_SIM_TRACE", trace_path().c_str(), 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(trace_path().c_str());
  return 0;
}
