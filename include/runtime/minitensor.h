// The tensor record: a name, an element type, a shape, a byte size, an
// optional host buffer and a window onto a block of device memory, with one
// flag per side that says whether that side holds the tensor's current data.
//
// Foreign callers read the fields directly, so the layout below is part of
// the exported interface (x86-64, natural alignment). Records come from the
// C allocator; the host buffers a record allocates do too, so a foreign
// caller may read `data` and the library frees it with the record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bmlib_runtime.h"
#include "utils/export.h"

namespace minitensor {

constexpr size_t kTensorNameCapacity = 128;  // 127 characters and the NUL
constexpr size_t kTensorShapeSlots = 8;

struct VexoTensor {
  char name[kTensorNameCapacity];
  int dtype;  // element type code, BM_FLOAT32 (0) to BM_UINT4 (10)
  size_t size;  // bytes
  size_t dims;  // may exceed the 8 slots of `shape`
  uint64_t shape[kTensorShapeSlots];
  void* data;  // host buffer of `size` bytes, or null
  bool is_malloc_host;  // `data` was allocated by the record and is freed with it
  bool is_have_data;  // the host buffer holds the current data
  int device_id;
  bm_handle_t bm_handle;
  bool is_in_device;  // the device memory holds the current data
  uint64_t addr;  // device_start + offset
  // A flattened copy of the enclosing block's descriptor: every device copy
  // addresses the tensor as (whole block, offset).
  uint64_t device_start;
  uint64_t device_size;
  uint64_t offset;
  int dmabuf_fd;
  uint32_t reserved;
  uint32_t rawflags;
  bool user_malloc;  // the block was made by vexotensor_malloc_device and is the record's
};
typedef VexoTensor* vexotensor;

static_assert(sizeof(VexoTensor) == 296, "VexoTensor layout");
static_assert(offsetof(VexoTensor, name) == 0, "VexoTensor layout");
static_assert(offsetof(VexoTensor, dtype) == 128, "VexoTensor layout");
static_assert(offsetof(VexoTensor, size) == 136, "VexoTensor layout");
static_assert(offsetof(VexoTensor, dims) == 144, "VexoTensor layout");
static_assert(offsetof(VexoTensor, shape) == 152, "VexoTensor layout");
static_assert(offsetof(VexoTensor, data) == 216, "VexoTensor layout");
static_assert(offsetof(VexoTensor, is_malloc_host) == 224, "VexoTensor layout");
static_assert(offsetof(VexoTensor, is_have_data) == 225, "VexoTensor layout");
static_assert(offsetof(VexoTensor, device_id) == 228, "VexoTensor layout");
static_assert(offsetof(VexoTensor, bm_handle) == 232, "VexoTensor layout");
static_assert(offsetof(VexoTensor, is_in_device) == 240, "VexoTensor layout");
static_assert(offsetof(VexoTensor, addr) == 248, "VexoTensor layout");
static_assert(offsetof(VexoTensor, device_start) == 256, "VexoTensor layout");
static_assert(offsetof(VexoTensor, device_size) == 264, "VexoTensor layout");
static_assert(offsetof(VexoTensor, offset) == 272, "VexoTensor layout");
static_assert(offsetof(VexoTensor, dmabuf_fd) == 280, "VexoTensor layout");
static_assert(offsetof(VexoTensor, reserved) == 284, "VexoTensor layout");
static_assert(offsetof(VexoTensor, rawflags) == 288, "VexoTensor layout");
static_assert(offsetof(VexoTensor, user_malloc) == 292, "VexoTensor layout");

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
