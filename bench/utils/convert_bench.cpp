// Converting 64 Mi half and bfloat16 elements to single precision, beside a
// plain copy of the 256 MiB that the conversion writes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "utils/datagen.h"

namespace {

constexpr size_t kElements = size_t{64} << 20;

// Every 16-bit pattern in turn, so that subnormals, infinities and NaNs take
// their share of the work.
const std::vector<uint16_t>& source_elements() {
  static const std::vector<uint16_t> elements = [] {
    std::vector<uint16_t> values(kElements);
    for (size_t i = 0; i < kElements; ++i) values[i] = static_cast<uint16_t>(i * 40503u);
    return values;
  }();
  return elements;
}

void count_bytes_written(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kElements * sizeof(float));
}

void BM_MemcpyBaseline(benchmark::State& state) {
  std::vector<float> from(kElements, 1.0f);
  std::vector<float> to(kElements);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kElements * sizeof(float));
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  count_bytes_written(state);
}

void BM_ConvertToFp32(benchmark::State& state) {
  const int dtype = static_cast<int>(state.range(0));
  auto& source = const_cast<std::vector<uint16_t>&>(source_elements());
  std::vector<float> target(kElements);
  for (auto _ : state) {
    data_convert_to_fp32(source.data(), target.data(), dtype, kElements);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  count_bytes_written(state);
}

}  // namespace

BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConvertToFp32)->ArgName("dtype")->Arg(BM_FLOAT16)->Arg(BM_BFLOAT16)->Unit(benchmark::kMillisecond)->UseRealTime();
