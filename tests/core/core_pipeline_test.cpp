// End-to-end runs of models on the simulated device: the outputs are right
// only when parsing, placement, relocation, upload and launch all are.
#include <gtest/gtest.h>

#include <cstring>

#include "model_runs.h"
#include "externc/model_api.h"
#include "formats/command_format.h"
#include "samples/samples.h"
#include "utils/datagen.h"

namespace {

using vexotest::run_stage;
using divudida::ModelInfo;
using vexotest::Bytes;
using namespace vexo::samples;

Bytes concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class CorePipeline : public ::testing::Test {
 protected:
  std::string save(const ModelSpec& spec) {
    const std::string path = dir.path("model.bmodel");
    save_model(spec, path);
    return path;
  }
  vexotest::TempDir dir;
};

TEST_F(CorePipeline, GeneralSampleComputesEveryNetAndStage) {
  ModelInfo model = divudida::load_model(save(general_sample()).c_str(), 0);
  ASSERT_EQ(model.net_num, 3u);

  // embed: rows gathered from the coefficient table, valid filled with 1s
  const std::vector<int32_t> ids{3, 0, 15, 7};
  auto out = run_stage(model, 0, 1, {bytes_of(ids)});
  EXPECT_EQ(out[0], concat({embed_row(3), embed_row(0), embed_row(15), embed_row(7)}));
  EXPECT_EQ(out[1], bytes_of(std::vector<int32_t>{1, 1, 1, 1}));
  out = run_stage(model, 0, 0, {bytes_of(std::vector<int32_t>{9})});
  EXPECT_EQ(out[0], embed_row(9));

  // pad shares the activation area with embed
  out = run_stage(model, 2, 0, {Bytes{1, 2, 3, 4}});
  EXPECT_EQ(out[0], (Bytes{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));

  // reverse: io-alone, two command groups, stages sharing one coefficient
  // image compiled at different addresses
  const Bytes rows = concat({embed_row(1), embed_row(2), embed_row(3), embed_row(4)});
  out = run_stage(model, 1, 0, {rows});
  EXPECT_EQ(out[0], concat({embed_row(4), embed_row(3), embed_row(2), embed_row(1)}));
  out = run_stage(model, 1, 1, {concat({embed_row(5), embed_row(6)})});
  EXPECT_EQ(out[0], concat({embed_row(6), embed_row(5)}));

  const auto& reverse = model.nets[1].stages;
  EXPECT_EQ(reverse[0].coeff_device.u.device.device_addr, reverse[1].coeff_device.u.device.device_addr);
  EXPECT_EQ(reverse[0].coeff_offset - reverse[1].coeff_offset, 0x1000u);
  EXPECT_NE(reverse[0].io_global_addr, reverse[1].io_global_addr);
  EXPECT_EQ(model.nets[1].coeff_start_and_device_map.size(), 1u);
  for (const auto& net : model.nets) {
    for (const auto& stage : net.stages) EXPECT_EQ(stage.neuron_addr + stage.neuron_offset, model.neuron_global_addr);
  }
  divudida::free_model(model);
}

TEST_F(CorePipeline, FreeModelLeavesNoDeviceMemory) {
  vexotest::SimTrace trace(dir);
  ModelInfo model = divudida::load_model(save(general_sample()).c_str(), 0);
  run_stage(model, 2, 0, {Bytes{1, 2, 3, 4}});
  divudida::free_model(model);
  EXPECT_EQ(vexotest::live_at_close(trace), std::make_pair(int64_t{0}, int64_t{0}));
  EXPECT_EQ(trace.events("malloc").size(), trace.events("free").size());
  EXPECT_EQ(trace.events("unload_module").size(), 1u);
}

TEST_F(CorePipeline, CoefficientUploadIsTimedOnce) {
  testing::internal::CaptureStdout();
  ModelInfo model = divudida::load_model(save(general_sample()).c_str(), 0);
  const std::string log = testing::internal::GetCapturedStdout();
  divudida::free_model(model);
  const std::string line = "{ coeff_to_device(model_info_p, true); } elapsed time: ";
  ASSERT_NE(log.find(line), std::string::npos);
  EXPECT_EQ(log.find(line), log.rfind(line));
  EXPECT_NE(log.find("[level5] "), std::string::npos);
}

// Relocated addresses whose low word carries into bit 32: the activation
// area starts 4 KiB below 4 GiB.
TEST_F(CorePipeline, RelocationCarriesIntoBit32) {
  vexotest::set_env("VEXO_SIM_BASE", "0xFFFFF000");
  StageSpec stage;
  stage.ctx_addr = 0x100000;
  stage.ctx_sizes = {0x2000};
  stage.coeff_addr = 0x1000;
  stage.inputs = {TensorSpec{"in", BM_UINT8, {16}, 0x100F00}};
  stage.outputs = {TensorSpec{"out", BM_UINT8, {16}, 0x101100}};
  stage.groups = {GroupSpec{{Bdc{}}, {gdma_copy(0x100F00, 0x101100, 1, 16)}}};
  ModelInfo model = divudida::load_model(vexotest::save_single_stage(dir, stage).c_str(), 0);
  ASSERT_EQ(model.neuron_global_addr, 0xFFFFF000u);

  Bytes in(16);
  for (uint8_t i = 0; i < 16; ++i) in[i] = static_cast<uint8_t>(0xA0 + i);
  EXPECT_EQ(run_stage(model, 0, 0, {in})[0], in);

  // The uploaded command: destination 0x1_0000_0100, bits 8-31 of the high
  // word untouched.
  const auto& s = model.nets[0].stages[0];
  const Bytes cmd = vexotest::read_device(model.bm_handle, s.gdma_cmd_device.u.device.device_addr, 96);
  namespace c = vexofmt::cmd;
  EXPECT_EQ(c::load_word(cmd.data(), c::kGdmaDstWord), 0x100u);
  EXPECT_EQ(c::load_word(cmd.data(), c::kGdmaDstWord + 1), 0x5A5A01u);
  EXPECT_EQ(c::load_addr40(cmd.data(), c::kGdmaSrcWord), 0xFFFFFF00u);
  divudida::free_model(model);
}

// Three static subnets run as the chain 0 -> 2; subnet 1 never runs. Every
// subnet walks the stage's command buffer from its start, as far as its own
// group counts go.
TEST_F(CorePipeline, SubnetChainFollowsNextIds) {
  vexotest::SimTrace trace(dir);
  const uint64_t in = 0x100000, out = 0x100100;
  const Gdma a = gdma_copy(in, out, 1, 4), b = gdma_fill(0xBBBBBBBB, out + 4, 1, 4),
             c = gdma_fill(0xCCCCCCCC, out + 8, 1, 4);
  StageSpec stage;
  stage.ctx_addr = in;
  stage.ctx_sizes = {0x200};
  stage.coeff_addr = 0x1000;
  stage.inputs = {TensorSpec{"in", BM_UINT8, {4}, in}};
  stage.outputs = {TensorSpec{"out", BM_UINT8, {12}, out}};
  stage.groups = {GroupSpec{{Bdc{}}, {a, b, c}}};
  const auto subnet = [&](int32_t id, int32_t next, std::vector<Gdma> commands) {
    SubnetSpec s;
    s.id = id;
    s.next = {next};
    s.groups = {GroupSpec{{Bdc{}}, std::move(commands)}};
    s.inputs = stage.inputs;
    s.outputs = stage.outputs;
    return s;
  };
  stage.subnets = {subnet(10, 2, {a}), subnet(11, -1, {a, b, c}), subnet(12, -1, {a, b})};
  ModelInfo model = divudida::load_model(vexotest::save_single_stage(dir, stage).c_str(), 0);
  const size_t before = trace.size();
  EXPECT_EQ(run_stage(model, 0, 0, {Bytes{1, 2, 3, 4}})[0],
            (Bytes{1, 2, 3, 4, 0xBB, 0xBB, 0xBB, 0xBB, 0, 0, 0, 0}));
  const auto launches = trace.events_since(before, "launch");
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(launches[0]["gdma"], 2);
  EXPECT_EQ(launches[1]["gdma"], 3);
  divudida::free_model(model);
}

// A dynamic stage with IR, two contexts and three dynamic subnets: the IR
// lands on the device and every launch record is exact.
TEST_F(CorePipeline, DynamicStageLaunchRecordsAreExact) {
  vexotest::SimTrace trace(dir);
  StageSpec stage;
  stage.is_dynamic = true;
  stage.ctx_addr = 0x100000;
  stage.ctx_sizes = {0x100, 0x80};
  stage.inputs = {TensorSpec{"image", BM_FLOAT16, {1, 3, 4, 4}, 0x100000}};
  stage.outputs = {TensorSpec{"score", BM_FLOAT32, {1, 2}, 0x100100}};
  for (size_t i = 0; i < 1024; ++i) stage.ir.push_back(static_cast<uint8_t>(i * 7));
  const uint32_t offsets[] = {0, 256, 512}, lengths[] = {40, 101, 256};
  for (int32_t k = 0; k < 3; ++k) {
    SubnetSpec s;
    s.id = k;
    s.next = {k == 2 ? -1 : k + 1};
    s.is_dynamic = true;
    s.inputs = stage.inputs;
    s.outputs = stage.outputs;
    s.ir_offset = offsets[k];
    s.ir_len = lengths[k];
    stage.subnets.push_back(s);
  }
  ModelInfo model = divudida::load_model(vexotest::save_single_stage(dir, stage).c_str(), 0);
  const auto& st = model.nets[0].stages[0];
  const uint64_t ir = st.ir_device.u.device.device_addr;
  EXPECT_EQ(vexotest::read_device(model.bm_handle, ir, 1024), stage.ir);
  EXPECT_EQ(st.bdc_cmd_device.u.device.device_addr, 0u);

  const size_t before = trace.size();
  divudida::run_model(model, 0, 0);
  const auto launches = trace.events_since(before, "launch");
  ASSERT_EQ(launches.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(st.subnets[k].ir_global_addr, ir + offsets[k]);
    vexotest::Bytes expected;
    const auto put = [&](uint64_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) expected.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    put(ir + offsets[k], 8);
    put((lengths[k] + 3) / 4, 4);
    put(1, 4);                               // inputs
    put(0x100000 + st.neuron_offset, 8);     // input address
    put(4 | (BM_FLOAT16 << 16), 4);          // dims and type
    for (const uint64_t d : {1, 3, 4, 4}) put(d, 4);
    put(48, 4);                              // elements
    put(1, 4);                               // outputs
    put(0x100100 + st.neuron_offset, 8);
    put(0, 4);
    put(0, 8);
    put(0x100000, 8);                        // compiled activation start
    put(2, 4);                               // contexts
    put(0x100, 8), put(st.neuron_offset, 8);
    put(0x180, 8), put(st.neuron_offset, 8);
    put(0, 8);                               // coefficient offset: no coefficients
    put(0, 8);                               // io_addr
    put(st.neuron_offset, 8);
    expected.resize(68 + 48 + 8 + 32, 0);    // room for 8 dimensions
    EXPECT_EQ(launches[k]["id"], 2);
    EXPECT_EQ(launches[k]["param"], vexotest::hex(expected)) << "subnet " << k;
  }
  divudida::free_model(model);
}

// A net stored in the legacy form loads and runs like its current-form twin.
TEST_F(CorePipeline, LegacyFormNetRunsLikeItsTwin) {
  ModelSpec spec = general_sample();
  spec.nets = {spec.nets[2]};
  spec.nets[0].legacy = true;
  ModelInfo model = divudida::load_model(save(spec).c_str(), 0);
  ASSERT_EQ(model.nets[0].name, "pad");
  EXPECT_EQ(model.nets[0].stages[0].ctx_borders, std::vector<uint64_t>{0x20});
  EXPECT_EQ(run_stage(model, 0, 0, {Bytes{9, 8, 7, 6}})[0], (Bytes{9, 8, 7, 6, 0xEE, 0xEE, 0xEE, 0xEE}));
  divudida::free_model(model);
}

TEST_F(CorePipeline, ExportedStepsRunTheSamePipeline) {
  ModelInfo model = divudida::read_bmodel(save(general_sample()).c_str(), 0);
  ::move_to_device(&model);
  ::compile_io_addr(&model);
  ::fill_api_info(&model);
  ASSERT_EQ(model.state, divudida::ModelState::launch_ready);
  const auto& s = model.nets[2].stages[0];
  vexotest::write_device(model.bm_handle, s.input_tensor_global_addr[0], Bytes{5, 6, 7, 8});
  ::run_model(&model, 2, 0);
  EXPECT_EQ(vexotest::read_device(model.bm_handle, s.output_tensor_global_addr[0], 8),
            (Bytes{5, 6, 7, 8, 0xEE, 0xEE, 0xEE, 0xEE}));
  ::free_model(&model);
  ::free_model(&model);  // a second release is harmless
  ::free_model(nullptr);
}

}  // namespace
