// Encoders of command streams for sample models: GDMA commands that the
// simulated device executes (copy, fill, gather, scatter) and BDC commands it
// walks, laid out in command groups with their padding.
#pragma once

#include <cstdint>
#include <vector>

namespace vexo::samples {

using Bytes = std::vector<uint8_t>;

// One GDMA command before relocation: addresses are compiled addresses.
struct Gdma {
  uint32_t type = 0;
  bool const_fill = false;
  uint32_t count = 0;
  uint32_t unit = 0;
  uint32_t limit = 0;
  uint64_t src = 0;  // the fill pattern when const_fill is set
  uint64_t dst = 0;
  uint64_t index = 0;
};

// copy count × unit bytes from src to dst
Gdma gdma_copy(uint64_t src, uint64_t dst, uint32_t count, uint32_t unit);
// write count × unit bytes at dst, repeating a 4-byte pattern
Gdma gdma_fill(uint32_t pattern, uint64_t dst, uint32_t count, uint32_t unit);
// dst[i] = table[index[i]] for count rows of unit bytes; limit rows in table
Gdma gdma_gather(uint64_t table, uint64_t index, uint64_t dst, uint32_t count, uint32_t unit, uint32_t limit);
// table[index[i]] = src[i] for count rows of unit bytes; limit rows in table
Gdma gdma_scatter(uint64_t src, uint64_t index, uint64_t table, uint32_t count, uint32_t unit, uint32_t limit);

// The 96-byte form of a command. Bits 8-31 of the words that hold address
// bits 32-39 carry a marker that relocation must keep.
Bytes encode_gdma(const Gdma& command);

// A BDC command of the given task type, short or long form.
struct Bdc {
  bool is_short = false;
  uint32_t tsk_type = 0;
  uint32_t eu_type = 0;
};

// A command group's two streams, each ending on the group boundary: the
// GDMA stream ends with the end command, the last BDC command is padded.
struct GroupStreams {
  Bytes bdc;
  Bytes gdma;
  uint32_t bdc_num = 0;
  uint32_t gdma_num = 0;
};
GroupStreams encode_group(const std::vector<Bdc>& bdc, const std::vector<Gdma>& gdma);

}  // namespace vexo::samples
