#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "log_lines.h"
#include "utils/device.h"
#include "utils/utils.h"

namespace {

template <typename Record>
std::vector<unsigned char> bytes_of(const Record& record) {
  std::vector<unsigned char> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

// Little-endian bytes of value, `width` of them, appended.
void put(std::vector<unsigned char>& bytes, unsigned long long value, int width) {
  for (int i = 0; i < width; ++i) bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

std::string temp_path(const std::string& name) {
  return testing::TempDir() + "vexo_utils_" + std::to_string(getpid()) + "_" + name;
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

std::vector<std::string> lines_of_file(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

}  // namespace

TEST(UtilsDescriptors, ThirtyTwoBitSizeLayout) {
  const bm_device_mem_t mem = convert_to_device_mem(0x1000, 256, -1, 0, 0);
  EXPECT_EQ(mem.u.device.device_addr, 0x1000u);
  EXPECT_EQ(mem.size, 256u);
  EXPECT_EQ(mem.u.device.dmabuf_fd, -1);
  EXPECT_EQ(mem.u.device.reserved, 0u);
  EXPECT_EQ(mem.flags.rawflags, 0u);

  std::vector<unsigned char> expected;
  put(expected, 0x123456789Aull, 8);
  put(expected, 9, 4);            // reserved
  put(expected, 0xFFFFFFF9, 4);   // dmabuf_fd -7
  put(expected, 0x2A, 4);         // flags
  put(expected, 0xFFFFFFFF, 4);   // size
  EXPECT_EQ(bytes_of(convert_to_device_mem(0x123456789A, 0xFFFFFFFF, -7, 9, 0x2A)), expected);
}

TEST(UtilsDescriptors, SixtyFourBitSizeLayoutWithZeroPadding) {
  std::vector<unsigned char> expected;
  put(expected, 0xFF00000001ull, 8);
  put(expected, 3, 4);
  put(expected, 5, 4);
  put(expected, 0x80000001, 4);
  put(expected, 0, 4);  // padding
  put(expected, 5ull << 32, 8);
  EXPECT_EQ(bytes_of(convert_to_sg_device_mem(0xFF00000001ull, 5ull << 32, 5, 3, 0x80000001)), expected);
}

TEST(UtilsSafeExit, ZeroStatusReturnsSilently) {
  EXPECT_EQ(testlog::captured_stdout([] { check_states_with_safe_exit(0, "abc"); }), "");
}

TEST(UtilsSafeExitDeathTest, NonZeroStatusPrintsPlainLineAndExits255) {
  setenv("LOG_LEVEL", "0", 1);  // the line does not go through the logger
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        check_states_with_safe_exit(5, "abc");
      },
      testing::ExitedWithCode(255), "^abc failed, status: 5\n$");
}

TEST(UtilsFiles, WriteThenReadGivesTheSameBytes) {
  const std::string path = temp_path("roundtrip");
  std::vector<uint8_t> data(70000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  write_file(path, data.data(), data.size());
  int size = 0;
  std::unique_ptr<void, FreeDeleter> read(read_file_data(path, &size));
  ASSERT_NE(read, nullptr);
  ASSERT_EQ(size, static_cast<int>(data.size()));
  EXPECT_EQ(std::memcmp(read.get(), data.data(), data.size()), 0);

  // A second, shorter write replaces the file.
  write_file(path, data.data(), 3);
  read.reset(read_file_data(path, &size));
  EXPECT_EQ(size, 3);
  std::remove(path.c_str());
}

TEST(UtilsFiles, EmptyFileReadsAsZeroLength) {
  const std::string path = temp_path("empty");
  write_file(path, nullptr, 0);
  int size = -5;
  std::unique_ptr<void, FreeDeleter> read(read_file_data(path, &size));
  EXPECT_EQ(size, 0);
  std::remove(path.c_str());
}

TEST(UtilsFiles, MissingFileGivesNullAndMinusOne) {
  int size = 0;
  EXPECT_EQ(read_file_data(temp_path("missing"), &size), nullptr);
  EXPECT_EQ(size, -1);
}

TEST(UtilsFiles, TwoGibibyteFileIsRefused) {
  unsetenv("LOG_LEVEL");
  const std::string path = temp_path("huge");
  { std::ofstream create(path); }
  ASSERT_EQ(truncate(path.c_str(), 2LL << 30), 0);  // sparse: no disk used
  int size = 0;
  void* read = nullptr;
  const std::string out = testlog::captured_stdout([&] { read = read_file_data(path, &size); });
  std::remove(path.c_str());
  EXPECT_EQ(read, nullptr);
  EXPECT_EQ(size, -1);
  EXPECT_THAT(testlog::error_texts(out), testing::ElementsAre(testing::HasSubstr("2 GiB or larger")));
}

TEST(UtilsFiles, UnwritableFileIsReported) {
  unsetenv("LOG_LEVEL");
  uint8_t byte = 1;
  const std::string out =
      testlog::captured_stdout([&] { write_file("/nonexistent-dir/vexo/file", &byte, 1); });
  EXPECT_THAT(testlog::error_texts(out),
              testing::ElementsAre("write_file: cannot write /nonexistent-dir/vexo/file"));
}

TEST(UtilsDevice, HandleForAnExistingDeviceOnly) {
  bm_handle_t handle = get_handle(0);
  EXPECT_NE(handle, nullptr);
  free_handle(handle);
  EXPECT_EQ(get_handle(5), nullptr);
  free_handle(nullptr);
}

TEST(UtilsDevice, StatusOfDeviceZeroReleasesItsHandle) {
  const std::string trace = temp_path("trace");
  setenv("VEXO_SIM_TRACE", trace.c_str(), 1);
  EXPECT_EQ(get_device_status(0), 0);
  const auto lines = lines_of_file(trace);
  std::remove(trace.c_str());
  EXPECT_THAT(lines, testing::ElementsAre(testing::HasSubstr("\"open\""), testing::HasSubstr("\"close\"")));
}

TEST(UtilsDevice, StatusOfAMissingDeviceIsMinusOneWithAnErrorLine) {
  unsetenv("LOG_LEVEL");
  int status = 0;
  const std::string out = testlog::captured_stdout([&] { status = get_device_status(5); });
  EXPECT_EQ(status, -1);
  EXPECT_EQ(testlog::error_texts(out), std::vector<std::string>{"bm_dev_request failed, status: 4"});
}
