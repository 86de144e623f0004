// The functions of the simulated kernel module: the static full-network
// function walks and executes command streams in device memory, the dynamic
// one checks its record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bmlib_runtime.h"
#include "sim_memory.h"

namespace vexosim {

struct LaunchResult {
  bm_status_t status = BM_SUCCESS;
  uint64_t bdc = 0;   // BDC commands walked
  uint64_t gdma = 0;  // GDMA commands walked, end commands included
};

// 1 to 4 for the module's function names, -1 for any other name.
int kernel_function_id(std::string_view name);
// The name of a function id; empty for an unknown id.
std::string_view kernel_function_name(int id);

// Runs function `id` with its launch record. BM_ERR_PARAM for an unknown id,
// BM_ERR_FAILURE when the function fails.
LaunchResult run_kernel_function(DeviceMemory& memory, int id, const unsigned char* param, size_t size);

}  // namespace vexosim
