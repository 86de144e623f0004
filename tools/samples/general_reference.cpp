#include "general_reference.h"

#include <cstring>
#include <stdexcept>

#include "samples.h"

namespace vexo::samples {

namespace {

std::vector<int32_t> int32_values(const Bytes& bytes) {
  std::vector<int32_t> values(bytes.size() / sizeof(int32_t));
  if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * sizeof(int32_t));
  return values;
}

// Distinct, easily told apart inputs: ids spread over the table, rows taken
// from it (so every half-precision value is a normal number), counting bytes.
Bytes reference_input(const std::string& net, const TensorSpec& input) {
  const uint32_t rows = input.shape.empty() ? 0 : static_cast<uint32_t>(input.shape[0]);
  if (net == "embed") {
    std::vector<int32_t> ids(rows);
    for (uint32_t k = 0; k < rows; ++k) ids[k] = static_cast<int32_t>((5 + 7 * k) % kEmbedVocab);
    return bytes_of(ids);
  }
  if (net == "reverse") {
    Bytes bytes;
    for (uint32_t k = 0; k < rows; ++k) {
      const Bytes row = embed_row((2 + 3 * k) % kEmbedVocab);
      bytes.insert(bytes.end(), row.begin(), row.end());
    }
    return bytes;
  }
  if (net == "pad") return Bytes{0x11, 0x22, 0x33, 0x44};
  throw std::invalid_argument("the general sample has no net " + net);
}

}  // namespace

std::vector<Bytes> general_expected_outputs(const std::string& net, const std::vector<Bytes>& inputs) {
  if (inputs.size() != 1) throw std::invalid_argument("every net of the general sample has one input");
  const Bytes& input = inputs[0];
  if (net == "embed") {
    Bytes rows;
    const std::vector<int32_t> ids = int32_values(input);
    for (const int32_t id : ids) {
      if (id < 0 || static_cast<uint32_t>(id) >= kEmbedVocab) {
        throw std::out_of_range("id " + std::to_string(id) + " is outside the embedding table");
      }
      const Bytes row = embed_row(static_cast<uint32_t>(id));
      rows.insert(rows.end(), row.begin(), row.end());
    }
    return {rows, bytes_of(std::vector<int32_t>(ids.size(), 1))};
  }
  if (net == "reverse") {
    Bytes reversed;
    for (size_t end = input.size(); end >= kEmbedRowBytes; end -= kEmbedRowBytes) {
      reversed.insert(reversed.end(), input.begin() + (end - kEmbedRowBytes), input.begin() + end);
    }
    return {reversed};
  }
  if (net == "pad") {
    Bytes padded = input;
    padded.insert(padded.end(), 4, 0xEE);
    return {padded};
  }
  throw std::invalid_argument("the general sample has no net " + net);
}

std::vector<ReferenceCase> general_reference_cases() {
  std::vector<ReferenceCase> cases;
  for (const NetSpec& net : general_sample().nets) {
    for (uint32_t stage = 0; stage < net.stages.size(); ++stage) {
      const StageSpec& spec = net.stages[stage];
      ReferenceCase c{net.name, stage, {}, {}};
      std::vector<Bytes> input_bytes;
      for (const TensorSpec& input : spec.inputs) {
        input_bytes.push_back(reference_input(net.name, input));
        c.inputs.push_back(TensorData{input, input_bytes.back()});
      }
      const std::vector<Bytes> outputs = general_expected_outputs(net.name, input_bytes);
      for (size_t i = 0; i < spec.outputs.size(); ++i)
        c.expected.push_back(TensorData{spec.outputs[i], outputs.at(i)});
      cases.push_back(std::move(c));
    }
  }
  return cases;
}

}  // namespace vexo::samples
