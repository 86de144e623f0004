#include "utils/datagen.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <type_traits>

#include "src/utils/element_loop.h"
#include "src/utils/fp16.h"
#include "src/utils/fp16_bulk.h"
#include "src/utils/guard.h"
#include "src/utils/logs.h"

size_t bmrt_data_type_size(bm_data_type_t dtype) {
  switch (dtype) {
    case BM_FLOAT32:
    case BM_INT32:
    case BM_UINT32:
      return 4;
    case BM_FLOAT16:
    case BM_INT16:
    case BM_UINT16:
    case BM_BFLOAT16:
      return 2;
    case BM_INT8:
    case BM_UINT8:
    case BM_INT4:
    case BM_UINT4:
      return 1;
  }
  const std::string message = "unknown element type: " + std::to_string(static_cast<int>(dtype));
  minilog::log_error(message);
  throw std::invalid_argument(message);
}

namespace {

template <typename Dim>
size_t tensor_bytes(const Dim* shapes, int ndim, int dtype) {
  uint64_t count = 1;
  for (int i = 0; i < ndim; ++i) count *= static_cast<uint64_t>(shapes[i]);
  return count * bmrt_data_type_size(static_cast<bm_data_type_t>(dtype));
}

}  // namespace

size_t get_data_size(int* shapes, int ndim, bm_data_type_t dtype) { return tensor_bytes(shapes, ndim, dtype); }
size_t get_data_size(int* shapes, int ndim, sg_data_type_t dtype) { return tensor_bytes(shapes, ndim, dtype); }
size_t get_data_size(int* shapes, int ndim, int dtype) { return tensor_bytes(shapes, ndim, dtype); }
size_t get_data_size(uint64_t* shapes, int ndim, int dtype) { return tensor_bytes(shapes, ndim, dtype); }

namespace {

template <typename Source>
void widen_to_int(const void* from, int* dst, uint64_t count) {
  element_loop::transform<Source>(from, dst, count, [](Source v) { return static_cast<int>(v); });
}

}  // namespace

void mm_to_int(void* from, int* dst, u64 len, int dtype) {
  switch (dtype) {
    case BM_INT8: return widen_to_int<int8_t>(from, dst, len);
    case BM_UINT8: return widen_to_int<uint8_t>(from, dst, len);
    case BM_INT16: return widen_to_int<int16_t>(from, dst, len);
    case BM_UINT16: return widen_to_int<uint16_t>(from, dst, len);
    case BM_UINT32: return widen_to_int<uint32_t>(from, dst, len);
    default: return widen_to_int<int32_t>(from, dst, len);
  }
}

namespace {

// How one element of a type is stored and converted to single precision.
template <typename Float16, fp32 (*ToFp32)(Float16)>
struct Float16Source {
  using Storage = uint16_t;
  static float to_fp32(uint16_t v) {
    Float16 value;
    value.bits = v;
    return fp32_from_bits(ToFp32(value).bits);
  }
};
using HalfSource = Float16Source<fp16, fp16_to_fp32>;
using Bf16Source = Float16Source<bf16, bf16_to_fp32>;

template <typename Int>
struct IntSource {
  using Storage = Int;
  static float to_fp32(Int v) { return static_cast<float>(v); }
};

struct Fp32Source {
  using Storage = float;
  static float to_fp32(float v) { return v; }
};

// Calls visit with the source description of dtype; codes without a
// conversion of their own are read as single-precision floats.
template <typename Visit>
decltype(auto) with_fp32_source(int dtype, Visit&& visit) {
  switch (dtype) {
    case BM_FLOAT16: return visit(HalfSource{});
    case BM_BFLOAT16: return visit(Bf16Source{});
    case BM_INT8: return visit(IntSource<int8_t>{});
    case BM_UINT8: return visit(IntSource<uint8_t>{});
    case BM_INT16: return visit(IntSource<int16_t>{});
    case BM_UINT16: return visit(IntSource<uint16_t>{});
    case BM_INT32: return visit(IntSource<int32_t>{});
    case BM_UINT32: return visit(IntSource<uint32_t>{});
    default: return visit(Fp32Source{});
  }
}

void convert_elements_to_fp32(const void* from, float* dst, uint64_t count, int dtype) {
  if (dtype == BM_FLOAT16) return fp16_bulk::halves_to_singles(from, dst, count);
  if (dtype == BM_BFLOAT16) return fp16_bulk::bf16s_to_singles(from, dst, count);
  with_fp32_source(dtype, [&](auto source) {
    using Source = decltype(source);
    using Storage = typename Source::Storage;
    if constexpr (std::is_same_v<Storage, float>) {
      std::memcpy(dst, from, count * sizeof(float));
    } else {
      element_loop::transform<Storage>(from, dst, count, [](Storage v) { return Source::to_fp32(v); });
    }
  });
}

// The distance between elements of dtype in a packed array, when their
// single-precision conversion reads exactly one element; 4-bit types would be
// read as 4-byte floats straddling their neighbours, so they have none.
size_t fp32_source_stride(int dtype) {
  const size_t stride = bmrt_data_type_size(static_cast<bm_data_type_t>(dtype));
  const size_t read_width = with_fp32_source(dtype, [](auto source) {
    return sizeof(typename decltype(source)::Storage);
  });
  if (read_width != stride) {
    throw std::invalid_argument("element type " + std::to_string(dtype) + " has no single-precision conversion");
  }
  return stride;
}

template <typename T>
constexpr bool kSignedElement = std::is_same_v<T, char> || std::is_signed_v<T>;

template <typename T>
T random_element() {
  if constexpr (std::is_same_v<T, float>) {
    // Magnitude first, then the sign: two draws per element.
    const float unit = static_cast<float>(std::rand()) / 2147483648.0f;
    float value = static_cast<float>(static_cast<double>(unit) * 3.3);
    if (std::rand() % 2 != 0) value = -value;
    return value;
  } else if constexpr (kSignedElement<T>) {
    return static_cast<T>(std::rand() % 256 - 128);
  } else {
    return static_cast<T>(std::rand() % 256);
  }
}

// The element types the generator cannot produce are the caller's data, not
// a reason to end the process.
[[noreturn]] void refuse_generation(const char* message) {
  minilog::log_error(message);
  throw std::invalid_argument(message);
}

}  // namespace

void convert_to_fp32(void* from, float* dst, u32 len, int dtype) { convert_elements_to_fp32(from, dst, len, dtype); }

float convert_to_fp32(void* from, int dtype) {
  return with_fp32_source(dtype, [from](auto source) {
    using Source = decltype(source);
    return Source::to_fp32(element_loop::load<typename Source::Storage>(static_cast<const unsigned char*>(from)));
  });
}

void data_convert_to_fp32(void* src, void* target, int dtype, size_t size) {
  minilog::guarded("data_convert_to_fp32", [&] {
    fp32_source_stride(dtype);
    convert_elements_to_fp32(src, static_cast<float*>(target), size, dtype);
  });
}

void print_data_by_fp32(void* data, int /*size*/, int dtype, int start, int len) {
  minilog::guarded("print_data_by_fp32", [&] {
    const auto stride = static_cast<ptrdiff_t>(fp32_source_stride(dtype));
    auto& logger = minilog::Logger::getInstance().getDebugLogger();
    logger << "print data: ";
    // 64-bit bounds: start + len may pass the int range.
    const int64_t end = static_cast<int64_t>(start) + len;
    for (int64_t i = start; i < end; ++i) {
      logger << convert_to_fp32(static_cast<unsigned char*>(data) + i * stride, dtype) << " ";
    }
    logger << logger.endl();
  });
}

template <typename T>
void gen_data(T* data, int len, int random_type) {
  if (random_type == 0 || random_type == 1) {
    std::fill_n(data, std::max(len, 0), static_cast<T>(random_type));
    return;
  }
  for (int i = 0; i < len; ++i) data[i] = random_element<T>();
}

template void gen_data<float>(float*, int, int);
template void gen_data<char>(char*, int, int);
template void gen_data<unsigned char>(unsigned char*, int, int);
template void gen_data<short>(short*, int, int);
template void gen_data<unsigned short>(unsigned short*, int, int);
template void gen_data<int>(int*, int, int);
template void gen_data<unsigned int>(unsigned int*, int, int);

void gen_data(void* data, int len, int dtype, int random_type) {
  switch (dtype) {
    case BM_INT4:
    case BM_UINT4: refuse_generation("int4 uint4 not support");
    case SG_DTYPE_FP20: refuse_generation("fp20 not support");
    case BM_FLOAT32: return gen_data<float>(static_cast<float*>(data), len, random_type);
    case BM_INT8: return gen_data<char>(static_cast<char*>(data), len, random_type);
    case BM_UINT8: return gen_data<unsigned char>(static_cast<unsigned char*>(data), len, random_type);
    case BM_INT32: return gen_data<int>(static_cast<int*>(data), len, random_type);
    case BM_UINT32: return gen_data<unsigned int>(static_cast<unsigned int*>(data), len, random_type);
    case BM_UINT16: return gen_data<unsigned short>(static_cast<unsigned short*>(data), len, random_type);
    case BM_INT16: return gen_data<short>(static_cast<short*>(data), len, random_type);
    default: break;
  }
  // Half and bfloat16 (and any other code): random floats, rounded. A
  // negative len throws std::bad_array_new_length here.
  std::unique_ptr<float[]> values(new float[len]);
  gen_data<float>(values.get(), len, random_type);
  auto* out = static_cast<uint16_t*>(data);
  if (dtype == BM_FLOAT16) {
    fp16_bulk::singles_to_halves(values.get(), out, static_cast<uint64_t>(len));
  } else {
    fp16_bulk::singles_to_bf16s(values.get(), out, static_cast<uint64_t>(len));
  }
}
