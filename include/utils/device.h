// Device handles and status, and device memory descriptors built from plain
// numbers, over the device library.
#pragma once

#include <cstdint>

#include "bmlib_runtime.h"
#include "utils/export.h"

extern "C" {

// A new handle for the device, owned by the caller; null when the device
// cannot be opened.
VEXO_API bm_handle_t get_handle(int device_id);

// Releases a handle from get_handle; a null handle is ignored.
VEXO_API void free_handle(bm_handle_t bm_handle);

// The status the device reports, or -1 (after an error line) when the device
// cannot be opened or queried. The handle it opens is released again.
VEXO_API int get_device_status(int device_id);

// For a non-zero status: prints "<msg> failed, status: <status>" straight to
// standard output and ends the process with exit status -1.
VEXO_API void check_states_with_safe_exit(int status, const char* msg);

// Descriptors of a device area: every byte zero except the address, buffer
// descriptor, reserved word, size and flags given. Nothing is checked.
VEXO_API sg_device_mem_t convert_to_sg_device_mem(uint64_t start_addr, unsigned long long size, int dmabuf_fd,
                                                  unsigned int reserve, unsigned int rawflags);
VEXO_API bm_device_mem_t convert_to_device_mem(uint64_t start_addr, unsigned int size, int dmabuf_fd,
                                               unsigned int reserve, unsigned int rawflags);

}  // extern "C"
