// Introspection of a loaded model through the C interface, on a model beyond
// the flat description's capacities, and the reasons vexo_get_last_error
// gives for refused calls, per thread.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "bmodel/bmodel.h"
#include "externc/model_info_c.h"
#include "runtime/miniruntime.h"
#include "runtime_models.h"
#include "samples/samples.h"
#include "tensor_test_support.h"
#include "vexo.h"

namespace {

using tensortest::errors_of;
using tensortest::Lines;
using vexo::samples::kWideInputs;
using vexo::samples::wide_input_name;

class Describe : public ::testing::Test {
 protected:
  void TearDown() override { vexoruntime_free(runtime); }
  vexoruntime open(const vexo::samples::ModelSpec& spec) {
    const std::string path = dir.path("model.bmodel");
    vexo::samples::save_model(spec, path);
    runtime = vexoruntime_init(path.c_str(), 0);
    EXPECT_NE(runtime, nullptr);
    return runtime;
  }

  vexotest::TempDir dir;
  vexoruntime runtime = nullptr;
};

TEST_F(Describe, ListsAndRunsAModelBeyondTheFlatDescription) {
  ASSERT_NE(open(vexo::samples::wide_sample()), nullptr);
  ASSERT_EQ(vexoruntime_get_net_count(runtime), 1u);
  EXPECT_STREQ(vexoruntime_get_net_name(runtime, 0), "wide");
  ASSERT_EQ(vexoruntime_get_stage_count(runtime, 0), 1u);
  ASSERT_EQ(vexoruntime_get_tensor_count(runtime, 0, 0, 'i'), kWideInputs);
  ASSERT_EQ(vexoruntime_get_tensor_count(runtime, 0, 0, 'O'), 1u);

  vexo_tensor_desc desc{};
  ASSERT_TRUE(vexoruntime_get_tensor_desc(runtime, 0, 0, 'I', 0, &desc));
  EXPECT_EQ(std::string(desc.name).size(), 200u);
  EXPECT_EQ(desc.name, wide_input_name(0));
  EXPECT_EQ(desc.dtype, BM_UINT8);
  ASSERT_EQ(desc.dims, 1u);
  EXPECT_EQ(desc.shape[0], 1u);
  EXPECT_EQ(desc.size, 1u);
  ASSERT_TRUE(vexoruntime_get_tensor_desc(runtime, 0, 0, 'o', 0, &desc));
  EXPECT_STREQ(desc.name, "gathered");
  ASSERT_EQ(desc.dims, 9u);
  const uint64_t shape[9] = {1, 1, 1, 1, 1, 1, 1, 2, 35};
  for (size_t d = 0; d < 9; ++d) EXPECT_EQ(desc.shape[d], shape[d]) << d;
  EXPECT_EQ(desc.size, kWideInputs);

  // Every input reaches its own byte of the output.
  vexotest::Bytes inputs(kWideInputs);
  for (size_t i = 0; i < kWideInputs; ++i) {
    inputs[i] = static_cast<uint8_t>(3 * i + 1);
    vexoruntime_set_input_s2d(runtime, i, &inputs[i], 1);
  }
  vexoruntime_run(runtime, true);
  const VexoTensor* gathered = vexoruntime_get_io_tensor(runtime, 'o', 0);
  ASSERT_NE(gathered, nullptr);
  ASSERT_EQ(gathered->size, kWideInputs);
  EXPECT_EQ(vexotest::Bytes(static_cast<uint8_t*>(gathered->data), static_cast<uint8_t*>(gathered->data) + 70),
            inputs);

  // The flat description refuses the model and says why.
  ModelInfo* model = vexoruntime_get_model_info(runtime);
  EXPECT_EQ(model, &runtime->model_info);
  EXPECT_EQ(convert_model_info(model), nullptr);
  EXPECT_STREQ(vexo_get_last_error(),
               "Cannot convert the model description: net[wide] stage[0] has 70 inputs and 70 device addresses "
               "for them (at most 64)");
}

TEST_F(Describe, AnyStageWithoutSelectingItAndRefusedCallsWithTheirReasons) {
  ASSERT_NE(open(vexo::samples::general_sample()), nullptr);
  // Net 1 ("reverse"), stage 1, while net 0 stage 0 stays selected.
  vexo_tensor_desc desc{};
  ASSERT_TRUE(vexoruntime_get_tensor_desc(runtime, 1, 1, 'i', 0, &desc));
  EXPECT_STREQ(desc.name, "rows");
  EXPECT_EQ(desc.dtype, BM_FLOAT16);
  ASSERT_EQ(desc.dims, 2u);
  EXPECT_EQ(desc.shape[0], 2u);
  EXPECT_EQ(desc.shape[1], 4u);
  EXPECT_EQ(desc.size, 16u);
  EXPECT_EQ(runtime->cur_net_idx, 0u);
  EXPECT_EQ(runtime->cur_stage_idx, 0u);

  const auto refused = [](auto call) {
    Lines errors = errors_of(call);
    EXPECT_EQ(errors.size(), 1u);
    if (errors.size() != 1) return std::string();
    EXPECT_EQ(errors[0], vexo_get_last_error());
    return errors[0];
  };
  EXPECT_EQ(refused([&] { EXPECT_EQ(vexoruntime_get_net_name(runtime, 3), nullptr); }),
            "Net index 3 is out of range: the model has 3 nets");
  EXPECT_EQ(refused([&] { EXPECT_EQ(vexoruntime_get_stage_count(runtime, 7), 0u); }),
            "Net index 7 is out of range: the model has 3 nets");
  EXPECT_EQ(refused([&] { EXPECT_EQ(vexoruntime_get_tensor_count(runtime, 2, 1, 'i'), 0u); }),
            "Stage index 1 is out of range: net[pad] has 1 stages");
  EXPECT_EQ(refused([&] { EXPECT_EQ(vexoruntime_get_tensor_count(runtime, 0, 0, 'x'), 0u); }),
            "Invalid io_type 'x': 'i' for inputs, 'o' for outputs");
  EXPECT_EQ(refused([&] { EXPECT_FALSE(vexoruntime_get_tensor_desc(runtime, 0, 0, 'o', 2, &desc)); }),
            "Tensor index 2 is out of range: the stage has 2 outputs");
  EXPECT_EQ(refused([&] { EXPECT_FALSE(vexoruntime_get_tensor_desc(runtime, 0, 0, 'o', 0, nullptr)); }),
            "Invalid desc: null");
  for (auto call : {+[] { EXPECT_EQ(vexoruntime_get_net_count(nullptr), 0u); },
                    +[] { EXPECT_EQ(vexoruntime_get_model_info(nullptr), nullptr); },
                    +[] { EXPECT_EQ(vexoruntime_get_net_name(nullptr, 0), nullptr); }}) {
    EXPECT_EQ(refused(call), "Invalid runtime");
  }

  // Another thread has its own record: empty until it fails itself.
  std::string fresh, own;
  std::thread([&] {
    fresh = vexo_get_last_error();
    vexoruntime_get_net_name(runtime, 9);
    own = vexo_get_last_error();
  }).join();
  EXPECT_EQ(fresh, "");
  EXPECT_EQ(own, "Net index 9 is out of range: the model has 3 nets");
  EXPECT_EQ(std::string(vexo_get_last_error()), "Invalid runtime");
}

TEST(LastError, HoldsTheModelContainersLinesAndErrorsBelowTheThreshold) {
  vexotest::TempDir dir;
  const std::string missing = dir.path("missing.bmodel");
  EXPECT_THROW(bmodel::ModelCtx(missing, "", nullptr), std::runtime_error);
  EXPECT_EQ(std::string(vexo_get_last_error()), "File[" + missing + "] open failed.");

  // LOG_LEVEL=0 prints nothing, yet the reason is kept.
  setenv("LOG_LEVEL", "0", 1);
  const std::string printed = tensortest::printed([] { EXPECT_EQ(vexoruntime_get_net_count(nullptr), 0u); });
  unsetenv("LOG_LEVEL");
  EXPECT_EQ(printed, "");
  EXPECT_STREQ(vexo_get_last_error(), "Invalid runtime");
}

}  // namespace
