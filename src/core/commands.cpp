// Command upload: one BDC and one GDMA buffer per static stage, built by
// walking each command group command by command, with the DMA addresses
// rewritten from compiled to device addresses. Then the IR upload.
//
// Malformed streams are refused before anything of the stage is uploaded:
// a stage without commands, a BDC command without a length, commands that
// overrun their group's recorded byte count or payload range, and addresses
// that relocate outside their region.
#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bmodel/bmodel.h"
#include "src/core/core_internal.h"
#include "formats/command_format.h"

namespace divudida {

namespace cmd = vexofmt::cmd;

using minilog::fail_with;

u32 get_bdc_cmd_len(uint32_t* cmd_buf, u64 start_offset, bool last_cmd) {
  const u32 len = cmd::bdc_cmd_raw_len(cmd::load_word(cmd_buf, 0), cmd::load_word(cmd_buf, 1));
  if (len == 0) return 0;
  return static_cast<u32>(cmd::padded_cmd_len(start_offset, len, last_cmd));
}

u32 get_gdma_cmd_len(u64 start_offset, bool last_cmd) {
  return static_cast<u32>(cmd::gdma_cmd_len(start_offset, last_cmd));
}

namespace {

// A compiled region of a stage and the offset that moves it to the device.
struct Region {
  u64 compiled_start;
  u64 size;
  u64 offset;
};

// The region a relocated address belongs to, tested in this order:
// coefficients, io (io-alone nets only), activations. Each test is of the
// region's whole compiled range, so an address below the io range falls
// through to the activations.
Region region_of(const NetInfo& net, const StageInfo& stage, u64 addr) {
  if (addr - stage.coeff_addr < stage.coeff_size) return {stage.coeff_addr, stage.coeff_size, stage.coeff_offset};
  if (net.addr_mode == 1 && addr - stage.io_addr < stage.io_size) {
    return {stage.io_addr, stage.io_size, stage.io_offset};
  }
  return {stage.neuron_addr, stage.neuron_size, stage.neuron_offset};
}

std::string hex(u64 value) {
  std::ostringstream text;
  text << "0x" << std::hex << value;
  return text.str();
}

}  // namespace

void convert_gdma_cmd(NetInfo* net_info_p, uint32_t* cmd, bool is_last, size_t stage_idx) {
  if (is_last) return;  // the end command carries no addresses
  const NetInfo& net = *net_info_p;
  const StageInfo& stage = net.stages[stage_idx];
  const u32 type = cmd::gdma_type(cmd);
  const auto relocate = [&](unsigned word) {
    const u64 addr = cmd::load_addr40(cmd, word);
    if (addr < stage.coeff_addr) return;
    const Region region = region_of(net, stage, addr);
    // The device address lies inside the region's area exactly when the
    // compiled address lies inside the compiled region.
    if (addr - region.compiled_start >= region.size) {
      fail_with<ModelError>(detail::stage_label(net, stage_idx), ": GDMA address ", hex(addr), " lies outside its region [",
           hex(region.compiled_start), ", +", hex(region.size), ")");
    }
    cmd::store_addr40(cmd, word, addr + region.offset);
  };
  if (!(type == cmd::kGdmaCopy && cmd::gdma_const_fill(cmd))) relocate(cmd::kGdmaSrcWord);
  relocate(cmd::kGdmaDstWord);
  if (cmd::gdma_uses_index(type)) relocate(cmd::kGdmaIndexWord);
}

namespace {

// A host buffer of exactly `size` bytes, filled by the walk; what the walk
// leaves unwritten is zeroed before upload.
class StreamBuffer {
 public:
  explicit StreamBuffer(u64 size) : data_(new uint8_t[size]), size_(size) {}
  uint8_t* next() { return data_.get() + used_; }
  u64 used() const { return used_; }
  void advance(u64 n) { used_ += n; }
  // Appends a copy of `n` bytes already in the buffer at `pos`.
  void repeat(u64 pos, u64 n) {
    std::memcpy(next(), data_.get() + pos, n);
    used_ += n;
  }
  const uint8_t* finish() {
    std::memset(data_.get() + used_, 0, size_ - used_);
    return data_.get();
  }

 private:
  std::unique_ptr<uint8_t[]> data_;
  u64 size_;
  u64 used_ = 0;
};

// Names a command in error lines; the text is made only when one is logged,
// so walking a million commands builds no strings.
struct CommandRef {
  const std::string& stage;
  size_t group;
  const char* kind;
  u32 index;
};

std::ostream& operator<<(std::ostream& out, const CommandRef& ref) {
  return out << ref.stage << " group " << ref.group << " " << ref.kind << " command " << ref.index;
}

// Checks that a command of `len` bytes at offset `p` of a group fits both the
// group's payload range and its recorded byte count (p fits both already).
void check_fits(u64 p, u64 len, u64 range_size, u64 recorded, const CommandRef& ref) {
  if (len > range_size - p) fail_with<ModelError>(ref, " overruns its payload range of ", range_size, " bytes");
  if (len > recorded - p) fail_with<ModelError>(ref, " overruns the group's recorded ", recorded, " bytes");
}

// The BDC bytes of a stage's groups, read once per range: a range that
// several groups name is read once, and only as far as a group's recorded
// byte count reaches (the walk may not pass it), nothing for a group without
// commands. A range's bytes are dropped after the last group naming it.
class BdcRanges {
 public:
  BdcRanges(bmodel::ModelCtx& ctx, const std::vector<CmdGroup>& groups) : ctx_(ctx), groups_(groups) {
    for (size_t g = 0; g < groups.size(); ++g) last_use_[groups[g].bdc_cmd.start] = g;
  }

  // The bytes the walk of group g may read.
  const uint8_t* bytes(size_t g) {
    const CmdGroup& group = groups_[g];
    const u64 need = group.bdc_num == 0 ? 0 : std::min<u64>(group.bdc_byte, group.bdc_cmd.size);
    std::vector<uint8_t>& bytes = read_[group.bdc_cmd.start];
    if (bytes.size() < need) {
      const u64 have = bytes.size();
      bytes.resize(need);
      const bmodel::Binary range(group.bdc_cmd.start, group.bdc_cmd.size);
      ctx_.read_binary(&range, have, bytes.data() + have, need - have);
    }
    return bytes.data();
  }

  void done(size_t g) {
    const u64 start = groups_[g].bdc_cmd.start;
    if (last_use_[start] == g) read_.erase(start);
  }

 private:
  bmodel::ModelCtx& ctx_;
  const std::vector<CmdGroup>& groups_;
  std::unordered_map<u64, size_t> last_use_;
  std::unordered_map<u64, std::vector<uint8_t>> read_;
};

// GDMA groups that walk the same commands: same range, same command count
// and recorded bytes. Such a group's relocated commands equal the first one's.
struct GdmaWalk {
  u64 start, size;
  u32 count, recorded;
  bool operator==(const GdmaWalk& o) const {
    return start == o.start && size == o.size && count == o.count && recorded == o.recorded;
  }
};
struct GdmaWalkHash {
  size_t operator()(const GdmaWalk& w) const {
    return std::hash<u64>()(w.start * 31 + w.size) ^ (std::hash<u64>()((u64{w.count} << 32) | w.recorded) << 1);
  }
};

// A static subnet of a stage that runs subnet by subnet is launched on the
// stage's buffers from their start with its own group counts; its walk must
// stay inside them.
void check_static_subnets(const NetInfo& net, size_t stage_idx, const uint8_t* bdc, u64 bdc_size, u64 gdma_size) {
  const StageInfo& stage = net.stages[stage_idx];
  if (!runs_by_subnet(stage)) return;
  for (size_t s = 0; s < stage.subnets.size(); ++s) {
    const SubNetInfo& subnet = stage.subnets[s];
    if (subnet.is_dynamic) continue;
    const auto refuse = [&](const char* kind) {
      fail_with<ModelError>(detail::stage_label(net, stage_idx), " subnet[", s, "] ", kind,
           " commands do not lie inside the stage's command buffer");
    };
    u64 bdc_pos = 0;
    u64 gdma_pos = 0;
    for (const CmdGroup& group : subnet.cmd_group) {
      u64 offset = 0;
      for (u32 k = 0; k < group.bdc_num; ++k) {
        if (8 > bdc_size - bdc_pos) refuse("BDC");
        const u32 len = cmd::bdc_cmd_raw_len(cmd::load_word(bdc + bdc_pos, 0), cmd::load_word(bdc + bdc_pos, 1));
        const u64 padded = cmd::padded_cmd_len(offset, len, k + 1 == group.bdc_num);
        if (len == 0 || padded > bdc_size - bdc_pos) refuse("BDC");
        bdc_pos += padded;
        offset += padded;
      }
      offset = 0;
      for (u32 k = 0; k < group.gdma_num; ++k) {
        const u64 len = cmd::gdma_cmd_len(offset, k + 1 == group.gdma_num);
        if (len > gdma_size - gdma_pos) refuse("GDMA");
        gdma_pos += len;
        offset += len;
      }
    }
  }
}

void upload_stage_commands(ModelInfo& model, NetInfo& net, size_t stage_idx) {
  StageInfo& stage = net.stages[stage_idx];
  const std::string label = detail::stage_label(net, stage_idx);
  u64 bdc_total = 0;
  u64 gdma_total = 0;
  for (const CmdGroup& group : stage.cmd_group) {
    bdc_total += group.bdc_byte;
    gdma_total += group.gdma_byte;
  }
  if (bdc_total == 0 || gdma_total == 0) fail_with<ModelError>(label, " is static but has no BDC or no GDMA commands");
  if (bdc_total > UINT32_MAX || gdma_total > UINT32_MAX) fail_with<ModelError>(label, " command streams exceed 4 GiB");

  StreamBuffer bdc(bdc_total);
  BdcRanges bdc_ranges(*model.model_ctx, stage.cmd_group);
  for (size_t g = 0; g < stage.cmd_group.size(); ++g) {
    const CmdGroup& group = stage.cmd_group[g];
    const uint8_t* bytes = bdc_ranges.bytes(g);
    u64 p = 0;
    for (u32 k = 0; k < group.bdc_num; ++k) {
      const CommandRef ref{label, g, "BDC", k};
      check_fits(p, 8, group.bdc_cmd.size, group.bdc_byte, ref);  // the two words that give the length
      uint32_t words[2];
      std::memcpy(words, bytes + p, sizeof words);
      const u32 len = get_bdc_cmd_len(words, p, k + 1 == group.bdc_num);
      if (len == 0) fail_with<ModelError>(ref, " has a task type without a length");
      check_fits(p, len, group.bdc_cmd.size, group.bdc_byte, ref);
      std::memcpy(bdc.next(), bytes + p, len);
      bdc.advance(len);
      p += len;
    }
    bdc_ranges.done(g);
  }

  StreamBuffer gdma(gdma_total);
  std::unordered_map<GdmaWalk, std::pair<u64, u64>, GdmaWalkHash> walked;  // position and length in `gdma`
  for (size_t g = 0; g < stage.cmd_group.size(); ++g) {
    const CmdGroup& group = stage.cmd_group[g];
    const GdmaWalk key{group.gdma_cmd.start, group.gdma_cmd.size, group.gdma_num, group.gdma_byte};
    const auto same = walked.find(key);
    if (same != walked.end()) {
      gdma.repeat(same->second.first, same->second.second);
      continue;
    }
    const u64 group_start = gdma.used();
    const bmodel::Binary range(group.gdma_cmd.start, group.gdma_cmd.size);
    u64 p = 0;
    for (u32 k = 0; k < group.gdma_num; ++k) {
      const bool last = k + 1 == group.gdma_num;
      const u32 len = get_gdma_cmd_len(p, last);
      check_fits(p, len, group.gdma_cmd.size, group.gdma_byte, CommandRef{label, g, "GDMA", k});
      model.model_ctx->read_binary(&range, p, gdma.next(), len);
      convert_gdma_cmd(&net, reinterpret_cast<uint32_t*>(gdma.next()), last, stage_idx);
      gdma.advance(len);
      p += len;
    }
    walked.emplace(key, std::make_pair(group_start, p));
  }

  const uint8_t* bdc_bytes = bdc.finish();
  const uint8_t* gdma_bytes = gdma.finish();
  check_static_subnets(net, stage_idx, bdc_bytes, bdc_total, gdma_total);
  auto bdc_area = detail::malloc_area(model.bm_handle, bdc_total, label + " BDC commands");
  detail::upload(model.bm_handle, bdc_area.get(), bdc_bytes, bdc_total, label + " BDC commands");
  auto gdma_area = detail::malloc_area(model.bm_handle, gdma_total, label + " GDMA commands");
  detail::upload(model.bm_handle, gdma_area.get(), gdma_bytes, gdma_total, label + " GDMA commands");
  stage.bdc_cmd_device = bdc_area.keep();
  stage.gdma_cmd_device = gdma_area.keep();
}

}  // namespace

void bdc_gdma_to_device(ModelInfo* model_info_p) {
  for (NetInfo& net : model_info_p->nets) {
    for (size_t j = 0; j < net.stages.size(); ++j) {
      if (!net.stages[j].is_dynamic) upload_stage_commands(*model_info_p, net, j);
    }
  }
}

void ir_to_device(ModelInfo* model_info_p) {
  ModelInfo& model = *model_info_p;
  for (NetInfo& net : model.nets) {
    for (size_t j = 0; j < net.stages.size(); ++j) {
      StageInfo& stage = net.stages[j];
      if (stage.binary_ir.size == 0) continue;
      const std::string what = detail::stage_label(net, j) + " IR";
      auto area = detail::malloc_area(model.bm_handle, stage.binary_ir.size, what);
      const bmodel::Binary range(stage.binary_ir.start, stage.binary_ir.size);
      const std::unique_ptr<uint8_t[]> buffer(new uint8_t[stage.binary_ir.size]);
      model.model_ctx->read_binary(&range, buffer.get());
      detail::upload(model.bm_handle, area.get(), buffer.get(), stage.binary_ir.size, what);
      stage.ir_device = area.keep();
      for (SubNetInfo& subnet : stage.subnets) {
        subnet.ir_global_addr = stage.ir_device.u.device.device_addr + subnet.ir_offset;
      }
    }
  }
}

}  // namespace divudida
