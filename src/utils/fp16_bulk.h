// Array conversions between single precision and the two 16-bit floating
// formats, element for element the conversions of fp16.h (NaN rules
// and rounding included). On processors with F16C and AVX (checked once) the
// half conversions run in hardware; on x86-64 bfloat16 to single runs in
// SSE2, and single to bfloat16 in AVX2 where the processor has it; elsewhere,
// or when forced, the portable loops run. Outputs of several MiB
// are written with streaming stores, which bypass the cache.
#pragma once

#include <cstdint>

namespace fp16_bulk {

// Sources need no alignment; count is in elements.
void halves_to_singles(const void* src, float* dst, uint64_t count);
void bf16s_to_singles(const void* src, float* dst, uint64_t count);
void singles_to_halves(const float* src, uint16_t* dst, uint64_t count);
void singles_to_bf16s(const float* src, uint16_t* dst, uint64_t count);

// For the tests, which check both paths on any machine: whether this
// processor has the hardware half conversions and AVX2, and a switch that
// makes every conversion take the portable loops (off by default; not
// thread-safe).
bool has_hardware_halves();
bool has_avx2();
void force_portable(bool portable);

}  // namespace fp16_bulk
