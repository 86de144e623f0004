// Tensor device addresses and the launch records sent to the kernel module's
// full-network functions. The records are a packed little-endian wire format.

#include "src/core/core_internal.h"
#include "formats/launch_format.h"

namespace divudida {

using minilog::fail_with;

namespace {

namespace launch = vexofmt::launch;

// A record whose fields did not fit is a fault of the builder's sizing.
void check_written(const launch::Writer& writer, const std::vector<uint8_t>& record) {
  if (writer.overflowed() || writer.position() != record.size())
    fail_with<ModelError>("Launch record overflow: the fields do not fit a ", record.size(), "-byte record");
}

template <typename T>
void set_io_addresses(T& info, u64 io_offset) {
  info.input_tensor_global_addr.clear();
  info.output_tensor_global_addr.clear();
  for (const TensorInfo& t : info.input_tensor) info.input_tensor_global_addr.push_back(t.device_addr + io_offset);
  for (const TensorInfo& t : info.output_tensor) info.output_tensor_global_addr.push_back(t.device_addr + io_offset);
}

// The count, then one static-record entry per tensor.
void write_tensors(launch::Writer& writer, const std::vector<TensorInfo>& tensors, const std::vector<u64>& addrs,
                   std::vector<u32>& addr_offsets) {
  if (addrs.size() != tensors.size()) fail_with<ModelError>("Tensor addresses are missing; compile_io_addr must run first");
  writer.u32(static_cast<u32>(tensors.size()));
  for (size_t i = 0; i < tensors.size(); ++i) {
    addr_offsets[i] = static_cast<u32>(writer.position());
    launch::write_static_tensor(writer, addrs[i], tensors[i].size);
  }
}

}  // namespace

void compile_io_addr(ModelInfo& model_info) {
  detail::require_state(model_info, ModelState::placed, "compute tensor addresses");
  for (NetInfo& net : model_info.nets) {
    for (StageInfo& stage : net.stages) {
      set_io_addresses(stage, stage.io_offset);
      if (!runs_by_subnet(stage)) continue;
      for (SubNetInfo& subnet : stage.subnets) set_io_addresses(subnet, stage.io_offset);
    }
  }
  if (model_info.state == ModelState::placed) model_info.state = ModelState::addressed;
}

template <typename T>
void bm1684x_fill_static_api_info(unsigned kernel_func_id, T& type_info, unsigned long long bdc_device_addr,
                                  unsigned long long gdma_device_addr) {
  ApiInfo& api = type_info.api_info;
  const size_t inputs = type_info.input_tensor.size();
  const size_t outputs = type_info.output_tensor.size();
  const size_t groups = type_info.cmd_group.size();
  api.api_id = static_cast<int32_t>(kernel_func_id);
  api.api_data.assign(1, std::vector<uint8_t>(launch::static_record_size(inputs, outputs, groups), 0));
  api.input_addr_offset.assign(inputs, 0);
  api.output_addr_offset.assign(outputs, 0);

  launch::Writer writer(api.api_data[0]);
  write_tensors(writer, type_info.input_tensor, type_info.input_tensor_global_addr, api.input_addr_offset);
  write_tensors(writer, type_info.output_tensor, type_info.output_tensor_global_addr, api.output_addr_offset);
  launch::write_static_buffers(writer, {bdc_device_addr, gdma_device_addr, static_cast<u32>(groups)});
  for (const CmdGroup& group : type_info.cmd_group) {
    launch::write_static_group(writer, {group.bdc_num, group.gdma_num, static_cast<u32>(group.bdc_cmd.size),
                                        static_cast<u32>(group.gdma_cmd.size)});
  }
  check_written(writer, api.api_data[0]);
}

template void bm1684x_fill_static_api_info<StageInfo>(unsigned, StageInfo&, unsigned long long, unsigned long long);
template void bm1684x_fill_static_api_info<SubNetInfo>(unsigned, SubNetInfo&, unsigned long long,
                                                       unsigned long long);

void bm1684x_fill_dynamic_api_info(unsigned kernel_func_id_dynamic, StageInfo& stage_info, SubNetInfo& subnet_info) {
  const std::vector<TensorInfo>& inputs = subnet_info.input_tensor;
  const size_t outputs = subnet_info.output_tensor.size();
  const size_t contexts = stage_info.ctx_borders.size();
  if (subnet_info.input_tensor_global_addr.size() != inputs.size() ||
      subnet_info.output_tensor_global_addr.size() != outputs) {
    fail_with<ModelError>("Tensor addresses are missing; compile_io_addr must run first");
  }
  size_t written_dims = 0;
  for (const TensorInfo& t : inputs) {
    if (t.shape.size() > BM_MAX_DIMS_NUM) fail_with<ModelError>("Input ", t.name, " has more than ", BM_MAX_DIMS_NUM, " dimensions");
    written_dims += t.shape.size();
  }
  const size_t record_size = launch::dynamic_record_size(inputs.size(), written_dims, outputs, contexts);

  ApiInfo& api = subnet_info.api_info;
  api.api_id = static_cast<int32_t>(kernel_func_id_dynamic);
  api.api_data.assign(1, std::vector<uint8_t>(record_size, 0));
  api.input_addr_offset.clear();
  api.output_addr_offset.clear();

  launch::Writer writer(api.api_data[0]);
  launch::write_dynamic_ir(writer, subnet_info.ir_global_addr, subnet_info.ir_len);
  writer.u32(static_cast<u32>(inputs.size()));
  for (size_t i = 0; i < inputs.size(); ++i)
    launch::write_dynamic_input(writer, subnet_info.input_tensor_global_addr[i], inputs[i].data_type, inputs[i].shape);
  writer.u32(static_cast<u32>(outputs));
  for (const u64 addr : subnet_info.output_tensor_global_addr) writer.u64(addr);
  launch::write_dynamic_tail(writer, stage_info.neuron_addr, stage_info.ctx_borders, stage_info.neuron_offset,
                             stage_info.coeff_offset, stage_info.io_addr);
  // With the allowance for kMaxDims dimensions the record ends in zero bytes.
  if (writer.overflowed()) fail_with<ModelError>("Launch record overflow: the fields do not fit a ", record_size, "-byte record");
}

void fill_api_info(ModelInfo& model_info) {
  detail::require_state(model_info, ModelState::addressed, "build launch records");
  for (NetInfo& net : model_info.nets) {
    for (StageInfo& stage : net.stages) {
      const u64 bdc = stage.bdc_cmd_device.u.device.device_addr;
      const u64 gdma = stage.gdma_cmd_device.u.device.device_addr;
      if (!runs_by_subnet(stage)) {
        bm1684x_fill_static_api_info(model_info.kernel_func_id, stage, bdc, gdma);
        continue;
      }
      for (SubNetInfo& subnet : stage.subnets) {
        if (subnet.is_dynamic) {
          bm1684x_fill_dynamic_api_info(model_info.kernel_func_id_dynamic, stage, subnet);
        } else {
          bm1684x_fill_static_api_info(model_info.kernel_func_id, subnet, bdc, gdma);
        }
      }
    }
  }
  model_info.state = ModelState::launch_ready;
}

}  // namespace divudida
