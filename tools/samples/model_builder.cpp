#include "model_builder.h"

#include <memory>
#include <numeric>

#include "bmodel/bmodel.h"
#include "utils/datagen.h"

namespace vexo::samples {

namespace {

std::unique_ptr<bmodel::Binary> range_of(bmodel::ModelGen& gen, const Bytes& bytes) {
  return std::make_unique<bmodel::Binary>(gen.WriteBinary(bytes.size(), bytes.data()));
}

std::vector<std::unique_ptr<bmodel::TensorT>> tensors_of(const std::vector<TensorSpec>& specs) {
  std::vector<std::unique_ptr<bmodel::TensorT>> tensors;
  for (const TensorSpec& spec : specs) {
    auto t = std::make_unique<bmodel::TensorT>();
    t->name = spec.name;
    t->data_type = spec.dtype;
    t->device_addr = spec.addr;
    auto shape = std::make_unique<bmodel::ShapeT>();
    shape->dim = spec.shape;
    t->shape.push_back(std::move(shape));
    std::vector<uint64_t> dims = spec.shape;
    t->size = spec.size ? spec.size : get_data_size(dims.data(), static_cast<int>(dims.size()),
                                                    static_cast<int>(spec.dtype));
    tensors.push_back(std::move(t));
  }
  return tensors;
}

std::vector<std::unique_ptr<bmodel::CmdGroupT>> groups_of(bmodel::ModelGen& gen,
                                                          const std::vector<GroupSpec>& specs) {
  std::vector<std::unique_ptr<bmodel::CmdGroupT>> groups;
  for (const GroupSpec& spec : specs) {
    const GroupStreams streams = encode_group(spec.bdc, spec.gdma);
    auto group = std::make_unique<bmodel::CmdGroupT>();
    group->bdc_num = streams.bdc_num;
    group->gdma_num = streams.gdma_num;
    group->bdc_cmd_byte = static_cast<uint32_t>(streams.bdc.size());
    group->gdma_cmd_byte = static_cast<uint32_t>(streams.gdma.size());
    group->binary_bdc = range_of(gen, streams.bdc);
    group->binary_gdma = range_of(gen, streams.gdma);
    groups.push_back(std::move(group));
  }
  return groups;
}

std::unique_ptr<bmodel::NetParameterT> stage_of(bmodel::ModelGen& gen, const StageSpec& spec) {
  auto p = std::make_unique<bmodel::NetParameterT>();
  p->input_tensor = tensors_of(spec.inputs);
  p->output_tensor = tensors_of(spec.outputs);
  p->ctx_addr = spec.ctx_addr;
  p->ctx_sizes = spec.ctx_sizes;
  p->ctx_size = std::accumulate(spec.ctx_sizes.begin(), spec.ctx_sizes.end(), uint64_t{0});
  p->is_dynamic = spec.is_dynamic ? 1 : 0;
  if (!spec.is_dynamic) {
    p->coeff_mem = std::make_unique<bmodel::CoeffMemT>();
    p->coeff_mem->address = spec.coeff_addr;
    p->coeff_mem->binary_coeff = range_of(gen, spec.coeff);
    p->coeff_mem->check_code.resize(32);
    bmodel::CalcSha256(spec.coeff.data(), spec.coeff.size(), p->coeff_mem->check_code.data());
  }
  p->io_addr = spec.io_addr;
  p->io_size = spec.io_size;
  p->cmd_group = groups_of(gen, spec.groups);
  if (!spec.ir.empty()) p->binary_ir = range_of(gen, spec.ir);
  for (const SubnetSpec& s : spec.subnets) {
    auto subnet = std::make_unique<bmodel::SubNetT>();
    subnet->id = s.id;
    subnet->next_subnet_ids = s.next;
    subnet->is_dynamic = s.is_dynamic ? 1 : 0;
    subnet->cmd_group = groups_of(gen, s.groups);
    subnet->input_tensor = tensors_of(s.inputs);
    subnet->output_tensor = tensors_of(s.outputs);
    subnet->ir_offset = s.ir_offset;
    subnet->ir_len = s.ir_len;
    p->sub_net.push_back(std::move(subnet));
  }
  if (spec.patch) spec.patch(*p);
  return p;
}

// The legacy form of a net: its stages as static and dynamic entries.
flatbuffers::Offset<bmodel::Net> legacy_net(bmodel::ModelGen& gen, const NetSpec& net) {
  bmodel::NetT legacy;
  legacy.name = net.name;
  legacy.addr_mode = net.addr_mode;
  for (const StageSpec& stage : net.stages) {
    const auto p = stage_of(gen, stage);
    if (p->is_dynamic) {
      auto entry = std::make_unique<bmodel::NetDynamicT>();
      entry->input_tensor = std::move(p->input_tensor);
      entry->output_tensor = std::move(p->output_tensor);
      entry->binary_ir = std::move(p->binary_ir);
      entry->ctx_addr = p->ctx_addr;
      entry->ctx_size = p->ctx_size;
      legacy.net_dynamic.push_back(std::move(entry));
    } else {
      auto entry = std::make_unique<bmodel::NetStaticT>();
      entry->input_tensor = std::move(p->input_tensor);
      entry->output_tensor = std::move(p->output_tensor);
      entry->cmd_group = std::move(p->cmd_group);
      entry->ctx_addr = p->ctx_addr;
      entry->ctx_size = p->ctx_size;
      entry->coeff_mem = std::move(p->coeff_mem);
      legacy.net_static.push_back(std::move(entry));
    }
  }
  return bmodel::Net::Pack(gen.Builder(), &legacy);
}

}  // namespace

void save_model(const ModelSpec& spec, const std::string& path) {
  bmodel::ModelGen gen;
  gen.AddChip(spec.chip);
  gen.AddKernelModule("sample_kernel.so", gen.WriteBinary(spec.kernel_module.size(), spec.kernel_module.data()));
  for (const NetSpec& net : spec.nets) {
    if (net.legacy) {
      gen.AddNet(legacy_net(gen, net));
      continue;
    }
    for (const StageSpec& stage : net.stages) {
      const auto parameter = stage_of(gen, stage);
      gen.AddNet(net.name, bmodel::NetParameter::Pack(gen.Builder(), parameter.get()), nullptr, nullptr, 0,
                 net.addr_mode);
    }
  }
  gen.Finish();
  gen.Save(path);
}

}  // namespace vexo::samples
