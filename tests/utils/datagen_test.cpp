#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "log_lines.h"
#include "utils/datagen.h"
#include "src/utils/fp16.h"
#include "utils/utils.h"

namespace {

constexpr int kLen = 37;

// gen_data into a buffer first filled with 0xAB bytes, which stay where
// nothing was written.
std::vector<unsigned char> generated(int dtype, int random_type, int len = kLen) {
  std::vector<unsigned char> buffer(kLen * 4 + 8, 0xAB);
  gen_data(buffer.data(), len, dtype, random_type);
  return buffer;
}

template <typename T>
std::vector<T> elements(const std::vector<unsigned char>& buffer, int count = kLen) {
  std::vector<T> values(count);
  std::memcpy(values.data(), buffer.data(), count * sizeof(T));
  return values;
}

const int kSupported[] = {BM_FLOAT32, BM_FLOAT16, BM_INT8,    BM_UINT8, BM_INT16,
                          BM_UINT16,  BM_INT32,   BM_UINT32, BM_BFLOAT16};

}  // namespace

TEST(UtilsGenData, ZerosForEverySupportedType) {
  for (int dtype : kSupported) {
    const auto buffer = generated(dtype, 0);
    const size_t bytes = kLen * bmrt_data_type_size(static_cast<bm_data_type_t>(dtype));
    EXPECT_EQ(std::vector<unsigned char>(buffer.begin(), buffer.begin() + bytes), std::vector<unsigned char>(bytes, 0));
    EXPECT_EQ(buffer[bytes], 0xAB) << "wrote past the end, dtype " << dtype;
  }
}

TEST(UtilsGenData, OnesInEachTypesEncoding) {
  EXPECT_EQ(elements<float>(generated(BM_FLOAT32, 1)), std::vector<float>(kLen, 1.0f));
  EXPECT_EQ(elements<uint16_t>(generated(BM_FLOAT16, 1)), std::vector<uint16_t>(kLen, 0x3C00));
  EXPECT_EQ(elements<uint16_t>(generated(BM_BFLOAT16, 1)), std::vector<uint16_t>(kLen, 0x3F80));
  EXPECT_EQ(elements<int8_t>(generated(BM_INT8, 1)), std::vector<int8_t>(kLen, 1));
  EXPECT_EQ(elements<uint16_t>(generated(BM_UINT16, 1)), std::vector<uint16_t>(kLen, 1));
  EXPECT_EQ(elements<uint32_t>(generated(BM_UINT32, 1)), std::vector<uint32_t>(kLen, 1));
}

TEST(UtilsGenData, RandomValuesFollowRandDrawForDraw) {
  set_seed(7);
  const auto floats = elements<float>(generated(BM_FLOAT32, 2));
  const auto ints = elements<int32_t>(generated(BM_INT32, 2));
  const auto bytes = elements<uint8_t>(generated(BM_UINT8, 2));
  std::srand(7);
  for (int i = 0; i < kLen; ++i) {
    const float magnitude = static_cast<float>(static_cast<double>(std::rand() / 2147483648.0f) * 3.3);
    EXPECT_EQ(floats[i], std::rand() % 2 ? -magnitude : magnitude) << i;
  }
  for (int i = 0; i < kLen; ++i) EXPECT_EQ(ints[i], std::rand() % 256 - 128) << i;
  for (int i = 0; i < kLen; ++i) EXPECT_EQ(bytes[i], std::rand() % 256) << i;
}

TEST(UtilsGenData, AnyOtherModeIsRandomAndTheSeedRepeatsIt) {
  set_seed(5);
  const auto first = generated(BM_FLOAT32, 2);
  const auto unseeded = generated(BM_FLOAT32, 2);
  set_seed(5);
  const auto mode7 = generated(BM_FLOAT32, 7);
  EXPECT_EQ(mode7, first);
  EXPECT_NE(unseeded, first);
}

TEST(UtilsGenData, HalfAndBf16AreRoundedRandomFloats) {
  set_seed(3);
  const auto floats = elements<float>(generated(BM_FLOAT32, 2));
  set_seed(3);
  const auto halves = elements<uint16_t>(generated(BM_FLOAT16, 2));
  set_seed(3);
  const auto bf16s = elements<uint16_t>(generated(BM_BFLOAT16, 2));
  for (int i = 0; i < kLen; ++i) {
    fp32 value;
    value.fval = floats[i];
    EXPECT_EQ(halves[i], fp32_to_fp16(value).bits) << i;
    EXPECT_EQ(bf16s[i], fp32_to_bf16(value).bits) << i;
  }
}

TEST(UtilsGenData, EmptyAndNegativeLengths) {
  EXPECT_EQ(generated(BM_INT32, 2, 0), std::vector<unsigned char>(kLen * 4 + 8, 0xAB));
  EXPECT_EQ(generated(BM_FLOAT32, 1, -3), std::vector<unsigned char>(kLen * 4 + 8, 0xAB));
  EXPECT_THROW(generated(BM_FLOAT16, 2, -1), std::bad_array_new_length);
}

TEST(UtilsGenData, SeedIsLogged) {
  unsetenv("LOG_LEVEL");
  const std::string out = testlog::captured_stdout([] { set_seed(42); });
  EXPECT_EQ(testlog::texts_at(out, "\x1b[32m", "[INFO]   "), std::vector<std::string>{"set seed: 42"});
}

// Types the generator cannot produce are refused with an error line and an
// exception, leaving the buffer untouched and the process running.
TEST(UtilsGenData, FourBitAndFp20TypesThrowAfterTheirErrorLine) {
  unsetenv("LOG_LEVEL");
  const std::pair<int, const char*> refused[] = {
      {BM_UINT4, "int4 uint4 not support"}, {BM_INT4, "int4 uint4 not support"}, {SG_DTYPE_FP20, "fp20 not support"}};
  for (const auto& [dtype, message] : refused) {
    std::vector<unsigned char> buffer(8, 0xAB);
    const std::string out = testlog::captured_stdout([&, dtype = dtype] {
      EXPECT_THROW(gen_data(buffer.data(), 4, dtype, 2), std::invalid_argument);
    });
    EXPECT_EQ(testlog::error_texts(out), std::vector<std::string>{message});
    EXPECT_EQ(buffer, std::vector<unsigned char>(8, 0xAB));
  }
}

TEST(UtilsPrintData, ConvertsTheRangeOnOneDebugLine) {
  unsetenv("LOG_LEVEL");
  const uint16_t halves[] = {0x3C00, 0xC100, 0x3555, 0x7C00};
  const std::string out =
      testlog::captured_stdout([&] { print_data_by_fp32(const_cast<uint16_t*>(halves), 4, BM_FLOAT16, 1, 3); });
  EXPECT_EQ(testlog::texts_at(out, "\x1b[34m", "[DEBUG]  "),
            std::vector<std::string>{"print data: -2.5 0.333252 inf "});
  const int32_t ints[] = {7, -9};
  const std::string empty =
      testlog::captured_stdout([&] { print_data_by_fp32(const_cast<int32_t*>(ints), 2, BM_INT32, 0, 0); });
  EXPECT_EQ(testlog::texts_at(empty, "\x1b[34m", "[DEBUG]  "), std::vector<std::string>{"print data: "});
}

TEST(UtilsPrintData, SilentBelowDebugLevel) {
  setenv("LOG_LEVEL", "3", 1);
  const float values[] = {1.0f};
  EXPECT_EQ(testlog::captured_stdout([&] { print_data_by_fp32(const_cast<float*>(values), 1, BM_FLOAT32, 0, 1); }),
            "");
}

TEST(UtilsPrintData, TypesWithoutConversionLogAnErrorInstead) {
  unsetenv("LOG_LEVEL");
  unsigned char bytes[8] = {};
  for (int dtype : {int{BM_INT4}, int{BM_UINT4}, 11, -1}) {
    const std::string out = testlog::captured_stdout([&] { print_data_by_fp32(bytes, 8, dtype, 0, 8); });
    EXPECT_THAT(testlog::error_texts(out), testing::Contains(testing::StartsWith("print_data_by_fp32: ")))
        << "dtype " << dtype;
  }
}
