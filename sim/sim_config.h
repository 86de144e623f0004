// Process-wide settings of the simulated device, read from VEXO_SIM_*.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vexosim {

// Every device address stays below this bound, as on the real processor.
constexpr uint64_t kAddressLimit = uint64_t{1} << 40;

struct Config {
  uint64_t devices = 1;
  uint64_t memory_bytes = uint64_t{4} << 30;  // per device
  uint64_t base = uint64_t{1} << 32;          // device address of device 0's first byte
  std::string trace_path;                     // empty: no trace
  uint64_t fail_malloc = 0;                   // the n-th allocation request fails; 0: none
  uint64_t fail_launch = 0;                   // the n-th launch fails; 0: none
  uint64_t fail_copy = 0;                     // the n-th copy (any direction) fails; 0: none
  uint64_t launch_us = 0;                     // time every launch takes, at least; 0: as fast as the host runs it
};

struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads the environment; throws ConfigError naming the offending variable.
Config read_config();

}  // namespace vexosim
