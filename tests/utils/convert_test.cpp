#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <iostream>
#include <random>
#include <stdexcept>
#include <vector>

#include "log_lines.h"
#include "src/utils/fp16_bulk.h"
#include "utils/datagen.h"
#include "src/utils/fp16.h"

namespace {

// Independent references: values decoded by their definition with ldexp,
// and rounding done in double precision with nearbyint (ties to even).
// Both 16-bit formats have a sign bit, then exponent and fraction bits:
// 5 and 10 in a half, 8 and 7 in a bfloat16.

struct Format16 {
  int fraction_bits;
  int exponent_max() const { return (1 << (15 - fraction_bits)) - 1; }
  int bias() const { return exponent_max() / 2; }
};
constexpr Format16 kHalf{10};
constexpr Format16 kBf16{7};

double value_of(Format16 format, uint16_t bits) {
  const int exponent = (bits >> format.fraction_bits) & format.exponent_max();
  const int fraction = bits & ((1 << format.fraction_bits) - 1);
  const int scale = 1 - format.bias() - format.fraction_bits;
  double magnitude = exponent == 0 ? std::ldexp(fraction, scale)
                                   : std::ldexp((1 << format.fraction_bits) + fraction, scale + exponent - 1);
  if (exponent == format.exponent_max()) magnitude = fraction ? NAN : INFINITY;
  return (bits & 0x8000) ? -magnitude : magnitude;
}

double half_value(uint16_t h) { return value_of(kHalf, h); }

// NaN gives 0x7FFF; inputs below the single-precision normal range are
// flushed to zero when flush_subnormals is set.
uint16_t reference_rounding(Format16 format, float f, bool flush_subnormals) {
  if (std::isnan(f)) return 0x7FFF;
  const uint16_t sign = std::signbit(f) ? 0x8000 : 0;
  const int infinity = format.exponent_max() << format.fraction_bits;
  const double magnitude = std::fabs(static_cast<double>(f));
  if (std::isinf(magnitude)) return sign | infinity;
  if (flush_subnormals && magnitude < FLT_MIN) return sign;
  const int exponent = std::max(std::ilogb(magnitude), 1 - format.bias());
  const int steps = static_cast<int>(std::nearbyint(std::ldexp(magnitude, format.fraction_bits - exponent)));
  const int bits = ((exponent + format.bias()) << format.fraction_bits) + steps - (1 << format.fraction_bits);
  return sign | static_cast<uint16_t>(std::min(bits, infinity));
}

uint16_t reference_fp16(float f) { return reference_rounding(kHalf, f, false); }
uint16_t reference_bf16(float f) { return reference_rounding(kBf16, f, true); }

uint32_t bits_of(float f) { return fp32_to_bits(f); }

// A conversion applied to raw bits through its union types.
template <typename To, typename From, To (*Convert)(From)>
auto convert_bits(decltype(From::bits) bits) {
  From value;
  value.bits = bits;
  return Convert(value).bits;
}

uint32_t half_to_single(uint16_t h) { return convert_bits<fp32, fp16, fp16_to_fp32>(h); }
uint16_t single_to_half(uint32_t bits) { return convert_bits<fp16, fp32, fp32_to_fp16>(bits); }
uint32_t bf16_to_single(uint16_t b) { return convert_bits<fp32, bf16, bf16_to_fp32>(b); }
uint16_t single_to_bf16(uint32_t bits) { return convert_bits<bf16, fp32, fp32_to_bf16>(bits); }

// Bit patterns spread over the whole single-precision range, NaNs included.
std::vector<uint32_t> sweep_of_singles() {
  std::vector<uint32_t> patterns;
  for (uint64_t b = 0; b <= 0xFFFFFFFFu; b += 65521) patterns.push_back(static_cast<uint32_t>(b));
  for (uint32_t b : {0x00000001u, 0x007FFFFFu, 0x00400000u, 0x7F7FFFFFu, 0x7F800000u, 0x7F800001u, 0x7FC00000u,
                     0x7FFFFFFFu}) {
    patterns.push_back(b);
    patterns.push_back(b | 0x80000000u);
  }
  return patterns;
}

// Each finite half, the midpoints to its upper neighbour (ties) and one
// single-precision step either side of both, with both signs.
std::vector<uint32_t> singles_around_halves() {
  std::vector<uint32_t> patterns = sweep_of_singles();
  for (uint16_t h = 0; h < 0x7C00; ++h) {
    const float value = static_cast<float>(half_value(h));
    const float next = h + 1 < 0x7C00 ? static_cast<float>(half_value(h + 1)) : 65536.0f;
    for (float x : {value, (value + next) / 2}) {
      for (float y : {x, std::nextafter(x, 0.0f), std::nextafter(x, INFINITY)}) {
        patterns.push_back(bits_of(y));
        patterns.push_back(bits_of(y) | 0x80000000u);
      }
    }
  }
  return patterns;
}

// The same for bfloat16, whose values are the upper halves of singles.
std::vector<uint32_t> singles_around_bf16s() {
  std::vector<uint32_t> patterns = sweep_of_singles();
  for (uint32_t b = 0; b < 0x7F80; ++b) {
    for (uint32_t low : {0x0000u, 0x0001u, 0x7FFFu, 0x8000u, 0x8001u, 0xFFFFu}) {
      patterns.push_back(b << 16 | low);
      patterns.push_back((b << 16 | low) | 0x80000000u);
    }
  }
  return patterns;
}

}  // namespace

TEST(UtilsElementSize, CodesZeroToTenHaveTheirSizes) {
  const size_t expected[] = {4, 2, 1, 1, 2, 2, 4, 4, 2, 1, 1};
  for (int code = 0; code <= 10; ++code) {
    EXPECT_EQ(bmrt_data_type_size(static_cast<bm_data_type_t>(code)), expected[code]) << code;
  }
}

TEST(UtilsElementSize, OtherCodesLogAndThrow) {
  unsetenv("LOG_LEVEL");
  for (int code : {-1, 11, 1000}) {
    const std::string out = testlog::captured_stdout([code] {
      EXPECT_THROW(bmrt_data_type_size(static_cast<bm_data_type_t>(code)), std::invalid_argument);
      int shape[] = {2, 3};
      EXPECT_THROW(get_data_size(shape, 2, code), std::invalid_argument);
    });
    EXPECT_EQ(testlog::error_texts(out).size(), 2u) << code;
  }
}

TEST(UtilsTensorSize, AllFormsMultiplyDimensionsByElementSize) {
  int shape[] = {1, 3, 224, 224};
  EXPECT_EQ(get_data_size(shape, 4, BM_FLOAT16), 301056u);
  EXPECT_EQ(get_data_size(shape, 4, SG_DTYPE_FP16), 301056u);
  EXPECT_EQ(get_data_size(shape, 4, 1), 301056u);
  uint64_t wide[] = {1ull << 33, 3};
  EXPECT_EQ(get_data_size(wide, 2, 0), 3ull << 35);
  EXPECT_EQ(get_data_size(wide, 1, 2), 1ull << 33);
  EXPECT_EQ(get_data_size(shape, 0, BM_INT32), 4u);
  EXPECT_EQ(get_data_size(shape, -1, BM_INT8), 1u);
}

TEST(UtilsHalfToSingle, EveryHalfMatchesItsExactValue) {
  for (uint32_t h = 0; h <= 0xFFFF; ++h) {
    const double value = half_value(static_cast<uint16_t>(h));
    if (std::isnan(value)) {
      ASSERT_EQ(half_to_single(h), 0xFFC00000u) << std::hex << h;
      // The inner routine keeps sign and payload; only the public form drops them.
      ASSERT_EQ(fp16_ieee_to_fp32_bits(h), (h & 0x8000u) << 16 | 0x7F800000u | (h & 0x3FFu) << 13) << std::hex << h;
    } else {
      ASSERT_EQ(half_to_single(h), bits_of(static_cast<float>(value))) << std::hex << h;
      ASSERT_EQ(fp16_ieee_to_fp32_bits(h), bits_of(static_cast<float>(value))) << std::hex << h;
    }
  }
}

TEST(UtilsBf16ToSingle, EveryBf16IsTheUpperHalf) {
  for (uint32_t b = 0; b <= 0xFFFF; ++b) {
    const double value = value_of(kBf16, static_cast<uint16_t>(b));
    ASSERT_EQ(bf16_to_single(b), b << 16) << std::hex << b;
    if (!std::isnan(value)) {
      ASSERT_EQ(fp32_from_bits(b << 16), static_cast<float>(value)) << std::hex << b;
    }
  }
}

TEST(UtilsSingleToHalf, RoundsToNearestEvenAroundEveryHalf) {
  for (uint32_t bits : singles_around_halves()) {
    ASSERT_EQ(single_to_half(bits), reference_fp16(fp32_from_bits(bits))) << std::hex << bits;
  }
}

TEST(UtilsSingleToBf16, RoundsToNearestEvenAroundEveryBf16) {
  for (uint32_t bits : singles_around_bf16s()) {
    ASSERT_EQ(single_to_bf16(bits), reference_bf16(fp32_from_bits(bits))) << std::hex << bits;
  }
}

TEST(UtilsConversions, EdgeValues) {
  EXPECT_EQ(half_to_single(0x3C00), 0x3F800000u);
  EXPECT_EQ(half_to_single(0x0001), 0x33800000u);
  EXPECT_EQ(half_to_single(0x7C00), 0x7F800000u);
  EXPECT_EQ(half_to_single(0xFE01), 0xFFC00000u);
  EXPECT_EQ(single_to_half(bits_of(65504.0f)), 0x7BFF);
  EXPECT_EQ(single_to_half(bits_of(65519.0f)), 0x7BFF);
  EXPECT_EQ(single_to_half(bits_of(65520.0f)), 0x7C00);
  EXPECT_EQ(single_to_half(bits_of(1.0f + 0x1p-11f)), 0x3C00);
  EXPECT_EQ(single_to_half(bits_of(1.0f + 3 * 0x1p-11f)), 0x3C02);
  EXPECT_EQ(single_to_half(bits_of(0x1p-25f)), 0x0000);
  EXPECT_EQ(single_to_half(bits_of(1.5f * 0x1p-24f)), 0x0002);
  for (uint32_t nan : {0x7FC00000u, 0xFFC00000u, 0x7F800001u, 0xFFFFFFFFu}) {
    EXPECT_EQ(single_to_half(nan), 0x7FFF);
    EXPECT_EQ(single_to_bf16(nan), 0x7FFF);
  }
  EXPECT_EQ(single_to_bf16(0x3F808000u), 0x3F80);
  EXPECT_EQ(single_to_bf16(0x3F818000u), 0x3F82);
  EXPECT_EQ(single_to_bf16(0x7F7FFFFFu), 0x7F80);
  EXPECT_EQ(single_to_bf16(0x80000001u), 0x8000);
  EXPECT_EQ(single_to_bf16(0xFF800000u), 0xFF80);
}

namespace {

// Runs `convert` over `patterns` repeated `copies` times, from one element
// past an allocation's start (so that the output is off its vector
// alignment), and checks every output against `reference` of its input.
template <typename Out, typename In, typename Reference, typename Convert>
void check_array_conversion(const std::vector<In>& patterns, size_t copies, Reference reference, Convert convert) {
  const size_t count = patterns.size() * copies;
  std::vector<In> source(1 + count);
  for (size_t c = 0; c < copies; ++c) std::copy(patterns.begin(), patterns.end(), source.begin() + 1 + c * patterns.size());
  std::vector<Out> expected(patterns.size());
  for (size_t i = 0; i < patterns.size(); ++i) expected[i] = reference(patterns[i]);
  std::vector<Out> target(2 + count, 0xAB);
  convert(source.data() + 1, target.data() + 1, count);
  ASSERT_EQ(target.front(), Out{0xAB});
  ASSERT_EQ(target.back(), Out{0xAB});
  for (size_t i = 0; i < count; ++i) {
    const size_t k = i % patterns.size();
    ASSERT_EQ(target[i + 1], expected[k]) << std::hex << "input " << patterns[k] << ", element " << std::dec << i;
  }
}

}  // namespace

// The array conversions on this processor's path (hardware where it has
// F16C, AVX2 where it has it) and on the portable one, against the element conversions checked
// above: every 16-bit pattern, and every single of the rounding sweeps.
// Each set also runs repeated past 8 MiB of output, where the conversions
// switch to streaming stores after an element-by-element head.
TEST(UtilsArrayConversion, BothPathsFollowTheElementRules) {
  if (!fp16_bulk::has_hardware_halves()) std::cout << "no hardware half conversions here: one path only\n";
  if (!fp16_bulk::has_avx2()) std::cout << "no AVX2 here: single to bfloat16 takes one path only\n";
  std::vector<uint16_t> all16(0x10000);
  for (uint32_t b = 0; b <= 0xFFFF; ++b) all16[b] = static_cast<uint16_t>(b);
  const std::vector<uint32_t> around_halves = singles_around_halves();
  const std::vector<uint32_t> around_bf16s = singles_around_bf16s();
  const auto to_singles = [](int dtype) {
    return [dtype](const uint16_t* src, uint32_t* dst, uint64_t n) {
      data_convert_to_fp32(const_cast<uint16_t*>(src), dst, dtype, n);
    };
  };
  const auto from_singles = [](void (*convert)(const float*, uint16_t*, uint64_t)) {
    return [convert](const uint32_t* src, uint16_t* dst, uint64_t n) {
      convert(reinterpret_cast<const float*>(src), dst, n);
    };
  };
  constexpr size_t kStreamed = size_t{8} << 20;
  for (bool portable : {false, true}) {
    SCOPED_TRACE(portable ? "portable path" : "default path");
    fp16_bulk::force_portable(portable);
    for (bool streamed : {false, true}) {
      SCOPED_TRACE(streamed ? "streamed" : "cached");
      const auto copies = [streamed](size_t patterns, size_t out_size) {
        return streamed ? kStreamed / (patterns * out_size) + 1 : 1;
      };
      check_array_conversion<uint32_t>(all16, copies(all16.size(), 4), half_to_single, to_singles(BM_FLOAT16));
      check_array_conversion<uint32_t>(all16, copies(all16.size(), 4), bf16_to_single, to_singles(BM_BFLOAT16));
      check_array_conversion<uint16_t>(around_halves, copies(around_halves.size(), 2), single_to_half,
                                       from_singles(fp16_bulk::singles_to_halves));
      check_array_conversion<uint16_t>(around_bf16s, copies(around_bf16s.size(), 2), single_to_bf16,
                                       from_singles(fp16_bulk::singles_to_bf16s));
    }
  }
  fp16_bulk::force_portable(false);
}

namespace {

// Bytes the single-element form reads for a code.
size_t read_width(int dtype) {
  switch (dtype) {
    case BM_INT8:
    case BM_UINT8: return 1;
    case BM_FLOAT16:
    case BM_BFLOAT16:
    case BM_INT16:
    case BM_UINT16: return 2;
    default: return 4;
  }
}

std::vector<unsigned char> random_bytes(size_t n) {
  std::mt19937 generator(12345);
  std::vector<unsigned char> bytes(n);
  for (auto& b : bytes) b = static_cast<unsigned char>(generator());
  return bytes;
}

std::vector<uint32_t> as_bits(const std::vector<float>& values) {
  std::vector<uint32_t> bits(values.size());
  std::memcpy(bits.data(), values.data(), values.size() * sizeof(float));
  return bits;
}

}  // namespace

// 37 elements: two whole blocks of the conversion loop and a partial one.
TEST(UtilsArrayConversion, EqualsTheSingleElementFormForEveryCode) {
  unsetenv("LOG_LEVEL");
  constexpr u32 kCount = 37;
  auto source = random_bytes(kCount * 4);
  for (int dtype : {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 42}) {
    std::vector<float> expected(kCount);
    for (u32 i = 0; i < kCount; ++i) expected[i] = convert_to_fp32(source.data() + i * read_width(dtype), dtype);
    std::vector<float> converted(kCount);
    convert_to_fp32(source.data(), converted.data(), kCount, dtype);
    EXPECT_EQ(as_bits(converted), as_bits(expected)) << "dtype " << dtype;

    std::vector<float> target(kCount, -1.0f);
    const std::string out =
        testlog::captured_stdout([&] { data_convert_to_fp32(source.data(), target.data(), dtype, kCount); });
    if (dtype >= 0 && dtype <= 8) {
      EXPECT_EQ(as_bits(target), as_bits(expected)) << "dtype " << dtype;
      EXPECT_EQ(out, "");
    } else {
      // 4-bit types would be read as floats overlapping their neighbours;
      // unknown codes have no size.
      EXPECT_EQ(target, std::vector<float>(kCount, -1.0f)) << "dtype " << dtype;
      EXPECT_THAT(testlog::error_texts(out), testing::Contains(testing::StartsWith("data_convert_to_fp32: ")));
    }
  }
}

TEST(UtilsArrayConversion, IntegerAndFloatElements) {
  int8_t int8 = static_cast<int8_t>(0x80);
  uint32_t uint32 = 0xFFFFFFFFu;
  int32_t int32 = 16777217;
  uint32_t signalling_nan = 0x7F800001u;
  EXPECT_EQ(convert_to_fp32(&int8, BM_INT8), -128.0f);
  EXPECT_EQ(convert_to_fp32(&uint32, BM_UINT32), 4294967296.0f);
  EXPECT_EQ(convert_to_fp32(&int32, BM_INT32), 16777216.0f);
  float copied[1];
  convert_to_fp32(&signalling_nan, copied, 1, BM_FLOAT32);
  EXPECT_EQ(bits_of(copied[0]), signalling_nan);
}

TEST(UtilsDataConversion, Float32CopiesExactlyItsBytes) {
  std::vector<float> source(11);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<float>(i) + 0.5f;
  std::vector<float> target(11, -1.0f);
  data_convert_to_fp32(source.data(), target.data(), BM_FLOAT32, 10);
  EXPECT_EQ(std::vector<float>(target.begin(), target.begin() + 10), std::vector<float>(source.begin(), source.begin() + 10));
  EXPECT_EQ(target[10], -1.0f);
}

TEST(UtilsWidenToInt, SignAndZeroExtension) {
  const unsigned char bytes[] = {0xFF, 0x80, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0x7F};
  struct Case {
    int dtype;
    u64 len;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {BM_INT8, 4, {-1, -128, 1, 0}},
      {BM_UINT8, 4, {255, 128, 1, 0}},
      {BM_INT16, 4, {-32513, 1, -1, 32767}},
      {BM_UINT16, 4, {33023, 1, 65535, 32767}},
      {BM_UINT32, 2, {0x000180FF, 0x7FFFFFFF}},
      {BM_INT32, 2, {0x000180FF, 0x7FFFFFFF}},
      {BM_FLOAT16, 2, {0x000180FF, 0x7FFFFFFF}},
  };
  for (const Case& c : cases) {
    std::vector<int> out(c.len);
    mm_to_int(const_cast<unsigned char*>(bytes), out.data(), c.len, c.dtype);
    EXPECT_EQ(out, c.expected) << "dtype " << c.dtype;
  }
  const uint32_t high = 0x80000000u;
  int widened = 0;
  mm_to_int(const_cast<uint32_t*>(&high), &widened, 1, BM_UINT32);
  EXPECT_EQ(widened, INT_MIN);
}
