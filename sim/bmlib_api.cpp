// The exported functions of the device library interface. Each one checks its
// arguments, works under its device's lock, writes its trace line under that
// lock (so each device's lines are in the order performed) and lets no
// exception out.
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "bmlib_runtime.h"
#include "sim_device.h"
#include "sim_kernel.h"

using vexosim::Device;
using vexosim::Simulator;
using vexosim::TraceLine;

namespace {

template <typename Result, typename Body>
Result guarded(Result on_exception, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return on_exception;
  }
}

template <typename MakeLine>
void trace(MakeLine&& make_line) {
  Simulator::instance().trace().write(make_line);
}

template <typename Descriptor>
bm_status_t malloc_device(bm_handle_t handle, Descriptor* pmem, uint64_t size) {
  if (handle == nullptr || pmem == nullptr) return BM_ERR_PARAM;
  Device& device = *handle->device;
  std::lock_guard<std::mutex> lock(device.mutex);
  std::optional<uint64_t> addr;
  if (!Simulator::instance().injects_malloc_fault()) addr = device.memory.allocate(size);
  if (addr) {
    *pmem = Descriptor{};
    pmem->u.device.device_addr = *addr;
    pmem->size = static_cast<decltype(pmem->size)>(size);
  }
  const bm_status_t status = addr ? BM_SUCCESS : BM_ERR_NOMEM;
  trace([&] {
    return TraceLine("malloc")
        .field("device", device.number)
        .field("addr", addr.value_or(0))
        .field("size", size)
        .field("status", status);
  });
  return status;
}

template <typename Descriptor>
bm_status_t free_device(bm_handle_t handle, const Descriptor& mem) {
  if (handle == nullptr) return BM_ERR_PARAM;
  Device& device = *handle->device;
  std::lock_guard<std::mutex> lock(device.mutex);
  const uint64_t addr = mem.u.device.device_addr;
  const bm_status_t status = device.memory.release(addr) ? BM_SUCCESS : BM_ERR_PARAM;
  trace([&] { return TraceLine("free").field("device", device.number).field("addr", addr).field("status", status); });
  return status;
}

// Every copy request on a device counts for fault injection, refused or not;
// an injected fault copies nothing.
bm_status_t copy_status(bool valid) {
  if (Simulator::instance().injects_copy_fault()) return BM_ERR_FAILURE;
  return valid ? BM_SUCCESS : BM_ERR_PARAM;
}

enum class Direction { kToDevice, kToHost };

// Copies `size` bytes between host memory and the device bytes from
// addr + offset, all of which must lie inside one live area.
bm_status_t host_copy(bm_handle_t handle, Direction direction, uint64_t addr, uint64_t offset, void* host,
                      uint64_t size) {
  if (handle == nullptr) return BM_ERR_PARAM;
  Device& device = *handle->device;
  std::lock_guard<std::mutex> lock(device.mutex);
  uint64_t start = 0;
  const bool valid = !__builtin_add_overflow(addr, offset, &start) && (host != nullptr || size == 0) &&
                     device.memory.contains(start, size);
  const bm_status_t status = copy_status(valid);
  if (status == BM_SUCCESS && size > 0) {
    if (direction == Direction::kToDevice)
      std::memcpy(device.memory.host(start), host, size);
    else
      std::memcpy(host, device.memory.host(start), size);
  }
  trace([&] {
    return TraceLine(direction == Direction::kToDevice ? "s2d" : "d2s")
        .field("device", device.number)
        .field("addr", start)
        .field("size", size)
        .field("status", status);
  });
  return status;
}

bm_status_t to_device(bm_handle_t handle, uint64_t addr, uint64_t offset, void* src, uint64_t size) {
  return guarded(BM_ERR_FAILURE, [&] { return host_copy(handle, Direction::kToDevice, addr, offset, src, size); });
}

bm_status_t to_host(bm_handle_t handle, uint64_t addr, uint64_t offset, void* dst, uint64_t size) {
  return guarded(BM_ERR_FAILURE, [&] { return host_copy(handle, Direction::kToHost, addr, offset, dst, size); });
}

}  // namespace

extern "C" {

bm_status_t bm_dev_request(bm_handle_t* handle, int devid) {
  return guarded(BM_ERR_FAILURE, [&] {
    if (handle == nullptr) return BM_ERR_PARAM;
    *handle = nullptr;
    Device* device = Simulator::instance().device(devid);
    if (device == nullptr) return BM_ERR_PARAM;
    auto context = std::make_unique<bm_context>(bm_context{device});
    std::lock_guard<std::mutex> lock(device->mutex);
    trace([&] { return TraceLine("open").field("device", device->number); });
    *handle = context.release();
    return BM_SUCCESS;
  });
}

void bm_dev_free(bm_handle_t handle) {
  if (handle == nullptr) return;
  // The device and its memory stay: other handles, and areas this one
  // allocated, live on.
  const std::unique_ptr<bm_context> context(handle);
  Device& device = *context->device;
  guarded(BM_SUCCESS, [&] {
    std::lock_guard<std::mutex> lock(device.mutex);
    trace([&] {
      return TraceLine("close")
          .field("device", device.number)
          .field("live_allocations", device.memory.live_allocations())
          .field("live_bytes", device.memory.live_bytes());
    });
    return BM_SUCCESS;
  });
}

bm_status_t bm_get_status(bm_handle_t handle, int* status) {
  if (handle == nullptr || status == nullptr) return BM_ERR_PARAM;
  *status = 0;
  return BM_SUCCESS;
}

bm_status_t bm_thread_sync(bm_handle_t handle) {
  return guarded(BM_ERR_FAILURE, [&] {
    if (handle == nullptr) return BM_ERR_PARAM;
    // Every operation has finished when it returns, so a sync waits for
    // nothing; only its trace line needs the device's order.
    if (!Simulator::instance().trace().enabled()) return BM_SUCCESS;
    Device& device = *handle->device;
    std::lock_guard<std::mutex> lock(device.mutex);
    trace([&] { return TraceLine("sync").field("device", device.number); });
    return BM_SUCCESS;
  });
}

bm_status_t bm_malloc_device_byte(bm_handle_t handle, bm_device_mem_t* pmem, unsigned int size) {
  return guarded(BM_ERR_NOMEM, [&] { return malloc_device(handle, pmem, size); });
}

bm_status_t sg_malloc_device_byte(bm_handle_t handle, sg_device_mem_t* pmem, unsigned long long size) {
  return guarded(BM_ERR_NOMEM, [&] { return malloc_device(handle, pmem, size); });
}

bm_status_t bm_free_device(bm_handle_t handle, bm_device_mem_t mem) {
  return guarded(BM_ERR_FAILURE, [&] { return free_device(handle, mem); });
}

bm_status_t sg_free_device(bm_handle_t handle, sg_device_mem_t mem) {
  return guarded(BM_ERR_FAILURE, [&] { return free_device(handle, mem); });
}

bm_status_t bm_memcpy_s2d(bm_handle_t handle, bm_device_mem_t dst, void* src) {
  return to_device(handle, dst.u.device.device_addr, 0, src, dst.size);
}

bm_status_t bm_memcpy_s2d_partial(bm_handle_t handle, bm_device_mem_t dst, void* src, unsigned int size) {
  return to_device(handle, dst.u.device.device_addr, 0, src, size);
}

bm_status_t bm_memcpy_s2d_partial_offset(bm_handle_t handle, bm_device_mem_t dst, void* src, unsigned int size,
                                         unsigned int offset) {
  return to_device(handle, dst.u.device.device_addr, offset, src, size);
}

bm_status_t sg_memcpy_s2d_partial(bm_handle_t handle, sg_device_mem_t dst, void* src, unsigned long long size) {
  return to_device(handle, dst.u.device.device_addr, 0, src, size);
}

bm_status_t bm_memcpy_d2s(bm_handle_t handle, void* dst, bm_device_mem_t src) {
  return to_host(handle, src.u.device.device_addr, 0, dst, src.size);
}

bm_status_t bm_memcpy_d2s_partial(bm_handle_t handle, void* dst, bm_device_mem_t src, unsigned int size) {
  return to_host(handle, src.u.device.device_addr, 0, dst, size);
}

bm_status_t bm_memcpy_d2s_partial_offset(bm_handle_t handle, void* dst, bm_device_mem_t src, unsigned int size,
                                         unsigned int offset) {
  return to_host(handle, src.u.device.device_addr, offset, dst, size);
}

bm_status_t sg_memcpy_d2s_partial(bm_handle_t handle, void* dst, sg_device_mem_t src, unsigned long long size) {
  return to_host(handle, src.u.device.device_addr, 0, dst, size);
}

bm_status_t bm_memcpy_d2d_byte(bm_handle_t handle, bm_device_mem_t dst, size_t dst_offset, bm_device_mem_t src,
                               size_t src_offset, size_t size) {
  return guarded(BM_ERR_FAILURE, [&] {
    if (handle == nullptr) return BM_ERR_PARAM;
    Device& device = *handle->device;
    std::lock_guard<std::mutex> lock(device.mutex);
    uint64_t to = 0, from = 0;
    const bool to_overflows = __builtin_add_overflow(dst.u.device.device_addr, dst_offset, &to);
    const bool from_overflows = __builtin_add_overflow(src.u.device.device_addr, src_offset, &from);
    const bool valid = !to_overflows && !from_overflows && device.memory.contains(to, size) &&
                       device.memory.contains(from, size);
    const bm_status_t status = copy_status(valid);
    if (status == BM_SUCCESS) std::memmove(device.memory.host(to), device.memory.host(from), size);
    trace([&] {
      return TraceLine("d2d")
          .field("device", device.number)
          .field("dst", to)
          .field("src", from)
          .field("size", size)
          .field("status", status);
    });
    return status;
  });
}

tpu_kernel_module_t tpu_kernel_load_module(bm_handle_t handle, const char*, size_t length) {
  // The image is accepted as it is and never executed.
  return guarded<tpu_kernel_module_t>(nullptr, [&]() -> tpu_kernel_module_t {
    if (handle == nullptr) return nullptr;
    Device& device = *handle->device;
    std::lock_guard<std::mutex> lock(device.mutex);
    auto module = std::make_unique<tpu_kernel_module>(tpu_kernel_module{Simulator::instance().next_module_number()});
    tpu_kernel_module* loaded = module.get();
    device.modules.emplace(loaded, std::move(module));
    trace([&] {
      return TraceLine("load_module").field("device", device.number).field("module", loaded->number).field("size", length);
    });
    return loaded;
  });
}

tpu_kernel_function_t tpu_kernel_get_function(bm_handle_t handle, tpu_kernel_module_t module, const char* function) {
  return guarded(-1, [&] {
    if (handle == nullptr) return -1;
    Device& device = *handle->device;
    std::lock_guard<std::mutex> lock(device.mutex);
    const bool loaded = device.modules.count(module) != 0;
    const int id = loaded && function != nullptr ? vexosim::kernel_function_id(function) : -1;
    trace([&] {
      return TraceLine("get_function")
          .field("device", device.number)
          .field("name", function != nullptr ? function : "")
          .field("id", id);
    });
    return id;
  });
}

bm_status_t tpu_kernel_launch(bm_handle_t handle, tpu_kernel_function_t function, void* args, size_t size) {
  return guarded(BM_ERR_FAILURE, [&] {
    if (handle == nullptr) return BM_ERR_PARAM;
    Device& device = *handle->device;
    std::lock_guard<std::mutex> lock(device.mutex);
    const auto* param = static_cast<const unsigned char*>(args);
    const size_t param_size = param != nullptr ? size : 0;
    vexosim::LaunchResult result;
    if (param == nullptr && size != 0)
      result.status = BM_ERR_PARAM;
    else if (Simulator::instance().injects_launch_fault())
      result.status = BM_ERR_FAILURE;
    else
      result = vexosim::run_kernel_function(device.memory, function, param, param_size);
    // A realistic launch time, so that queueing and cancellation show in
    // tests; the device stays busy (its lock held) meanwhile, as a real one would.
    if (const uint64_t us = Simulator::instance().launch_us())
      std::this_thread::sleep_for(std::chrono::microseconds(us));
    trace([&] {
      return TraceLine("launch")
          .field("device", device.number)
          .field("id", function)
          .field("name", vexosim::kernel_function_name(function))
          .hex_field("param", param, param_size)
          .field("status", result.status)
          .field("bdc", result.bdc)
          .field("gdma", result.gdma);
    });
    return result.status;
  });
}

bm_status_t tpu_kernel_unload_module(bm_handle_t handle, tpu_kernel_module_t module) {
  return guarded(BM_ERR_FAILURE, [&] {
    if (handle == nullptr) return BM_ERR_PARAM;
    Device& device = *handle->device;
    std::lock_guard<std::mutex> lock(device.mutex);
    const auto loaded = device.modules.find(module);
    const bool known = loaded != device.modules.end();
    // An unknown module has no number of its own; 0 names none.
    const uint64_t number = known ? loaded->second->number : 0;
    if (known) device.modules.erase(loaded);
    const bm_status_t status = known ? BM_SUCCESS : BM_ERR_PARAM;
    trace([&] {
      return TraceLine("unload_module").field("device", device.number).field("module", number).field("status", status);
    });
    return status;
  });
}

}  // extern "C"
