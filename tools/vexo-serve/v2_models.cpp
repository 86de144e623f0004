#include "v2_models.h"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "common/tool.h"
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

V2Models::V2Models(size_t queue) : queue_(queue) {}
V2Models::~V2Models() = default;

V2ModelSpec parse_v2_model_spec(const std::string& text, const std::vector<int>& default_devices,
                                std::vector<int> (*parse_devices)(const std::string&)) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
    throw std::invalid_argument("bad model " + text + ": give NAME=PATH[,devices=0,1]");
  V2ModelSpec spec{text.substr(0, equals), text.substr(equals + 1), default_devices};
  const std::string option = ",devices=";
  if (const size_t at = spec.path.rfind(option); at != std::string::npos) {
    spec.devices = parse_devices(spec.path.substr(at + option.size()));
    spec.path.resize(at);
  }
  if (spec.name.find('/') != std::string::npos)
    throw std::invalid_argument("bad model " + text + ": a model's name holds no '/'");
  return spec;
}

void V2Models::add(const V2ModelSpec& spec) {
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
  std::unique_lock<std::mutex> lock(mutex_);
  const auto free_device = [&] {
    for (const int device : model.devices) {
      if (!busy_.count(device)) return device;
    }
    return -1;
  };
  if (closed_) throw Unavailable("The server is shutting down");
  if (free_device() < 0) {
    if (waiting_[model.index] >= queue_)
      throw QueueFull("Too many requests wait for model " + model.name + "; try again shortly");
    ++waiting_[model.index];
    freed_.wait(lock, [&] { return closed_ || free_device() >= 0; });
    --waiting_[model.index];
    if (closed_) throw Unavailable("The server is shutting down");
  }
  const int device = free_device();
  busy_.insert(device);
  return device;
}

void V2Models::give_back(int device) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_.erase(device);
  }
  freed_.notify_all();
}

void V2Models::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  freed_.notify_all();
}

std::vector<std::vector<uint8_t>> V2Models::run(const V2Model& model, size_t stage,
                                                const std::vector<std::vector<uint8_t>>& inputs) {
  const int device = take_device(model);
  struct GiveBack {
    V2Models& models;
    int device;
    ~GiveBack() { models.give_back(device); }
  } give_back{*this, device};

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
