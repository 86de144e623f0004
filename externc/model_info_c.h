// The flat model description: a fixed-capacity, pointer-free copy of a
// loaded model's nets, stages, tensors and device areas, for callers in
// other languages that read it through their own declaration of the same
// layout (x86-64, natural alignment; offsets below are the interface).
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/divudida.h"
#include "utils/export.h"

constexpr size_t C_MAX_NETS = 256;
constexpr size_t C_MAX_STAGES = 64;
constexpr size_t C_MAX_TENSORS = 64;  // inputs, and outputs, per stage
constexpr size_t C_MAX_DIMS = 8;
constexpr size_t C_NAME_CAPACITY = 128;  // 127 characters and the NUL

// A device area. The field order differs from the device library's own
// descriptor.
struct C_DeviceMem {
  uint64_t addr;
  uint32_t size;
  uint32_t reserved;
  uint32_t rawflags;
  int32_t dmabuf_fd;
};

struct C_TensorInfo {
  char name[C_NAME_CAPACITY];
  int32_t data_type;
  uint64_t device_addr;  // compiled address; the device address is in the stage's *_global_addr
  uint64_t size;
  size_t dims;
  uint64_t shape[C_MAX_DIMS];
};

struct C_StageInfo {
  size_t input_num;
  size_t output_num;
  C_TensorInfo input_tensor[C_MAX_TENSORS];
  C_TensorInfo output_tensor[C_MAX_TENSORS];
  uint64_t input_tensor_global_addr[C_MAX_TENSORS];
  uint64_t output_tensor_global_addr[C_MAX_TENSORS];
  bool io_alone;
  uint64_t io_addr;
  uint64_t io_size;
  uint64_t io_offset;
  uint64_t io_global_addr;
  uint64_t neuron_addr;
  uint64_t neuron_size;
  uint64_t neuron_offset;
  C_DeviceMem io_device;  // valid when io_alone is set
};

struct C_NetInfo {
  char name[C_NAME_CAPACITY];
  size_t stage_num;
  C_StageInfo stages[C_MAX_STAGES];
  int32_t addr_mode;
};

struct C_ModelInfo {
  int32_t device_id;
  bm_handle_t bm_handle;
  size_t net_num;
  C_NetInfo nets[C_MAX_NETS];
  C_DeviceMem neuron_device;
};

static_assert(sizeof(C_DeviceMem) == 24, "C_DeviceMem layout");
static_assert(offsetof(C_DeviceMem, addr) == 0, "C_DeviceMem layout");
static_assert(offsetof(C_DeviceMem, size) == 8, "C_DeviceMem layout");
static_assert(offsetof(C_DeviceMem, reserved) == 12, "C_DeviceMem layout");
static_assert(offsetof(C_DeviceMem, rawflags) == 16, "C_DeviceMem layout");
static_assert(offsetof(C_DeviceMem, dmabuf_fd) == 20, "C_DeviceMem layout");

static_assert(sizeof(C_TensorInfo) == 224, "C_TensorInfo layout");
static_assert(offsetof(C_TensorInfo, name) == 0, "C_TensorInfo layout");
static_assert(offsetof(C_TensorInfo, data_type) == 128, "C_TensorInfo layout");
static_assert(offsetof(C_TensorInfo, device_addr) == 136, "C_TensorInfo layout");
static_assert(offsetof(C_TensorInfo, size) == 144, "C_TensorInfo layout");
static_assert(offsetof(C_TensorInfo, dims) == 152, "C_TensorInfo layout");
static_assert(offsetof(C_TensorInfo, shape) == 160, "C_TensorInfo layout");

static_assert(sizeof(C_StageInfo) == 29800, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, input_num) == 0, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, output_num) == 8, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, input_tensor) == 16, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, output_tensor) == 14352, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, input_tensor_global_addr) == 28688, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, output_tensor_global_addr) == 29200, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, io_alone) == 29712, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, io_addr) == 29720, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, io_size) == 29728, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, io_offset) == 29736, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, io_global_addr) == 29744, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, neuron_addr) == 29752, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, neuron_size) == 29760, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, neuron_offset) == 29768, "C_StageInfo layout");
static_assert(offsetof(C_StageInfo, io_device) == 29776, "C_StageInfo layout");

static_assert(sizeof(C_NetInfo) == 1907344, "C_NetInfo layout");
static_assert(offsetof(C_NetInfo, name) == 0, "C_NetInfo layout");
static_assert(offsetof(C_NetInfo, stage_num) == 128, "C_NetInfo layout");
static_assert(offsetof(C_NetInfo, stages) == 136, "C_NetInfo layout");
static_assert(offsetof(C_NetInfo, addr_mode) == 1907336, "C_NetInfo layout");

static_assert(sizeof(C_ModelInfo) == 488280112, "C_ModelInfo layout");
static_assert(offsetof(C_ModelInfo, device_id) == 0, "C_ModelInfo layout");
static_assert(offsetof(C_ModelInfo, bm_handle) == 8, "C_ModelInfo layout");
static_assert(offsetof(C_ModelInfo, net_num) == 16, "C_ModelInfo layout");
static_assert(offsetof(C_ModelInfo, nets) == 24, "C_ModelInfo layout");
static_assert(offsetof(C_ModelInfo, neuron_device) == 488280088, "C_ModelInfo layout");

extern "C" {

// Copies a loaded model's description into the process's one flat record
// and returns it (the same address every time; the newest call's content).
// Entries beyond the counts, and io_device of stages without io_alone, keep
// what earlier calls left. A model beyond a capacity (nets, stages, tensors,
// dimensions, 127-character names) is refused with an error line and null,
// leaving the record untouched.
VEXO_API C_ModelInfo* convert_model_info(divudida::ModelInfo* model_info_p);

// The process's one parsed model, read from `filename` on `device_id` by
// the first call that succeeds; later calls ignore their arguments. Null
// (after an error line) when the read fails; the next call tries again.
VEXO_API divudida::ModelInfo* get_model_info_p(const char* filename, int device_id);

// Index of the net called `net_name` (exact, case-sensitive), or -1.
VEXO_API int find_net_num(divudida::ModelInfo* model_info_p, const char* net_name);
}
