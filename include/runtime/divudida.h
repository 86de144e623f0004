// The execution core: the in-memory description of a loaded model and the
// loading pipeline that places it on the device.
//
// A model is loaded in a fixed order, each step on the same ModelInfo:
//   read_bmodel -> move_to_device -> compile_io_addr -> fill_api_info,
// then run_model any number of times, and free_model once.
//
// The functions in namespace divudida throw ModelError (after logging one
// error line) when a step fails; a failed step releases what it obtained
// and leaves the description in the `failed` state, which later steps
// refuse. The exported C functions of the same names (externc/model_api.h)
// wrap them and never let an exception out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "bmlib_runtime.h"
#include "utils/guard.h"

namespace bmodel {
class ModelCtx;
struct Binary;
}  // namespace bmodel

namespace divudida {

class TPUKernelRuntimeSingleton;
typedef TPUKernelRuntimeSingleton* TPUKernelRuntime;

typedef uint32_t u32;
typedef uint64_t u64;

// Block size of the coefficient upload when the caller gives none (32 MiB).
constexpr unsigned long DEFAULT_BLOCK_SIZE = 0x2000000;
// Dimensions per input that a dynamic launch record has room for.
constexpr size_t BM_MAX_DIMS_NUM = 8;
// Largest launch record that keeps the room for BM_MAX_DIMS_NUM dimensions.
constexpr size_t MAX_API_MSG_SIZE = 4064;

// A failed load, placement or launch preparation; its line is already logged.
class ModelError : public minilog::LoggedError {
 public:
  using minilog::LoggedError::LoggedError;
};

// One range of the model file's payload.
struct BinaryInfo {
  u64 start = 0;
  u64 size = 0;
};

struct CmdGroup {
  u32 bdc_num = 0;
  u32 gdma_num = 0;
  u32 bdc_byte = 0;
  u32 gdma_byte = 0;
  BinaryInfo bdc_cmd;
  BinaryInfo gdma_cmd;
};

struct TensorInfo {
  std::string name;
  u32 data_type = 0;
  int32_t gmem_stmode = 0;
  u64 device_addr = 0;  // compiled address
  u64 size = 0;
  std::vector<u64> shape;
  u32 mem_type = 0;
  float scale = 0;
  u32 cpu_addr = 0;
  u32 pad_h = 0;
  int32_t zero_point = 0;
  int32_t hidden = 0;
  int32_t index = 0;
};

// The launch record of one stage or subnet.
struct ApiInfo {
  int32_t api_id = 0;
  std::vector<std::vector<uint8_t>> api_data;  // the launch sends api_data[0]
  std::vector<u32> input_addr_offset;
  std::vector<u32> output_addr_offset;
};

struct SubNetInfo {
  ApiInfo api_info;
  int32_t subnet_mode = 0;
  int32_t is_dynamic = 0;
  int32_t subnet_id = 0;
  std::vector<int32_t> next_subnet_ids;  // first entry: index of the next subnet, -1 ends
  std::vector<CmdGroup> cmd_group;
  std::vector<TensorInfo> input_tensor;
  std::vector<TensorInfo> output_tensor;
  std::vector<u64> input_tensor_global_addr;
  std::vector<u64> output_tensor_global_addr;
  u32 ir_offset = 0;
  u32 ir_len = 0;
  u64 ir_global_addr = 0;
};

struct StageInfo {
  ApiInfo api_info;
  std::vector<CmdGroup> cmd_group;
  std::vector<TensorInfo> input_tensor;
  std::vector<TensorInfo> output_tensor;
  std::vector<u64> input_tensor_global_addr;
  std::vector<u64> output_tensor_global_addr;
  BinaryInfo coeff;
  u64 coeff_addr = 0;  // compiled addresses unless named global
  u64 coeff_size = 0;
  u64 coeff_offset = 0;  // device minus compiled address, modulo 2^64
  bool io_alone = false;
  u64 io_addr = 0;
  u64 io_size = 0;
  u64 io_offset = 0;
  u64 io_global_addr = 0;
  u64 neuron_addr = 0;
  u64 neuron_size = 0;
  u64 neuron_offset = 0;
  std::vector<u64> ctx_borders;
  bm_device_mem_t io_device{};
  sg_device_mem_t coeff_device{};
  bm_device_mem_t bdc_cmd_device{};
  bm_device_mem_t gdma_cmd_device{};
  bm_device_mem_t ir_device{};
  BinaryInfo binary_ir;
  size_t subnet_num = 0;
  std::vector<SubNetInfo> subnets;
  int32_t is_dynamic = 0;
};

struct NetInfo {
  std::string name;
  std::vector<StageInfo> stages;
  size_t stage_num = 0;
  int addr_mode = 0;
  std::unordered_map<u64, u64> coeff_start_and_size_map;
  std::unordered_map<u64, sg_mem_desc> coeff_start_and_device_map;
  std::unordered_map<int, ApiInfo> stage_api_info_map;
};

// How far a description has come through the pipeline.
enum class ModelState { empty, parsed, placed, addressed, launch_ready, failed, released };

struct ModelInfo {
  bmodel::ModelCtx* model_ctx = nullptr;
  int device_id = 0;
  bm_handle_t bm_handle = nullptr;
  std::string chip_name;
  BinaryInfo kernel_module;
  u32 kernel_func_id = 0;
  u32 kernel_func_id_dynamic = 0;
  std::vector<NetInfo> nets;
  size_t net_num = 0;
  TPUKernelRuntime tpu_kernel_runtime = nullptr;
  u64 neuron_size = 0;
  u64 neuron_addr = 0;
  bm_device_mem_t neuron_device{};
  u64 neuron_global_addr = 0;
  std::unordered_map<std::string, size_t> net_name_to_index;
  ModelState state = ModelState::empty;
};

// Whether a stage runs subnet by subnet rather than as one launch.
inline bool runs_by_subnet(const StageInfo& stage) { return stage.subnets.size() > 1 || stage.is_dynamic; }

// [parse] Opens the model file and the device and describes the model.
ModelInfo read_bmodel(const char* filename, int device_id);
void set_coeff_map(NetInfo* net_info_p);

// [placement] Device areas and relocation offsets; coefficient upload.
void malloc_coeff_neuron_on_device_and_set_offset(ModelInfo* model_info_p);
void coeff_to_device(ModelInfo* model_info_p, bool is_huge);
void move_huge_coeff_to_device_serial(ModelInfo* model_info_p, const bmodel::Binary* huge_binary,
                                      sg_mem_desc device_mem, unsigned long default_single_size);

// [commands] Command buffers with relocated DMA addresses; IR upload.
void bdc_gdma_to_device(ModelInfo* model_info_p);
u32 get_bdc_cmd_len(uint32_t* cmd_buf, u64 start_offset, bool last_cmd);
u32 get_gdma_cmd_len(u64 start_offset, bool last_cmd);
void convert_gdma_cmd(NetInfo* net_info_p, uint32_t* cmd, bool is_last, size_t stage_idx);
void ir_to_device(ModelInfo* model_info_p);

// [launch records]
void compile_io_addr(ModelInfo& model_info);
void fill_api_info(ModelInfo& model_info);
template <typename T>
void bm1684x_fill_static_api_info(unsigned kernel_func_id, T& type_info, unsigned long long bdc_device_addr,
                                  unsigned long long gdma_device_addr);
void bm1684x_fill_dynamic_api_info(unsigned kernel_func_id_dynamic, StageInfo& stage_info,
                                   SubNetInfo& subnet_info);

// [pipeline] Kernel module, the whole placement, launch and release.
void load_kernel_module(ModelInfo* model_info_p);
void move_to_device(ModelInfo& model_info);
void run_model(ModelInfo& model_info, size_t net_idx, size_t stage_idx);
void free_model(ModelInfo& model_info);

// Parse, place, address and build launch records: a model ready to run.
// On failure everything obtained is released and ModelError is thrown.
ModelInfo load_model(const char* filename, int device_id);

}  // namespace divudida
