#include "commands.h"

#include "formats/command_format.h"

namespace vexo::samples {

namespace cmd = vexofmt::cmd;

namespace {
constexpr uint32_t kHighWordMarker = 0x5A5A00;
}

Gdma gdma_copy(uint64_t src, uint64_t dst, uint32_t count, uint32_t unit) {
  Gdma c;
  c.type = cmd::kGdmaCopy;
  c.src = src;
  c.dst = dst;
  c.count = count;
  c.unit = unit;
  return c;
}

Gdma gdma_fill(uint32_t pattern, uint64_t dst, uint32_t count, uint32_t unit) {
  Gdma c = gdma_copy(pattern, dst, count, unit);
  c.const_fill = true;
  return c;
}

Gdma gdma_gather(uint64_t table, uint64_t index, uint64_t dst, uint32_t count, uint32_t unit, uint32_t limit) {
  Gdma c = gdma_copy(table, dst, count, unit);
  c.type = cmd::kGdmaGather;
  c.index = index;
  c.limit = limit;
  return c;
}

Gdma gdma_scatter(uint64_t src, uint64_t index, uint64_t table, uint32_t count, uint32_t unit, uint32_t limit) {
  Gdma c = gdma_copy(src, table, count, unit);
  c.type = cmd::kGdmaScatter;
  c.index = index;
  c.limit = limit;
  return c;
}

Bytes encode_gdma(const Gdma& command) {
  Bytes bytes(cmd::kGdmaCmdLen, 0);
  cmd::store_word(bytes.data(), cmd::kGdmaTypeWord, (command.type & 0xFu) | (command.const_fill ? 0x80u : 0u));
  cmd::store_word(bytes.data(), cmd::kGdmaCountWord, command.count);
  cmd::store_word(bytes.data(), cmd::kGdmaUnitWord, command.unit);
  cmd::store_word(bytes.data(), cmd::kGdmaLimitWord, command.limit);
  for (const unsigned word : {cmd::kGdmaSrcWord, cmd::kGdmaDstWord, cmd::kGdmaIndexWord}) {
    cmd::store_word(bytes.data(), word + 1, kHighWordMarker);
  }
  cmd::store_addr40(bytes.data(), cmd::kGdmaSrcWord, command.src);
  cmd::store_addr40(bytes.data(), cmd::kGdmaDstWord, command.dst);
  cmd::store_addr40(bytes.data(), cmd::kGdmaIndexWord, command.index);
  return bytes;
}

GroupStreams encode_group(const std::vector<Bdc>& bdc, const std::vector<Gdma>& gdma) {
  GroupStreams group;
  group.bdc_num = static_cast<uint32_t>(bdc.size());
  for (size_t k = 0; k < bdc.size(); ++k) {
    uint8_t words[8] = {};
    cmd::store_word(words, 0, bdc[k].is_short ? 1u : 0u);
    cmd::store_word(words, 1, (bdc[k].tsk_type & 0xFu) << 9 | (bdc[k].eu_type & 0x1Fu) << 13);
    const uint32_t len = cmd::bdc_cmd_raw_len(cmd::load_word(words, 0), cmd::load_word(words, 1));
    const uint64_t padded = cmd::padded_cmd_len(group.bdc.size(), len, k + 1 == bdc.size());
    const size_t at = group.bdc.size();
    group.bdc.resize(at + padded, 0);
    std::copy(words, words + sizeof words, group.bdc.begin() + at);
  }
  group.gdma_num = static_cast<uint32_t>(gdma.size() + 1);
  for (const Gdma& command : gdma) {
    const Bytes bytes = encode_gdma(command);
    group.gdma.insert(group.gdma.end(), bytes.begin(), bytes.end());
  }
  group.gdma.resize(group.gdma.size() + cmd::gdma_cmd_len(group.gdma.size(), true), 0);
  return group;
}

}  // namespace vexo::samples
