// The general runtime: opens a model on a device, selects a net and stage,
// feeds the stage's inputs from host memory or from other device tensors,
// runs it and hands out its outputs, all through tensor records that are
// windows onto the stage's device block.
#pragma once

#include <cstddef>
#include <vector>

#include "runtime/divudida.h"
#include "runtime/minitensor.h"
#include "utils/export.h"

namespace minirun {

using minitensor::VexoTensor;
using minitensor::vexotensor;

struct VexoRuntime {
  bm_handle_t bm_handle = nullptr;  // the model's, copied after loading
  int device_id = 0;
  divudida::ModelInfo model_info;  // owned
  size_t cur_net_idx = 0;
  size_t cur_stage_idx = 0;
  // One record per input and output of the selected stage, in stage order;
  // owned, rebuilt by every selection.
  std::vector<VexoTensor*> input_tensors;
  std::vector<VexoTensor*> output_tensors;
};
typedef VexoRuntime* vexoruntime;

// Every function refuses a null runtime and out-of-range indices with one
// error line (see docs/runtime.md).
extern "C" {

// A runtime with net 0, stage 0 selected; null (nothing left on the device)
// when the model cannot be loaded.
VEXO_API vexoruntime vexoruntime_init(const char* bmodel_path, int device_id);
// The same for an encrypted model file, deciphered in memory (never on disk)
// through the decryption plug-in at decrypt_lib, a shared library exporting
// "decrypt"; null with an error line when decrypt_lib is null or empty.
VEXO_API vexoruntime vexoruntime_init_decrypt(const char* bmodel_path, int device_id, const char* decrypt_lib);
// Selects a stage and rebuilds the input and output records; records handed
// out earlier become invalid. Bad indices keep the current selection.
VEXO_API void vexoruntime_set_net_stage(vexoruntime runtime, size_t net_idx, size_t stage_idx);
// The index of the net with that name; 0 (after an error line) for a name
// the model does not hold.
VEXO_API size_t vexoruntime_get_net_num(vexoruntime runtime, const char* net_name);
// Input ('i', 'I') or output ('o', 'O') record of the selected stage, or null.
VEXO_API vexotensor vexoruntime_get_io_tensor(vexoruntime runtime, char io_type, size_t tensor_idx);
// Number of inputs for 'i' or 'I', of outputs for any other letter.
VEXO_API size_t vexoruntime_get_io_count(vexoruntime runtime, char io_type);
// Borrows `size` (the input's size) bytes and uploads them into the input.
VEXO_API void vexoruntime_set_input_s2d(vexoruntime runtime, size_t tensor_idx, void* data, size_t size);
// Copies a device tensor, no larger than the input, into it on the device.
VEXO_API void vexoruntime_set_input_d2d(vexoruntime runtime, size_t tensor_idx, vexotensor src_tensor);
// Uploads inputs not yet on the device, runs the stage and, when asked,
// downloads every output into a host buffer owned by its record. A failed
// upload, launch or download is one error line; the outputs then hold no
// data on either side until a run succeeds, and the runtime stays usable.
VEXO_API void vexoruntime_run(vexoruntime runtime, bool output_to_host);
// vexoruntime_run, telling whether the run succeeded.
VEXO_API bool vexoruntime_run_checked(vexoruntime runtime, bool output_to_host);
// Releases the records, the model and the runtime.
VEXO_API void vexoruntime_free(vexoruntime runtime);

}  // extern "C"

// Introspection of any net and stage, without selecting it (see vexo.h).
using ::vexoruntime_get_model_info;
using ::vexoruntime_get_net_count;
using ::vexoruntime_get_net_name;
using ::vexoruntime_get_stage_count;
using ::vexoruntime_get_tensor_count;
using ::vexoruntime_get_tensor_desc;

}  // namespace minirun
