// A model opened through the general runtime, with the selection of a net
// and stage checked against the model's flat description before the
// runtime is asked.
#pragma once

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "externc/model_info_c.h"
#include "runtime/miniruntime.h"

namespace vexo::run_tool {

class RunModel {
 public:
  // Loads the model on the device, through the decryption plug-in when
  // decrypt_lib is not empty; a failed load throws vexo::tool::Failure.
  RunModel(const std::string& path, int device, const std::string& decrypt_lib);

  double load_seconds() const { return load_seconds_; }

  // Every net with its stages, each stage's inputs and outputs.
  void list(std::ostream& out) const;

  // The net called `net`, or else numbered `net`; throws when there is none.
  size_t find_net(const std::string& net) const;
  std::string net_name(size_t net) const { return description_->nets[net].name; }
  // Selects a stage of a net that find_net returned; an out-of-range stage
  // throws.
  void select(size_t net, size_t stage);

  minirun::vexoruntime runtime() const { return runtime_.get(); }
  // The records of the selected stage, in stage order.
  std::vector<minitensor::VexoTensor*> inputs() const { return records('i'); }
  std::vector<minitensor::VexoTensor*> outputs() const { return records('o'); }

 private:
  struct RuntimeDeleter {
    void operator()(minirun::VexoRuntime* runtime) const { minirun::vexoruntime_free(runtime); }
  };

  std::vector<minitensor::VexoTensor*> records(char io_type) const;

  std::unique_ptr<minirun::VexoRuntime, RuntimeDeleter> runtime_;
  const C_ModelInfo* description_ = nullptr;
  double load_seconds_ = 0;
};

}  // namespace vexo::run_tool
