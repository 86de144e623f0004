// Conversion of networks stored in the legacy form (net_static and
// net_dynamic) to the current form (one NetParameter per stage).
#include <algorithm>
#include <cstdint>

#include "bmodel/bmodel.h"
#include "bmodel/internal/log.h"

namespace bmodel {
namespace {

// The current form requires both tensor vectors; the object API would pack
// an empty one into a table that no reader accepts.
template <typename LegacyStage>
void check_tensors(const LegacyStage* stage, const char* what) {
  if (!(stage->input_tensor() && stage->input_tensor()->size() > 0)) {
    BMODEL_THROW("update_net", "net_param->input_tensor() && net_param->input_tensor()->size() > 0", what);
  }
  if (!(stage->output_tensor() && stage->output_tensor()->size() > 0)) {
    BMODEL_THROW("update_net", "net_param->output_tensor() && net_param->output_tensor()->size() > 0", what);
  }
}

// The fields that both legacy forms share with NetParameter.
template <typename LegacyStageT>
NetParameterT common_fields(LegacyStageT& stage) {
  NetParameterT param;
  param.input_tensor = std::move(stage.input_tensor);
  param.output_tensor = std::move(stage.output_tensor);
  param.ctx_addr = stage.ctx_addr;
  param.ctx_size = stage.ctx_size;
  param.coeff_mem = std::move(stage.coeff_mem);
  param.sub_net = std::move(stage.sub_net);
  return param;
}

// The activations a current-form stage needs, as the execution core reads
// them: the sum of its context sizes, or its one ctx_size.
uint64_t activation_need(const NetParameter& stage) {
  if (!stage.ctx_sizes() || stage.ctx_sizes()->size() == 0) return stage.ctx_size();
  uint64_t sum = 0;
  for (const uint64_t size : *stage.ctx_sizes()) sum = size > UINT64_MAX - sum ? UINT64_MAX : sum + size;
  return sum;
}

}  // namespace

void ModelCtx::update_bmodel(const char* what) {
  bool all_current = true;
  for (const Net* net : *model_->net()) all_current = all_current && net->parameter() != nullptr;
  if (all_current) return;

  model_gen_ = std::make_unique<ModelGen>(0, "");
  // What the file holds decides whether the writer's checks pass: they
  // throw, as the reader's own checks do.
  model_gen_->input_error_ = what;
  model_gen_->AddChip(model_->chip()->str());
  // The payload stays as it is, so the file's kernel and host-operator
  // modules keep their ranges; without them the networks could not run.
  if (const KernelModule* kernel = model_->kernel_module()) {
    model_gen_->AddKernelModule(kernel->file_name()->str(), *kernel->binary());
  }
  if (const CpuopModule* cpuop = model_->cpuop_module()) {
    model_gen_->AddCpuModule(cpuop->file_name()->str(), *cpuop->binary());
  }
  // The rebuilt activation area serves every net: never smaller than the
  // file's own, nor than any current-form stage needs.
  model_gen_->max_neuron_size_ = model_->neuron_size();
  for (const Net* net : *model_->net()) {
    if (net->parameter()) {
      for (const NetParameter* stage : *net->parameter())
        model_gen_->max_neuron_size_ = std::max(model_gen_->max_neuron_size_, activation_need(*stage));
      NetT copy;
      net->UnPackTo(&copy);
      model_gen_->AddNet(Net::Pack(model_gen_->Builder(), &copy));
      continue;
    }
    if (net->net_static()) update_net(net->name()->str(), net->net_static(), what);
    if (net->net_dynamic()) update_net(net->name()->str(), net->net_dynamic(), what);
  }
  model_gen_->Finish();
  model_ = GetModel(model_gen_->GetBufferPointer());
}

void ModelCtx::update_net(const std::string& net_name,
                          const flatbuffers::Vector<flatbuffers::Offset<NetStatic>>* params, const char* what) {
  for (const NetStatic* net_param : *params) {
    check_tensors(net_param, what);
    NetStaticT stage;
    net_param->UnPackTo(&stage);
    NetParameterT param = common_fields(stage);
    param.is_dynamic = 0;
    param.cmd_group = std::move(stage.cmd_group);
    param.net_profile = std::move(stage.net_profile);
    model_gen_->AddNet(net_name, NetParameter::Pack(model_gen_->Builder(), &param));
  }
}

void ModelCtx::update_net(const std::string& net_name,
                          const flatbuffers::Vector<flatbuffers::Offset<NetDynamic>>* params, const char* what) {
  for (const NetDynamic* net_param : *params) {
    check_tensors(net_param, what);
    if (net_param->binary_ir() == nullptr) BMODEL_THROW("update_net", "net_param->binary_ir() != NULL", what);
    NetDynamicT stage;
    net_param->UnPackTo(&stage);
    NetParameterT param = common_fields(stage);
    param.is_dynamic = 1;
    param.n_dynamic = stage.n_dynamic;
    param.h_w_dynamic = stage.h_w_dynamic;
    param.stage_ir = std::move(stage.stage_ir);
    param.binary_ir = std::move(stage.binary_ir);
    model_gen_->AddNet(net_name, NetParameter::Pack(model_gen_->Builder(), &param));
  }
}

}  // namespace bmodel
