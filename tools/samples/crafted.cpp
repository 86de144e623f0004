#include "crafted.h"

#include <memory>

#include "bmodel/bmodel.h"
#include "samples.h"
#include "utils/datagen.h"

namespace vexo::samples {

namespace {

constexpr uint64_t kCoeffAddr = 0x1000;
constexpr uint64_t kCtxAddr = 0x100000;

TensorSpec tensor(const std::string& name, std::vector<uint64_t> shape, uint64_t addr) {
  return TensorSpec{name, BM_UINT8, std::move(shape), addr};
}

// The general sample's pad stage: 4 input bytes, then 4 bytes of 0xEE.
StageSpec pad() { return general_sample().nets[2].stages[0]; }

// A dynamic stage of 1024 IR bytes whose subnets run from the first.
StageSpec dynamic_stage(std::vector<SubnetSpec> subnets) {
  StageSpec s;
  s.is_dynamic = true;
  s.ctx_addr = kCtxAddr;
  s.ctx_sizes = {0x100};
  s.inputs = {tensor("in", {4}, kCtxAddr)};
  s.outputs = {tensor("out", {4}, kCtxAddr + 0x40)};
  s.ir = Bytes(1024, 0x5A);
  for (size_t k = 0; k < subnets.size(); ++k) {
    subnets[k].id = static_cast<int32_t>(k);
    subnets[k].next = {k + 1 == subnets.size() ? -1 : static_cast<int32_t>(k + 1)};
    subnets[k].inputs = s.inputs;
    subnets[k].outputs = s.outputs;
  }
  s.subnets = std::move(subnets);
  return s;
}

SubnetSpec dynamic_subnet(uint32_t ir_offset, uint32_t ir_len) {
  SubnetSpec s;
  s.is_dynamic = true;
  s.ir_offset = ir_offset;
  s.ir_len = ir_len;
  return s;
}

// A static stage whose `groups` identical command groups each copy its 4
// input bytes to `out_offset` into its `ctx_size` bytes of activations.
StageSpec copy_stage(uint64_t out_offset, uint64_t ctx_size, uint32_t groups) {
  StageSpec s;
  s.inputs = {tensor("in", {4}, kCtxAddr)};
  s.outputs = {tensor("out", {4}, kCtxAddr + out_offset)};
  s.ctx_addr = kCtxAddr;
  s.ctx_sizes = {ctx_size};
  s.coeff_addr = kCoeffAddr;
  s.groups.assign(groups, GroupSpec{{Bdc{}}, {gdma_copy(kCtxAddr, kCtxAddr + out_offset, 1, 4)}});
  return s;
}

ModelSpec one_stage(StageSpec stage, int32_t addr_mode = 0) {
  ModelSpec spec;
  spec.nets.push_back(NetSpec{"net", addr_mode, {std::move(stage)}});
  return spec;
}

ModelSpec static_subnet_beyond_buffers() {
  StageSpec s = pad();
  SubnetSpec first, second;
  first.next = {1};
  first.groups = s.groups;
  // Twice the stage's commands, launched on the stage's buffers.
  second.groups = {s.groups[0], s.groups[0]};
  for (SubnetSpec* subnet : {&first, &second}) {
    subnet->inputs = s.inputs;
    subnet->outputs = s.outputs;
  }
  second.id = 1;
  s.subnets = {first, second};
  return one_stage(s);
}

// Activations at 0x8000, below the io region at 0x10000: input -> activation
// scratch, 0xEE fill beside it, scratch -> output.
ModelSpec io_alone_activations_below_io() {
  constexpr uint64_t io = 0x10000, scratch = 0x8000;
  StageSpec s;
  s.inputs = {tensor("data", {4}, io)};
  s.outputs = {tensor("copied", {8}, io + 0x20)};
  s.io_addr = io;
  s.io_size = 0x40;
  s.ctx_addr = scratch;
  s.ctx_sizes = {0x40};
  s.coeff_addr = kCoeffAddr;
  s.groups = {GroupSpec{{Bdc{}},
                        {gdma_copy(io, scratch, 1, 4), gdma_fill(0xEEEEEEEE, scratch + 4, 1, 4),
                         gdma_copy(scratch, io + 0x20, 1, 8)}}};
  return one_stage(s, 1);
}

// Stage 0 copies its 32 coefficient bytes (0, 1, ..., 31) to its output;
// stage 1 names the same payload start with 16 bytes and copies those.
ModelSpec shared_coeff_shrinking() {
  auto shared_start = std::make_shared<uint64_t>(0);
  NetSpec net{"coeff", 0, {}};
  for (const uint32_t bytes : {32u, 16u}) {
    StageSpec s;
    s.inputs = {tensor("x", {bytes / 8}, kCtxAddr)};
    s.outputs = {tensor("w", {bytes}, kCtxAddr + 0x40)};
    s.ctx_addr = kCtxAddr;
    s.ctx_sizes = {0x80};
    s.coeff_addr = kCoeffAddr;
    for (uint32_t i = 0; i < bytes; ++i) s.coeff.push_back(static_cast<uint8_t>(bytes == 32 ? i : 0x80 + i));
    s.groups = {GroupSpec{{Bdc{}}, {gdma_copy(kCoeffAddr, kCtxAddr + 0x40, 1, bytes)}}};
    s.patch = [shared_start, bytes](bmodel::NetParameterT& p) {
      if (bytes == 32) {
        *shared_start = p.coeff_mem->binary_coeff->start();
      } else {
        p.coeff_mem->binary_coeff = std::make_unique<bmodel::Binary>(*shared_start, bytes);
      }
    };
    net.stages.push_back(std::move(s));
  }
  ModelSpec spec;
  spec.nets.push_back(std::move(net));
  return spec;
}

// "pad" in the legacy form (32 bytes of activations) beside "wide", whose
// copy reaches 0x2F0 bytes into its 768 bytes of activations.
ModelSpec legacy_beside_current() {
  ModelSpec spec = general_sample();
  NetSpec legacy = spec.nets[2];
  legacy.legacy = true;
  spec.nets = {legacy, NetSpec{"wide", 0, {copy_stage(0x2F0, 0x300, 1)}}};
  return spec;
}

}  // namespace

std::vector<CraftedModel> crafted_models() {
  std::vector<CraftedModel> models;
  models.push_back({"subnet-ir-past-range", one_stage(dynamic_stage({dynamic_subnet(1000, 40)})),
                    "IR window [1000, +40) lies outside the stage's IR of 1024 bytes"});
  // 1021 bytes read as 256 words: the window reaches 4 bytes past the range.
  models.push_back({"subnet-ir-into-neighbour",
                    one_stage(dynamic_stage({dynamic_subnet(0, 16), dynamic_subnet(4, 1021)})),
                    "subnet[1] IR window [4, +1024) lies outside"});
  SubnetSpec static_subnet;
  static_subnet.groups = pad().groups;
  models.push_back({"static-subnet-in-dynamic-stage",
                    one_stage(dynamic_stage({dynamic_subnet(0, 16), static_subnet})),
                    "subnet[1] is static inside a dynamic stage, which has no command buffers"});
  models.push_back({"static-subnet-beyond-buffers", static_subnet_beyond_buffers(),
                    "subnet[1] BDC commands do not lie inside the stage's command buffer"});
  StageSpec huge_count = pad();
  huge_count.patch = [](bmodel::NetParameterT& p) { p.cmd_group[0]->bdc_cmd_byte = 0x7FFFFFFF; };
  models.push_back({"byte-count-beyond-range", one_stage(huge_count), "records 2147483647 BDC and"});
  models.push_back({"io-alone-activations-below-io", io_alone_activations_below_io(), ""});
  models.push_back({"shared-coeff-shrinking", shared_coeff_shrinking(), ""});
  models.push_back({"legacy-beside-current", legacy_beside_current(), ""});
  return models;
}

ModelSpec repeated_groups_model(uint32_t groups, uint64_t range_bytes) {
  // Identical groups share one BDC and one GDMA range in the payload.
  StageSpec s = copy_stage(0x10, 0x20, groups);
  // Written after the command streams: payload bytes for the ranges to span.
  s.ir = Bytes(range_bytes, 0);
  s.patch = [range_bytes](bmodel::NetParameterT& p) {
    for (size_t g = 0; g < p.cmd_group.size(); ++g) {
      bmodel::CmdGroupT& group = *p.cmd_group[g];
      group.binary_bdc = std::make_unique<bmodel::Binary>(group.binary_bdc->start(), range_bytes);
      group.binary_gdma = std::make_unique<bmodel::Binary>(group.binary_gdma->start(), range_bytes);
      if (g % 2 == 1) {
        group.bdc_num = 0;
        group.bdc_cmd_byte = 0;
      }
    }
  };
  return one_stage(s);
}

std::vector<std::string> write_crafted_models(const std::string& folder) {
  std::vector<std::string> paths;
  for (const CraftedModel& model : crafted_models()) {
    paths.push_back(folder + "/" + model.name + ".bmodel");
    save_model(model.spec, paths.back());
  }
  paths.push_back(folder + "/repeated-groups.bmodel");
  save_model(repeated_groups_model(8, 4096), paths.back());
  return paths;
}

}  // namespace vexo::samples
