// Helpers of the simulated device's tests: handles, areas, and encoders of
// commands and launch records written from the documented layouts (not from
// the library's own command header, so that the two are checked against each
// other).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "bmlib_runtime.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

constexpr int kStaticFullnet = 1;
constexpr int kDynamicFullnet = 2;

// Sets a VEXO_SIM_* variable; only effective before the first device request.
void set_env(const char* name, const std::string& value);

// A path in the test's temporary folder, unique to this test case, and
// removed if it exists.
std::string fresh_temp_path(const std::string& stem);
std::vector<std::string> read_lines(const std::string& path);

// A handle of one device, freed when it goes out of scope.
class Handle {
 public:
  explicit Handle(int devid = 0);
  ~Handle();
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  operator bm_handle_t() const { return handle_; }

 private:
  bm_handle_t handle_ = nullptr;
};

// Allocates `size` bytes, failing the test when the device refuses.
bm_device_mem_t alloc(bm_handle_t handle, unsigned size);
// A descriptor of `size` bytes at any device address.
bm_device_mem_t desc(uint64_t addr, unsigned size = 0);
void upload(bm_handle_t handle, uint64_t addr, const Bytes& bytes);
Bytes download(bm_handle_t handle, uint64_t addr, size_t size);
Bytes concat(std::initializer_list<Bytes> parts);
// size bytes counting up from `first`, wrapping at 256.
Bytes sequence(size_t size, uint8_t first = 1);

// Packed little-endian record writer.
struct Record {
  Bytes bytes;
  Record& u32(uint32_t value);
  Record& u64(uint64_t value);
};

// One GDMA command, encoded into 96 bytes.
struct Gdma {
  uint32_t type = 0;
  bool const_fill = false;
  uint32_t count = 0;
  uint32_t unit = 0;
  uint32_t limit = 0;
  uint64_t src = 0;  // the fill pattern when const_fill is set
  uint64_t dst = 0;
  uint64_t index = 0;
  Bytes encode() const;
};
Gdma copy_cmd(uint64_t src, uint64_t dst, uint32_t bytes);
Gdma fill_cmd(uint32_t pattern, uint64_t dst, uint32_t count, uint32_t unit);
Gdma gather_cmd(uint64_t table, uint64_t dst, uint64_t index, uint32_t count, uint32_t unit, uint32_t limit);
Gdma scatter_cmd(uint64_t src, uint64_t table, uint64_t index, uint32_t count, uint32_t unit, uint32_t limit);

// The first eight bytes of a BDC command, followed by filler up to `len`.
Bytes bdc_cmd(bool is_short, uint32_t tsk_type, uint32_t eu_type, size_t len);
// Filler that reads as a BDC command without a length wherever a walk lands
// on it by mistake.
Bytes invalid_bdc_filler(size_t len);

struct GroupCounts {
  uint32_t bdc_num = 0;
  uint32_t gdma_num = 0;
};
Bytes static_record(const std::vector<uint64_t>& inputs, const std::vector<uint64_t>& outputs, uint64_t bdc_addr,
                    uint64_t gdma_addr, const std::vector<GroupCounts>& groups);

// One group's GDMA stream: the commands, then the end command padded so the
// group ends on a multiple of 128 bytes.
Bytes gdma_group(const std::vector<Gdma>& commands);
// Uploads `commands` as one group into a new area, launches function 1 and
// frees the area.
bm_status_t run_gdma(bm_handle_t handle, const std::vector<Gdma>& commands);

struct DynamicInput {
  uint64_t addr;
  std::vector<uint32_t> dims;
};
Bytes dynamic_record(uint64_t ir_addr, uint32_t ir_words, const std::vector<DynamicInput>& inputs,
                     const std::vector<uint64_t>& outputs, uint32_t contexts);

}  // namespace simtest
