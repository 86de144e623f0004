#include "utils/device.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <type_traits>

#include "src/utils/logs.h"

bm_handle_t get_handle(int device_id) {
  bm_handle_t handle = nullptr;
  bm_dev_request(&handle, device_id);
  return handle;
}

void free_handle(bm_handle_t bm_handle) {
  if (bm_handle) bm_dev_free(bm_handle);
}

int get_device_status(int device_id) {
  bm_handle_t raw_handle = nullptr;
  const bm_status_t requested = bm_dev_request(&raw_handle, device_id);
  if (requested != BM_SUCCESS) {
    minilog::log_error("bm_dev_request failed, status: ", static_cast<int>(requested));
    return -1;
  }
  const std::unique_ptr<std::remove_pointer_t<bm_handle_t>, decltype(&free_handle)> handle(raw_handle, free_handle);
  int device_status = 0;
  const bm_status_t queried = bm_get_status(handle.get(), &device_status);
  if (queried != BM_SUCCESS) {
    minilog::log_error("bm_dev_request failed, status: ", static_cast<int>(queried));
    return -1;
  }
  return device_status;
}

void check_states_with_safe_exit(int status, const char* msg) {
  if (status == 0) return;
  // Straight to standard output, not through the logger: this line must
  // appear whatever LOG_LEVEL says.
  minilog::log_stream() << (msg ? msg : "") << " failed, status: " << status << std::endl;
  std::exit(-1);
}

namespace {

template <typename Descriptor, typename Size>
Descriptor make_descriptor(uint64_t start_addr, Size size, int dmabuf_fd, unsigned int reserve,
                           unsigned int rawflags) {
  Descriptor mem;
  std::memset(&mem, 0, sizeof mem);
  mem.u.device.device_addr = start_addr;
  mem.u.device.dmabuf_fd = dmabuf_fd;
  mem.u.device.reserved = reserve;
  mem.size = size;
  mem.flags.rawflags = rawflags;
  return mem;
}

}  // namespace

sg_device_mem_t convert_to_sg_device_mem(uint64_t start_addr, unsigned long long size, int dmabuf_fd,
                                         unsigned int reserve, unsigned int rawflags) {
  return make_descriptor<sg_device_mem_t>(start_addr, size, dmabuf_fd, reserve, rawflags);
}

bm_device_mem_t convert_to_device_mem(uint64_t start_addr, unsigned int size, int dmabuf_fd, unsigned int reserve,
                                      unsigned int rawflags) {
  return make_descriptor<bm_device_mem_t>(start_addr, size, dmabuf_fd, reserve, rawflags);
}
