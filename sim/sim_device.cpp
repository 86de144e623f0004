#include "sim_device.h"

#include <cstdio>

namespace vexosim {

Simulator& Simulator::instance() {
  static Simulator* const simulator = new Simulator();
  return *simulator;
}

Simulator::Simulator() : trace_(std::make_unique<TraceWriter>()) {
  try {
    config_ = read_config();
    trace_ = std::make_unique<TraceWriter>(config_.trace_path);
    valid_ = true;
  } catch (const ConfigError& error) {
    // Every request will be refused; say once why.
    std::fprintf(stderr, "vexo-sim: %s\n", error.what());
  }
}

Device* Simulator::device(int number) {
  if (!valid_ || number < 0 || static_cast<uint64_t>(number) >= config_.devices) return nullptr;
  std::lock_guard<std::mutex> lock(devices_mutex_);
  auto& device = devices_[number];
  if (!device) {
    // Cannot overflow: the configuration keeps every device below 2^40.
    const uint64_t start = config_.base + static_cast<uint64_t>(number) * config_.memory_bytes;
    device = std::make_unique<Device>(number, start, config_.memory_bytes);
  }
  return device.get();
}

}  // namespace vexosim
