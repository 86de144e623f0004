// Command upload: one BDC and one GDMA buffer per static stage, built by
// walking each command group command by command, with the DMA addresses
// rewritten from compiled to device addresses. Then the IR upload.
//
// Malformed streams are refused before anything of the stage is uploaded:
// a stage without commands, a BDC command without a length, commands that
// overrun their group's recorded byte count or payload range, and addresses
// that relocate outside their region.
#include <cstring>
#include <memory>
#include <sstream>

#include "bmodel/bmodel.h"
#include "core_internal.h"
#include "src/formats/command_format.h"

namespace divudida {

namespace cmd = vexofmt::cmd;

using detail::fail;

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
// coefficients, io (io-alone nets only), activations.
Region region_of(const NetInfo& net, const StageInfo& stage, u64 addr) {
  if (addr - stage.coeff_addr < stage.coeff_size) return {stage.coeff_addr, stage.coeff_size, stage.coeff_offset};
  if (net.addr_mode == 1 && (addr < stage.io_addr || addr - stage.io_addr < stage.io_size)) {
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
      fail(detail::stage_label(net, stage_idx), ": GDMA address ", hex(addr), " lies outside its region [",
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
  void advance(u64 n) { used_ += n; }
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
  if (len > range_size - p) fail(ref, " overruns its payload range of ", range_size, " bytes");
  if (len > recorded - p) fail(ref, " overruns the group's recorded ", recorded, " bytes");
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
  if (bdc_total == 0 || gdma_total == 0) fail(label, " is static but has no BDC or no GDMA commands");
  if (bdc_total > UINT32_MAX || gdma_total > UINT32_MAX) fail(label, " command streams exceed 4 GiB");

  StreamBuffer bdc(bdc_total);
  for (size_t g = 0; g < stage.cmd_group.size(); ++g) {
    const CmdGroup& group = stage.cmd_group[g];
    const bmodel::Binary range(group.bdc_cmd.start, group.bdc_cmd.size);
    const std::unique_ptr<uint8_t[]> scratch(new uint8_t[group.bdc_cmd.size]);
    model.model_ctx->read_binary(&range, scratch.get());
    u64 p = 0;
    for (u32 k = 0; k < group.bdc_num; ++k) {
      const CommandRef ref{label, g, "BDC", k};
      check_fits(p, 8, group.bdc_cmd.size, UINT64_MAX, ref);  // the two words that give the length
      const u32 len = get_bdc_cmd_len(reinterpret_cast<uint32_t*>(scratch.get() + p), p, k + 1 == group.bdc_num);
      if (len == 0) fail(ref, " has a task type without a length");
      check_fits(p, len, group.bdc_cmd.size, group.bdc_byte, ref);
      std::memcpy(bdc.next(), scratch.get() + p, len);
      bdc.advance(len);
      p += len;
    }
  }

  StreamBuffer gdma(gdma_total);
  for (size_t g = 0; g < stage.cmd_group.size(); ++g) {
    const CmdGroup& group = stage.cmd_group[g];
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
  }

  auto bdc_area = detail::malloc_area(model.bm_handle, bdc_total, label + " BDC commands");
  detail::upload(model.bm_handle, bdc_area.get(), bdc.finish(), bdc_total, label + " BDC commands");
  auto gdma_area = detail::malloc_area(model.bm_handle, gdma_total, label + " GDMA commands");
  detail::upload(model.bm_handle, gdma_area.get(), gdma.finish(), gdma_total, label + " GDMA commands");
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
