// The loading pipeline's steps on a model description, for the library's
// own callers (the C functions, the runtimes, the flat description).
//
// A model is loaded in a fixed order, each step on the same ModelInfo:
//   read_bmodel -> move_to_device -> compile_io_addr -> fill_api_info,
// then run_model any number of times, and free_model once.
//
// The functions throw ModelError (after logging one error line) when a step
// fails; a failed step releases what it obtained and leaves the description
// in the `failed` state, which later steps refuse. The exported C functions
// of the same names (externc/model_api.h) wrap them and never let an
// exception out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "runtime/divudida.h"
#include "formats/launch_format.h"
#include "src/utils/guard.h"

namespace bmodel {
struct Binary;
}  // namespace bmodel

namespace divudida {

// Block size of the coefficient upload when the caller gives none (32 MiB).
constexpr unsigned long DEFAULT_BLOCK_SIZE = 0x2000000;
// Dimensions per input that a dynamic launch record has room for.
constexpr size_t BM_MAX_DIMS_NUM = vexofmt::launch::kMaxDims;
// Largest launch record that keeps the room for BM_MAX_DIMS_NUM dimensions.
constexpr size_t MAX_API_MSG_SIZE = vexofmt::launch::kMaxRecordSize;

// A failed load, placement or launch preparation; its line is already logged.
class ModelError : public minilog::LoggedError {
 public:
  using minilog::LoggedError::LoggedError;
};

// Whether a stage runs subnet by subnet rather than as one launch.
inline bool runs_by_subnet(const StageInfo& stage) { return stage.subnets.size() > 1 || stage.is_dynamic; }

// [parse] Opens the model file and the device and describes the model. A
// non-empty decrypt_lib reads an encrypted file through that decryption
// plug-in, in memory only.
ModelInfo read_bmodel(const char* filename, int device_id, const std::string& decrypt_lib = "");
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
ModelInfo load_model(const char* filename, int device_id, const std::string& decrypt_lib = "");

// Owns a description for a scope: free_model runs when the owner goes,
// unless release() handed the description on. The description itself stays
// a plain record.
class ModelOwner {
 public:
  explicit ModelOwner(ModelInfo model) : model_(std::move(model)) {}
  ~ModelOwner() { free_model(model_); }
  ModelOwner(const ModelOwner&) = delete;
  ModelOwner& operator=(const ModelOwner&) = delete;

  ModelInfo& operator*() { return model_; }
  ModelInfo release() {
    ModelInfo handed = std::move(model_);
    model_ = ModelInfo();  // moves copy the owning pointers: leave none behind
    return handed;
  }

 private:
  ModelInfo model_;
};

}  // namespace divudida
