// Running stages of a loaded model by hand: inputs written straight to their
// device addresses, outputs read back from theirs.
#pragma once

#include <string>
#include <vector>

#include "src/core/model_steps.h"
#include "samples/model_builder.h"
#include "test_support.h"

namespace vexotest {

// Writes the inputs of a stage, runs it and returns its outputs.
std::vector<Bytes> run_stage(divudida::ModelInfo& model, size_t net, size_t stage, const std::vector<Bytes>& inputs);

// Saves a model with one net of one stage into `dir` and returns its path.
std::string save_single_stage(const TempDir& dir, const vexo::samples::StageSpec& stage,
                              int32_t addr_mode = 0);

// Counts the device memory the trace shows still allocated when the last
// handle closed: {live allocations, live bytes}.
std::pair<int64_t, int64_t> live_at_close(const SimTrace& trace);

}  // namespace vexotest
