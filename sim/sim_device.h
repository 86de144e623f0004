// Devices, handles and modules of the simulated device, and the process-wide
// state that holds them.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "bmlib_runtime.h"
#include "sim_config.h"
#include "sim_memory.h"
#include "sim_trace.h"

// A loaded kernel module; `number` names it in the trace.
struct tpu_kernel_module {
  uint64_t number;
};

namespace vexosim {

struct Device {
  Device(int number, uint64_t start, uint64_t size) : number(number), memory(start, size) {}

  const int number;
  std::mutex mutex;  // guards memory and modules, and orders this device's trace lines
  DeviceMemory memory;
  std::map<const tpu_kernel_module*, std::unique_ptr<tpu_kernel_module>> modules;
};

// Configuration, trace, devices and fault counters of the process. Built at
// the first device request and never destroyed, so that handles stay usable
// from exit handlers of other libraries.
class Simulator {
 public:
  static Simulator& instance();

  // Device `number`, created on first use; nullptr when the configuration is
  // invalid or no such device exists.
  Device* device(int number);
  TraceWriter& trace() { return *trace_; }

  // Count one request each; true when fault injection picks this one.
  bool injects_malloc_fault() { return hits(config_.fail_malloc, malloc_requests_); }
  bool injects_launch_fault() { return hits(config_.fail_launch, launches_); }
  bool injects_copy_fault() { return hits(config_.fail_copy, copies_); }
  uint64_t next_module_number() { return ++modules_loaded_; }
  uint64_t launch_us() const { return config_.launch_us; }

 private:
  Simulator();
  static bool hits(uint64_t target, std::atomic<uint64_t>& counter) { return ++counter == target; }

  bool valid_ = false;
  Config config_;
  std::unique_ptr<TraceWriter> trace_;
  std::mutex devices_mutex_;
  std::map<int, std::unique_ptr<Device>> devices_;
  std::atomic<uint64_t> malloc_requests_{0};
  std::atomic<uint64_t> launches_{0};
  std::atomic<uint64_t> copies_{0};
  std::atomic<uint64_t> modules_loaded_{0};
};

}  // namespace vexosim

// What a bm_handle_t points at: handles of one device share its Device.
struct bm_context {
  vexosim::Device* device;
};
