#include "sim_kernel.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "formats/command_format.h"
#include "formats/launch_format.h"

namespace vexosim {
namespace {

namespace cmd = vexofmt::cmd;

namespace launch = vexofmt::launch;

// Ids are 1-based positions in launch::kFunctionNames.
constexpr int kStaticFullnet = 1;
constexpr int kDynamicFullnet = 2;
constexpr int kSetProfile = 3;
constexpr int kGetProfileData = 4;

// count x unit bytes from source to destination; the ranges may overlap.
bool copy(DeviceMemory& memory, uint64_t dst, uint64_t src, uint64_t bytes) {
  if (!memory.contains(src, bytes) || !memory.contains(dst, bytes)) return false;
  std::memmove(memory.host(dst), memory.host(src), bytes);
  return true;
}

// The 4-byte pattern repeated over `bytes` bytes, the last repetition cut.
bool const_fill(DeviceMemory& memory, uint64_t dst, uint64_t bytes, const unsigned char* pattern) {
  if (!memory.contains(dst, bytes)) return false;
  unsigned char* out = memory.host(dst);
  uint64_t filled = std::min<uint64_t>(bytes, 4);
  std::memcpy(out, pattern, filled);
  // Doubling copies of the filled prefix, a whole number of patterns long,
  // keep the pattern's phase.
  while (filled < bytes) {
    const uint64_t chunk = std::min(filled, bytes - filled);
    std::memcpy(out + filled, out, chunk);
    filled += chunk;
  }
  return true;
}

// Gather and scatter: element i of a contiguous block pairs with row k_i of
// an indexed table, k_i being the i-th signed 32-bit index.
bool indexed_copy(DeviceMemory& memory, const unsigned char* command, bool gather) {
  const uint32_t count = cmd::load_word(command, cmd::kGdmaCountWord);
  const uint64_t unit = cmd::load_word(command, cmd::kGdmaUnitWord);
  const uint32_t limit = cmd::load_word(command, cmd::kGdmaLimitWord);
  const uint64_t src = cmd::load_addr40(command, cmd::kGdmaSrcWord);
  const uint64_t dst = cmd::load_addr40(command, cmd::kGdmaDstWord);
  const uint64_t index = cmd::load_addr40(command, cmd::kGdmaIndexWord);
  const uint64_t block = gather ? dst : src;
  const uint64_t table = gather ? src : dst;
  if (!memory.contains(block, count * unit) || !memory.contains(index, uint64_t{4} * count)) return false;

  if (count == 0) return true;

  // The indices are read once and every row is checked before any byte moves:
  // the command fails without effect even when it overwrites its own index table.
  std::vector<int32_t> indices(count);
  std::memcpy(indices.data(), memory.host(index), uint64_t{4} * count);
  for (const int32_t k : indices) {
    uint64_t row = 0;
    // As unsigned, a negative index lies above every limit.
    if (static_cast<uint32_t>(k) >= limit ||
        __builtin_add_overflow(table, static_cast<uint64_t>(k) * unit, &row) || !memory.contains(row, unit))
      return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    unsigned char* element = memory.host(block + i * unit);
    unsigned char* row = memory.host(table + static_cast<uint64_t>(indices[i]) * unit);
    if (gather)
      std::memmove(element, row, unit);
    else
      std::memmove(row, element, unit);
  }
  return true;
}

// Executes one GDMA command other than an end command; false, with nothing
// moved, when it touches bytes outside the live areas or an index is out of
// its limit.
bool execute_gdma(DeviceMemory& memory, const unsigned char* command) {
  // 32-bit factors: the product cannot overflow.
  const uint64_t bytes =
      uint64_t{cmd::load_word(command, cmd::kGdmaCountWord)} * cmd::load_word(command, cmd::kGdmaUnitWord);
  const uint64_t dst = cmd::load_addr40(command, cmd::kGdmaDstWord);
  switch (cmd::gdma_type(command)) {
    case cmd::kGdmaCopy:
      if (cmd::gdma_const_fill(command))
        return const_fill(memory, dst, bytes, command + 4 * cmd::kGdmaSrcWord);
      return copy(memory, dst, cmd::load_addr40(command, cmd::kGdmaSrcWord), bytes);
    case cmd::kGdmaGather:
      return indexed_copy(memory, command, true);
    case cmd::kGdmaScatter:
      return indexed_copy(memory, command, false);
    default:
      return true;  // other kinds move nothing on the simulated device
  }
}

// Walks `count` BDC commands of one group from `pos`, advancing it.
bool walk_bdc_group(const DeviceMemory& memory, uint64_t& pos, uint32_t count, uint64_t& walked) {
  uint64_t offset = 0;  // from the group's start
  for (uint32_t k = 0; k < count; ++k) {
    if (!memory.contains(pos, 8)) return false;
    const unsigned char* words = memory.host(pos);
    const uint32_t len = cmd::bdc_cmd_raw_len(cmd::load_word(words, 0), cmd::load_word(words, 1));
    if (len == 0) return false;
    const uint64_t padded = cmd::padded_cmd_len(offset, len, k + 1 == count);
    if (!memory.contains(pos, padded)) return false;
    pos += padded;
    offset += padded;
    ++walked;
  }
  return true;
}

// Walks and executes `count` GDMA commands of one group from `pos`, advancing it.
bool walk_gdma_group(DeviceMemory& memory, uint64_t& pos, uint32_t count, uint64_t& walked) {
  uint64_t offset = 0;
  for (uint32_t k = 0; k < count; ++k) {
    const bool last = k + 1 == count;
    const uint64_t len = cmd::gdma_cmd_len(offset, last);
    if (!memory.contains(pos, len)) return false;
    if (!last) {
      // A private copy: the command may overwrite its own bytes.
      unsigned char command[cmd::kGdmaCmdLen];
      std::memcpy(command, memory.host(pos), sizeof command);
      if (!execute_gdma(memory, command)) return false;
    }
    pos += len;
    offset += len;
    ++walked;
  }
  return true;
}

LaunchResult run_static_fullnet(DeviceMemory& memory, const unsigned char* param, size_t size) {
  LaunchResult result{BM_ERR_FAILURE};
  launch::Reader record(param, size);
  uint32_t inputs = 0, outputs = 0;
  launch::StaticBuffers buffers;
  if (!record.u32(inputs) || !launch::skip_static_tensors(record, inputs) || !record.u32(outputs) ||
      !launch::skip_static_tensors(record, outputs) || !launch::read_static_buffers(record, buffers) ||
      record.remaining() != uint64_t{launch::kStaticGroupBytes} * buffers.groups)
    return result;
  uint64_t bdc_pos = buffers.bdc_addr, gdma_pos = buffers.gdma_addr;
  for (uint32_t g = 0; g < buffers.groups; ++g) {
    launch::StaticGroup group;
    if (!launch::read_static_group(record, group) || !walk_bdc_group(memory, bdc_pos, group.bdc_num, result.bdc) ||
        !walk_gdma_group(memory, gdma_pos, group.gdma_num, result.gdma))
      return result;
  }
  result.status = BM_SUCCESS;
  return result;
}

LaunchResult run_dynamic_fullnet(const DeviceMemory& memory, const unsigned char* param, size_t size) {
  const LaunchResult failure{BM_ERR_FAILURE};
  launch::Reader record(param, size);
  uint64_t ir_addr = 0;
  uint32_t ir_words = 0, inputs = 0, outputs = 0;
  if (!launch::read_dynamic_ir(record, ir_addr, ir_words) || !memory.contains(ir_addr, uint64_t{4} * ir_words) ||
      !record.u32(inputs))
    return failure;
  for (uint32_t i = 0; i < inputs; ++i) {
    uint64_t addr = 0;
    if (!launch::read_dynamic_input(record, addr) || !memory.holds_address(addr)) return failure;
  }
  if (!record.u32(outputs)) return failure;
  for (uint32_t j = 0; j < outputs; ++j) {
    uint64_t addr = 0;
    if (!record.u64(addr) || !memory.holds_address(addr)) return failure;
  }
  if (!launch::skip_dynamic_tail(record)) return failure;
  return LaunchResult{};
}

}  // namespace

int kernel_function_id(std::string_view name) {
  for (size_t i = 0; i < launch::kFunctionNames.size(); ++i)
    if (launch::kFunctionNames[i] == name) return static_cast<int>(i) + 1;
  return -1;
}

std::string_view kernel_function_name(int id) {
  if (id < 1 || static_cast<size_t>(id) > launch::kFunctionNames.size()) return {};
  return launch::kFunctionNames[id - 1];
}

LaunchResult run_kernel_function(DeviceMemory& memory, int id, const unsigned char* param, size_t size) {
  switch (id) {
    case kStaticFullnet:
      return run_static_fullnet(memory, param, size);
    case kDynamicFullnet:
      return run_dynamic_fullnet(memory, param, size);
    case kSetProfile:
    case kGetProfileData:
      return LaunchResult{};
    default:
      return LaunchResult{BM_ERR_PARAM};
  }
}

}  // namespace vexosim
