// Command lengths, DMA address relocation and launch record layouts on
// hand-made descriptions.
#include <gtest/gtest.h>

#include <cstring>

#include "formats/command_format.h"
#include "src/core/model_steps.h"
#include "samples/commands.h"

namespace {

using namespace divudida;
namespace c = vexofmt::cmd;

uint32_t u32_at(const std::vector<uint8_t>& record, size_t offset) {
  uint32_t v;
  std::memcpy(&v, record.data() + offset, 4);
  return v;
}

uint64_t u64_at(const std::vector<uint8_t>& record, size_t offset) {
  uint64_t v;
  std::memcpy(&v, record.data() + offset, 8);
  return v;
}

uint32_t bdc_len(bool is_short, uint32_t tsk, uint32_t eu, u64 offset = 0, bool last = false) {
  uint32_t words[2] = {is_short ? 1u : 0u, tsk << 9 | eu << 13};
  return get_bdc_cmd_len(words, offset, last);
}

TEST(CommandLengths, BdcTable) {
  EXPECT_EQ(bdc_len(true, 2, 3), 48u);
  EXPECT_EQ(bdc_len(true, 2, 4), 32u);
  EXPECT_EQ(bdc_len(true, 12, 0), 16u);
  EXPECT_EQ(bdc_len(false, 15, 0), 16u);
  EXPECT_EQ(bdc_len(false, 3, 0), 128u);
  EXPECT_EQ(bdc_len(true, 0, 0), 64u);
  EXPECT_EQ(bdc_len(true, 13, 0), 48u);
  EXPECT_EQ(bdc_len(true, 9, 0), 32u);
  EXPECT_EQ(bdc_len(true, 3, 24), 16u);
  EXPECT_EQ(bdc_len(true, 3, 23), 64u);
  for (const uint32_t invalid : {7u, 8u, 11u}) EXPECT_EQ(bdc_len(true, invalid, 0), 0u) << invalid;
}

TEST(CommandLengths, LastCommandPadsTheGroup) {
  EXPECT_EQ(bdc_len(true, 4, 0, 208, true), 48u);
  EXPECT_EQ(bdc_len(true, 4, 0, 224, true), 32u);
  EXPECT_EQ(get_gdma_cmd_len(0, false), 96u);
  EXPECT_EQ(get_gdma_cmd_len(192, true), 64u);
  EXPECT_EQ(get_gdma_cmd_len(0, true), 128u);
  EXPECT_EQ(get_gdma_cmd_len(96, true), 32u);
  EXPECT_EQ(get_gdma_cmd_len(288, true), 96u);
}

// A net of one stage with coefficients at [0x1000, 0x2000), io at
// [0x10000, 0x10100) and activations from 0x100000.
class Relocation : public ::testing::Test {
 protected:
  Relocation() {
    StageInfo stage;
    stage.coeff_addr = 0x1000;
    stage.coeff_size = 0x1000;
    stage.coeff_offset = 0x7000000000 - 0x1000;
    stage.io_addr = 0x10000;
    stage.io_size = 0x100;
    stage.io_offset = 0x8000000000 - 0x10000;
    stage.neuron_addr = 0x100000;
    stage.neuron_size = 0x10000;
    stage.neuron_offset = 0x9000000000 - 0x100000;
    net.stages.push_back(stage);
    net.addr_mode = 1;
  }

  std::vector<uint8_t> relocate(const vexo::samples::Gdma& command, bool last = false) {
    std::vector<uint8_t> bytes = vexo::samples::encode_gdma(command);
    convert_gdma_cmd(&net, reinterpret_cast<uint32_t*>(bytes.data()), last, 0);
    return bytes;
  }

  NetInfo net;
};

TEST_F(Relocation, EachRegionGetsItsOffset) {
  const auto bytes = relocate(vexo::samples::gdma_gather(0x1800, 0x10010, 0x100020, 1, 4, 1));
  EXPECT_EQ(c::load_addr40(bytes.data(), c::kGdmaSrcWord), 0x7000000800u);
  EXPECT_EQ(c::load_addr40(bytes.data(), c::kGdmaIndexWord), 0x8000000010u);
  EXPECT_EQ(c::load_addr40(bytes.data(), c::kGdmaDstWord), 0x9000000020u);
  // bits 8-31 of the high words belong to other fields
  EXPECT_EQ(c::load_word(bytes.data(), c::kGdmaDstWord + 1) >> 8, 0x5A5Au);
}

TEST_F(Relocation, WhatIsNotAnAddressStays) {
  // below the coefficients, a fill pattern, the index of a plain copy, the
  // end command
  auto bytes = relocate(vexo::samples::gdma_copy(0x100, 0x200, 1, 4));
  EXPECT_EQ(c::load_addr40(bytes.data(), c::kGdmaSrcWord), 0x100u);
  EXPECT_EQ(c::load_addr40(bytes.data(), c::kGdmaDstWord), 0x200u);
  bytes = relocate(vexo::samples::gdma_fill(0x123456, 0x100000, 1, 4));
  EXPECT_EQ(c::load_addr40(bytes.data(), c::kGdmaSrcWord), 0x123456u);
  EXPECT_EQ(c::load_addr40(bytes.data(), c::kGdmaDstWord), 0x9000000000u);
  vexo::samples::Gdma type1 = vexo::samples::gdma_copy(0x100, 0x100000, 1, 4);
  type1.type = 1;
  type1.index = 0x100004;
  bytes = relocate(type1);
  EXPECT_EQ(c::load_addr40(bytes.data(), c::kGdmaIndexWord), 0x100004u);
  bytes = relocate(vexo::samples::gdma_copy(0x1800, 0x100000, 1, 4), true);
  EXPECT_EQ(bytes, vexo::samples::encode_gdma(vexo::samples::gdma_copy(0x1800, 0x100000, 1, 4)));
}

TEST_F(Relocation, IoRangeUsesTheActivationOffsetUnlessIoAlone) {
  net.addr_mode = 0;
  net.stages[0].neuron_addr = 0x10000;  // the io tensors live in the activations
  const auto bytes = relocate(vexo::samples::gdma_copy(0x10010, 0x10020, 1, 4));
  EXPECT_EQ(c::load_addr40(bytes.data(), c::kGdmaSrcWord), 0x9000000000u - 0x100000 + 0x10010);
}

TEST_F(Relocation, OffsetsWrapModulo2To64) {
  // The device area lies 512 MiB below the compiled activation start.
  StageInfo& s = net.stages[0];
  const u64 device = 0x200000000;
  s.neuron_addr = device + 0x20000000;
  s.neuron_offset = device - s.neuron_addr;
  EXPECT_EQ(s.neuron_offset, UINT64_MAX - 0x20000000 + 1);
  const auto bytes = relocate(vexo::samples::gdma_copy(0x100, s.neuron_addr + 256, 1, 4));
  EXPECT_EQ(c::load_addr40(bytes.data(), c::kGdmaDstWord), device + 256);
}

TEST_F(Relocation, AddressesOutsideTheirRegionAreRefused) {
  testing::internal::CaptureStdout();
  EXPECT_THROW(relocate(vexo::samples::gdma_copy(0x100, 0x110000, 1, 4)), ModelError);  // past the activations
  EXPECT_THROW(relocate(vexo::samples::gdma_copy(0x100, 0x8000, 1, 4)), ModelError);    // below the io region
  EXPECT_NE(testing::internal::GetCapturedStdout().find("lies outside its region"), std::string::npos);
}

// A stage whose tensors and command groups the records describe.
StageInfo stage_with(size_t inputs, size_t outputs, size_t groups) {
  StageInfo stage;
  for (size_t i = 0; i < inputs; ++i) {
    stage.input_tensor.push_back(TensorInfo{});
    stage.input_tensor.back().size = 0x100000000 + 100 + i;  // only the low 32 bits are sent
    stage.input_tensor_global_addr.push_back(0x5000000000 + 0x100 * i);
  }
  for (size_t j = 0; j < outputs; ++j) {
    stage.output_tensor.push_back(TensorInfo{});
    stage.output_tensor.back().size = 200 + j;
    stage.output_tensor_global_addr.push_back(0x6000000000 + 0x100 * j);
  }
  for (size_t k = 0; k < groups; ++k) {
    CmdGroup g;
    g.bdc_num = 10 + k;
    g.gdma_num = 20 + k;
    g.bdc_cmd.size = 1000 + k;
    g.gdma_cmd.size = 2000 + k;
    stage.cmd_group.push_back(g);
  }
  return stage;
}

TEST(LaunchRecords, StaticLayout) {
  StageInfo stage = stage_with(2, 1, 3);
  bm1684x_fill_static_api_info(7, stage, 0xAA00000000, 0xBB00000000);
  const ApiInfo& api = stage.api_info;
  ASSERT_EQ(api.api_data.size(), 1u);
  const auto& r = api.api_data[0];
  ASSERT_EQ(r.size(), 136u);
  EXPECT_EQ(api.api_id, 7);
  EXPECT_EQ(api.input_addr_offset, (std::vector<u32>{4, 24}));
  EXPECT_EQ(api.output_addr_offset, std::vector<u32>{48});
  EXPECT_EQ(u32_at(r, 0), 2u);
  EXPECT_EQ(u64_at(r, 4), 0x5000000000u);
  EXPECT_EQ(u64_at(r, 12), 0x5000000000u);
  EXPECT_EQ(u32_at(r, 20), 100u);
  EXPECT_EQ(u64_at(r, 24), 0x5000000100u);
  EXPECT_EQ(u32_at(r, 44), 1u);
  EXPECT_EQ(u64_at(r, 48), 0x6000000000u);
  EXPECT_EQ(u32_at(r, 64), 200u);
  EXPECT_EQ(u64_at(r, 68), 0xAA00000000u);
  EXPECT_EQ(u64_at(r, 76), 0xBB00000000u);
  EXPECT_EQ(u32_at(r, 84), 3u);
  for (u32 k = 0; k < 3; ++k) {
    EXPECT_EQ(u32_at(r, 88 + 16 * k), 10 + k);
    EXPECT_EQ(u32_at(r, 92 + 16 * k), 20 + k);
    EXPECT_EQ(u32_at(r, 96 + 16 * k), 1000 + k);
    EXPECT_EQ(u32_at(r, 100 + 16 * k), 2000 + k);
  }

  StageInfo empty = stage_with(0, 0, 1);
  bm1684x_fill_static_api_info(7, empty, 0, 0);
  EXPECT_EQ(empty.api_info.api_data[0].size(), 44u);
}

TEST(LaunchRecords, DynamicRecordKeepsRoomForEightDimensions) {
  StageInfo stage;
  stage.ctx_borders = {100, 150};
  SubNetInfo subnet;
  subnet.input_tensor.push_back(TensorInfo{});
  subnet.input_tensor[0].shape = {1, 3, 224, 224};
  subnet.input_tensor[0].data_type = 1;
  subnet.input_tensor_global_addr = {0x5000};
  subnet.output_tensor.push_back(TensorInfo{});
  subnet.output_tensor_global_addr = {0x6000};
  for (const auto& [ir_len, words] : std::vector<std::pair<u32, u32>>{{10, 3}, {12, 3}, {0, 0}}) {
    subnet.ir_len = ir_len;
    bm1684x_fill_dynamic_api_info(9, stage, subnet);
    const auto& r = subnet.api_info.api_data[0];
    ASSERT_EQ(r.size(), 156u);
    EXPECT_EQ(u32_at(r, 8), words);
    EXPECT_EQ(u32_at(r, 24), 0x00010004u);
    EXPECT_EQ(u32_at(r, 44), 150528u);
    EXPECT_EQ(std::vector<uint8_t>(r.end() - 16, r.end()), std::vector<uint8_t>(16, 0));
  }
  EXPECT_EQ(subnet.api_info.api_id, 9);
}

TEST(LaunchRecords, LargeDynamicRecordIsExactlyItsFields) {
  StageInfo stage;
  stage.ctx_borders = {64};
  SubNetInfo subnet;
  for (int i = 0; i < 90; ++i) {  // 68 + 48 * 90 + 8 + 16 > 4064
    subnet.input_tensor.push_back(TensorInfo{});
    subnet.input_tensor.back().shape = {2, 3};
    subnet.input_tensor_global_addr.push_back(0x1000 * i);
  }
  subnet.output_tensor.push_back(TensorInfo{});
  subnet.output_tensor_global_addr = {0x6000};
  bm1684x_fill_dynamic_api_info(2, stage, subnet);
  EXPECT_EQ(subnet.api_info.api_data[0].size(), 68u + 90 * (16 + 8) + 8 + 16);
}

TEST(LaunchRecords, BuildersNeverWritePastTheirRecord) {
  testing::internal::CaptureStdout();
  StageInfo stage;
  SubNetInfo subnet;
  subnet.input_tensor.push_back(TensorInfo{});
  subnet.input_tensor[0].shape.assign(9, 1);
  subnet.input_tensor_global_addr = {0};
  EXPECT_THROW(bm1684x_fill_dynamic_api_info(2, stage, subnet), ModelError);
  StageInfo unaddressed = stage_with(1, 1, 1);
  unaddressed.input_tensor_global_addr.clear();
  EXPECT_THROW(bm1684x_fill_static_api_info(1, unaddressed, 0, 0), ModelError);
  testing::internal::GetCapturedStdout();
}

}  // namespace
