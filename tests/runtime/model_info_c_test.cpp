// The flat model description of a model loaded through the exported C
// steps, models beyond its capacities, and the process's one parsed model.
#include <gtest/gtest.h>

#include <cstring>

#include "externc/model_api.h"
#include "externc/model_info_c.h"
#include "runtime_models.h"
#include "src/core/model_steps.h"
#include "samples/samples.h"
#include "tensor_test_support.h"

namespace {

using divudida::ModelInfo;
using tensortest::errors_of;
using tensortest::Lines;
using vexotest::Bytes;

void expect_area(const C_DeviceMem& flat, const bm_device_mem_t& mem) {
  EXPECT_EQ(flat.addr, mem.u.device.device_addr);
  EXPECT_EQ(flat.size, mem.size);
  EXPECT_EQ(flat.reserved, mem.u.device.reserved);
  EXPECT_EQ(flat.rawflags, mem.flags.rawflags);
  EXPECT_EQ(flat.dmabuf_fd, mem.u.device.dmabuf_fd);
}

void expect_tensors(const C_TensorInfo* flat, const uint64_t* flat_addrs, const std::vector<divudida::TensorInfo>& tensors,
                    const std::vector<uint64_t>& addrs) {
  for (size_t i = 0; i < tensors.size(); ++i) {
    EXPECT_EQ(flat[i].name, tensors[i].name);
    EXPECT_EQ(flat[i].data_type, static_cast<int32_t>(tensors[i].data_type));
    EXPECT_EQ(flat[i].device_addr, tensors[i].device_addr);
    EXPECT_EQ(flat[i].size, tensors[i].size);
    ASSERT_EQ(flat[i].dims, tensors[i].shape.size());
    for (size_t k = 0; k < flat[i].dims; ++k) EXPECT_EQ(flat[i].shape[k], tensors[i].shape[k]);
    EXPECT_EQ(flat_addrs[i], addrs.at(i));
    EXPECT_NE(flat_addrs[i], 0u);
  }
}

TEST(FlatModel, DescribesAModelLoadedThroughTheCSteps) {
  vexotest::TempDir dir;
  ModelInfo* model = get_model_info_p(runtimetest::save_general(dir).c_str(), 0);
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(get_model_info_p(dir.path("other.bmodel").c_str(), 1), model);
  move_to_device(model);
  compile_io_addr(model);
  fill_api_info(model);

  C_ModelInfo* flat = convert_model_info(model);
  ASSERT_NE(flat, nullptr);
  EXPECT_EQ(convert_model_info(model), flat);
  EXPECT_EQ(flat->device_id, 0);
  EXPECT_EQ(flat->bm_handle, model->bm_handle);
  ASSERT_EQ(flat->net_num, 3u);
  expect_area(flat->neuron_device, model->neuron_device);
  EXPECT_STREQ(flat->nets[0].name, "embed");
  EXPECT_STREQ(flat->nets[1].name, "reverse");
  EXPECT_EQ(flat->nets[1].addr_mode, 1);
  EXPECT_EQ(flat->nets[0].stages[1].input_tensor[0].shape[0], 4u);
  EXPECT_STREQ(flat->nets[0].stages[1].output_tensor[1].name, "valid");

  for (size_t n = 0; n < flat->net_num; ++n) {
    const divudida::NetInfo& net = model->nets[n];
    const C_NetInfo& flat_net = flat->nets[n];
    EXPECT_EQ(flat_net.name, net.name);
    EXPECT_EQ(flat_net.addr_mode, net.addr_mode);
    ASSERT_EQ(flat_net.stage_num, net.stages.size());
    for (size_t s = 0; s < flat_net.stage_num; ++s) {
      const divudida::StageInfo& stage = net.stages[s];
      const C_StageInfo& cs = flat_net.stages[s];
      ASSERT_EQ(cs.input_num, stage.input_tensor.size());
      ASSERT_EQ(cs.output_num, stage.output_tensor.size());
      expect_tensors(cs.input_tensor, cs.input_tensor_global_addr, stage.input_tensor,
                     stage.input_tensor_global_addr);
      expect_tensors(cs.output_tensor, cs.output_tensor_global_addr, stage.output_tensor,
                     stage.output_tensor_global_addr);
      EXPECT_EQ(cs.io_alone, net.addr_mode == 1);
      EXPECT_EQ(cs.io_addr, stage.io_addr);
      EXPECT_EQ(cs.io_size, stage.io_size);
      EXPECT_EQ(cs.io_offset, stage.io_offset);
      EXPECT_EQ(cs.io_global_addr, stage.io_global_addr);
      EXPECT_EQ(cs.neuron_addr, stage.neuron_addr);
      EXPECT_EQ(cs.neuron_size, stage.neuron_size);
      EXPECT_EQ(cs.neuron_offset, stage.neuron_offset);
      if (cs.io_alone) {
        expect_area(cs.io_device, stage.io_device);
        EXPECT_EQ(cs.io_device.addr, stage.io_global_addr);
      } else {
        expect_area(cs.io_device, bm_device_mem_t{});
      }
    }
  }

  EXPECT_EQ(find_net_num(model, "embed"), 0);
  EXPECT_EQ(find_net_num(model, "pad"), 2);
  EXPECT_EQ(find_net_num(model, "Pad"), -1);
  EXPECT_EQ(errors_of([&] { EXPECT_EQ(find_net_num(model, nullptr), -1); }), Lines{"Invalid model or net_name"});
  free_model(model);
}

TEST(FlatModel, GetModelInfoPTriesAgainAfterAFailedRead) {
  vexotest::TempDir dir;
  const std::string missing = dir.path("missing.bmodel");
  EXPECT_EQ(get_model_info_p(missing.c_str(), 0), nullptr);
  ModelInfo* model = get_model_info_p(runtimetest::save_general(dir).c_str(), 0);
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->net_num, 3u);
  EXPECT_EQ(get_model_info_p(missing.c_str(), 0), model);
  free_model(model);
}

// Converts a model file that was only parsed.
C_ModelInfo* convert_file(const std::string& path, Lines* errors = nullptr) {
  ModelInfo model = divudida::read_bmodel(path.c_str(), 0);
  C_ModelInfo* flat = nullptr;
  const Lines logged = errors_of([&] { flat = convert_model_info(&model); });
  if (errors) *errors = logged;
  divudida::free_model(model);
  return flat;
}

TEST(FlatModel, RefusesAModelBeyondACapacityAndWritesNothing) {
  using runtimetest::copy_net;
  using runtimetest::u8_tensor;
  vexotest::TempDir dir;
  C_ModelInfo* flat = convert_file(runtimetest::save_general(dir));
  ASSERT_NE(flat, nullptr);
  // The header and the first two nets: everything a one-net model reaches.
  const size_t watched = offsetof(C_ModelInfo, nets) + 2 * sizeof(C_NetInfo);
  const Bytes before(reinterpret_cast<uint8_t*>(flat), reinterpret_cast<uint8_t*>(flat) + watched);
  const Bytes neuron_before(reinterpret_cast<uint8_t*>(&flat->neuron_device),
                            reinterpret_cast<uint8_t*>(&flat->neuron_device + 1));

  std::vector<vexo::samples::TensorSpec> many;
  for (size_t i = 0; i < 65; ++i) many.push_back(u8_tensor("in" + std::to_string(i), {1}, i));
  const std::string long_name(128, 'n');
  const struct {
    vexo::samples::NetSpec net;
    std::string error;
  } cases[] = {
      {copy_net(long_name, {u8_tensor("in", {1}, 0)}, u8_tensor("out", {1}, 1)),
       "net[" + long_name + "] has a name of 128 characters (at most 127)"},
      {copy_net("wide", many, u8_tensor("out", {1}, 65)),
       "net[wide] stage[0] has 65 inputs and 0 device addresses for them (at most 64)"},
      {copy_net("deep", {u8_tensor("in", {1}, 0)}, u8_tensor("out", {1, 1, 1, 1, 1, 1, 1, 1, 1}, 1)),
       "net[deep] stage[0] output[out] has 9 dimensions (at most 8)"},
      {copy_net("named", {u8_tensor("in", {1}, 0)}, u8_tensor(long_name, {1}, 1)),
       "net[named] stage[0] output[" + long_name + "] has a name of 128 characters (at most 127)"},
  };
  for (const auto& c : cases) {
    Lines errors;
    EXPECT_EQ(convert_file(runtimetest::save_nets(dir, "big.bmodel", {c.net}), &errors), nullptr);
    EXPECT_EQ(errors, Lines{"Cannot convert the model description: " + c.error});
    EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(flat), reinterpret_cast<uint8_t*>(flat) + watched), before);
    EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(&flat->neuron_device),
                    reinterpret_cast<uint8_t*>(&flat->neuron_device + 1)),
              neuron_before);
  }

  // A smaller model replaces only the entries it has.
  EXPECT_EQ(convert_file(runtimetest::save_nets(
                dir, "small.bmodel", {copy_net("small", {u8_tensor("in", {1}, 0)}, u8_tensor("out", {1}, 1))})),
            flat);
  EXPECT_EQ(flat->net_num, 1u);
  EXPECT_STREQ(flat->nets[0].name, "small");
  EXPECT_EQ(flat->nets[0].stage_num, 1u);
  EXPECT_STREQ(flat->nets[1].name, "reverse");
  EXPECT_EQ(flat->nets[1].stage_num, 2u);
}

TEST(FlatModel, ConvertingNoModelIsRefused) {
  C_ModelInfo* flat = reinterpret_cast<C_ModelInfo*>(1);
  EXPECT_EQ(errors_of([&] { flat = convert_model_info(nullptr); }),
            Lines{"Cannot convert the model description: no model"});
  EXPECT_EQ(flat, nullptr);
}

}  // namespace
