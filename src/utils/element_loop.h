// The portable loop over packed element arrays that the conversions share.
#pragma once

#include <cstdint>
#include <cstring>

namespace element_loop {

template <typename T>
T load(const unsigned char* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// dst[i] = convert(i-th Source element of from). Element reads go through
// memcpy: sources need no alignment. Whole blocks of a fixed length come
// first: a loop whose trip count is a multiple of the vector width is one
// that -O2 vectorises.
template <typename Source, typename Out, typename Convert>
void transform(const void* from, Out* __restrict dst, uint64_t count, Convert convert) {
  const auto* __restrict src = static_cast<const unsigned char*>(from);
  constexpr uint64_t kBlock = 16;
  uint64_t i = 0;
  for (; count - i >= kBlock; i += kBlock) {
    for (uint64_t j = 0; j < kBlock; ++j) dst[i + j] = convert(load<Source>(src + (i + j) * sizeof(Source)));
  }
  for (; i < count; ++i) dst[i] = convert(load<Source>(src + i * sizeof(Source)));
}

}  // namespace element_loop
