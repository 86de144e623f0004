#include "externc/model_api.h"

#include "src/core/model_steps.h"
#include "src/utils/guard.h"

namespace {

// Runs one step on a description; a failure is one error line.
template <typename Step>
void run_step(const char* name, divudida::ModelInfo* model_info_p, Step step) {
  if (!minilog::present(model_info_p, name, "model description")) return;
  minilog::guarded(name, [&] { step(*model_info_p); });
}

}  // namespace

extern "C" {

void move_to_device(divudida::ModelInfo* model_info_p) {
  run_step("move_to_device", model_info_p, [](divudida::ModelInfo& m) { divudida::move_to_device(m); });
}

void compile_io_addr(divudida::ModelInfo* model_info_p) {
  run_step("compile_io_addr", model_info_p, [](divudida::ModelInfo& m) { divudida::compile_io_addr(m); });
}

void fill_api_info(divudida::ModelInfo* model_info_p) {
  run_step("fill_api_info", model_info_p, [](divudida::ModelInfo& m) { divudida::fill_api_info(m); });
}

void run_model(divudida::ModelInfo* model_info_p, size_t net_idx, size_t stage_idx) {
  run_step("run_model", model_info_p,
          [=](divudida::ModelInfo& m) { divudida::run_model(m, net_idx, stage_idx); });
}

void free_model(divudida::ModelInfo* model_info_p) {
  if (model_info_p) divudida::free_model(*model_info_p);
}
}
