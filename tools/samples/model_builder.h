// Describes a model in plain records and writes it as a bmodel file through
// the library's writer. Sample models, tests and benchmarks build their
// models with it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "commands.h"

namespace bmodel {
struct NetParameterT;
}

namespace vexo::samples {

struct TensorSpec {
  std::string name;
  uint32_t dtype = 0;
  std::vector<uint64_t> shape;
  uint64_t addr = 0;  // compiled address
  uint64_t size = 0;  // 0: the product of the shape times the element size
};

struct GroupSpec {
  std::vector<Bdc> bdc{Bdc{}};  // a static stage needs BDC commands too
  std::vector<Gdma> gdma;
};

struct SubnetSpec {
  int32_t id = 0;
  std::vector<int32_t> next{-1};
  bool is_dynamic = false;
  std::vector<GroupSpec> groups;
  std::vector<TensorSpec> inputs;
  std::vector<TensorSpec> outputs;
  uint32_t ir_offset = 0;
  uint32_t ir_len = 0;
};

struct StageSpec {
  std::vector<TensorSpec> inputs;
  std::vector<TensorSpec> outputs;
  uint64_t ctx_addr = 0;
  std::vector<uint64_t> ctx_sizes;
  uint64_t coeff_addr = 0;
  Bytes coeff;
  uint64_t io_addr = 0;
  uint64_t io_size = 0;
  bool is_dynamic = false;
  std::vector<GroupSpec> groups;
  Bytes ir;
  std::vector<SubnetSpec> subnets;
  // Last word on the stage's table before it is written, for files that
  // break a rule on purpose.
  std::function<void(bmodel::NetParameterT&)> patch;
};

struct NetSpec {
  std::string name;
  int32_t addr_mode = 0;
  std::vector<StageSpec> stages;  // shape variants: their input shapes differ
  // Stored in the legacy form (static and dynamic stage lists), which
  // readers convert; such a stage keeps no context sizes, IR or subnets.
  bool legacy = false;
};

struct ModelSpec {
  std::string chip = "BM1684X";
  std::vector<NetSpec> nets;
  Bytes kernel_module = Bytes(256, 0x4B);
};

// The bytes of `values` as stored on the device (little-endian host).
template <typename T>
Bytes bytes_of(const std::vector<T>& values) {
  const auto* first = reinterpret_cast<const uint8_t*>(values.data());
  return Bytes(first, first + values.size() * sizeof(T));
}

// Writes the model; the file's neuron_size is the largest context of any
// stage.
void save_model(const ModelSpec& spec, const std::string& path);

}  // namespace vexo::samples
