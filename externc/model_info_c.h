// The flat model description: a fixed-capacity, pointer-free copy of a
// loaded model's nets, stages, tensors and device areas, for callers in
// other languages that read it through their own declaration of the same
// layout. The records and their layout checks are in vexo.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/divudida.h"
#include "utils/export.h"
#include "vexo.h"

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
