// Half-precision and bfloat16 values and their bit-exact conversions to and
// from single precision. Internal to the library; inline so that conversion
// loops vectorise.
//
// The single-to-half rounding is done by single-precision arithmetic and so
// relies on the default floating-point environment: round to nearest even,
// subnormals neither flushed nor treated as zero.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

union fp16 {
  uint16_t bits;
  struct {
    uint16_t frac : 10;
    uint16_t exp : 5;
    uint16_t sign : 1;
  } format;
};

union bf16 {
  uint16_t bits;
  struct {
    uint16_t frac : 7;
    uint16_t exp : 8;
    uint16_t sign : 1;
  } format;
};

union fp32 {
  float fval;
  uint32_t bits;
  struct {
    uint32_t frac : 23;
    uint32_t exp : 8;
    uint32_t sign : 1;
  } format;
};

inline float fp32_from_bits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline uint32_t fp32_to_bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

namespace fp16_internal {

// Chooses if_true or if_false by a mask rather than a conditional: a conditional with
// a floating-point operation on one side stays a branch (the compiler may not
// execute that operation speculatively), and the branch stops vectorisation.
inline uint32_t select_bits(bool condition, uint32_t if_true, uint32_t if_false) {
  const uint32_t mask = 0u - static_cast<uint32_t>(condition);
  return (if_true & mask) | (if_false & ~mask);
}

}  // namespace fp16_internal

// The exact single-precision bits of a half; infinities keep their sign and
// NaNs their payload (the quiet bit is not forced).
inline uint32_t fp16_ieee_to_fp32_bits(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  // Signed, so that vectorised comparisons need no unsigned adjustment.
  const int32_t magnitude = h & 0x7FFF;
  // Normal halves move their exponent from bias 15 to bias 127; the top
  // exponent (infinity, NaN) becomes the top single exponent.
  const uint32_t top_exponent = fp16_internal::select_bits(magnitude >= 0x7C00, 0x7F800000u, 0u);
  const uint32_t rebiased = ((static_cast<uint32_t>(magnitude) << 13) + 0x38000000u) | top_exponent;
  // A subnormal half is its 10-bit fraction times 2^-24, which single
  // precision holds exactly as a normal number; this also maps 0 to +0. An
  // integer conversion, not a subnormal single, so that a flush-to-zero
  // floating-point mode cannot change it. Computed for every half and
  // selected, rather than found by counting leading zeros, so that loops
  // vectorise.
  const uint32_t subnormal = fp32_to_bits(static_cast<float>(magnitude) * 0x1p-24f);
  return sign | fp16_internal::select_bits(magnitude < 0x0400, subnormal, rebiased);
}

// Round to nearest even; magnitudes from 65520 up become infinity. The final
// addition rounds the value to the half's precision: its addend fixes the
// position of the last kept bit. Branch-free, so that loops vectorise.
inline uint16_t fp16_ieee_from_fp32_value(float f) {
  const float scale_to_inf = 0x1p112f;
  const float scale_to_zero = 0x1p-110f;
  float base = (std::fabs(f) * scale_to_inf) * scale_to_zero;

  const uint32_t w = fp32_to_bits(f);
  const uint32_t shl1_w = w + w;
  const uint32_t sign = w & 0x80000000u;
  uint32_t bias = shl1_w & 0xFF000000u;
  bias = fp16_internal::select_bits(bias < 0x71000000u, 0x71000000u, bias);

  base = fp32_from_bits((bias >> 1) + 0x07800000u) + base;
  const uint32_t bits = fp32_to_bits(base);
  const uint32_t exp_bits = (bits >> 13) & 0x00007C00u;
  const uint32_t mantissa_bits = bits & 0x00000FFFu;
  const uint32_t nonsign = exp_bits + mantissa_bits;
  return static_cast<uint16_t>((sign >> 16) | fp16_internal::select_bits(shl1_w > 0xFF000000u, 0x7E00u, nonsign));
}

// Every NaN half becomes the negative quiet NaN 0xFFC00000.
inline fp32 fp16_to_fp32(fp16 h) {
  const bool is_nan = (h.bits & 0x7FFF) > 0x7C00;
  fp32 result;
  result.bits = fp16_internal::select_bits(is_nan, 0xFFC00000u, fp16_ieee_to_fp32_bits(h.bits));
  return result;
}

// Every NaN single becomes 0x7FFF.
inline fp16 fp32_to_fp16(fp32 f) {
  const bool is_nan = (f.bits & 0x7FFFFFFFu) > 0x7F800000u;
  fp16 result;
  result.bits = static_cast<uint16_t>(
      fp16_internal::select_bits(is_nan, 0x7FFFu, fp16_ieee_from_fp32_value(fp32_from_bits(f.bits))));
  return result;
}

inline fp32 bf16_to_fp32(bf16 b) {
  fp32 result;
  result.bits = static_cast<uint32_t>(b.bits) << 16;
  return result;
}

// Round to nearest even on the upper 16 bits; NaNs become 0x7FFF and
// subnormals a zero of their sign. Every case is computed and one selected,
// so that loops vectorise.
inline bf16 fp32_to_bf16(fp32 f) {
  const uint32_t bits = f.bits;
  const uint32_t exponent = (bits >> 23) & 0xFFu;
  const uint32_t mantissa = bits & 0x7FFFFFu;
  // 2^17 plus a value in [2, 4): the sum keeps exactly 7 fraction bits of
  // the mantissa, rounded; its low 9 bits are then 128 plus the rounded
  // fraction (0 to 128, where 128 carries into the exponent).
  const uint32_t sign_exp = (bits >> 16) & 0xFF80u;
  const float base = fp32_from_bits(0x48000000u) + fp32_from_bits(mantissa | 0x40000000u);
  const uint32_t rounded = sign_exp + (fp32_to_bits(base) & 0x1FFu) - 0x80u;
  const uint32_t top = fp16_internal::select_bits(mantissa != 0, 0x7FFFu, bits >> 16);
  const uint32_t zero = (bits >> 16) & 0x8000u;
  bf16 result;
  result.bits = static_cast<uint16_t>(fp16_internal::select_bits(
      exponent == 0xFFu, top, fp16_internal::select_bits(exponent == 0, zero, rounded)));
  return result;
}
