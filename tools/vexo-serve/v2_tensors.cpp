#include "v2_tensors.h"

#include <cstring>
#include <limits>

#include "requests.h"
#include "src/utils/fp16.h"
#include "vexo.h"

namespace vexo::serve {

using nlohmann::json;

namespace {

struct TypeName {
  int dtype;
  const char* name;
  size_t size;
};

const TypeName kTypes[] = {{BM_FLOAT32, "FP32", 4}, {BM_FLOAT16, "FP16", 2}, {BM_BFLOAT16, "BF16", 2},
                           {BM_INT8, "INT8", 1},    {BM_UINT8, "UINT8", 1},   {BM_INT16, "INT16", 2},
                           {BM_UINT16, "UINT16", 2}, {BM_INT32, "INT32", 4},  {BM_UINT32, "UINT32", 4}};

// Nested data deeper than any tensor's rank is refused before it is walked.
constexpr int kMaxDepth = 16;

[[noreturn]] void refuse(const std::string& input, const std::string& why) {
  throw ApiError::invalid("input '" + input + "': " + why);
}

void flatten(const json& data, std::vector<const json*>& out, int depth, const std::string& input) {
  if (!data.is_array()) {
    out.push_back(&data);
    return;
  }
  if (depth >= kMaxDepth) refuse(input, "'data' is nested deeper than " + std::to_string(kMaxDepth));
  for (const json& item : data) flatten(item, out, depth + 1, input);
}

template <typename T>
void store_integer(const json& value, uint8_t* out, const std::string& input, const char* datatype) {
  bool fits = false;
  if (value.is_number_unsigned()) {
    fits = value.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<T>::max());
  } else if (value.is_number_integer()) {
    const int64_t x = value.get<int64_t>();
    fits = x >= static_cast<int64_t>(std::numeric_limits<T>::min()) &&
           (x < 0 || static_cast<uint64_t>(x) <= static_cast<uint64_t>(std::numeric_limits<T>::max()));
  }
  if (!fits) refuse(input, value.dump() + " is not a value of " + datatype);
  const T x = value.is_number_unsigned() ? static_cast<T>(value.get<uint64_t>()) : static_cast<T>(value.get<int64_t>());
  std::memcpy(out, &x, sizeof x);
}

// One element of `dtype` from a number; floats arrive as FP32 and are
// rounded to the input's type.
void store(int dtype, const json& value, uint8_t* out, const std::string& input) {
  const std::string datatype = v2_datatype(dtype);
  switch (dtype) {
    case BM_INT8: return store_integer<int8_t>(value, out, input, "INT8");
    case BM_UINT8: return store_integer<uint8_t>(value, out, input, "UINT8");
    case BM_INT16: return store_integer<int16_t>(value, out, input, "INT16");
    case BM_UINT16: return store_integer<uint16_t>(value, out, input, "UINT16");
    case BM_INT32: return store_integer<int32_t>(value, out, input, "INT32");
    case BM_UINT32: return store_integer<uint32_t>(value, out, input, "UINT32");
    default: break;
  }
  if (!value.is_number()) refuse(input, value.dump() + " is not a number");
  fp32 single;
  single.fval = static_cast<float>(value.get<double>());
  if (dtype == BM_FLOAT32) {
    std::memcpy(out, &single.fval, 4);
  } else {
    const uint16_t bits = dtype == BM_FLOAT16 ? fp32_to_fp16(single).bits : fp32_to_bf16(single).bits;
    std::memcpy(out, &bits, 2);
  }
}

}  // namespace

std::string v2_datatype(int dtype) {
  for (const TypeName& type : kTypes) {
    if (type.dtype == dtype) return type.name;
  }
  return "";
}

size_t v2_element_size(const std::string& datatype) {
  for (const TypeName& type : kTypes) {
    if (datatype == type.name) return type.size;
  }
  return 0;
}

int64_t v2_elements(const std::vector<int64_t>& shape) {
  int64_t count = 1;
  for (const int64_t dim : shape) {
    if (dim < 0 || (dim > 0 && count > std::numeric_limits<int64_t>::max() / dim)) return -1;
    count *= dim;
  }
  return count;
}

std::vector<uint8_t> v2_input_bytes(const std::string& name, const std::string& datatype, int dtype,
                                    int64_t elements, const json* data, const std::string* raw) {
  const std::string takes = v2_datatype(dtype);
  if (takes.empty()) refuse(name, "the model takes 4-bit data, which the protocol cannot carry");
  const bool widened = datatype == "FP32" && (dtype == BM_FLOAT16 || dtype == BM_BFLOAT16);
  if (datatype != takes && !widened) refuse(name, "the model takes " + takes + " data, not " + datatype);
  const size_t size = v2_element_size(takes);
  std::vector<uint8_t> bytes(static_cast<size_t>(elements) * size);
  if (raw) {
    const size_t given = v2_element_size(datatype);
    if (raw->size() != static_cast<size_t>(elements) * given) {
      refuse(name, std::to_string(raw->size()) + " bytes of binary data for " + std::to_string(elements) + " " +
                       datatype + " elements");
    }
    if (!widened) {
      std::memcpy(bytes.data(), raw->data(), raw->size());
      return bytes;
    }
    for (int64_t i = 0; i < elements; ++i) {
      float value;
      std::memcpy(&value, raw->data() + i * 4, 4);
      store(dtype, json(value), bytes.data() + i * size, name);
    }
    return bytes;
  }
  std::vector<const json*> values;
  flatten(*data, values, 0, name);
  if (values.size() != static_cast<size_t>(elements)) {
    refuse(name, "'data' holds " + std::to_string(values.size()) + " elements and the shape " +
                     std::to_string(elements));
  }
  for (size_t i = 0; i < values.size(); ++i) store(dtype, *values[i], bytes.data() + i * size, name);
  return bytes;
}

json v2_output_data(int dtype, const uint8_t* bytes, size_t size) {
  json data = json::array();
  const auto each = [&](size_t width, auto read) {
    for (size_t offset = 0; offset + width <= size; offset += width) data.push_back(read(bytes + offset));
  };
  const auto as = [](auto zero) {
    return [](const uint8_t* p) {
      decltype(zero) x;
      std::memcpy(&x, p, sizeof x);
      return x;
    };
  };
  switch (dtype) {
    case BM_FLOAT32: each(4, as(float())); break;
    case BM_INT8: each(1, as(int8_t())); break;
    case BM_UINT8: each(1, as(uint8_t())); break;
    case BM_INT16: each(2, as(int16_t())); break;
    case BM_UINT16: each(2, as(uint16_t())); break;
    case BM_INT32: each(4, as(int32_t())); break;
    case BM_UINT32: each(4, as(uint32_t())); break;
    case BM_FLOAT16:
    case BM_BFLOAT16:
      each(2, [dtype](const uint8_t* p) {
        uint16_t bits;
        std::memcpy(&bits, p, 2);
        return dtype == BM_FLOAT16 ? fp16_to_fp32(fp16{bits}).fval : bf16_to_fp32(bf16{bits}).fval;
      });
      break;
    default: break;
  }
  return data;
}

}  // namespace vexo::serve
