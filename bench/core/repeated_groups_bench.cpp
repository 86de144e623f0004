// Loading a stage of 2,000 command groups that all name one 8 MiB BDC range
// and one 8 MiB GDMA range (every other group without BDC commands), beside
// one read of that range through the model file reader.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "bmodel/bmodel.h"
#include "samples/crafted.h"
#include "src/core/model_steps.h"

namespace {

constexpr uint32_t kGroups = 2000;
constexpr uint64_t kRange = 8u << 20;

const std::string& repeated_model() {
  static const std::string path = [] {
    const std::string file = "/tmp/vexo-core-bench-repeated-groups.bmodel";
    vexo::samples::save_model(vexo::samples::repeated_groups_model(kGroups, kRange), file);
    return file;
  }();
  return path;
}

void BM_LoadRepeatedGroups(benchmark::State& state) {
  for (auto _ : state) {
    divudida::ModelInfo model = divudida::load_model(repeated_model().c_str(), 0);
    state.PauseTiming();
    divudida::free_model(model);
    state.ResumeTiming();
  }
}

void BM_ReadRangeOnceBaseline(benchmark::State& state) {
  bmodel::ModelCtx ctx(repeated_model(), "", nullptr);
  const bmodel::Binary* range = ctx.model()->net()->Get(0)->parameter()->Get(0)->cmd_group()->Get(0)->binary_bdc();
  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[range->size()]);
  for (auto _ : state) {
    ctx.read_binary(range, buffer.get());
    benchmark::DoNotOptimize(buffer.get());
  }
}

}  // namespace

BENCHMARK(BM_ReadRangeOnceBaseline)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LoadRepeatedGroups)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReadRangeOnceBaseline)->Unit(benchmark::kMillisecond)->Iterations(3);
