// Comparison of an output with its reference: exact for integer element
// types, within a tolerance for floating ones (float32, float16, bfloat16,
// compared in single precision).
#pragma once

#include <cstddef>

#include "runtime/minitensor.h"

namespace vexo::run_tool {

struct Difference {
  bool exact = false;  // integer elements, compared exactly
  size_t elements = 0;
  size_t outside = 0;      // elements beyond the tolerance
  size_t worst_index = 0;  // the element of the largest difference
  double worst = 0;        // |got - expected| there; infinite for a NaN against a number
  double got = 0;
  double expected = 0;
  bool matches() const { return outside == 0; }
};

// Compares two tensors of the same type and size, both with host data. A
// floating element passes when |got - expected| <= tolerance * (1 +
// |expected|); NaN passes only against NaN.
Difference compare(const minitensor::VexoTensor& got, const minitensor::VexoTensor& expected,
                   double tolerance);

}  // namespace vexo::run_tool
