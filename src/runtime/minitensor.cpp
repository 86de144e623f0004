// Tensor records: creation, placement on device blocks, host data, copies
// between host and device and within the device, and printing.
#include "runtime/minitensor.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "utils/datagen.h"
#include "utils/device.h"
#include "utils/guard.h"
#include "utils/logs.h"

namespace minitensor {

using minilog::guarded;
using minilog::log_error;

namespace {

void place_on_block(VexoTensor& tensor, const bm_device_mem_t& mem) {
  tensor.device_start = mem.u.device.device_addr;
  tensor.device_size = mem.size;
  tensor.dmabuf_fd = mem.u.device.dmabuf_fd;
  tensor.reserved = mem.u.device.reserved;
  tensor.rawflags = mem.flags.rawflags;
}

// The descriptor of the whole enclosing block, rebuilt from the record.
bm_device_mem_t block_of(const VexoTensor& tensor) {
  return convert_to_device_mem(tensor.device_start, static_cast<unsigned>(tensor.device_size), tensor.dmabuf_fd,
                               tensor.reserved, tensor.rawflags);
}

// Whether `size` bytes at `extra` past the tensor's offset lie inside its
// block. A copy outside it would write over, or read, other allocations.
bool window_in_block(const VexoTensor& tensor, uint64_t extra, uint64_t size) {
  if (tensor.offset > tensor.device_size) return false;
  const uint64_t room = tensor.device_size - tensor.offset;
  return extra <= room && size <= room - extra;
}

// Uploads and downloads copy the whole tensor with the device library's
// partial copies, whose size and offset are 32-bit: refuse rather than
// truncate, and never leave the block.
bool host_copy_possible(const VexoTensor& tensor) {
  if (!window_in_block(tensor, 0, tensor.size)) {
    log_error("Tensor of ", tensor.size, " bytes at offset ", tensor.offset, " leaves its device block of ",
              tensor.device_size, " bytes");
    return false;
  }
  if (tensor.size > UINT32_MAX || tensor.offset > UINT32_MAX) {
    log_error("Tensor of ", tensor.size, " bytes at offset ", tensor.offset,
              " is beyond the 32-bit range of host-device copies");
    return false;
  }
  return true;
}

bool read_device_copy(const VexoTensor& tensor, void* target) {
  const bm_status_t status =
      bm_memcpy_d2s_partial_offset(tensor.bm_handle, target, block_of(tensor), static_cast<unsigned>(tensor.size),
                                   static_cast<unsigned>(tensor.offset));
  if (status != BM_SUCCESS) {
    log_error("Failed to download tensor data, status: ", status);
    return false;
  }
  return true;
}

bool upload(VexoTensor& tensor) {
  if (!tensor.is_have_data) {
    log_error("No host data to sync to device");
    return false;
  }
  if (!host_copy_possible(tensor)) return false;
  const bm_status_t status =
      bm_memcpy_s2d_partial_offset(tensor.bm_handle, block_of(tensor), tensor.data,
                                   static_cast<unsigned>(tensor.size), static_cast<unsigned>(tensor.offset));
  if (status != BM_SUCCESS) {
    log_error("Failed to upload tensor data, status: ", status);
    return false;
  }
  tensor.is_in_device = true;
  return true;
}

// Downloads into the record's own buffer, allocating one when the record
// has none: a borrowed caller buffer is never written.
void download(VexoTensor& tensor) {
  if (!tensor.is_in_device) {
    log_error("No device data to sync to host");
    return;
  }
  if (!host_copy_possible(tensor)) return;
  HostBuffer fresh;
  void* target = tensor.data;
  if (!tensor.is_malloc_host) {
    fresh = allocate_host(tensor.size);
    if (!fresh) {
      log_error("Failed to allocate host memory");
      return;
    }
    target = fresh.get();
  }
  if (!read_device_copy(tensor, target)) return;
  if (fresh) adopt_host_buffer(tensor, std::move(fresh));
  tensor.is_have_data = true;
}

// vexotensor_set_data; tells whether the data was accepted.
bool accept_host_data(VexoTensor* tensor, void* data, size_t size, bool copy) {
  if (!tensor || !data) {
    log_error("Invalid tensor or data pointer");
    return false;
  }
  if (size != tensor->size) {
    log_error("Size mismatch");
    return false;
  }
  if (copy) {
    if (!tensor->is_malloc_host) {
      HostBuffer fresh = allocate_host(size);
      if (!fresh) {
        log_error("Failed to allocate host memory");
        return false;
      }
      adopt_host_buffer(*tensor, std::move(fresh));
    }
    std::memmove(tensor->data, data, size);
  } else if (data != tensor->data) {
    // Borrowing the record's own buffer keeps it owned; anything else
    // replaces it.
    if (tensor->is_malloc_host) std::free(tensor->data);
    tensor->is_malloc_host = false;
    tensor->data = data;
  }
  tensor->is_have_data = true;
  return true;
}

bool show_range_valid(int start, int64_t len, uint64_t elements) {
  return start >= 0 && static_cast<uint64_t>(start) <= elements && len >= 0 && len <= INT_MAX &&
         static_cast<uint64_t>(len) <= elements - static_cast<uint64_t>(start);
}

void show(const VexoTensor& tensor, int start, int len, char location) {
  const bool device = location == 'd' || location == 'D';
  if (!device && location != 's' && location != 'S') {
    log_error("Invalid location");
    return;
  }
  if (device && !tensor.is_in_device) {
    log_error("No device data to show");
    return;
  }
  if (!device && !tensor.is_have_data) {
    log_error("No host data to show");
    return;
  }
  const size_t element_size = get_dtype_size(tensor.dtype);
  if (element_size == 0) {
    log_error("Cannot show a tensor of unknown element type ", tensor.dtype);
    return;
  }
  const uint64_t elements = tensor.size / element_size;
  const int64_t count = len < 0 ? static_cast<int64_t>(elements) : len;
  if (!show_range_valid(start, count, elements)) {
    log_error("Cannot show elements ", start, " to ", start + count - 1, " of a tensor of ", elements, " elements");
    return;
  }
  void* source = tensor.data;
  HostBuffer device_copy;  // the record's own host fields stay as they are
  if (device) {
    if (!host_copy_possible(tensor)) return;
    device_copy = allocate_host(tensor.size);
    if (!device_copy) {
      log_error("Failed to allocate temporary buffer");
      return;
    }
    if (!read_device_copy(tensor, device_copy.get())) return;
    source = device_copy.get();
  }
  print_data_by_fp32(source, static_cast<int>(tensor.size), tensor.dtype, start, static_cast<int>(count));
}

void d2d_copy(bm_handle_t bm_handle, VexoTensor* dst_tensor, VexoTensor* src_tensor, size_t dst_offset_bytes,
              size_t src_offset_bytes, size_t size) {
  if (!dst_tensor || !src_tensor || !src_tensor->is_in_device) {
    log_error("[d2d_bytes_offset] Invalid tensor");
    return;
  }
  const struct {
    const VexoTensor& tensor;
    size_t extra;
    const char* role;
  } sides[] = {{*src_tensor, src_offset_bytes, "source"}, {*dst_tensor, dst_offset_bytes, "destination"}};
  for (const auto& side : sides) {
    if (!window_in_block(side.tensor, side.extra, size)) {
      log_error("[d2d_bytes_offset] ", size, " bytes at offset ", side.extra, " leave the device block of the ",
                side.role);
      return;
    }
  }
  const bm_status_t status =
      bm_memcpy_d2d_byte(bm_handle, block_of(*dst_tensor), dst_tensor->offset + dst_offset_bytes,
                         block_of(*src_tensor), src_tensor->offset + src_offset_bytes, size);
  if (status != BM_SUCCESS) {
    log_error("[d2d_bytes_offset] Device copy failed, status: ", status);
    return;
  }
  dst_tensor->is_in_device = true;
}

}  // namespace

void HostFree::operator()(void* buffer) const { std::free(buffer); }

HostBuffer allocate_host(size_t size) { return HostBuffer(std::malloc(size)); }

void adopt_host_buffer(VexoTensor& tensor, HostBuffer buffer) {
  if (tensor.is_malloc_host) std::free(tensor.data);
  tensor.data = buffer.release();
  tensor.is_malloc_host = true;
}

size_t get_dtype_size(int dtype) {
  if (dtype < BM_FLOAT32 || dtype > BM_UINT4) return 0;
  return bmrt_data_type_size(static_cast<bm_data_type_t>(dtype));
}

void TensorDeleter::operator()(VexoTensor* tensor) const { vexotensor_destroy(tensor); }

extern "C" {

vexotensor vexotensor_create() {
  return guarded(
      "vexotensor_create",
      [] {
        auto* tensor = static_cast<VexoTensor*>(std::malloc(sizeof(VexoTensor)));
        if (!tensor) {
          log_error("Failed to allocate memory for VexoTensor");
          return tensor;
        }
        vexotensor_init(tensor);
        return tensor;
      },
      nullptr);
}

void vexotensor_init(vexotensor tensor) {
  if (!tensor) return;
  *tensor = VexoTensor{};
  tensor->device_id = -1;
}

vexotensor vexotensor_malloc_device(bm_handle_t bm_handle, size_t size) {
  return guarded(
      "vexotensor_malloc_device",
      [&]() -> vexotensor {
        if (size > UINT32_MAX) {
          log_error("Cannot allocate ", size, " bytes of device memory: a device block holds less than 4 GiB");
          return nullptr;
        }
        std::unique_ptr<VexoTensor, TensorDeleter> tensor(vexotensor_create());
        if (!tensor) return nullptr;
        bm_device_mem_t mem{};
        const bm_status_t status = bm_malloc_device_byte(bm_handle, &mem, static_cast<unsigned>(size));
        if (status != BM_SUCCESS) {
          log_error("Failed to allocate ", size, " bytes of device memory, status: ", status);
          return nullptr;
        }
        vexotensor_set_device_mem(tensor.get(), mem, 0);
        tensor->bm_handle = bm_handle;
        tensor->device_id = 0;
        tensor->size = tensor->device_size;
        tensor->dtype = BM_BFLOAT16;
        tensor->user_malloc = true;
        return tensor.release();
      },
      nullptr);
}

void vexotensor_set_device_mem(vexotensor tensor, bm_device_mem_t device_mem, uint64_t tensor_offset) {
  if (!tensor) return;
  place_on_block(*tensor, device_mem);
  tensor->offset = tensor_offset;
  tensor->addr = tensor->device_start + tensor_offset;
}

void vexotensor_set_device_mem_by_addr(vexotensor tensor, bm_device_mem_t device_mem, uint64_t tensor_addr) {
  if (!tensor) return;
  place_on_block(*tensor, device_mem);
  tensor->addr = tensor_addr;
  tensor->offset = tensor_addr - tensor->device_start;
}

void vexotensor_destroy(vexotensor tensor) {
  if (!tensor) return;
  if (tensor->is_malloc_host) std::free(tensor->data);
  std::free(tensor);
}

void vexotensor_free_device(vexotensor tensor) {
  guarded("vexotensor_free_device", [&] {
    if (!tensor) return;
    if (tensor->user_malloc) {
      const bm_status_t status = bm_free_device(tensor->bm_handle, block_of(*tensor));
      if (status != BM_SUCCESS) log_error("Failed to free device memory, status: ", status);
    }
    vexotensor_destroy(tensor);
  });
}

void vexotensor_set_data(vexotensor tensor, void* data, size_t size, bool copy) {
  guarded("vexotensor_set_data", [&] { accept_host_data(tensor, data, size, copy); });
}

void vexotensor_sync(vexotensor tensor, bool to_device, bool force) {
  guarded("vexotensor_sync", [&] {
    if (!tensor) {
      log_error("Invalid tensor");
      return;
    }
    if (to_device) {
      if (!tensor->is_in_device || force) upload(*tensor);
    } else if (!tensor->is_have_data || force) {
      download(*tensor);
    }
  });
}

void vexotensor_show(vexotensor tensor, int start, int len, char location) {
  guarded("vexotensor_show", [&] {
    if (!tensor) {
      log_error("Invalid tensor");
      return;
    }
    show(*tensor, start, len, location);
  });
}

void vexotensor_d2d_bytes_offset(bm_handle_t bm_handle, vexotensor dst_tensor, vexotensor src_tensor,
                                 size_t dst_offset_bytes, size_t src_offset_bytes, size_t size) {
  guarded("vexotensor_d2d_bytes_offset", [&] {
    d2d_copy(bm_handle, dst_tensor, src_tensor, dst_offset_bytes, src_offset_bytes, size);
  });
}

void vexotensor_s2d_bytes(vexotensor tensor, void* data, size_t size) {
  guarded("vexotensor_s2d_bytes", [&] {
    if (!tensor) {
      log_error("Invalid tensor");
      return;
    }
    // Refused data is not uploaded: the device would get stale host bytes.
    if (accept_host_data(tensor, data, size, false)) upload(*tensor);
  });
}

}  // extern "C"

}  // namespace minitensor
