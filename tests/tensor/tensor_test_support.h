// Shared by the tensor and runtime tests: captured log lines and a test case
// with a traced simulated device.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "src/tensor/tensor_internal.h"
#include "test_support.h"
#include "utils/device.h"

namespace tensortest {

using vexotest::Bytes;
using TensorPtr = std::unique_ptr<minitensor::VexoTensor, minitensor::TensorDeleter>;

// Runs `action` with standard output captured and returns what it printed.
template <typename Action>
std::string printed(Action&& action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}

// The texts of the log lines with the given nine-character tag, in order.
inline std::vector<std::string> texts_at(const std::string& output, const std::string& tag) {
  const std::regex line("\x1b\\[[0-9]+m[0-9: -]{19} " + std::regex_replace(tag, std::regex("[\\[\\]]"), "\\$&") +
                        " ([^\x1b]*)\x1b\\[0m\n");
  std::vector<std::string> texts;
  for (std::sregex_iterator it(output.begin(), output.end(), line), end; it != end; ++it) texts.push_back((*it)[1]);
  return texts;
}

// The error lines that `action` logs.
template <typename Action>
std::vector<std::string> errors_of(Action&& action) {
  return texts_at(printed(action), "[ERROR]  ");
}

using Lines = std::vector<std::string>;

// A test case on device 0 of the simulated device, with its trace on.
class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    trace = std::make_unique<vexotest::SimTrace>(dir);
    handle = get_handle(0);
    ASSERT_NE(handle, nullptr);
  }
  void TearDown() override { free_handle(handle); }

  vexotest::TempDir dir;
  std::unique_ptr<vexotest::SimTrace> trace;
  bm_handle_t handle = nullptr;
};

}  // namespace tensortest
