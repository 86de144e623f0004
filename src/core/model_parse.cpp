// From a model file to its description: nets, stages, subnets, tensors and
// command groups. Nothing is placed on the device here.
#include <algorithm>
#include <memory>

#include "bmodel/bmodel.h"
#include "src/core/core_internal.h"
#include "utils/device.h"
#include "vexo.h"

namespace divudida {
namespace {

using minilog::fail_with;

// Checks what the parse and the later steps rely on, so that a malformed
// file is refused here instead of being read through a missing table or
// outside its payload.
class Parser {
 public:
  Parser(const std::string& filename, u64 payload_size) : filename_(filename), payload_size_(payload_size) {}

  template <typename T>
  const T& require(const T* table, const std::string& where, const char* what) const {
    if (!table) fail_with<ModelError>("Model file[", filename_, "] is malformed: ", where, " has no ", what);
    return *table;
  }

  BinaryInfo range(const bmodel::Binary* binary, const std::string& where, const char* what) const {
    const bmodel::Binary& r = require(binary, where, what);
    if (r.start() > payload_size_ || r.size() > payload_size_ - r.start()) {
      fail_with<ModelError>("Model file[", filename_, "] is malformed: ", where, " ", what, " [", r.start(), ", +", r.size(),
           ") lies outside the payload of ", payload_size_, " bytes");
    }
    return BinaryInfo{r.start(), r.size()};
  }

  // An absent range reads as empty.
  BinaryInfo optional_range(const bmodel::Binary* binary, const std::string& where, const char* what) const {
    return binary ? range(binary, where, what) : BinaryInfo{};
  }

  TensorInfo tensor(const bmodel::Tensor& t, const std::string& where) const {
    TensorInfo info;
    info.name = t.name()->str();
    const std::string label = where + " tensor[" + info.name + "]";
    const auto& shapes = require(t.shape(), label, "shape");
    if (shapes.size() == 0) fail_with<ModelError>("Model file[", filename_, "] is malformed: ", label, " has no shape");
    if (const auto* dims = shapes.Get(0)->dim()) info.shape.assign(dims->begin(), dims->end());
    info.data_type = t.data_type();
    info.gmem_stmode = t.gmem_stmode();
    info.device_addr = t.device_addr();
    info.size = t.size();
    info.mem_type = t.mem_type();
    info.scale = t.scale();
    info.cpu_addr = t.cpu_addr();
    info.pad_h = t.pad_h();
    info.zero_point = t.zero_point();
    return info;
  }

  // Inputs and outputs; an input has room for at most BM_MAX_DIMS_NUM
  // dimensions in a launch record.
  void tensors(const flatbuffers::Vector<flatbuffers::Offset<bmodel::Tensor>>* inputs,
               const flatbuffers::Vector<flatbuffers::Offset<bmodel::Tensor>>* outputs, const std::string& where,
               std::vector<TensorInfo>& input_infos, std::vector<TensorInfo>& output_infos) const {
    for (const auto* t : require(inputs, where, "input_tensor")) {
      input_infos.push_back(tensor(*t, where));
      if (input_infos.back().shape.size() > BM_MAX_DIMS_NUM) {
        fail_with<ModelError>("Model file[", filename_, "] is malformed: ", where, " input[", input_infos.back().name, "] has ",
             input_infos.back().shape.size(), " dimensions, more than ", BM_MAX_DIMS_NUM);
      }
    }
    for (const auto* t : require(outputs, where, "output_tensor")) output_infos.push_back(tensor(*t, where));
  }

  void cmd_groups(const flatbuffers::Vector<flatbuffers::Offset<bmodel::CmdGroup>>* groups,
                  const std::string& where, std::vector<CmdGroup>& out) const {
    if (!groups) return;  // no command groups
    for (const auto* g : *groups) {
      const std::string label = where + " cmd_group[" + std::to_string(out.size()) + "]";
      CmdGroup group;
      group.bdc_num = g->bdc_num();
      group.gdma_num = g->gdma_num();
      group.bdc_byte = g->bdc_cmd_byte();
      group.gdma_byte = g->gdma_cmd_byte();
      group.bdc_cmd = range(g->binary_bdc(), label, "binary_bdc");
      group.gdma_cmd = range(g->binary_gdma(), label, "binary_gdma");
      // The byte counts size the command buffers, and the walked commands
      // come from the ranges: a count beyond its range is refused before
      // anything is allocated for it.
      if (group.bdc_byte > group.bdc_cmd.size || group.gdma_byte > group.gdma_cmd.size) {
        fail_with<ModelError>("Model file[", filename_, "] is malformed: ", label, " records ", group.bdc_byte, " BDC and ",
             group.gdma_byte, " GDMA command bytes, but its ranges hold ", group.bdc_cmd.size, " and ",
             group.gdma_cmd.size);
      }
      out.push_back(group);
    }
  }

  SubNetInfo subnet(const bmodel::SubNet& s, const std::string& where) const {
    SubNetInfo info;
    info.subnet_mode = s.subnet_mode();
    info.is_dynamic = s.is_dynamic();
    info.subnet_id = s.id();
    info.ir_offset = s.ir_offset();
    info.ir_len = s.ir_len();
    const auto& next = require(s.next_subnet_ids(), where, "next_subnet_ids");
    info.next_subnet_ids.assign(next.begin(), next.end());
    cmd_groups(s.cmd_group(), where, info.cmd_group);
    tensors(s.input_tensor(), s.output_tensor(), where, info.input_tensor, info.output_tensor);
    return info;
  }

  StageInfo stage(const bmodel::NetParameter& p, bool io_alone, const std::string& where) const {
    StageInfo info;
    info.is_dynamic = p.is_dynamic();
    if (!info.is_dynamic) {
      const auto& coeff_mem = require(p.coeff_mem(), where, "coeff_mem");
      info.coeff = range(coeff_mem.binary_coeff(), where, "binary_coeff");
      info.coeff_size = info.coeff.size;
      info.coeff_addr = coeff_mem.address();
    }
    info.neuron_addr = p.ctx_addr();
    // A stage without context sizes (legacy form) has one context.
    if (p.ctx_sizes() && p.ctx_sizes()->size() > 0) {
      for (const u64 ctx_size : *p.ctx_sizes()) {
        if (ctx_size > UINT64_MAX - info.neuron_size) {
          fail_with<ModelError>("Model file[", filename_, "] is malformed: ", where, " context sizes overflow");
        }
        info.neuron_size += ctx_size;
        info.ctx_borders.push_back(info.neuron_size);
      }
    } else {
      info.neuron_size = p.ctx_size();
      info.ctx_borders.push_back(info.neuron_size);
    }
    info.io_size = p.io_size();
    info.io_addr = p.io_addr();
    info.io_alone = io_alone;
    cmd_groups(p.cmd_group(), where, info.cmd_group);
    tensors(p.input_tensor(), p.output_tensor(), where, info.input_tensor, info.output_tensor);
    info.binary_ir = optional_range(p.binary_ir(), where, "binary_ir");
    if (const auto* subnets = p.sub_net()) {
      for (const auto* s : *subnets) {
        info.subnets.push_back(subnet(*s, where + " subnet[" + std::to_string(info.subnets.size()) + "]"));
      }
    }
    info.subnet_num = info.subnets.size();
    check_subnets(info, where);
    return info;
  }

  // What the launch records of a stage run subnet by subnet rely on: a
  // dynamic subnet's IR window lies inside the stage's IR, and a static
  // subnet has command buffers to run on (a dynamic stage has none; the
  // command upload checks that its commands lie inside a static stage's).
  void check_subnets(const StageInfo& info, const std::string& where) const {
    if (!runs_by_subnet(info)) return;
    for (size_t k = 0; k < info.subnets.size(); ++k) {
      const SubNetInfo& subnet = info.subnets[k];
      const std::string label = where + " subnet[" + std::to_string(k) + "]";
      if (subnet.is_dynamic) {
        // The device reads the IR in whole 32-bit words.
        const u64 window = u64{4} * vexofmt::launch::ir_words(subnet.ir_len);
        if (subnet.ir_offset > info.binary_ir.size || window > info.binary_ir.size - subnet.ir_offset) {
          fail_with<ModelError>("Model file[", filename_, "] is malformed: ", label, " IR window [", subnet.ir_offset, ", +", window,
               ") lies outside the stage's IR of ", info.binary_ir.size, " bytes");
        }
      } else if (info.is_dynamic) {
        fail_with<ModelError>("Model file[", filename_, "] is malformed: ", label,
             " is static inside a dynamic stage, which has no command buffers");
      }
    }
  }

 private:
  const std::string& filename_;
  const u64 payload_size_;
};

}  // namespace

// Stages sharing a coefficient start share one area, sized for the largest
// of them: each stage then finds all of its coefficients there.
void set_coeff_map(NetInfo* net_info_p) {
  std::unordered_map<u64, u64> map;
  for (const StageInfo& stage : net_info_p->stages) {
    if (stage.is_dynamic != 0) continue;
    u64& size = map[stage.coeff.start];
    size = std::max(size, stage.coeff.size);
  }
  net_info_p->coeff_start_and_size_map = std::move(map);
}

ModelInfo read_bmodel(const char* filename, int device_id, const std::string& decrypt_lib) {
  const std::string name = filename ? filename : "";
  std::unique_ptr<bmodel::ModelCtx> ctx;
  try {
    ctx = std::make_unique<bmodel::ModelCtx>(name, decrypt_lib, nullptr);
  } catch (const minilog::ContainerError& e) {
    fail_with<ModelError>("Failed to open model file[", name, "]: ", e.reason());
  }
  const bmodel::Model* model = ctx->model();
  const Parser parser(name, ctx->header().binary_size);

  ModelInfo info;
  info.device_id = device_id;
  info.chip_name = model->chip()->str();
  info.neuron_size = model->neuron_size();
  info.kernel_module =
      parser.range(parser.require(model->kernel_module(), "model", "kernel_module").binary(), "kernel_module",
                   "binary");
  info.net_num = model->net()->size();
  info.nets.resize(info.net_num);
  for (size_t i = 0; i < info.net_num; ++i) {
    const bmodel::Net& net = *model->net()->Get(i);
    NetInfo& net_info = info.nets[i];
    net_info.name = net.name()->str();
    net_info.addr_mode = net.addr_mode();
    info.net_name_to_index[net_info.name] = i;
    const std::string where = "net[" + net_info.name + "]";
    const auto& parameters = parser.require(net.parameter(), where, "parameter");
    net_info.stage_num = parameters.size();
    for (size_t j = 0; j < net_info.stage_num; ++j) {
      net_info.stages.push_back(parser.stage(*parameters.Get(j), net_info.addr_mode == 1,
                                             detail::stage_label(net_info, j)));
    }
    set_coeff_map(&net_info);
  }

  info.bm_handle = get_handle(device_id);
  if (!info.bm_handle) fail_with<ModelError>("Failed to open device ", device_id, " for model file[", name, "]");
  info.model_ctx = ctx.release();
  info.state = ModelState::parsed;
  return info;
}

}  // namespace divudida
