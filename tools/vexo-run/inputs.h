// Feeding the inputs of the selected stage: from tensor files, one per input
// in input order, or with generated test data (pseudo-random values from a
// seed, or zeros).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/miniruntime.h"
#include "tensor_files.h"

namespace vexo::run_tool {

struct InputChoice {
  std::vector<std::string> files;  // empty: generated data
  bool zeros = false;
  int seed = 0;
};

// The host bytes the runtime's input records borrow: they must outlive the
// runs. `sources` says where each input's data came from.
struct InputData {
  std::vector<Record> loaded;
  std::vector<std::vector<uint8_t>> generated;
  std::vector<std::string> sources;
};

// Uploads data into every input; a file that does not fit its input, data
// that cannot be generated or a refused upload throws vexo::tool::Failure.
InputData feed_inputs(minirun::vexoruntime runtime, const std::vector<minitensor::VexoTensor*>& inputs,
                      const InputChoice& choice);

// "input 0 ids": how messages name an input.
std::string input_role(size_t index, const minitensor::VexoTensor& input);

}  // namespace vexo::run_tool
