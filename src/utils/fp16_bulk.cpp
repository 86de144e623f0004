#include "src/utils/fp16_bulk.h"

#include <cstddef>

#include "src/utils/element_loop.h"
#include "src/utils/fp16.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define VEXO_X86_64 1
// The F16C and AVX2 code is compiled for its instruction set function by
// function, so that the rest of the library still runs on processors without.
#define VEXO_F16C __attribute__((target("avx,f16c")))
#define VEXO_AVX2 __attribute__((target("avx2")))
#endif

namespace fp16_bulk {

namespace {

bool g_force_portable = false;

void halves_portable(const unsigned char* src, float* dst, uint64_t count) {
  element_loop::transform<uint16_t>(src, dst, count, [](uint16_t v) {
    fp16 h;
    h.bits = v;
    return fp32_from_bits(fp16_to_fp32(h).bits);
  });
}

void bf16s_portable(const unsigned char* src, float* dst, uint64_t count) {
  element_loop::transform<uint16_t>(src, dst, count, [](uint16_t v) {
    bf16 b;
    b.bits = v;
    return fp32_from_bits(bf16_to_fp32(b).bits);
  });
}

void singles_to_halves_portable(const float* src, uint16_t* dst, uint64_t count) {
  element_loop::transform<uint32_t>(src, dst, count, [](uint32_t v) {
    fp32 f;
    f.bits = v;
    return fp32_to_fp16(f).bits;
  });
}

void singles_to_bf16s_portable(const float* src, uint16_t* dst, uint64_t count) {
  element_loop::transform<uint32_t>(src, dst, count, [](uint32_t v) {
    fp32 f;
    f.bits = v;
    return fp32_to_bf16(f).bits;
  });
}

#if VEXO_X86_64

// Outputs from this size up are written with streaming stores: a conversion
// this large pushes its own output out of the cache anyway, and streaming
// stores save the read of every destination line that a plain store costs
// (a third of the memory traffic of half to single). Smaller outputs stay in
// the cache for the caller.
constexpr uint64_t kStreamBytes = uint64_t{8} << 20;

// How a vector loop of `lanes` elements covers an output: elements [0, head)
// go one by one so that streaming stores find the output aligned, [head, end)
// in vectors, the rest one by one.
struct Plan {
  bool stream = false;
  uint64_t head = 0;
  uint64_t end = 0;
};

template <typename Out>
Plan plan_for(const Out* dst, uint64_t count, uint64_t lanes, uintptr_t alignment) {
  Plan plan;
  const auto address = reinterpret_cast<uintptr_t>(dst);
  plan.stream = count >= kStreamBytes / sizeof(Out) && address % sizeof(Out) == 0;
  if (plan.stream) plan.head = (alignment - address % alignment) % alignment / sizeof(Out);
  plan.end = plan.head + (count - plan.head) / lanes * lanes;
  return plan;
}

// The conversions from single precision read two bytes for every byte they
// write; asking for the source a few pages ahead keeps more reads in flight
// than the hardware prefetcher does alone (measured: about a fifth less
// time for outputs of 128 MiB). A prefetch never faults, so the requests past
// the end of the source are harmless.
constexpr uint64_t kPrefetchBytes = 4096;

inline void prefetch_ahead(const float* src) {
  _mm_prefetch(reinterpret_cast<const char*>(src) + kPrefetchBytes, _MM_HINT_T0);
}

inline void store16(void* dst, __m128i v, bool stream) {
  if (stream) {
    _mm_stream_si128(static_cast<__m128i*>(dst), v);
  } else {
    _mm_storeu_si128(static_cast<__m128i*>(dst), v);
  }
}

// The NaN lanes of v replaced by `nan`; bitwise, because GCC turns the blend
// intrinsic of a comparison into a branch per lane.
VEXO_F16C inline __m256 replace_nans(__m256 v, __m256 nan) {
  const __m256 is_nan = _mm256_cmp_ps(v, v, _CMP_UNORD_Q);
  return _mm256_or_ps(_mm256_and_ps(is_nan, nan), _mm256_andnot_ps(is_nan, v));
}

// The hardware conversion is exact for every half and quiets NaNs keeping
// their sign and payload; only the NaN lanes need the library's pattern.
VEXO_F16C void halves_f16c(const unsigned char* src, float* dst, uint64_t count) {
  const Plan plan = plan_for(dst, count, 8, 32);
  halves_portable(src, dst, plan.head);
  const __m256 nan = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(0xFFC00000u)));
  for (uint64_t i = plan.head; i < plan.end; i += 8) {
    const __m128i halves = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
    const __m256 singles = replace_nans(_mm256_cvtph_ps(halves), nan);
    if (plan.stream) {
      _mm256_stream_ps(dst + i, singles);
    } else {
      _mm256_storeu_ps(dst + i, singles);
    }
  }
  if (plan.stream) _mm_sfence();
  halves_portable(src + 2 * plan.end, dst + plan.end, count - plan.end);
}

// With the rounding given in the instruction (nearest even, whatever the
// floating-point mode) the hardware matches the library for every non-NaN
// single, overflow and half subnormals included. It would keep a NaN's sign
// and top payload bits, so NaNs are first replaced by the single NaN whose
// conversion is 0x7FFF.
VEXO_F16C void singles_to_halves_f16c(const float* src, uint16_t* dst, uint64_t count) {
  const Plan plan = plan_for(dst, count, 8, 16);
  singles_to_halves_portable(src, dst, plan.head);
  const __m256 nan = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFE000));
  for (uint64_t i = plan.head; i < plan.end; i += 8) {
    prefetch_ahead(src + i);
    const __m256 singles = replace_nans(_mm256_loadu_ps(src + i), nan);
    store16(dst + i, _mm256_cvtps_ph(singles, _MM_FROUND_TO_NEAREST_INT), plan.stream);
  }
  if (plan.stream) _mm_sfence();
  singles_to_halves_portable(src + plan.end, dst + plan.end, count - plan.end);
}

// The bfloat16 conversions use SSE2, which every x86-64 processor has.
void bf16s_sse2(const unsigned char* src, float* dst, uint64_t count) {
  const Plan plan = plan_for(dst, count, 8, 16);
  bf16s_portable(src, dst, plan.head);
  const __m128i zero = _mm_setzero_si128();
  for (uint64_t i = plan.head; i < plan.end; i += 8) {
    const __m128i values = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
    // A zero below each element puts it in the upper half of a 32-bit lane.
    store16(dst + i, _mm_unpacklo_epi16(zero, values), plan.stream);
    store16(dst + i + 4, _mm_unpackhi_epi16(zero, values), plan.stream);
  }
  if (plan.stream) _mm_sfence();
  bf16s_portable(src + 2 * plan.end, dst + plan.end, count - plan.end);
}

// Round to nearest even as integers: adding 0x7FFF plus the lowest kept bit
// carries into the kept bits exactly when the dropped ones are above half,
// or half with an odd kept part; an infinity stays, the largest finite
// values may carry into one. Below the normal range only the sign is kept,
// and NaNs become 0x7FFF. Results are built in the upper 16 bits of each
// lane and shifted down with their sign, so that the signed pack keeps them.
VEXO_AVX2 inline __m256i singles_to_bf16s_upper(__m256i bits) {
  const __m256i magnitude = _mm256_and_si256(bits, _mm256_set1_epi32(0x7FFFFFFF));
  const __m256i is_nan = _mm256_cmpgt_epi32(magnitude, _mm256_set1_epi32(0x7F800000));
  const __m256i is_small = _mm256_cmpgt_epi32(_mm256_set1_epi32(0x00800000), magnitude);
  const __m256i kept = _mm256_andnot_si256(_mm256_and_si256(is_small, _mm256_set1_epi32(0x7FFFFFFF)), bits);
  const __m256i lowest_kept = _mm256_and_si256(_mm256_srli_epi32(kept, 16), _mm256_set1_epi32(1));
  const __m256i rounded = _mm256_add_epi32(kept, _mm256_add_epi32(lowest_kept, _mm256_set1_epi32(0x7FFF)));
  const __m256i result = _mm256_or_si256(_mm256_andnot_si256(is_nan, rounded),
                                         _mm256_and_si256(is_nan, _mm256_set1_epi32(0x7FFF0000)));
  return _mm256_srai_epi32(result, 16);
}

// Sixteen elements a step: the pack interleaves the 128-bit halves of its
// two operands, and the permutation puts them back in order.
VEXO_AVX2 void singles_to_bf16s_avx2(const float* src, uint16_t* dst, uint64_t count) {
  const Plan plan = plan_for(dst, count, 16, 32);
  singles_to_bf16s_portable(src, dst, plan.head);
  for (uint64_t i = plan.head; i < plan.end; i += 16) {
    prefetch_ahead(src + i);
    const __m256i low = singles_to_bf16s_upper(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)));
    const __m256i high =
        singles_to_bf16s_upper(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 8)));
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(low, high), 0xD8);
    auto* out = reinterpret_cast<__m256i*>(dst + i);
    if (plan.stream) {
      _mm256_stream_si256(out, packed);
    } else {
      _mm256_storeu_si256(out, packed);
    }
  }
  if (plan.stream) _mm_sfence();
  singles_to_bf16s_portable(src + plan.end, dst + plan.end, count - plan.end);
}

// Asked of the processor itself: not every compiler's __builtin_cpu_supports
// knows "f16c". The YMM registers must also be saved by the system (XGETBV).
bool processor_saves_ymm(unsigned features) {
  if (!(features & bit_OSXSAVE) || !(features & bit_AVX)) return false;
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  return (xcr0_low & 0x6) == 0x6;
}

struct Extensions {
  bool halves = false;  // AVX and F16C
  bool avx2 = false;
};

Extensions processor_extensions() {
  Extensions found;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !processor_saves_ymm(ecx)) return found;
  found.halves = (ecx & bit_F16C) != 0;
  found.avx2 = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_AVX2);
  return found;
}

const Extensions& extensions() {
  static const Extensions found = processor_extensions();
  return found;
}

bool hardware_halves() { return extensions().halves; }

#endif

}  // namespace

bool has_hardware_halves() {
#if VEXO_X86_64
  return hardware_halves();
#else
  return false;
#endif
}

bool has_avx2() {
#if VEXO_X86_64
  return extensions().avx2;
#else
  return false;
#endif
}

void force_portable(bool portable) { g_force_portable = portable; }

void halves_to_singles(const void* src, float* dst, uint64_t count) {
  const auto* bytes = static_cast<const unsigned char*>(src);
#if VEXO_X86_64
  if (!g_force_portable && hardware_halves()) return halves_f16c(bytes, dst, count);
#endif
  halves_portable(bytes, dst, count);
}

void bf16s_to_singles(const void* src, float* dst, uint64_t count) {
  const auto* bytes = static_cast<const unsigned char*>(src);
#if VEXO_X86_64
  if (!g_force_portable) return bf16s_sse2(bytes, dst, count);
#endif
  bf16s_portable(bytes, dst, count);
}

void singles_to_halves(const float* src, uint16_t* dst, uint64_t count) {
#if VEXO_X86_64
  if (!g_force_portable && hardware_halves()) return singles_to_halves_f16c(src, dst, count);
#endif
  singles_to_halves_portable(src, dst, count);
}

void singles_to_bf16s(const float* src, uint16_t* dst, uint64_t count) {
#if VEXO_X86_64
  if (!g_force_portable && extensions().avx2) return singles_to_bf16s_avx2(src, dst, count);
#endif
  singles_to_bf16s_portable(src, dst, count);
}

}  // namespace fp16_bulk
