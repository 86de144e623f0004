// Tensor records: creation, placement on device blocks, host data, copies
// between host and device and within the device, and printing.
#include "src/tensor/tensor_internal.h"


#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "utils/datagen.h"
#include "utils/device.h"
#include "src/utils/guard.h"
#include "src/utils/logs.h"

namespace minitensor {

using minilog::fail_with;
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
void check_host_copy_possible(const VexoTensor& tensor) {
  if (!lies_in_block(tensor)) {
    fail_with("Tensor of ", tensor.size, " bytes at offset ", tensor.offset, " leaves its device block of ",
         tensor.device_size, " bytes");
  }
  if (tensor.size > UINT32_MAX || tensor.offset > UINT32_MAX) {
    fail_with("Tensor of ", tensor.size, " bytes at offset ", tensor.offset,
         " is beyond the 32-bit range of host-device copies");
  }
}

void read_device_copy(const VexoTensor& tensor, void* target) {
  const bm_status_t status =
      bm_memcpy_d2s_partial_offset(tensor.bm_handle, target, block_of(tensor), static_cast<unsigned>(tensor.size),
                                   static_cast<unsigned>(tensor.offset));
  if (status != BM_SUCCESS) fail_with("Failed to download tensor data, status: ", status);
}

HostBuffer allocate_or_fail(size_t size, const char* message) {
  HostBuffer buffer = allocate_host(size);
  if (!buffer) fail_with(message);
  return buffer;
}

bool show_range_valid(int start, int64_t len, uint64_t elements) {
  return start >= 0 && static_cast<uint64_t>(start) <= elements && len >= 0 && len <= INT_MAX &&
         static_cast<uint64_t>(len) <= elements - static_cast<uint64_t>(start);
}

void show(const VexoTensor& tensor, int start, int len, char location) {
  const bool device = location == 'd' || location == 'D';
  if (!device && location != 's' && location != 'S') fail_with("Invalid location");
  if (device && !tensor.is_in_device) fail_with("No device data to show");
  if (!device && !tensor.is_have_data) fail_with("No host data to show");
  const size_t element_size = get_dtype_size(tensor.dtype);
  if (element_size == 0) fail_with("Cannot show a tensor of unknown element type ", tensor.dtype);
  const uint64_t elements = tensor.size / element_size;
  const int64_t count = len < 0 ? static_cast<int64_t>(elements) : len;
  if (!show_range_valid(start, count, elements)) {
    fail_with("Cannot show elements ", start, " to ", start + count - 1, " of a tensor of ", elements, " elements");
  }
  void* source = tensor.data;
  HostBuffer device_copy;  // the record's own host fields stay as they are
  if (device) {
    check_host_copy_possible(tensor);
    device_copy = allocate_or_fail(tensor.size, "Failed to allocate temporary buffer");
    read_device_copy(tensor, device_copy.get());
    source = device_copy.get();
  }
  print_data_by_fp32(source, static_cast<int>(tensor.size), tensor.dtype, start, static_cast<int>(count));
}

VexoTensor& valid_tensor(VexoTensor* tensor) {
  if (!tensor) fail_with("Invalid tensor");
  return *tensor;
}

}  // namespace

bool lies_in_block(const VexoTensor& tensor) { return window_in_block(tensor, 0, tensor.size); }

void set_host_data(VexoTensor* tensor, void* data, size_t size, bool copy) {
  if (!tensor || !data) fail_with("Invalid tensor or data pointer");
  if (size != tensor->size) fail_with("Size mismatch");
  if (copy) {
    if (!tensor->is_malloc_host) adopt_host_buffer(*tensor, allocate_or_fail(size, "Failed to allocate host memory"));
    std::memmove(tensor->data, data, size);
  } else if (data != tensor->data) {
    // Borrowing the record's own buffer keeps it owned; anything else
    // replaces it.
    if (tensor->is_malloc_host) std::free(tensor->data);
    tensor->is_malloc_host = false;
    tensor->data = data;
  }
  tensor->is_have_data = true;
}

void upload(VexoTensor& tensor) {
  if (!tensor.is_have_data) fail_with("No host data to sync to device");
  check_host_copy_possible(tensor);
  const bm_status_t status =
      bm_memcpy_s2d_partial_offset(tensor.bm_handle, block_of(tensor), tensor.data,
                                   static_cast<unsigned>(tensor.size), static_cast<unsigned>(tensor.offset));
  if (status != BM_SUCCESS) fail_with("Failed to upload tensor data, status: ", status);
  tensor.is_in_device = true;
}

// Downloads into the record's own buffer, allocating one when the record
// has none: a borrowed caller buffer is never written.
void download(VexoTensor& tensor) {
  if (!tensor.is_in_device) fail_with("No device data to sync to host");
  check_host_copy_possible(tensor);
  HostBuffer fresh;
  void* target = tensor.data;
  if (!tensor.is_malloc_host) {
    fresh = allocate_or_fail(tensor.size, "Failed to allocate host memory");
    target = fresh.get();
  }
  read_device_copy(tensor, target);
  if (fresh) adopt_host_buffer(tensor, std::move(fresh));
  tensor.is_have_data = true;
}

void copy_on_device(bm_handle_t bm_handle, VexoTensor* dst_tensor, VexoTensor* src_tensor, size_t dst_offset_bytes,
                    size_t src_offset_bytes, size_t size) {
  if (!dst_tensor || !src_tensor || !src_tensor->is_in_device) fail_with("[d2d_bytes_offset] Invalid tensor");
  const struct {
    const VexoTensor& tensor;
    size_t extra;
    const char* role;
  } sides[] = {{*src_tensor, src_offset_bytes, "source"}, {*dst_tensor, dst_offset_bytes, "destination"}};
  for (const auto& side : sides) {
    if (!window_in_block(side.tensor, side.extra, size)) {
      fail_with("[d2d_bytes_offset] ", size, " bytes at offset ", side.extra, " leave the device block of the ",
           side.role);
    }
  }
  const bm_status_t status =
      bm_memcpy_d2d_byte(bm_handle, block_of(*dst_tensor), dst_tensor->offset + dst_offset_bytes,
                         block_of(*src_tensor), src_tensor->offset + src_offset_bytes, size);
  if (status != BM_SUCCESS) fail_with("[d2d_bytes_offset] Device copy failed, status: ", status);
  dst_tensor->is_in_device = true;
}

void upload_bytes(VexoTensor* tensor, void* data, size_t size) {
  VexoTensor& target = valid_tensor(tensor);
  // Refused data is not uploaded: the device would get stale host bytes.
  set_host_data(&target, data, size, false);
  upload(target);
}

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

}  // namespace minitensor

// The exported functions, at global scope as vexo.h declares them.
using namespace minitensor;

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
  if (!minilog::present(tensor, "vexotensor_init", "tensor")) return;
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
  if (!minilog::present(tensor, "vexotensor_set_device_mem", "tensor")) return;
  place_on_block(*tensor, device_mem);
  tensor->offset = tensor_offset;
  tensor->addr = tensor->device_start + tensor_offset;
}

void vexotensor_set_device_mem_by_addr(vexotensor tensor, bm_device_mem_t device_mem, uint64_t tensor_addr) {
  if (!minilog::present(tensor, "vexotensor_set_device_mem_by_addr", "tensor")) return;
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
  guarded("vexotensor_set_data", [&] { set_host_data(tensor, data, size, copy); });
}

void vexotensor_sync(vexotensor tensor, bool to_device, bool force) {
  guarded("vexotensor_sync", [&] {
    VexoTensor& target = valid_tensor(tensor);
    if (to_device) {
      if (!target.is_in_device || force) upload(target);
    } else if (!target.is_have_data || force) {
      download(target);
    }
  });
}

void vexotensor_show(vexotensor tensor, int start, int len, char location) {
  guarded("vexotensor_show", [&] { show(valid_tensor(tensor), start, len, location); });
}

void vexotensor_d2d_bytes_offset(bm_handle_t bm_handle, vexotensor dst_tensor, vexotensor src_tensor,
                                 size_t dst_offset_bytes, size_t src_offset_bytes, size_t size) {
  guarded("vexotensor_d2d_bytes_offset", [&] {
    copy_on_device(bm_handle, dst_tensor, src_tensor, dst_offset_bytes, src_offset_bytes, size);
  });
}

void vexotensor_s2d_bytes(vexotensor tensor, void* data, size_t size) {
  guarded("vexotensor_s2d_bytes", [&] { upload_bytes(tensor, data, size); });
}

}  // extern "C"
