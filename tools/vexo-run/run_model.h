// A model opened through the general runtime, described through the
// runtime's introspection functions (whole names, every dimension, any
// number of nets and tensors), with the selection of a net and stage checked
// before the runtime is asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "runtime/miniruntime.h"

namespace vexo::run_tool {

// A tensor of the selected stage: the model's description of it, and the
// runtime's record that holds its data (whose name and shape slots may be
// shorter than the description's).
struct StageTensor {
  std::string name;
  int dtype = 0;
  std::vector<uint64_t> shape;
  uint64_t size = 0;
  minitensor::VexoTensor* record = nullptr;
};

// Lists every net with its stages, each stage's inputs and outputs, as the
// model file describes them: nothing is loaded on a device. A file that
// cannot be read throws vexo::tool::Failure.
void list_model_file(const std::string& path, const std::string& decrypt_lib, std::ostream& out);

class RunModel {
 public:
  // Loads the model on the device, through the decryption plug-in when
  // decrypt_lib is not empty; a failed load throws vexo::tool::Failure.
  RunModel(const std::string& path, int device, const std::string& decrypt_lib);

  double load_seconds() const { return load_seconds_; }

  // The net called `net`, or else numbered `net`; throws when there is none.
  size_t find_net(const std::string& net) const;
  std::string net_name(size_t net) const;
  // Selects a stage of a net that find_net returned; an out-of-range stage
  // throws.
  void select(size_t net, size_t stage);

  minirun::vexoruntime runtime() const { return runtime_.get(); }
  // The tensors of the selected stage, in stage order.
  std::vector<StageTensor> inputs() const { return tensors('i'); }
  std::vector<StageTensor> outputs() const { return tensors('o'); }

 private:
  struct RuntimeDeleter {
    void operator()(minirun::VexoRuntime* runtime) const { minirun::vexoruntime_free(runtime); }
  };

  std::vector<StageTensor> tensors(char io_type) const;

  std::unique_ptr<minirun::VexoRuntime, RuntimeDeleter> runtime_;
  size_t net_count_ = 0;
  size_t selected_net_ = 0;
  size_t selected_stage_ = 0;
  double load_seconds_ = 0;
};

}  // namespace vexo::run_tool
