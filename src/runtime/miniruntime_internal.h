// Stage records of the general runtime, shared with the language-model
// runtime inside the library (not exported).
#pragma once

#include <vector>

#include "runtime/miniruntime.h"

namespace minirun {

// Appends one record per input, then per output, of the stage: windows onto
// `io_device` at the stage's tensor addresses. Inputs start without device
// data, outputs with. False (records of this call released) when a record
// cannot be allocated.
bool vexoruntime_set_io_tensors(int device_id, bm_handle_t bm_handle, bm_device_mem_t io_device,
                                const divudida::StageInfo& stage_info, std::vector<VexoTensor*>& input_tensors,
                                std::vector<VexoTensor*>& output_tensors);
// Destroys the records (owned host buffers only) and empties the vector.
void vexoruntime_free_tensor_vector(std::vector<VexoTensor*>& tensors);

}  // namespace minirun
