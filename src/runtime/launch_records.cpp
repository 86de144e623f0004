// Tensor device addresses and the launch records sent to the kernel module's
// full-network functions. The records are a packed little-endian wire format.
#include <cstring>

#include "core_internal.h"

namespace divudida {

using detail::fail;

namespace {

// Appends packed little-endian fields to a record of fixed size.
class RecordWriter {
 public:
  explicit RecordWriter(std::vector<uint8_t>& record) : record_(record) {}
  u32 position() const { return static_cast<u32>(pos_); }
  void u32_field(u32 value) { put(&value, sizeof value); }
  void u64_field(u64 value) { put(&value, sizeof value); }

 private:
  void put(const void* value, size_t n) {
    if (n > record_.size() - pos_) fail("Launch record overflow: ", pos_ + n, " bytes in a ", record_.size(), "-byte record");
    std::memcpy(record_.data() + pos_, value, n);
    pos_ += n;
  }

  std::vector<uint8_t>& record_;
  size_t pos_ = 0;
};

template <typename T>
void set_io_addresses(T& info, u64 io_offset) {
  info.input_tensor_global_addr.clear();
  info.output_tensor_global_addr.clear();
  for (const TensorInfo& t : info.input_tensor) info.input_tensor_global_addr.push_back(t.device_addr + io_offset);
  for (const TensorInfo& t : info.output_tensor) info.output_tensor_global_addr.push_back(t.device_addr + io_offset);
}

// One static-record block per tensor: its address twice, then its size.
void write_tensors(RecordWriter& writer, const std::vector<TensorInfo>& tensors, const std::vector<u64>& addrs,
                   std::vector<u32>& addr_offsets) {
  if (addrs.size() != tensors.size()) fail("Tensor addresses are missing; compile_io_addr must run first");
  writer.u32_field(static_cast<u32>(tensors.size()));
  for (size_t i = 0; i < tensors.size(); ++i) {
    addr_offsets[i] = writer.position();
    writer.u64_field(addrs[i]);
    writer.u64_field(addrs[i]);
    writer.u32_field(static_cast<u32>(tensors[i].size));
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
  api.api_data.assign(1, std::vector<uint8_t>(28 + 20 * (inputs + outputs) + 16 * groups, 0));
  api.input_addr_offset.assign(inputs, 0);
  api.output_addr_offset.assign(outputs, 0);

  RecordWriter writer(api.api_data[0]);
  write_tensors(writer, type_info.input_tensor, type_info.input_tensor_global_addr, api.input_addr_offset);
  write_tensors(writer, type_info.output_tensor, type_info.output_tensor_global_addr, api.output_addr_offset);
  writer.u64_field(bdc_device_addr);
  writer.u64_field(gdma_device_addr);
  writer.u32_field(static_cast<u32>(groups));
  for (const CmdGroup& group : type_info.cmd_group) {
    writer.u32_field(group.bdc_num);
    writer.u32_field(group.gdma_num);
    writer.u32_field(static_cast<u32>(group.bdc_cmd.size));
    writer.u32_field(static_cast<u32>(group.gdma_cmd.size));
  }
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
    fail("Tensor addresses are missing; compile_io_addr must run first");
  }
  size_t written_dims = 0;
  for (const TensorInfo& t : inputs) {
    if (t.shape.size() > BM_MAX_DIMS_NUM) fail("Input ", t.name, " has more than ", BM_MAX_DIMS_NUM, " dimensions");
    written_dims += t.shape.size();
  }
  // Room for BM_MAX_DIMS_NUM dimensions per input, unless that exceeds the
  // message limit: then exactly the bytes written.
  size_t record_size = 68 + 48 * inputs.size() + 8 * outputs + 16 * contexts;
  if (record_size > MAX_API_MSG_SIZE) record_size = 68 + 16 * inputs.size() + 4 * written_dims + 8 * outputs + 16 * contexts;

  ApiInfo& api = subnet_info.api_info;
  api.api_id = static_cast<int32_t>(kernel_func_id_dynamic);
  api.api_data.assign(1, std::vector<uint8_t>(record_size, 0));
  api.input_addr_offset.clear();
  api.output_addr_offset.clear();

  RecordWriter writer(api.api_data[0]);
  writer.u64_field(subnet_info.ir_global_addr);
  writer.u32_field(static_cast<u32>((u64{subnet_info.ir_len} + 3) / 4));
  writer.u32_field(static_cast<u32>(inputs.size()));
  for (size_t i = 0; i < inputs.size(); ++i) {
    const TensorInfo& t = inputs[i];
    writer.u64_field(subnet_info.input_tensor_global_addr[i]);
    writer.u32_field(static_cast<u32>(t.shape.size()) | (t.data_type << 16));
    u32 elements = 1;
    for (const u64 dim : t.shape) {
      writer.u32_field(static_cast<u32>(dim));
      elements *= static_cast<u32>(dim);
    }
    writer.u32_field(elements);
  }
  writer.u32_field(static_cast<u32>(outputs));
  for (const u64 addr : subnet_info.output_tensor_global_addr) writer.u64_field(addr);
  writer.u32_field(0);  // get_output_shape
  writer.u64_field(0);  // output_shape_global_addr
  writer.u64_field(stage_info.neuron_addr);
  writer.u32_field(static_cast<u32>(contexts));
  for (const u64 border : stage_info.ctx_borders) {
    writer.u64_field(border);
    writer.u64_field(stage_info.neuron_offset);
  }
  writer.u64_field(stage_info.coeff_offset);
  writer.u64_field(stage_info.io_addr);
  writer.u64_field(stage_info.neuron_offset);
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
