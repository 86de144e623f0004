// Language-model runtime pieces shared inside the library (not exported).
#pragma once

#include <cstdint>
#include <vector>

#include "llm/llmruntime.h"

namespace llmrun {

// 16-bit patterns that hide a position in an attention mask.
extern const uint16_t ATTENTION_MASK_F16;   // -10000.0 in half precision
extern const uint16_t ATTENTION_MASK_BF16;  // -9984.0 in bfloat16

// Builds the records of a stage as the general runtime does, except that
// inputs too count as holding device data: nothing is uploaded implicitly.
bool set_io_tensors(int device_id, bm_handle_t bm_handle, bm_device_mem_t io_device,
                    const divudida::StageInfo& stage_info, std::vector<VexoTensor*>& input_tensors,
                    std::vector<VexoTensor*>& output_tensors);

}  // namespace llmrun
