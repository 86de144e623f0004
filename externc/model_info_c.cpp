#include "externc/model_info_c.h"

#include <sys/mman.h>

#include <new>
#include <string>
#include <vector>

#include "src/tensor/tensor_internal.h"
#include "src/core/model_steps.h"
#include "src/utils/guard.h"
#include "src/utils/logs.h"

namespace {

using divudida::ModelInfo;
using minitensor::copy_c_string;
using minilog::guarded;

C_DeviceMem flatten(const bm_device_mem_t& mem) {
  C_DeviceMem flat;
  flat.addr = mem.u.device.device_addr;
  flat.size = mem.size;
  flat.reserved = mem.u.device.reserved;
  flat.rawflags = mem.flags.rawflags;
  flat.dmabuf_fd = mem.u.device.dmabuf_fd;
  return flat;
}

template <typename... Pieces>
bool refuse(const Pieces&... pieces) {
  minilog::log_error("Cannot convert the model description: ", pieces...);
  return false;
}

bool names_fit(const std::string& name, const std::string& what) {
  return name.size() < C_NAME_CAPACITY ||
         refuse(what, " has a name of ", name.size(), " characters (at most ", C_NAME_CAPACITY - 1, ")");
}

bool tensors_fit(const std::vector<divudida::TensorInfo>& tensors, const std::vector<uint64_t>& addrs,
                 const std::string& where, const char* kind) {
  if (tensors.size() > C_MAX_TENSORS || addrs.size() > C_MAX_TENSORS) {
    return refuse(where, " has ", tensors.size(), " ", kind, "s and ", addrs.size(),
                  " device addresses for them (at most ", C_MAX_TENSORS, ")");
  }
  for (const divudida::TensorInfo& tensor : tensors) {
    const std::string what = where + " " + kind + "[" + tensor.name + "]";
    if (!names_fit(tensor.name, what)) return false;
    if (tensor.shape.size() > C_MAX_DIMS) {
      return refuse(what, " has ", tensor.shape.size(), " dimensions (at most ", C_MAX_DIMS, ")");
    }
  }
  return true;
}

// Whether the whole model fits the flat record; checked before anything is
// written, so a refused model leaves the record as it was.
bool model_fits(const ModelInfo& model) {
  if (model.net_num != model.nets.size() || model.nets.size() > C_MAX_NETS) {
    return refuse("the model has ", model.nets.size(), " nets and records ", model.net_num, " (at most ",
                  C_MAX_NETS, ")");
  }
  for (const divudida::NetInfo& net : model.nets) {
    const std::string where = "net[" + net.name + "]";
    if (!names_fit(net.name, where)) return false;
    if (net.stage_num != net.stages.size() || net.stages.size() > C_MAX_STAGES) {
      return refuse(where, " has ", net.stages.size(), " stages and records ", net.stage_num, " (at most ",
                    C_MAX_STAGES, ")");
    }
    for (size_t s = 0; s < net.stages.size(); ++s) {
      const divudida::StageInfo& stage = net.stages[s];
      const std::string stage_where = where + " stage[" + std::to_string(s) + "]";
      if (!tensors_fit(stage.input_tensor, stage.input_tensor_global_addr, stage_where, "input") ||
          !tensors_fit(stage.output_tensor, stage.output_tensor_global_addr, stage_where, "output")) {
        return false;
      }
    }
  }
  return true;
}

void flatten_tensors(const std::vector<divudida::TensorInfo>& tensors, const std::vector<uint64_t>& addrs,
                     C_TensorInfo* flat, uint64_t* flat_addrs) {
  for (size_t i = 0; i < tensors.size(); ++i) {
    const divudida::TensorInfo& tensor = tensors[i];
    copy_c_string(flat[i].name, tensor.name);
    flat[i].data_type = static_cast<int32_t>(tensor.data_type);
    flat[i].device_addr = tensor.device_addr;
    flat[i].size = tensor.size;
    flat[i].dims = tensor.shape.size();
    for (size_t k = 0; k < tensor.shape.size(); ++k) flat[i].shape[k] = tensor.shape[k];
  }
  for (size_t k = 0; k < addrs.size(); ++k) flat_addrs[k] = addrs[k];
}

void flatten_stage(const divudida::StageInfo& stage, C_StageInfo& flat) {
  flat.input_num = stage.input_tensor.size();
  flat.output_num = stage.output_tensor.size();
  flatten_tensors(stage.input_tensor, stage.input_tensor_global_addr, flat.input_tensor,
                  flat.input_tensor_global_addr);
  flatten_tensors(stage.output_tensor, stage.output_tensor_global_addr, flat.output_tensor,
                  flat.output_tensor_global_addr);
  flat.io_alone = stage.io_alone;
  flat.io_addr = stage.io_addr;
  flat.io_size = stage.io_size;
  flat.io_offset = stage.io_offset;
  flat.io_global_addr = stage.io_global_addr;
  flat.neuron_addr = stage.neuron_addr;
  flat.neuron_size = stage.neuron_size;
  flat.neuron_offset = stage.neuron_offset;
  if (stage.io_alone) flat.io_device = flatten(stage.io_device);
}

void flatten_model(const ModelInfo& model, C_ModelInfo& flat) {
  flat.device_id = model.device_id;
  flat.bm_handle = model.bm_handle;
  flat.net_num = model.net_num;
  flat.neuron_device = flatten(model.neuron_device);
  for (size_t n = 0; n < model.nets.size(); ++n) {
    const divudida::NetInfo& net = model.nets[n];
    C_NetInfo& flat_net = flat.nets[n];
    copy_c_string(flat_net.name, net.name);
    flat_net.stage_num = net.stage_num;
    flat_net.addr_mode = net.addr_mode;
    for (size_t s = 0; s < net.stages.size(); ++s) flatten_stage(net.stages[s], flat_net.stages[s]);
  }
}

// The one flat record of the process: about 466 MiB of zero-initialised
// data, whose pages cost memory only once written.
C_ModelInfo& flat_record() {
#if defined(__SANITIZE_ADDRESS__)
  // LeakSanitizer reads the data segments of every process when it exits; a
  // sanitized build keeps the record in a mapping of its own so that the
  // scan does not fault in 466 MiB of untouched pages in every test.
  static C_ModelInfo* const record = [] {
    void* mapping = mmap(nullptr, sizeof(C_ModelInfo), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    return static_cast<C_ModelInfo*>(mapping);
  }();
  return *record;
#else
  static C_ModelInfo record;
  return record;
#endif
}

// Built by the first read that succeeds; a read that throws leaves it
// unbuilt, so the next call tries again.
ModelInfo* parsed_model(const char* filename, int device_id) {
  static ModelInfo model = divudida::read_bmodel(filename, device_id);
  return &model;
}

}  // namespace

extern "C" {

C_ModelInfo* convert_model_info(ModelInfo* model_info_p) {
  return guarded(
      "convert_model_info",
      [&]() -> C_ModelInfo* {
        C_ModelInfo& record = flat_record();
        if (!model_info_p) {
          minilog::log_error("Cannot convert the model description: no model");
          return nullptr;
        }
        if (!model_fits(*model_info_p)) return nullptr;
        flatten_model(*model_info_p, record);
        return &record;
      },
      nullptr);
}

ModelInfo* get_model_info_p(const char* filename, int device_id) {
  return guarded(
      "get_model_info_p",
      [&] { return parsed_model(filename, device_id); },
      nullptr);
}

int find_net_num(ModelInfo* model_info_p, const char* net_name) {
  return guarded(
      "find_net_num",
      [&] {
        if (!model_info_p || !net_name) {
          minilog::log_error("Invalid model or net_name");
          return -1;
        }
        const auto found = model_info_p->net_name_to_index.find(net_name);
        return found == model_info_p->net_name_to_index.end() ? -1 : static_cast<int>(found->second);
      },
      -1);
}
}
