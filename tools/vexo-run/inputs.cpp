#include "inputs.h"

#include <climits>

#include "common/format.h"
#include "common/tool.h"
#include "utils/datagen.h"
#include "utils/utils.h"

namespace vexo::run_tool {

using minitensor::VexoTensor;
using vexo::tool::Failure;

namespace {

constexpr int kRandomFill = 2;

// The generator refuses 4-bit types (it throws), and knows no other codes.
bool can_generate(int dtype) { return dtype >= BM_FLOAT32 && dtype <= BM_BFLOAT16; }

std::vector<uint8_t> generated_bytes(const VexoTensor& input, const std::string& role, bool zeros) {
  std::vector<uint8_t> bytes(input.size);  // all-zero bytes are zero in every element type
  if (zeros) return bytes;
  if (!can_generate(input.dtype)) {
    throw Failure("cannot generate random " +
                  vexo::tool::element_type_name(static_cast<uint32_t>(input.dtype)) + " data for " + role +
                  ": give it with --inputs, or use --zeros");
  }
  const size_t elements = input.size / bmrt_data_type_size(static_cast<bm_data_type_t>(input.dtype));
  if (elements > static_cast<size_t>(INT_MAX)) {
    throw Failure(role + " has " + std::to_string(elements) +
                  " elements, more than the generator fills at once: give it with --inputs, or use --zeros");
  }
  gen_data(bytes.data(), static_cast<int>(elements), input.dtype, kRandomFill);
  return bytes;
}

void upload(minirun::vexoruntime runtime, size_t index, VexoTensor& input, void* data,
            const std::string& role) {
  minirun::vexoruntime_set_input_s2d(runtime, index, data, input.size);
  if (!input.is_in_device || input.data != data) {
    throw Failure("cannot upload " + role + " to the device (the library's log says why)");
  }
}

}  // namespace

std::string input_role(size_t index, const VexoTensor& input) {
  return "input " + std::to_string(index) + " " + input.name;
}

InputData feed_inputs(minirun::vexoruntime runtime, const std::vector<VexoTensor*>& inputs,
                      const InputChoice& choice) {
  InputData data;
  if (!choice.files.empty() && choice.files.size() != inputs.size()) {
    std::string names;
    for (size_t i = 0; i < inputs.size(); ++i) names += (i ? ", " : "") + std::string(inputs[i]->name);
    throw Failure(std::to_string(choice.files.size()) + " input files given, but the stage takes " +
                  std::to_string(inputs.size()) + " (" + names + "): one file per input, in input order");
  }
  const bool random = choice.files.empty() && !choice.zeros;
  if (random) set_seed(choice.seed);
  for (size_t i = 0; i < inputs.size(); ++i) {
    VexoTensor& input = *inputs[i];
    const std::string role = input_role(i, input);
    if (!choice.files.empty()) {
      data.loaded.push_back(load_tensor_file(choice.files[i], input, role));
      upload(runtime, i, input, data.loaded.back()->data, role);
      data.sources.push_back("from " + choice.files[i]);
    } else {
      data.generated.push_back(generated_bytes(input, role, choice.zeros));
      upload(runtime, i, input, data.generated.back().data(), role);
      data.sources.push_back(random ? "random, seed " + std::to_string(choice.seed) : "zeros");
    }
  }
  return data;
}

}  // namespace vexo::run_tool
