// The general runtime: opens a model on a device, selects a net and stage,
// feeds the stage's inputs from host memory or from other device tensors,
// runs it and hands out its outputs, all through tensor records that are
// windows onto the stage's device block.
#pragma once

#include <cstddef>
#include <vector>

#include "runtime/divudida.h"
#include "runtime/minitensor.h"
#include "vexo.h"

namespace minirun {

using minitensor::VexoTensor;
using minitensor::vexotensor;

struct VexoRuntime {
  bm_handle_t bm_handle = nullptr;  // the model's, copied after loading
  int device_id = 0;
  divudida::ModelInfo model_info;  // owned
  size_t cur_net_idx = 0;
  size_t cur_stage_idx = 0;
  // One record per input and output of the selected stage, in stage order;
  // owned, rebuilt by every selection.
  std::vector<VexoTensor*> input_tensors;
  std::vector<VexoTensor*> output_tensors;
};
typedef VexoRuntime* vexoruntime;

// The general runtime's C functions, declared in vexo.h: a null runtime and
// out-of-range indices are refused with one error line (see docs/runtime.md).
using ::vexoruntime_free;
using ::vexoruntime_get_io_count;
using ::vexoruntime_get_io_tensor;
using ::vexoruntime_get_model_info;
using ::vexoruntime_get_net_count;
using ::vexoruntime_get_net_name;
using ::vexoruntime_get_net_num;
using ::vexoruntime_get_stage_count;
using ::vexoruntime_get_tensor_count;
using ::vexoruntime_get_tensor_desc;
using ::vexoruntime_init;
using ::vexoruntime_init_decrypt;
using ::vexoruntime_run;
using ::vexoruntime_run_checked;
using ::vexoruntime_set_input_d2d;
using ::vexoruntime_set_input_s2d;
using ::vexoruntime_set_net_stage;

}  // namespace minirun
