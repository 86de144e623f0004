// The low-level model functions for callers outside C++: each runs one step
// of the loading pipeline on a description made by divudida::read_bmodel.
//
// They never let an exception out. A step that fails logs one error line,
// releases what it obtained and leaves the description in a state that the
// later steps refuse (a later run_model launches nothing); free_model still
// releases the rest.
#pragma once

#include <cstddef>

#include "runtime/divudida.h"
#include "utils/export.h"

extern "C" {

VEXO_API void move_to_device(divudida::ModelInfo* model_info_p);
VEXO_API void compile_io_addr(divudida::ModelInfo* model_info_p);
VEXO_API void fill_api_info(divudida::ModelInfo* model_info_p);
VEXO_API void run_model(divudida::ModelInfo* model_info_p, size_t net_idx, size_t stage_idx);
// Releases the device memory, the kernel module, the reader and the device
// handle; a null description is ignored.
VEXO_API void free_model(divudida::ModelInfo* model_info_p);
}
