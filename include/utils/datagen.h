// Element types: their codes and sizes, tensor byte sizes, widening and
// conversion of element arrays, and test data (zeros, ones or pseudo-random
// values of any element type).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "utils/export.h"
#include "vexo.h"

typedef uint32_t u32;
typedef uint64_t u64;

// Element type codes (bm_data_type_t) are declared in vexo.h.

typedef enum : int {
  SG_DTYPE_FP32 = 0,
  SG_DTYPE_FP16 = 1,
  SG_DTYPE_INT8 = 2,
  SG_DTYPE_UINT8 = 3,
  SG_DTYPE_INT16 = 4,
  SG_DTYPE_UINT16 = 5,
  SG_DTYPE_INT32 = 6,
  SG_DTYPE_UINT32 = 7,
  SG_DTYPE_BFP16 = 8,
  SG_DTYPE_INT4 = 9,
  SG_DTYPE_UINT4 = 10,
  SG_DTYPE_FP20 = 11,
  SG_DTYPE_UNKNOWN = -1
} sg_data_type_t;

// Bytes per element for codes 0 to 10 (4-bit types count a whole byte).
// Any other code logs an error and throws std::invalid_argument.
VEXO_API size_t bmrt_data_type_size(bm_data_type_t dtype);

// Byte size of a tensor: the product of the first ndim dimensions (modulo
// 2^64) times the element size; ndim <= 0 gives one element's size.
VEXO_API size_t get_data_size(int* shapes, int ndim, bm_data_type_t dtype);
VEXO_API size_t get_data_size(int* shapes, int ndim, sg_data_type_t dtype);
VEXO_API size_t get_data_size(int* shapes, int ndim, int dtype);
VEXO_API size_t get_data_size(uint64_t* shapes, int ndim, int dtype);

// Widens len elements to 32-bit integers. Codes other than the 8- and 16-bit
// integers and BM_UINT32 are read as 4-byte words.
VEXO_API void mm_to_int(void* from, int* dst, u64 len, int dtype);

// Fills len elements of type dtype: random_type 0 with zeros, 1 with ones,
// anything else with pseudo-random values from rand(). int4, uint4 and fp20
// cannot be generated: an error line, then std::invalid_argument.
VEXO_API void gen_data(void* data, int len, int dtype, int random_type);

// Instantiated for float, char, unsigned char, short, unsigned short, int and
// unsigned int. Random floats lie in [-3.3, 3.3], signed integers in
// [-128, 127], unsigned integers in [0, 255].
template <typename T>
VEXO_API void gen_data(T* data, int len, int random_type);

// Converts len elements to single precision, reading each with the width its
// type implies (codes without a conversion are copied as 4-byte floats).
VEXO_API void convert_to_fp32(void* from, float* dst, u32 len, int dtype);

// convert_to_fp32 (one element), data_convert_to_fp32 and print_data_by_fp32
// have C linkage and are declared in vexo.h.
