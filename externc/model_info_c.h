// The flat model description: a fixed-capacity, pointer-free copy of a
// loaded model's nets, stages, tensors and device areas, for callers in
// other languages that read it through their own declaration of the same
// layout. The records and their layout checks are in vexo.h.
#pragma once

#include "runtime/divudida.h"
#include "vexo.h"

// convert_model_info copies a loaded model's description into the process's
// one flat record and returns it (the same address every time; the newest
// call's content). Entries beyond the counts, and io_device of stages without
// io_alone, keep what earlier calls left. A model beyond a capacity (nets,
// stages, tensors, dimensions, 127-character names) is refused with an error
// line and null, leaving the record untouched.
//
// get_model_info_p gives the process's one parsed model, read from
// `filename` on `device_id` by the first call that succeeds; later calls
// ignore their arguments. Null (after an error line) when the read fails; the
// next call tries again.
//
// find_net_num gives the index of the net called `net_name` (exact,
// case-sensitive), or -1.
//
// All three are declared in vexo.h.
