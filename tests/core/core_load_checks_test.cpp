// The crafted models through the general runtime: what would fail or go
// wrong at launch is refused at load, and the corner cases of placement and
// relocation compute their bytes.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "model_runs.h"
#include "runtime/miniruntime.h"
#include "samples/crafted.h"

namespace {

using vexotest::Bytes;
using namespace vexo::samples;

const CraftedModel& crafted(const std::string& name) {
  static const std::vector<CraftedModel> models = crafted_models();
  for (const CraftedModel& model : models)
    if (model.name == name) return model;
  throw std::out_of_range(name);
}

// Bytes this process has read from files so far.
uint64_t bytes_read() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

class LoadChecks : public ::testing::Test {
 protected:
  std::string save(const std::string& name, const ModelSpec& spec) {
    const std::string path = dir.path(name + ".bmodel");
    save_model(spec, path);
    return path;
  }

  // Runs one stage with one input and returns its first output.
  Bytes run(minirun::vexoruntime runtime, size_t net, size_t stage, Bytes input) {
    minirun::vexoruntime_set_net_stage(runtime, net, stage);
    minirun::vexoruntime_set_input_s2d(runtime, 0, input.data(), input.size());
    minirun::vexoruntime_run(runtime, true);
    const minitensor::VexoTensor* out = minirun::vexoruntime_get_io_tensor(runtime, 'o', 0);
    const auto* first = static_cast<const uint8_t*>(out->data);
    return Bytes(first, first + out->size);
  }

  vexotest::TempDir dir;
  vexotest::SimTrace trace{dir};
};

TEST_F(LoadChecks, RefusesWhatWouldFailAtLaunch) {
  for (const CraftedModel& model : crafted_models()) {
    if (model.refusal.empty()) continue;
    const std::string path = save(model.name, model.spec);
    testing::internal::CaptureStdout();
    EXPECT_EQ(minirun::vexoruntime_init(path.c_str(), 0), nullptr) << model.name;
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find(model.refusal), std::string::npos) << model.name << ":\n" << log;
  }
  EXPECT_TRUE(trace.events("launch").empty());
  EXPECT_EQ(vexotest::live_at_close(trace), std::make_pair(int64_t{0}, int64_t{0}));
}

TEST_F(LoadChecks, ByteCountBeyondItsRangeAllocatesNothing) {
  const std::string path = save("count", crafted("byte-count-beyond-range").spec);
  testing::internal::CaptureStdout();
  EXPECT_EQ(minirun::vexoruntime_init(path.c_str(), 0), nullptr);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(trace.events("malloc").empty());
}

TEST_F(LoadChecks, PlacementCornersComputeTheirBytes) {
  // Activations below the io region of an io-alone net stay activations.
  minirun::vexoruntime runtime =
      minirun::vexoruntime_init(save("io", crafted("io-alone-activations-below-io").spec).c_str(), 0);
  ASSERT_NE(runtime, nullptr);
  EXPECT_EQ(run(runtime, 0, 0, {1, 2, 3, 4}), (Bytes{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));
  minirun::vexoruntime_free(runtime);

  // A coefficient area shared by two stages holds the larger one's bytes.
  runtime = minirun::vexoruntime_init(save("coeff", crafted("shared-coeff-shrinking").spec).c_str(), 0);
  ASSERT_NE(runtime, nullptr);
  Bytes coeff(32);
  for (uint8_t i = 0; i < 32; ++i) coeff[i] = i;
  EXPECT_EQ(run(runtime, 0, 0, Bytes(4, 0)), coeff);
  EXPECT_EQ(run(runtime, 0, 1, Bytes(2, 0)), Bytes(coeff.begin(), coeff.begin() + 16));
  minirun::vexoruntime_free(runtime);

  // The activation area of a converted file serves its current-form nets,
  // which come first.
  runtime = minirun::vexoruntime_init(save("legacy", crafted("legacy-beside-current").spec).c_str(), 0);
  ASSERT_NE(runtime, nullptr);
  EXPECT_EQ(run(runtime, 0, 0, {9, 8, 7, 6}), (Bytes{9, 8, 7, 6}));
  EXPECT_EQ(run(runtime, 1, 0, {1, 2, 3, 4}), (Bytes{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));
  minirun::vexoruntime_free(runtime);
  EXPECT_EQ(vexotest::live_at_close(trace), std::make_pair(int64_t{0}, int64_t{0}));
}

// 64 groups naming one 2 MiB range, every other one without BDC commands:
// the load reads the range's bytes once (with the stage's IR of the same
// size), not once per group.
TEST_F(LoadChecks, RepeatedGroupsReadTheirRangeOnce) {
  constexpr uint64_t kRange = 2u << 20;
  const std::string path = save("repeated", repeated_groups_model(64, kRange));
  const uint64_t before = bytes_read();
  minirun::vexoruntime runtime = minirun::vexoruntime_init(path.c_str(), 0);
  const uint64_t read = bytes_read() - before;
  ASSERT_NE(runtime, nullptr);
  EXPECT_LT(read, 4 * kRange);
  EXPECT_EQ(run(runtime, 0, 0, {5, 6, 7, 8}), (Bytes{5, 6, 7, 8}));
  const auto launches = trace.events("launch");
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0]["gdma"], 128);  // 64 groups of a copy and an end command
  minirun::vexoruntime_free(runtime);
}

}  // namespace
