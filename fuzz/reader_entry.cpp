// The reader over a model image in memory, and every accessor the loader
// uses on what it accepts.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "bmodel/bmodel.h"
#include "entries.h"

namespace vexo::fuzz {
namespace {

using bmodel::Binary;

template <typename T>
uint32_t length(const flatbuffers::Vector<T>* vector) {
  return vector ? vector->size() : 0;
}

// Reads the head and the tail of a range, as much as the buffer holds (the
// whole range when it fits).
class RangeReader {
 public:
  explicit RangeReader(bmodel::ModelCtx& ctx) : ctx_(ctx) {}

  void read(const Binary* range) {
    if (range == nullptr) return;
    static std::vector<uint8_t> buffer(64 * 1024);
    const uint64_t count = std::min<uint64_t>(range->size(), buffer.size());
    try {
      if (range->size() <= buffer.size()) {
        ctx_.read_binary(range, buffer.data());
      } else {
        ctx_.read_binary(range, 0, buffer.data(), count);
        ctx_.read_binary(range, range->size() - count, buffer.data(), count);
      }
    } catch (const std::runtime_error&) {
      // A range outside the payload is refused: the loader reports it.
    }
  }

  void read_groups(const flatbuffers::Vector<flatbuffers::Offset<bmodel::CmdGroup>>* groups) {
    for (uint32_t i = 0; i < length(groups); ++i) {
      read(groups->Get(i)->binary_bdc());
      read(groups->Get(i)->binary_gdma());
    }
  }

  void read_ranges(const flatbuffers::Vector<const Binary*>* ranges) {
    for (uint32_t i = 0; i < length(ranges); ++i) read(ranges->Get(i));
  }

 private:
  bmodel::ModelCtx& ctx_;
};

void read_subnet(RangeReader& reader, const bmodel::SubNet* subnet) {
  reader.read_groups(subnet->cmd_group());
  for (uint32_t i = 0; i < length(subnet->cpu_param()); ++i) {
    const bmodel::CpuParam* param = subnet->cpu_param()->Get(i);
    reader.read(param->binary_param());
    for (uint32_t c = 0; c < length(param->cpu_const()); ++c) reader.read(param->cpu_const()->Get(c)->const_data());
  }
  for (uint32_t i = 0; i < length(subnet->core_commands()); ++i) {
    const bmodel::CoreCommands* core = subnet->core_commands()->Get(i);
    reader.read_groups(core->gdma_tiu_commands());
    reader.read_ranges(core->sdma_commands());
    reader.read_ranges(core->hau_commands());
    reader.read_ranges(core->cdma_commands());
  }
}

void exercise(bmodel::ModelCtx& ctx) {
  RangeReader reader(ctx);
  const bmodel::Model* model = ctx.model();
  if (model->kernel_module()) reader.read(model->kernel_module()->binary());
  if (model->cpuop_module()) reader.read(model->cpuop_module()->binary());
  for (const bmodel::Net* net : *model->net()) {
    const std::string name = net->name()->str();
    const uint32_t stages = length(net->parameter());
    for (uint32_t s = 0; s < stages; ++s) {
      const bmodel::NetParameter* stage = net->parameter()->Get(s);
      reader.read_groups(stage->cmd_group());
      reader.read(stage->net_profile());
      reader.read(stage->binary_ir());
      reader.read(stage->net_stat());
      reader.read(stage->tensor_loc());
      for (uint32_t i = 0; i < length(stage->sub_net()); ++i) read_subnet(reader, stage->sub_net()->Get(i));
      const bmodel::CoeffMem* coeff = stage->coeff_mem();
      if (coeff == nullptr) continue;
      reader.read(coeff->binary_coeff());
      Binary weight;
      std::string weight_name;
      for (uint32_t i = 0; i < length(coeff->location()); ++i) {
        const uint64_t offset = coeff->location()->Get(i)->offset();
        if (ctx.get_weight(name, static_cast<int>(s), offset, weight, weight_name)) reader.read(&weight);
        ctx.get_weight(name, static_cast<int>(s), offset + 1, weight, weight_name);
      }
    }
    Binary weight;
    std::string weight_name;
    ctx.get_weight(name, -1, 0, weight, weight_name);
    ctx.get_weight(name, static_cast<int>(stages), 0, weight, weight_name);
  }
  try {
    ctx.get_bmodel_mem_info();
  } catch (const std::runtime_error&) {
    // A net without stages has no statistics.
  }
}

}  // namespace

int reader_entry(const uint8_t* data, size_t size) {
  // The reader may write into the image it is given, so it gets a copy; a
  // null image would be the caller's bug, not the input's.
  std::vector<uint8_t> image(size + 1);
  std::copy(data, data + size, image.begin());
  try {
    bmodel::ModelCtx ctx(image.data(), size);
    exercise(ctx);
  } catch (const std::runtime_error&) {
    // Refused: the reader has said why.
  }
  return 0;
}

}  // namespace vexo::fuzz
