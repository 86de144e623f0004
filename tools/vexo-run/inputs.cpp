#include "inputs.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include "common/format.h"
#include "common/tool.h"
#include "utils/datagen.h"
#include "utils/utils.h"

namespace vexo::run_tool {

using vexo::tool::Failure;
using vexo::tool::UsageFailure;

namespace {

constexpr int kRandomFill = 2;

// The generator refuses 4-bit types (it throws), and knows no other codes.
bool can_generate(int dtype) { return dtype >= BM_FLOAT32 && dtype <= BM_BFLOAT16; }

std::string type_name(int dtype) { return vexo::tool::element_type_name(static_cast<uint32_t>(dtype)); }

size_t element_count(const StageTensor& input) {
  return input.size / bmrt_data_type_size(static_cast<bm_data_type_t>(input.dtype));
}

bool parse_number(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return *end == '\0' && std::isfinite(value);
}

// The integers an element type holds.
struct IntegerLimits {
  double low, high;
};

bool integer_limits(int dtype, IntegerLimits& limits) {
  switch (dtype) {
    case BM_INT8:
      limits = {-128, 127};
      return true;
    case BM_UINT8:
      limits = {0, 255};
      return true;
    case BM_INT16:
      limits = {-32768, 32767};
      return true;
    case BM_UINT16:
      limits = {0, 65535};
      return true;
    case BM_INT32:
      limits = {-2147483648.0, 2147483647.0};
      return true;
    case BM_UINT32:
      limits = {0, 4294967295.0};
      return true;
    default:
      return false;
  }
}

template <typename T>
void store(uint8_t* bytes, size_t index, T value) {
  std::memcpy(bytes + index * sizeof(T), &value, sizeof(T));
}

// A single-precision value rounded to the nearest bfloat16 (ties to even);
// the values generated here are finite.
uint16_t to_bfloat16(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return static_cast<uint16_t>((bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16);
}

void fill_floats(uint8_t* bytes, size_t elements, int dtype, const RandomRange& range,
                 std::mt19937_64& engine) {
  std::uniform_real_distribution<double> distribution(range.low, range.high);
  for (size_t i = 0; i < elements; ++i) {
    const auto value = static_cast<float>(range.low == range.high ? range.low : distribution(engine));
    if (dtype == BM_FLOAT32) {
      store(bytes, i, value);
    } else if (dtype == BM_FLOAT16) {
      store(bytes, i, static_cast<_Float16>(value));
    } else {
      store(bytes, i, to_bfloat16(value));
    }
  }
}

void fill_integers(uint8_t* bytes, size_t elements, int dtype, const RandomRange& range,
                   const std::string& role, std::mt19937_64& engine) {
  IntegerLimits limits{};
  integer_limits(dtype, limits);
  const double low = std::ceil(range.low), high = std::floor(range.high);
  if (low > high) throw Failure("the range " + range.text + " holds no integer for " + role);
  if (low < limits.low || high > limits.high) {
    throw Failure("the range " + range.text + " does not fit " + type_name(dtype) + " " + role);
  }
  std::uniform_int_distribution<int64_t> distribution(static_cast<int64_t>(low), static_cast<int64_t>(high));
  for (size_t i = 0; i < elements; ++i) {
    const int64_t value = distribution(engine);
    switch (dtype) {
      case BM_INT8:
        store(bytes, i, static_cast<int8_t>(value));
        break;
      case BM_UINT8:
        store(bytes, i, static_cast<uint8_t>(value));
        break;
      case BM_INT16:
        store(bytes, i, static_cast<int16_t>(value));
        break;
      case BM_UINT16:
        store(bytes, i, static_cast<uint16_t>(value));
        break;
      case BM_INT32:
        store(bytes, i, static_cast<int32_t>(value));
        break;
      default:
        store(bytes, i, static_cast<uint32_t>(value));
        break;
    }
  }
}

std::vector<uint8_t> generated_bytes(const StageTensor& input, const std::string& role, bool zeros,
                                     const RandomRange* range, std::mt19937_64& engine) {
  std::vector<uint8_t> bytes(input.size);  // all-zero bytes are zero in every element type
  if (zeros) return bytes;
  if (!can_generate(input.dtype)) {
    throw Failure("cannot generate random " + type_name(input.dtype) + " data for " + role +
                  ": give it with --inputs, or use --zeros");
  }
  const size_t elements = element_count(input);
  if (range) {
    IntegerLimits limits{};
    if (integer_limits(input.dtype, limits)) {
      fill_integers(bytes.data(), elements, input.dtype, *range, role, engine);
    } else {
      fill_floats(bytes.data(), elements, input.dtype, *range, engine);
    }
    return bytes;
  }
  if (elements > static_cast<size_t>(INT_MAX)) {
    throw Failure(role + " has " + std::to_string(elements) +
                  " elements, more than the generator fills at once: give it with --inputs, or use --zeros");
  }
  gen_data(bytes.data(), static_cast<int>(elements), input.dtype, kRandomFill);
  return bytes;
}

void upload(minirun::vexoruntime runtime, size_t index, const StageTensor& input, void* data,
            const std::string& role) {
  minirun::vexoruntime_set_input_s2d(runtime, index, data, input.size);
  if (!input.record->is_in_device || input.record->data != data) {
    throw Failure("cannot upload " + role + " to the device" + vexo::tool::library_reason());
  }
}

std::string input_names(const std::vector<StageTensor>& inputs) {
  std::string names;
  for (size_t i = 0; i < inputs.size(); ++i) names += (i ? ", " : "") + inputs[i].name;
  return names;
}

// The file of each input given as NAME=FILE (an entry is named when the text
// before its first '=' names an input), or every input's file in order.
std::vector<std::string> files_by_input(const std::vector<StageTensor>& inputs, const InputChoice& choice) {
  std::vector<std::string> files(inputs.size());
  if (choice.files.empty()) return files;
  std::map<std::string, size_t> index;
  for (size_t i = 0; i < inputs.size(); ++i) index.emplace(inputs[i].name, i);
  size_t named = 0;
  for (const std::string& entry : choice.files) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) continue;
    const auto found = index.find(entry.substr(0, equals));
    if (found == index.end()) continue;
    if (!files[found->second].empty()) {
      throw UsageFailure("--inputs names " + found->first + " twice");
    }
    files[found->second] = entry.substr(equals + 1);
    ++named;
  }
  if (named == choice.files.size()) return files;
  if (named) {
    throw UsageFailure("--inputs mixes NAME=FILE entries with files in input order; the stage's inputs: " +
                       input_names(inputs));
  }
  if (choice.zeros || choice.seeded || !choice.ranges.empty()) {
    throw UsageFailure(
        "--inputs with a file for every input in input order excludes --random, "
        "--random-range and --zeros: nothing is left to generate");
  }
  if (choice.files.size() != inputs.size()) {
    throw Failure(std::to_string(choice.files.size()) + " input files given, but the stage takes " +
                  std::to_string(inputs.size()) + " (" + input_names(inputs) +
                  "): one file per input, in input order, or NAME=FILE");
  }
  return choice.files;
}

// The range for each input: its own, else the one for every input, else none.
std::vector<const RandomRange*> ranges_by_input(const std::vector<StageTensor>& inputs,
                                                const InputChoice& choice) {
  const RandomRange* every = nullptr;
  std::map<std::string, const RandomRange*> own;
  for (const RandomRange& range : choice.ranges) {
    if (range.input.empty()) {
      every = &range;
    } else {
      own[range.input] = &range;
    }
  }
  std::vector<const RandomRange*> ranges(inputs.size(), every);
  for (size_t i = 0; i < inputs.size(); ++i) {
    const auto found = own.find(inputs[i].name);
    if (found != own.end()) {
      ranges[i] = found->second;
      own.erase(found);
    }
  }
  if (!own.empty()) {
    throw UsageFailure("--random-range names " + own.begin()->first +
                       ", which is not an input of the stage (its inputs: " + input_names(inputs) + ")");
  }
  return ranges;
}

}  // namespace

RandomRange parse_random_range(const std::string& text) {
  RandomRange range;
  range.text = text;
  const size_t colon = text.rfind(':');
  const std::string numbers = colon == std::string::npos ? text : text.substr(colon + 1);
  if (colon != std::string::npos) {
    range.input = text.substr(0, colon);
    if (range.input.empty())
      throw UsageFailure("--random-range " + text + ": the input name before ':' is empty");
  }
  const size_t comma = numbers.find(',');
  if (comma == std::string::npos || !parse_number(numbers.substr(0, comma), range.low) ||
      !parse_number(numbers.substr(comma + 1), range.high)) {
    throw UsageFailure("--random-range " + text + " is not [NAME:]LO,HI with two numbers");
  }
  if (range.low > range.high) {
    throw UsageFailure("--random-range " + text + ": the low end is above the high end");
  }
  return range;
}

std::string input_role(size_t index, const StageTensor& input) {
  return "input " + std::to_string(index) + " " + input.name;
}

InputData feed_inputs(minirun::vexoruntime runtime, const std::vector<StageTensor>& inputs,
                      const InputChoice& choice) {
  InputData data;
  const std::vector<std::string> files = files_by_input(inputs, choice);
  const std::vector<const RandomRange*> ranges = ranges_by_input(inputs, choice);
  set_seed(choice.seed);
  std::mt19937_64 engine(static_cast<uint64_t>(static_cast<uint32_t>(choice.seed)));
  for (size_t i = 0; i < inputs.size(); ++i) {
    const StageTensor& input = inputs[i];
    const std::string role = input_role(i, input);
    if (!files[i].empty()) {
      data.loaded.push_back(load_tensor_file(files[i], input, role));
      upload(runtime, i, input, data.loaded.back()->data, role);
      data.sources.push_back("from " + files[i]);
      continue;
    }
    const RandomRange* range = choice.zeros ? nullptr : ranges[i];
    data.generated.push_back(generated_bytes(input, role, choice.zeros, range, engine));
    upload(runtime, i, input, data.generated.back().data(), role);
    std::string source = choice.zeros ? "zeros" : "random, seed " + std::to_string(choice.seed);
    if (range) source += ", range " + range->text.substr(range->input.empty() ? 0 : range->input.size() + 1);
    data.sources.push_back(source);
  }
  return data;
}

}  // namespace vexo::run_tool
