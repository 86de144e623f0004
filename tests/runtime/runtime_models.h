// Model files for the runtime and flat-description tests.
#pragma once

#include <string>
#include <vector>

#include "samples/model_builder.h"
#include "test_support.h"

namespace runtimetest {

// Writes the general sample model into `dir` and returns its path.
std::string save_general(const vexotest::TempDir& dir);

// A uint8 tensor of the given shape at the 64-byte place `place` of the
// activation region.
vexo::samples::TensorSpec u8_tensor(const std::string& name, std::vector<uint64_t> shape, size_t place);

// A net of one stage whose command copies input 0 into the output.
vexo::samples::NetSpec copy_net(const std::string& name, std::vector<vexo::samples::TensorSpec> inputs,
                                vexo::samples::TensorSpec output);

// Writes a model of the given nets into `dir` under `file`.
std::string save_nets(const vexotest::TempDir& dir, const std::string& file,
                      std::vector<vexo::samples::NetSpec> nets);

}  // namespace runtimetest
