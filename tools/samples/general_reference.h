// Reference data of the general sample: inputs for every net and stage and
// the outputs the model must give for them, computed on the host from the
// sample's definition, never by running it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model_builder.h"

namespace vexo::samples {

// A tensor of a stage (name, element type, shape) with its bytes.
struct TensorData {
  TensorSpec spec;
  Bytes bytes;
};

// One stage of the general sample with its inputs and expected outputs, in
// stage order.
struct ReferenceCase {
  std::string net;
  uint32_t stage = 0;
  std::vector<TensorData> inputs;
  std::vector<TensorData> expected;
};

// The outputs of a stage of general_sample() for the given input bytes, one
// per input in stage order: "embed" gives embed_row of every id and one 1 per
// id, "reverse" the rows in reverse order, "pad" the bytes then four 0xEE.
std::vector<Bytes> general_expected_outputs(const std::string& net, const std::vector<Bytes>& inputs);

// Every net and stage of general_sample() with fixed inputs and their
// expected outputs.
std::vector<ReferenceCase> general_reference_cases();

}  // namespace vexo::samples
