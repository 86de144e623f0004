// Tensor records owned by the tool and tensor files read into them: the
// library checks each file against the tensor it is meant for.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "run_model.h"
#include "runtime/minitensor.h"

namespace vexo::run_tool {

using minitensor::VexoTensor;

struct RecordDeleter {
  void operator()(VexoTensor* record) const { minitensor::vexotensor_destroy(record); }
};
using Record = std::unique_ptr<VexoTensor, RecordDeleter>;

// "int32 [1, 4], 16 B": element type, shape and size.
std::string describe(int dtype, const std::vector<uint64_t>& shape, uint64_t size);
std::string describe(const StageTensor& tensor);

// The file name a tensor is saved under and compared with: its name, each
// character that has no place in a file name ('/', '\\', control
// characters, <>:"|?*) replaced by '_', then ".tensor".
std::string tensor_file_name(const std::string& tensor_name);

// Loads a tensor file meant for `target` (`role` names it in messages, e.g.
// "input 0 ids") into a new record like the target's record: same name,
// type, shape and size. A missing, short or non-matching file throws
// vexo::tool::Failure.
Record load_tensor_file(const std::string& path, const StageTensor& target, const std::string& role);

}  // namespace vexo::run_tool
