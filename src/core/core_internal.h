// Helpers shared by the steps of the loading pipeline.
#pragma once

#include <string>

#include "src/core/model_steps.h"
#include "src/utils/guard.h"

namespace divudida::detail {

// A descriptor that was never filled (or was released) is all zero; a
// successful allocation, even of 0 bytes, has an address.
inline bool is_allocated(const bm_device_mem_t& mem) { return mem.u.device.device_addr != 0 || mem.size != 0; }
inline bool is_allocated(const sg_device_mem_t& mem) { return mem.u.device.device_addr != 0 || mem.size != 0; }

// Releases an area recorded in a description and clears the record, so that
// releasing twice is harmless.
void release_area(bm_handle_t handle, bm_device_mem_t& mem);
void release_area(bm_handle_t handle, sg_device_mem_t& mem);

// A device area obtained by the current step and not yet recorded in the
// description: released on scope exit unless handed over with keep().
template <typename Mem>
class PendingArea {
 public:
  PendingArea(bm_handle_t handle, Mem mem) : handle_(handle), mem_(mem) {}
  PendingArea(const PendingArea&) = delete;
  PendingArea& operator=(const PendingArea&) = delete;
  ~PendingArea() {
    if (owned_) release_area(handle_, mem_);
  }
  const Mem& get() const { return mem_; }
  Mem keep() {
    owned_ = false;
    return mem_;
  }

 private:
  bm_handle_t handle_;
  Mem mem_;
  bool owned_ = true;
};

// Allocates an area with a 32-bit size; `what` names it in the error line.
PendingArea<bm_device_mem_t> malloc_area(bm_handle_t handle, u64 size, const std::string& what);

// Uploads host bytes to the start of an area.
void upload(bm_handle_t handle, const bm_device_mem_t& dst, const void* src, u64 size, const std::string& what);

// "net[NAME] stage[I]": where a fault lies, for error lines.
std::string stage_label(const NetInfo& net, size_t stage_idx);

// Refuses any step but `expected`-or-later on a description in another state.
void require_state(const ModelInfo& model, ModelState at_least, const char* step);

}  // namespace divudida::detail
