// The low-level model functions for callers outside C++: each runs one step
// of the loading pipeline on a description made by divudida::read_bmodel.
//
// They never let an exception out. A step that fails logs one error line,
// releases what it obtained and leaves the description in a state that the
// later steps refuse (a later run_model launches nothing); free_model still
// releases the rest. move_to_device, compile_io_addr, fill_api_info,
// run_model and free_model are declared in vexo.h.
#pragma once

#include "runtime/divudida.h"
#include "vexo.h"
