// Device handles and status, and device memory descriptors built from plain
// numbers, over the device library.
#pragma once

#include "vexo.h"

// get_handle, free_handle, get_device_status, check_states_with_safe_exit,
// convert_to_sg_device_mem and convert_to_device_mem have C linkage and are
// declared in vexo.h, the one declaration of every exported C function.
