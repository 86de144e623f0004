// Malformed models and device failures: every one is refused with an error
// line, and nothing of the half-loaded model stays on the device.
#include <gtest/gtest.h>

#include "bmodel/bmodel.h"
#include "model_runs.h"
#include "externc/model_api.h"
#include "samples/samples.h"
#include "utils/datagen.h"

namespace {

using divudida::ModelError;
using divudida::ModelInfo;
using vexotest::Bytes;
using namespace vexo::samples;

// The pad net of the general sample: one static stage, one command group.
StageSpec pad() { return general_sample().nets[2].stages[0]; }

class BadInput : public ::testing::Test {
 protected:
  // Loads a model that must be refused with a line containing `message`,
  // and checks that the device is left empty.
  void expect_refused(const std::string& path, const std::string& message) {
    testing::internal::CaptureStdout();
    EXPECT_THROW(divudida::load_model(path.c_str(), 0), std::runtime_error);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find(message), std::string::npos) << log;
    if (!trace.events("open").empty()) {
      EXPECT_EQ(vexotest::live_at_close(trace), std::make_pair(int64_t{0}, int64_t{0}));
    }
  }

  std::string save(StageSpec stage, int32_t addr_mode = 0) {
    return vexotest::save_single_stage(dir, stage, addr_mode);
  }

  vexotest::TempDir dir;
  vexotest::SimTrace trace{dir};
};

TEST_F(BadInput, MissingFile) { expect_refused(dir.path("absent.bmodel"), "Failed to open model file["); }

TEST_F(BadInput, RequiredTablesMissing) {
  StageSpec s = pad();
  s.patch = [](bmodel::NetParameterT& p) { p.coeff_mem.reset(); };
  expect_refused(save(s), "net[net] stage[0] has no coeff_mem");

  s.patch = [](bmodel::NetParameterT& p) { p.coeff_mem->binary_coeff.reset(); };
  expect_refused(save(s), "has no binary_coeff");

  s.patch = [](bmodel::NetParameterT& p) { p.input_tensor[0]->shape.clear(); };
  expect_refused(save(s), "tensor[data] has no shape");

  s.patch = [](bmodel::NetParameterT& p) { p.cmd_group[0]->binary_gdma.reset(); };
  expect_refused(save(s), "cmd_group[0] has no binary_gdma");

  s = pad();
  s.subnets.push_back(SubnetSpec{});
  s.subnets[0].next.clear();
  expect_refused(save(s), "subnet[0] has no next_subnet_ids");
}

TEST_F(BadInput, RangesOutsideThePayload) {
  StageSpec s = pad();
  s.patch = [](bmodel::NetParameterT& p) {
    p.coeff_mem->binary_coeff = std::make_unique<bmodel::Binary>(UINT64_MAX - 4, 16);
  };
  expect_refused(save(s), "binary_coeff [18446744073709551611, +16) lies outside the payload");

  s.patch = [](bmodel::NetParameterT& p) { p.cmd_group[0]->binary_bdc = std::make_unique<bmodel::Binary>(0, 1ull << 40); };
  expect_refused(save(s), "binary_bdc");

  s.patch = [](bmodel::NetParameterT& p) { p.binary_ir = std::make_unique<bmodel::Binary>(1ull << 62, 1); };
  expect_refused(save(s), "binary_ir");
}

TEST_F(BadInput, TooManyInputDimensions) {
  StageSpec s = pad();
  s.inputs[0].shape = {1, 1, 1, 1, 1, 1, 1, 1, 4};
  expect_refused(save(s), "input[data] has 9 dimensions, more than 8");
}

TEST_F(BadInput, StaticStageWithoutCommands) {
  StageSpec s = pad();
  s.groups.clear();
  expect_refused(save(s), "is static but has no BDC or no GDMA commands");
  s = pad();
  s.groups[0].bdc.clear();
  expect_refused(save(s), "is static but has no BDC or no GDMA commands");
}

TEST_F(BadInput, BdcCommandWithoutLength) {
  StageSpec s = pad();
  s.groups[0].bdc = {Bdc{true, 0, 0}, Bdc{true, 7, 0}};
  expect_refused(save(s), "BDC command 1 has a task type without a length");
}

TEST_F(BadInput, CommandsOverrunTheirGroup) {
  StageSpec s = pad();
  s.patch = [](bmodel::NetParameterT& p) { p.cmd_group[0]->gdma_cmd_byte = 100; };
  expect_refused(save(s), "GDMA command 1 overruns the group's recorded 100 bytes");

  s.patch = [](bmodel::NetParameterT& p) {
    p.cmd_group[0]->gdma_num = 5;
    p.cmd_group[0]->gdma_cmd_byte = static_cast<uint32_t>(p.cmd_group[0]->binary_gdma->size());
  };
  expect_refused(save(s), "overruns its payload range");

  s.patch = [](bmodel::NetParameterT& p) { p.cmd_group[0]->bdc_num = 2; };
  expect_refused(save(s), "BDC command 1 overruns its payload range");
}

TEST_F(BadInput, AddressOutsideItsRegion) {
  StageSpec s = pad();
  s.groups[0].gdma.push_back(gdma_copy(0x100000, 0x100000 + 0x20, 1, 4));  // one past the activations
  expect_refused(save(s), "GDMA address 0x100020 lies outside its region");
}

TEST_F(BadInput, AreasThatDoNotFit) {
  StageSpec s = pad();
  s.ctx_sizes = {0x100000000};
  expect_refused(save(s), "the activation area of 4294967296 bytes does not fit a 32-bit device allocation");

  s = pad();
  s.io_size = 0x100000000;
  expect_refused(save(s, 1), "io area of 4294967296 bytes does not fit");

  s = pad();
  s.patch = [](bmodel::NetParameterT& p) { p.ctx_sizes = {0x20, 0x20}; };  // more than the model's area
  expect_refused(save(s), "needs 64 bytes of activations, more than the model's activation area of 32 bytes");
}

// Every allocation of a load fails in turn: the load is refused and the
// device is left empty.
class FailingAllocation : public BadInput, public ::testing::WithParamInterface<int> {};

TEST_F(BadInput, GeneralSampleAllocatesSixteenAreas) {
  save_model(general_sample(), dir.path("general.bmodel"));
  ModelInfo model = divudida::load_model(dir.path("general.bmodel").c_str(), 0);
  divudida::free_model(model);
  EXPECT_EQ(trace.events("malloc").size(), 16u);
}

TEST_P(FailingAllocation, LeavesNothingBehind) {
  vexotest::set_env("VEXO_SIM_FAIL_MALLOC", std::to_string(GetParam()));
  save_model(general_sample(), dir.path("general.bmodel"));
  expect_refused(dir.path("general.bmodel"), "Failed to allocate ");
}

INSTANTIATE_TEST_SUITE_P(EveryArea, FailingAllocation, ::testing::Range(1, 17));

// Every copy of a load fails in turn, likewise.
class FailingCopy : public BadInput, public ::testing::WithParamInterface<int> {};

TEST_F(BadInput, GeneralSampleLoadsWithTwelveCopies) {
  save_model(general_sample(), dir.path("general.bmodel"));
  ModelInfo model = divudida::load_model(dir.path("general.bmodel").c_str(), 0);
  divudida::free_model(model);
  EXPECT_EQ(trace.events("s2d").size() + trace.events("d2s").size() + trace.events("d2d").size(), 12u);
}

TEST_P(FailingCopy, LeavesNothingBehind) {
  vexotest::set_env("VEXO_SIM_FAIL_COPY", std::to_string(GetParam()));
  save_model(general_sample(), dir.path("general.bmodel"));
  expect_refused(dir.path("general.bmodel"), "status: 2");
}

INSTANTIATE_TEST_SUITE_P(EveryCopy, FailingCopy, ::testing::Range(1, 13));

TEST_F(BadInput, FailedStepLeavesAStateLaterStepsRefuse) {
  vexotest::set_env("VEXO_SIM_FAIL_MALLOC", "5");
  save_model(general_sample(), dir.path("general.bmodel"));
  ModelInfo model = divudida::read_bmodel(dir.path("general.bmodel").c_str(), 0);
  testing::internal::CaptureStdout();
  ::move_to_device(&model);
  ::compile_io_addr(&model);
  ::fill_api_info(&model);
  ::run_model(&model, 0, 0);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(model.state, divudida::ModelState::failed);
  EXPECT_NE(log.find("Cannot compute tensor addresses: the model is failed to load"), std::string::npos) << log;
  EXPECT_NE(log.find("Cannot run the model: the model is failed to load"), std::string::npos);
  EXPECT_TRUE(trace.events("launch").empty());
  ::free_model(&model);
  EXPECT_EQ(vexotest::live_at_close(trace), std::make_pair(int64_t{0}, int64_t{0}));
}

TEST_F(BadInput, RunWithBadIndicesLaunchesNothing) {
  StageSpec s = pad();
  s.subnets = {SubnetSpec{}, SubnetSpec{}};
  s.subnets[0].next = {1};
  s.subnets[1].next = {5};  // leaves the list
  for (SubnetSpec& subnet : s.subnets) {
    subnet.groups = s.groups;
    subnet.inputs = s.inputs;
    subnet.outputs = s.outputs;
  }
  ModelInfo model = divudida::load_model(save(s).c_str(), 0);
  testing::internal::CaptureStdout();
  ::run_model(&model, 1, 0);
  ::run_model(&model, 0, 1);
  ::run_model(&model, 0, 0);
  model.nets[0].stages[0].subnets[1].next_subnet_ids = {0};  // a cycle
  ::run_model(&model, 0, 0);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("Net index 1 is out of range: the model has 1 nets"), std::string::npos) << log;
  EXPECT_NE(log.find("Stage index 1 is out of range: net[net] has 1 stages"), std::string::npos);
  EXPECT_NE(log.find("the subnet chain leaves the subnet list at index 5 (2 subnets)"), std::string::npos);
  EXPECT_NE(log.find("the subnet chain runs in a cycle"), std::string::npos);
  EXPECT_TRUE(trace.events("launch").empty());
  divudida::free_model(model);
}

// A refused launch fails that run only: the model stays placed, and the
// next run of the same stage computes its bytes.
TEST_F(BadInput, FailedLaunchFailsOnlyThatRun) {
  vexotest::set_env("VEXO_SIM_FAIL_LAUNCH", "1");
  save_model(general_sample(), dir.path("general.bmodel"));
  ModelInfo model = divudida::load_model(dir.path("general.bmodel").c_str(), 0);
  testing::internal::CaptureStdout();
  EXPECT_THROW(divudida::run_model(model, 2, 0), ModelError);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("funcid   1   tpu_kernel_launch failed"), std::string::npos) << log;
  EXPECT_EQ(model.state, divudida::ModelState::launch_ready);
  EXPECT_EQ(vexotest::run_stage(model, 2, 0, {Bytes{1, 2, 3, 4}}),
            std::vector<Bytes>{(Bytes{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE})});
  const auto launches = trace.events("launch");
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(launches[0]["status"], BM_ERR_FAILURE);
  EXPECT_EQ(launches[1]["status"], BM_SUCCESS);
  divudida::free_model(model);
  EXPECT_EQ(vexotest::live_at_close(trace), std::make_pair(int64_t{0}, int64_t{0}));
}

}  // namespace
