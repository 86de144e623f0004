// The tensor operations as the library's own code calls them: each one
// logs one error line and throws minilog::LoggedError when it refuses or a
// device copy fails, leaving the record as it was. The exported vexotensor_
// functions are guarded wrappers over these, so a failure inside the
// library travels as an exception up to the C function that reports it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "runtime/minitensor.h"

namespace minitensor {

// Whether the tensor's bytes lie inside its device block.
bool lies_in_block(const VexoTensor& tensor);

// vexotensor_set_data.
void set_host_data(VexoTensor* tensor, void* data, size_t size, bool copy);
// Forced vexotensor_sync to the device: the host data must be there.
void upload(VexoTensor& tensor);
// Forced vexotensor_sync to the host: the device data must be there.
void download(VexoTensor& tensor);
// vexotensor_d2d_bytes_offset.
void copy_on_device(bm_handle_t bm_handle, VexoTensor* dst_tensor, VexoTensor* src_tensor, size_t dst_offset_bytes,
                    size_t src_offset_bytes, size_t size);
// vexotensor_s2d_bytes: borrows `data` and uploads it; refused data is not
// uploaded.
void upload_bytes(VexoTensor* tensor, void* data, size_t size);

// Bytes per element for codes 0 to 10 (4-bit types count a whole byte);
// 0 for any other code.
size_t get_dtype_size(int dtype);

// Frees a record with vexotensor_destroy, for std::unique_ptr.
struct TensorDeleter {
  void operator()(VexoTensor* tensor) const;
};

// Host buffers of records come from the C allocator.
struct HostFree {
  void operator()(void* buffer) const;
};
using HostBuffer = std::unique_ptr<void, HostFree>;
// A buffer of `size` bytes, or null.
HostBuffer allocate_host(size_t size);
// Makes `buffer` the record's owned host buffer, freeing the one it owned.
void adopt_host_buffer(VexoTensor& tensor, HostBuffer buffer);

// Copies `text` as a C string, cut to the array's capacity.
template <size_t N>
void copy_c_string(char (&target)[N], const std::string& text) {
  const size_t length = text.size() < N - 1 ? text.size() : N - 1;
  text.copy(target, length);
  target[length] = '\0';
}

}  // namespace minitensor
