// Feeding the inputs of the selected stage: from tensor files (one per input
// in input order, or NAME=FILE for some inputs), the others with generated
// test data (pseudo-random values from a seed, optionally within a range, or
// zeros).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/miniruntime.h"
#include "tensor_files.h"

namespace vexo::run_tool {

// --random-range [NAME:]LO,HI: values from LO to HI (integers: the whole
// numbers between them) for the input NAME, or for every input.
struct RandomRange {
  std::string input;  // empty: every input without a range of its own
  double low = 0;
  double high = 0;
  std::string text;  // as given, for messages
};

// Reads "[NAME:]LO,HI"; a malformed text or LO > HI throws
// vexo::tool::UsageFailure.
RandomRange parse_random_range(const std::string& text);

struct InputChoice {
  std::vector<std::string> files;  // positional, or NAME=FILE entries
  bool zeros = false;
  int seed = 0;
  bool seeded = false;  // --random given
  std::vector<RandomRange> ranges;
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
InputData feed_inputs(minirun::vexoruntime runtime, const std::vector<StageTensor>& inputs,
                      const InputChoice& choice);

// "input 0 ids": how messages name an input.
std::string input_role(size_t index, const StageTensor& input);

}  // namespace vexo::run_tool
