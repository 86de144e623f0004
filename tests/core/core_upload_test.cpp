// The coefficient upload: ranges of several blocks, with the reads of the
// following blocks requested ahead, arrive on the device byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "bmodel/bmodel.h"
#include "model_runs.h"
#include "samples/model_builder.h"
#include "src/core/model_steps.h"
#include "utils/datagen.h"

namespace {

using namespace vexo::samples;
using vexotest::Bytes;

// Cheap pseudo-random bytes (xorshift), distinct per seed.
Bytes random_bytes(size_t size, uint64_t seed) {
  Bytes bytes(size);
  uint64_t x = 0x9E3779B97F4A7C15ull * seed;
  for (size_t i = 0; i < size; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(bytes.data() + i, &x, std::min<size_t>(8, size - i));
  }
  return bytes;
}

NetSpec net_with_coefficients(const std::string& name, Bytes coeff) {
  StageSpec s;
  s.inputs = {TensorSpec{"in", BM_UINT8, {64}, 0x100000}};
  s.outputs = {TensorSpec{"out", BM_UINT8, {64}, 0x100040}};
  s.ctx_addr = 0x100000;
  s.ctx_sizes = {0x1000};
  s.coeff_addr = 0x1000;
  s.coeff = std::move(coeff);
  s.groups = {GroupSpec{{Bdc{}}, {gdma_copy(0x100000, 0x100040, 1, 64)}}};
  return NetSpec{name, 0, {s}};
}

}  // namespace

// A range of a block and a remainder, then one smaller than a block: the
// passage between blocks of a range and from the last block of a range to
// the next range.
TEST(CoreCoefficientUpload, RangesOfSeveralBlocksArriveWhole) {
  vexotest::TempDir dir;
  constexpr size_t kBlock = divudida::DEFAULT_BLOCK_SIZE;
  const std::vector<size_t> sizes = {kBlock + 4099, 4097};
  ModelSpec spec;
  std::vector<Bytes> coefficients;
  for (size_t n = 0; n < sizes.size(); ++n) {
    coefficients.push_back(random_bytes(sizes[n], n + 1));
    spec.nets.push_back(net_with_coefficients("net" + std::to_string(n), coefficients.back()));
  }
  const std::string path = dir.path("model.bmodel");
  save_model(spec, path);

  divudida::ModelInfo model = divudida::load_model(path.c_str(), 0);
  for (size_t n = 0; n < sizes.size(); ++n) {
    ASSERT_EQ(model.nets[n].coeff_start_and_device_map.size(), 1u);
    const sg_device_mem_t area = model.nets[n].coeff_start_and_device_map.begin()->second;
    EXPECT_TRUE(vexotest::read_device(model.bm_handle, area.u.device.device_addr, sizes[n]) == coefficients[n])
        << "net " << n;
  }

  // The read-ahead request is a hint: outside its range it does nothing.
  const auto& range = model.nets[0].stages[0].coeff;
  const bmodel::Binary coeff(range.start, range.size);
  model.model_ctx->prefetch_binary(&coeff, coeff.size(), 1);
  model.model_ctx->prefetch_binary(&coeff, 1, coeff.size());
  model.model_ctx->prefetch_binary(nullptr, 0, 1);
  divudida::free_model(model);
}
