// The general networks served through the v2 inference protocol: every net
// of each general model file is a model, with one runtime of the file on
// each of its devices. Requests for a model wait (bounded) for one of its
// devices; every model on a device, language models too, takes turns
// there (DeviceTurns). Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "served_models.h"

namespace vexo::serve {

class DeviceTurns;
class Metrics;
class ModelMetrics;

// An input or output of a stage as the model describes it.
struct V2Tensor {
  std::string name;
  int dtype = 0;
  std::vector<int64_t> shape;
  uint64_t size = 0;  // bytes
};

struct V2Stage {
  std::vector<V2Tensor> inputs, outputs;
};

struct V2Model {
  std::string name;  // NAME, or NAME.net for a file of several nets
  size_t file = 0;   // index of the runtimes' file
  size_t net = 0;
  std::vector<V2Stage> stages;
  std::vector<int> devices;
  size_t index = 0;  // in V2Models::models()
  size_t queue = 0;  // requests that may wait for one of its devices
  ModelMetrics* metrics = nullptr;
};

class V2Models {
 public:
  V2Models(DeviceTurns& turns, Metrics& metrics);
  ~V2Models();

  // Loads the file on each device and adds its nets as models; a file that
  // cannot be loaded throws std::runtime_error. Call before serving.
  void add(const ModelSpec& spec);
  const V2Model* find(const std::string& name) const;
  const std::vector<std::unique_ptr<V2Model>>& models() const { return models_; }

  // Runs a stage of the model on one of its devices with the given input
  // bytes (in stage order, each of the input's size) and gives the output
  // bytes in stage order. Throws QueueFull when the model's waiting places
  // are taken, Unavailable once closed, std::runtime_error when the run
  // fails.
  std::vector<std::vector<uint8_t>> run(const V2Model& model, size_t stage,
                                        const std::vector<std::vector<uint8_t>>& inputs);
  // Refuses new runs and wakes those waiting with Unavailable.
  void close();

 private:
  struct File;
  int take_device(const V2Model& model);

  DeviceTurns& turns_;
  Metrics& metrics_;
  std::vector<std::unique_ptr<File>> files_;
  std::vector<std::unique_ptr<V2Model>> models_;
  std::vector<size_t> waiting_;  // per model, by V2Model::index; under the turns' lock
  bool closed_ = false;
};

}  // namespace vexo::serve
