#include "sim_config.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace vexosim {
namespace {

// A whole unsigned number, decimal or 0x-prefixed hexadecimal; unset or empty
// gives the fallback. strtoull alone would accept signs, spaces and octal.
uint64_t env_number(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = hex ? text + 2 : text;
  const bool starts_with_digit = hex ? std::isxdigit(static_cast<unsigned char>(*digits))
                                     : std::isdigit(static_cast<unsigned char>(*digits));
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(digits, &end, hex ? 16 : 10);
  if (!starts_with_digit || errno != 0 || *end != '\0')
    throw ConfigError(std::string(name) + " is not an unsigned number: '" + text + "'");
  return value;
}

}  // namespace

Config read_config() {
  Config config;
  config.devices = env_number("VEXO_SIM_DEVICES", config.devices);
  config.memory_bytes = env_number("VEXO_SIM_MEMORY", config.memory_bytes);
  config.base = env_number("VEXO_SIM_BASE", config.base);
  config.fail_malloc = env_number("VEXO_SIM_FAIL_MALLOC", 0);
  config.fail_launch = env_number("VEXO_SIM_FAIL_LAUNCH", 0);
  config.fail_copy = env_number("VEXO_SIM_FAIL_COPY", 0);
  config.launch_us = env_number("VEXO_SIM_LAUNCH_US", 0);
  if (const char* trace = std::getenv("VEXO_SIM_TRACE")) config.trace_path = trace;

  const bool fits = config.base <= kAddressLimit &&
                    (config.memory_bytes == 0 ||
                     config.devices <= (kAddressLimit - config.base) / config.memory_bytes);
  if (!fits)
    throw ConfigError("VEXO_SIM_BASE + VEXO_SIM_DEVICES x VEXO_SIM_MEMORY passes the 40-bit address limit (" +
                      std::to_string(config.base) + " + " + std::to_string(config.devices) + " x " +
                      std::to_string(config.memory_bytes) + ")");
  return config;
}

}  // namespace vexosim
