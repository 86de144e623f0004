#include "runtime_models.h"

#include <algorithm>

#include "samples/samples.h"
#include "utils/datagen.h"

namespace runtimetest {

using namespace vexo::samples;

namespace {
constexpr uint64_t kCtxAddr = 0x100000;
constexpr uint64_t kPlace = 64;
}  // namespace

std::string save_general(const vexotest::TempDir& dir) {
  const std::string path = dir.path("general.bmodel");
  save_model(general_sample(), path);
  return path;
}

TensorSpec u8_tensor(const std::string& name, std::vector<uint64_t> shape, size_t place) {
  TensorSpec tensor;
  tensor.name = name;
  tensor.dtype = BM_UINT8;
  tensor.shape = std::move(shape);
  tensor.addr = kCtxAddr + place * kPlace;
  return tensor;
}

NetSpec copy_net(const std::string& name, std::vector<TensorSpec> inputs, TensorSpec output) {
  StageSpec stage;
  uint64_t end = output.addr + kPlace;
  for (const TensorSpec& input : inputs) end = std::max(end, input.addr + kPlace);
  stage.groups = {GroupSpec{{Bdc{}}, {gdma_copy(inputs.at(0).addr, output.addr, 1, 1)}}};
  stage.inputs = std::move(inputs);
  stage.outputs = {std::move(output)};
  stage.ctx_addr = kCtxAddr;
  stage.ctx_sizes = {end - kCtxAddr};
  stage.coeff_addr = 0x1000;
  return NetSpec{name, 0, {stage}};
}

std::string save_nets(const vexotest::TempDir& dir, const std::string& file, std::vector<NetSpec> nets) {
  ModelSpec model;
  model.nets = std::move(nets);
  const std::string path = dir.path(file);
  save_model(model, path);
  return path;
}

}  // namespace runtimetest
