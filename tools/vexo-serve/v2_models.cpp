#include "v2_models.h"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "common/tool.h"
#include "metrics.h"
#include "runtime/miniruntime.h"
#include "scheduler.h"

namespace vexo::serve {

namespace {

using vexo::tool::library_reason;

struct RuntimeDeleter {
  void operator()(minirun::VexoRuntime* runtime) const { minirun::vexoruntime_free(runtime); }
};
using Runtime = std::unique_ptr<minirun::VexoRuntime, RuntimeDeleter>;

std::vector<V2Tensor> describe(minirun::vexoruntime runtime, size_t net, size_t stage, char io_type) {
  std::vector<V2Tensor> tensors(minirun::vexoruntime_get_tensor_count(runtime, net, stage, io_type));
  for (size_t i = 0; i < tensors.size(); ++i) {
    vexo_tensor_desc desc{};
    if (!minirun::vexoruntime_get_tensor_desc(runtime, net, stage, io_type, i, &desc))
      throw std::runtime_error("cannot describe a tensor" + library_reason());
    tensors[i].name = desc.name;
    tensors[i].dtype = desc.dtype;
    tensors[i].shape.assign(desc.shape, desc.shape + desc.dims);
    tensors[i].size = desc.size;
  }
  return tensors;
}

}  // namespace

// One model file: its runtime on each device it is served on.
struct V2Models::File {
  std::map<int, Runtime> runtimes;
};

V2Models::V2Models(DeviceTurns& turns, Metrics& metrics) : turns_(turns), metrics_(metrics) {}
V2Models::~V2Models() = default;

void V2Models::add(const ModelSpec& spec) {
  auto file = std::make_unique<File>();
  for (const int device : spec.devices) {
    Runtime runtime(minirun::vexoruntime_init(spec.path.c_str(), device));
    if (!runtime)
      throw std::runtime_error("cannot load " + spec.path + " on device " + std::to_string(device) + library_reason());
    file->runtimes.emplace(device, std::move(runtime));
  }
  minirun::vexoruntime runtime = file->runtimes.begin()->second.get();
  const size_t nets = minirun::vexoruntime_get_net_count(runtime);
  for (size_t net = 0; net < nets; ++net) {
    auto model = std::make_unique<V2Model>();
    model->name = nets == 1 ? spec.name : spec.name + "." + minirun::vexoruntime_get_net_name(runtime, net);
    if (find(model->name)) throw std::runtime_error("two models are called " + model->name);
    model->file = files_.size();
    model->net = net;
    model->devices = spec.devices;
    model->index = models_.size();
    model->queue = spec.queue;
    model->metrics = &metrics_.model(model->name, false);
    for (size_t stage = 0; stage < minirun::vexoruntime_get_stage_count(runtime, net); ++stage)
      model->stages.push_back({describe(runtime, net, stage, 'i'), describe(runtime, net, stage, 'o')});
    models_.push_back(std::move(model));
    waiting_.push_back(0);
  }
  files_.push_back(std::move(file));
}

const V2Model* V2Models::find(const std::string& name) const {
  for (const auto& model : models_) {
    if (model->name == name) return model.get();
  }
  return nullptr;
}

int V2Models::take_device(const V2Model& model) {
  std::unique_lock<std::mutex> lock(turns_.mutex());
  const auto free_device = [&] {
    for (const int device : model.devices) {
      if (!turns_.busy(device)) return device;
    }
    return -1;
  };
  if (closed_) throw Unavailable("The server is shutting down");
  if (free_device() < 0) {
    if (waiting_[model.index] >= model.queue)
      throw QueueFull("Too many requests wait for model " + model.name + "; try again shortly");
    model.metrics->set_waiting(++waiting_[model.index]);
    turns_.changed().wait(lock, [&] { return closed_ || free_device() >= 0; });
    model.metrics->set_waiting(--waiting_[model.index]);
    if (closed_) throw Unavailable("The server is shutting down");
  }
  const int device = free_device();
  turns_.take(device);
  model.metrics->add_running(1);
  return device;
}

void V2Models::close() {
  {
    std::lock_guard<std::mutex> lock(turns_.mutex());
    closed_ = true;
  }
  turns_.wake();
}

std::vector<std::vector<uint8_t>> V2Models::run(const V2Model& model, size_t stage,
                                                const std::vector<std::vector<uint8_t>>& inputs) {
  const int device = take_device(model);
  struct GiveBack {
    const V2Model& model;
    DeviceTurns& turns;
    int device;
    ~GiveBack() {
      model.metrics->add_running(-1);
      turns.give_back(device);
    }
  } give_back{model, turns_, device};

  minirun::vexoruntime runtime = files_[model.file]->runtimes.at(device).get();
  minirun::vexoruntime_set_net_stage(runtime, model.net, stage);
  if (runtime->cur_net_idx != model.net || runtime->cur_stage_idx != stage)
    throw std::runtime_error("cannot select stage " + std::to_string(stage) + library_reason());
  for (size_t i = 0; i < inputs.size(); ++i) {
    // The runtime only reads the bytes while it uploads them.
    void* data = const_cast<uint8_t*>(inputs[i].data());
    minirun::vexoruntime_set_input_s2d(runtime, i, data, inputs[i].size());
    if (!minirun::vexoruntime_get_io_tensor(runtime, 'i', i)->is_in_device)
      throw std::runtime_error("cannot upload input " + std::to_string(i) + library_reason());
  }
  if (!minirun::vexoruntime_run_checked(runtime, true)) throw std::runtime_error("the run failed" + library_reason());
  std::vector<std::vector<uint8_t>> outputs;
  for (size_t i = 0; i < model.stages[stage].outputs.size(); ++i) {
    const minitensor::VexoTensor* record = minirun::vexoruntime_get_io_tensor(runtime, 'o', i);
    if (!record || !record->is_have_data || !record->data)
      throw std::runtime_error("the run gave no data for output " + std::to_string(i) + library_reason());
    const auto* bytes = static_cast<const uint8_t*>(record->data);
    outputs.emplace_back(bytes, bytes + record->size);
  }
  return outputs;
}

}  // namespace vexo::serve
