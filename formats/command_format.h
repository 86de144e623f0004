// Layout of the compute-engine (BDC) and DMA-engine (GDMA) command streams.
//
// The one description of the command words that both the command upload
// (which measures and relocates commands) and the simulated device (which
// walks and executes them) read. Internal to the library and the simulated
// device; not installed.
#pragma once

#include <cstdint>
#include <cstring>

namespace vexofmt {

// x rounded up to a multiple of a, for a power of two a.
inline unsigned long align(unsigned long x, unsigned long a) { return (x + a - 1) & ~(a - 1); }

namespace cmd {

constexpr uint32_t kGroupAlign = 128;     // every command group ends on this boundary
constexpr uint32_t kGdmaCmdLen = 96;      // every GDMA command but the last of a group
constexpr uint32_t kGdmaEndCmdLen = 16;   // the end command, before group padding

inline uint32_t load_word(const void* cmd, unsigned word) {
  uint32_t value;
  std::memcpy(&value, static_cast<const unsigned char*>(cmd) + 4 * word, 4);
  return value;
}

inline void store_word(void* cmd, unsigned word, uint32_t value) {
  std::memcpy(static_cast<unsigned char*>(cmd) + 4 * word, &value, 4);
}

// Length in bytes of a BDC command from its first two words, before group
// padding; 0 when the words do not describe a valid command.
inline uint32_t bdc_cmd_raw_len(uint32_t word0, uint32_t word1) {
  const bool is_short = word0 & 1u;
  const uint32_t tsk_type = (word1 >> 9) & 0xFu;
  const uint32_t eu_type = (word1 >> 13) & 0x1Fu;
  if (tsk_type == 12 || tsk_type == 15) return 16;
  if (!is_short) return 128;
  switch (tsk_type) {
    case 0: case 1: return 64;
    case 6: case 13: case 14: return 48;
    case 4: case 5: case 9: case 10: return 32;
    case 2: return eu_type > 3 ? 32 : 48;
    case 3: return (eu_type == 24 || eu_type == 25) ? 16 : 64;
    default: return 0;  // task types 7, 8 and 11 have no length
  }
}

// Length of a command at byte `offset` of its group: the last command of a
// group is lengthened so that the group ends on a kGroupAlign boundary.
inline uint64_t padded_cmd_len(uint64_t offset, uint32_t len, bool last) {
  if (!last) return len;
  return align(offset + len, kGroupAlign) - offset;
}

// Length of a GDMA command at byte `offset` of its group, group padding included.
inline uint64_t gdma_cmd_len(uint64_t offset, bool last) {
  return padded_cmd_len(offset, last ? kGdmaEndCmdLen : kGdmaCmdLen, last);
}

// GDMA command fields (little-endian 32-bit words).
constexpr unsigned kGdmaTypeWord = 1;      // bits 0-3 cmd_type, bit 7 const_fill
constexpr unsigned kGdmaCountWord = 2;
constexpr unsigned kGdmaUnitWord = 3;
constexpr unsigned kGdmaLimitWord = 4;
constexpr unsigned kGdmaSrcWord = 16;      // 40-bit addresses: low word, then bits 0-7 of the next
constexpr unsigned kGdmaDstWord = 18;
constexpr unsigned kGdmaIndexWord = 20;
constexpr uint64_t kAddrMask = (uint64_t{1} << 40) - 1;

enum GdmaType : uint32_t { kGdmaCopy = 0, kGdmaGather = 2, kGdmaScatter = 7, kGdmaIndexed8 = 8 };

inline uint32_t gdma_type(const void* cmd) { return load_word(cmd, kGdmaTypeWord) & 0xFu; }
inline bool gdma_const_fill(const void* cmd) { return (load_word(cmd, kGdmaTypeWord) >> 7) & 1u; }
// Whether a command of this type reads an index table at kGdmaIndexWord.
inline bool gdma_uses_index(uint32_t type) {
  return type == kGdmaGather || type == kGdmaScatter || type == kGdmaIndexed8;
}

inline uint64_t load_addr40(const void* cmd, unsigned low_word) {
  return load_word(cmd, low_word) | (uint64_t{load_word(cmd, low_word + 1) & 0xFFu} << 32);
}

// Writes bits 0-39 of addr; bits 8-31 of the high word belong to other fields.
inline void store_addr40(void* cmd, unsigned low_word, uint64_t addr) {
  store_word(cmd, low_word, static_cast<uint32_t>(addr));
  const uint32_t high = load_word(cmd, low_word + 1);
  store_word(cmd, low_word + 1, (high & ~0xFFu) | static_cast<uint32_t>((addr >> 32) & 0xFFu));
}

}  // namespace cmd
}  // namespace vexofmt
