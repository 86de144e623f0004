// The tensor record's functions for C++ callers. The record itself, whose
// fields foreign callers read directly, is declared in vexo.h (as
// minitensor::VexoTensor here). Records come from the C allocator; the host
// buffers a record allocates do too, so a foreign caller may read `data` and
// the library frees it with the record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "utils/export.h"
#include "vexo.h"

namespace minitensor {

constexpr size_t kTensorNameCapacity = VEXO_TENSOR_NAME_CAPACITY;
constexpr size_t kTensorShapeSlots = VEXO_TENSOR_SHAPE_SLOTS;

// Every function logs one error line and returns (null, false or nothing)
// when it refuses; see docs/tensors.md for the messages and the choices.
extern "C" {

// A fresh record (as vexotensor_init leaves it), or null.
VEXO_API vexotensor vexotensor_create();
// Resets every field without releasing anything the record pointed at.
VEXO_API void vexotensor_init(vexotensor tensor);
// A record owning a new device block of `size` bytes (below 4 GiB), or null.
VEXO_API vexotensor vexotensor_malloc_device(bm_handle_t bm_handle, size_t size);
// Places the tensor at an offset, or at a device address, inside a block.
VEXO_API void vexotensor_set_device_mem(vexotensor tensor, bm_device_mem_t device_mem, uint64_t tensor_offset);
VEXO_API void vexotensor_set_device_mem_by_addr(vexotensor tensor, bm_device_mem_t device_mem, uint64_t tensor_addr);
// Frees an owned host buffer and the record; never touches device memory.
VEXO_API void vexotensor_destroy(vexotensor tensor);
// Frees the record's own device block (if it has one), then the record.
VEXO_API void vexotensor_free_device(vexotensor tensor);
// Gives the tensor `size` (its own size) bytes of host data, copied into an
// owned buffer or borrowed from the caller.
VEXO_API void vexotensor_set_data(vexotensor tensor, void* data, size_t size, bool copy);
// Uploads (to_device) or downloads the tensor's bytes; without `force` only
// when the other side does not hold the data yet.
VEXO_API void vexotensor_sync(vexotensor tensor, bool to_device, bool force);
// Prints elements start to start + len - 1 (len < 0: all) of the device
// ('d', 'D') or host ('s', 'S') copy at the debug level.
VEXO_API void vexotensor_show(vexotensor tensor, int start, int len, char location);
// Copies `size` bytes on the device from src at src_offset_bytes into dst at
// dst_offset_bytes (both relative to the tensors' own offsets).
VEXO_API void vexotensor_d2d_bytes_offset(bm_handle_t bm_handle, vexotensor dst_tensor, vexotensor src_tensor,
                                          size_t dst_offset_bytes, size_t src_offset_bytes, size_t size);
// Borrows `data` and uploads it.
VEXO_API void vexotensor_s2d_bytes(vexotensor tensor, void* data, size_t size);
// Tensor files: an 84-byte header (dtype, dims, 8 shape slots, size), then
// the data bytes.
VEXO_API bool vexotensor_save_data(vexotensor tensor, const char* filename);
VEXO_API bool vexotensor_load_data(vexotensor tensor, const char* filename);

}  // extern "C"

}  // namespace minitensor
