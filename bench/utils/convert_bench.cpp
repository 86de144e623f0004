// Converting 64 Mi elements between single precision and the half and
// bfloat16 formats, beside a plain copy of the bytes that each conversion
// writes (256 MiB to single precision, 128 MiB from it). Each conversion runs
// on the path this processor takes and on the portable one.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "src/utils/fp16_bulk.h"
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

// Singles spread over the whole range, NaNs and the half range's ties included.
const std::vector<float>& source_singles() {
  static const std::vector<float> singles = [] {
    std::vector<float> values(kElements);
    for (size_t i = 0; i < kElements; ++i) {
      const uint32_t bits = static_cast<uint32_t>(i * 2654435761u);
      std::memcpy(&values[i], &bits, sizeof bits);
    }
    return values;
  }();
  return singles;
}

// The path of a conversion benchmark: 0 this processor's, 1 the portable one.
class PathScope {
 public:
  explicit PathScope(benchmark::State& state) { fp16_bulk::force_portable(state.range(0) == 1); }
  ~PathScope() { fp16_bulk::force_portable(false); }
  PathScope(const PathScope&) = delete;
  PathScope& operator=(const PathScope&) = delete;
};

void BM_MemcpyBaseline(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0)) << 20;
  std::vector<char> from(bytes, 1);
  std::vector<char> to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

template <typename Out, typename Convert>
void run_conversion(benchmark::State& state, Convert convert) {
  const PathScope path(state);
  std::vector<Out> target(kElements);
  for (auto _ : state) {
    convert(target.data());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kElements * sizeof(Out)));
}

// Through the exported function, as callers convert.
void BM_HalfToSingle(benchmark::State& state) {
  auto* source = const_cast<uint16_t*>(source_elements().data());
  run_conversion<float>(state, [&](float* target) { data_convert_to_fp32(source, target, BM_FLOAT16, kElements); });
}

void BM_Bf16ToSingle(benchmark::State& state) {
  auto* source = const_cast<uint16_t*>(source_elements().data());
  run_conversion<float>(state, [&](float* target) { data_convert_to_fp32(source, target, BM_BFLOAT16, kElements); });
}

void BM_SingleToHalf(benchmark::State& state) {
  const float* source = source_singles().data();
  run_conversion<uint16_t>(state,
                           [&](uint16_t* target) { fp16_bulk::singles_to_halves(source, target, kElements); });
}

void BM_SingleToBf16(benchmark::State& state) {
  const float* source = source_singles().data();
  run_conversion<uint16_t>(state,
                           [&](uint16_t* target) { fp16_bulk::singles_to_bf16s(source, target, kElements); });
}

}  // namespace

BENCHMARK(BM_MemcpyBaseline)->ArgName("MiB")->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HalfToSingle)->ArgName("portable")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Bf16ToSingle)->ArgName("portable")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MemcpyBaseline)->ArgName("MiB")->Arg(128)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SingleToHalf)->ArgName("portable")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SingleToBf16)->ArgName("portable")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MemcpyBaseline)->ArgName("MiB")->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();
