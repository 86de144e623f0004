#include "compare.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "utils/datagen.h"

namespace vexo::run_tool {

namespace {

bool is_floating(int dtype) { return dtype == BM_FLOAT32 || dtype == BM_FLOAT16 || dtype == BM_BFLOAT16; }

template <typename T>
int64_t read_as(const uint8_t* data, size_t index) {
  T value;
  std::memcpy(&value, data + index * sizeof(T), sizeof(T));
  return static_cast<int64_t>(value);
}

// Integer elements widened without loss (float would round 32-bit values).
// 4-bit types and unknown codes are compared byte by byte.
struct IntegerElements {
  int64_t (*read)(const uint8_t*, size_t);
  size_t width;
};

IntegerElements integer_elements(int dtype) {
  switch (dtype) {
    case BM_INT8:
      return {read_as<int8_t>, 1};
    case BM_INT16:
      return {read_as<int16_t>, 2};
    case BM_UINT16:
      return {read_as<uint16_t>, 2};
    case BM_INT32:
      return {read_as<int32_t>, 4};
    case BM_UINT32:
      return {read_as<uint32_t>, 4};
    default:
      return {read_as<uint8_t>, 1};
  }
}

// Records the element if it is the worst so far.
void consider(Difference& result, size_t index, double difference, double got, double expected) {
  if (index == 0 || difference > result.worst) {
    result.worst = difference;
    result.worst_index = index;
    result.got = got;
    result.expected = expected;
  }
}

Difference compare_floating(const minitensor::VexoTensor& got, const minitensor::VexoTensor& expected,
                            double tolerance) {
  Difference result;
  result.elements = got.size / bmrt_data_type_size(static_cast<bm_data_type_t>(got.dtype));
  std::vector<float> a(result.elements), b(result.elements);
  data_convert_to_fp32(got.data, a.data(), got.dtype, result.elements);
  data_convert_to_fp32(expected.data, b.data(), expected.dtype, result.elements);
  for (size_t i = 0; i < result.elements; ++i) {
    const double x = a[i], y = b[i];
    double difference = 0;
    bool within = true;
    if (std::isnan(x) || std::isnan(y)) {
      within = std::isnan(x) && std::isnan(y);
      difference = within ? 0 : std::numeric_limits<double>::infinity();
    } else if (x != y) {  // equal infinities differ by nothing
      difference = std::fabs(x - y);
      within = difference <= tolerance * (1 + std::fabs(y));
    }
    if (!within) ++result.outside;
    consider(result, i, difference, x, y);
  }
  return result;
}

Difference compare_integers(const minitensor::VexoTensor& got, const minitensor::VexoTensor& expected) {
  Difference result;
  result.exact = true;
  const IntegerElements elements = integer_elements(got.dtype);
  result.elements = got.size / elements.width;
  const auto* a = static_cast<const uint8_t*>(got.data);
  const auto* b = static_cast<const uint8_t*>(expected.data);
  for (size_t i = 0; i < result.elements; ++i) {
    const int64_t x = elements.read(a, i), y = elements.read(b, i);
    if (x != y) ++result.outside;
    consider(result, i, std::fabs(static_cast<double>(x - y)), static_cast<double>(x),
             static_cast<double>(y));
  }
  return result;
}

}  // namespace

Difference compare(const minitensor::VexoTensor& got, const minitensor::VexoTensor& expected,
                   double tolerance) {
  return is_floating(got.dtype) ? compare_floating(got, expected, tolerance)
                                : compare_integers(got, expected);
}

}  // namespace vexo::run_tool
