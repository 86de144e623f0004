// Memory statistics of a model, from its metadata alone.
#include <algorithm>
#include <set>

#include "bmodel/bmodel.h"
#include "bmodel/internal/log.h"

namespace bmodel {
namespace {

using CheckCodes = std::set<std::string>;

std::string check_code(const flatbuffers::Vector<uint8_t>* code) {
  return code ? std::string(code->begin(), code->end()) : std::string();
}

uint64_t size_of(const Binary* binary) { return binary ? binary->size() : 0; }

template <typename T>
uint32_t length(const flatbuffers::Vector<T>* vector) {
  return vector ? vector->size() : 0;
}

// Adds the sizes of a vector of ranges.
uint64_t total_size(const flatbuffers::Vector<const Binary*>* ranges) {
  uint64_t total = 0;
  for (uint32_t i = 0; i < length(ranges); ++i) total += ranges->Get(i)->size();
  return total;
}

void count_command_groups(const flatbuffers::Vector<flatbuffers::Offset<CmdGroup>>* groups,
                          const std::string& chip, bmodel_mem_info_t& info) {
  for (uint32_t i = 0; i < length(groups); ++i) {
    const CmdGroup* group = groups->Get(i);
    if (chip == "BM1682" || chip == "BM1684") {
      // These processors use fixed-size commands.
      const uint64_t command_size = chip == "BM1682" ? 256 : 128;
      info.bdc_cmd_size += uint64_t{group->bdc_num()} * command_size;
      info.gdma_cmd_size += uint64_t{group->gdma_num()} * command_size;
    } else {
      info.bdc_cmd_size += size_of(group->binary_bdc());
      info.gdma_cmd_size += size_of(group->binary_gdma());
    }
  }
}

void count_subnet(const SubNet* subnet, const std::string& chip, CheckCodes& host_constants,
                  bmodel_mem_info_t& info) {
  if (subnet->subnet_mode() == 1) {
    if (length(subnet->cpu_param()) == 0) return;
    const auto* constants = subnet->cpu_param()->Get(0)->cpu_const();
    for (uint32_t i = 0; i < length(constants); ++i) {
      const CpuConst* constant = constants->Get(i);
      if (host_constants.insert(check_code(constant->check_code())).second) {
        info.host_coeff_size += size_of(constant->const_data());
      }
    }
    return;
  }
  if (subnet->subnet_mode() != 0) return;
  if (subnet->is_dynamic() != 0) {
    info.dynamic_ir_size += uint64_t{subnet->ir_len()} * 4;
    info.dynamic_output_number =
        std::max<uint64_t>(info.dynamic_output_number, length(subnet->output_tensor()));
    return;
  }
  const auto* cores = subnet->core_commands();
  const uint32_t rounds = std::max<uint32_t>(length(cores), 1);
  for (uint32_t i = 0; i < rounds; ++i) {
    const auto* groups = subnet->cmd_group();
    if (groups == nullptr && i < length(cores)) groups = cores->Get(i)->gdma_tiu_commands();
    count_command_groups(groups, chip, info);
  }
  if (chip == "SG2260") {
    for (uint32_t i = 0; i < length(cores); ++i) {
      info.hau_cmd_size += total_size(cores->Get(i)->hau_commands());
      info.sdma_cmd_size += total_size(cores->Get(i)->sdma_commands());
    }
  }
}

// 4 bytes times the product of the dimensions of the tensor's first shape; 0
// for a tensor without shapes.
uint64_t get_tensor_buffer_size(const Tensor* tensor) {
  if (length(tensor->shape()) == 0) return 0;
  const auto* dims = tensor->shape()->Get(0)->dim();
  uint64_t size = 4;
  for (uint32_t i = 0; i < length(dims); ++i) size *= dims->Get(i);
  return size;
}

uint64_t largest_tensor_buffer(const flatbuffers::Vector<flatbuffers::Offset<Tensor>>* tensors) {
  uint64_t largest = 0;
  for (uint32_t i = 0; i < length(tensors); ++i)
    largest = std::max(largest, get_tensor_buffer_size(tensors->Get(i)));
  return largest;
}

}  // namespace

bmodel_mem_info_t ModelCtx::get_bmodel_mem_info() const {
  bmodel_mem_info_t info{};
  const std::string chip = model_->chip()->str();
  CheckCodes coefficients;
  CheckCodes host_constants;
  // Networks whose stages run as one subnet take turns on one context area.
  uint64_t shared = 0;
  for (const Net* net : *model_->net()) {
    const auto* net_params = net->parameter();
    if (!(net_params && net_params->size() > 0)) {
      BMODEL_THROW("get_bmodel_mem_info", "net_params && net_params->size() > 0",
                   "failed to compute the memory statistics");
    }
    uint64_t largest_context = 0;
    bool several_subnets = false;
    for (const NetParameter* param : *net_params) {
      largest_context = std::max(largest_context, param->ctx_size());
      if (length(param->sub_net()) > 1) several_subnets = true;
      const CoeffMem* coeff = param->coeff_mem();
      if (coeff && coefficients.insert(check_code(coeff->check_code())).second) {
        info.coeff_size += size_of(coeff->binary_coeff());
      }
      for (uint32_t i = 0; i < length(param->sub_net()); ++i) {
        count_subnet(param->sub_net()->Get(i), chip, host_constants, info);
      }
      info.host_neuron_size += uint64_t{param->cpu_mem_size()} * 4;
      if (chip == "BM1684") {
        info.middle_buffer_size =
            std::max({info.middle_buffer_size, largest_tensor_buffer(param->input_tensor()),
                      largest_tensor_buffer(param->output_tensor())});
      }
    }
    if (several_subnets) {
      info.neuron_mem_size += largest_context;
    } else {
      shared = std::max(shared, largest_context);
    }
  }
  info.neuron_mem_size += shared;
  return info;
}

}  // namespace bmodel
