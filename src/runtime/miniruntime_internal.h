// Stage records of the general runtime, shared with the language-model
// runtime inside the library (not exported).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/miniruntime.h"
#include "src/core/model_steps.h"
#include "src/utils/guard.h"

namespace minirun {

// Appends one record per input, then per output, of the stage: windows onto
// `io_device` at the stage's tensor addresses. Inputs start without device
// data, outputs with. False (records of this call released) when a record
// cannot be allocated.
bool vexoruntime_set_io_tensors(int device_id, bm_handle_t bm_handle, bm_device_mem_t io_device,
                                const divudida::StageInfo& stage_info, std::vector<VexoTensor*>& input_tensors,
                                std::vector<VexoTensor*>& output_tensors);
// Destroys the records (owned host buffers only) and empties the vector;
// the second form does so for every net's records.
void vexoruntime_free_tensor_vector(std::vector<VexoTensor*>& tensors);
void vexoruntime_free_tensor_vector(std::vector<std::vector<VexoTensor*>>& tensors);

// Opening and releasing the runtimes' states (VexoRuntime, LLMBase), one
// path for both: a state owns its description and its records.

// Releases a state: its records, its description, then the state itself.
template <typename State>
void release_state(State* state) {
  vexoruntime_free_tensor_vector(state->input_tensors);
  vexoruntime_free_tensor_vector(state->output_tensors);
  divudida::free_model(state->model_info);
  delete state;
}

// The decryption plug-in an *_init_decrypt function was given; a missing or
// empty one is refused with "<function>: no decryption plug-in given".
bool decryption_plugin_given(const char* function, const char* decrypt_lib);

// Loads a model into a new state and lets `complete(state)` build the rest
// (records, the selected stage, the checks of the nets). A failure anywhere
// releases everything taken and is `function`'s null, after one error line.
template <typename State, typename Complete>
State* open_state(const char* function, const char* model_path, int device_id, const std::string& decrypt_lib,
                  Complete&& complete) {
  struct Release {
    void operator()(State* state) const { release_state(state); }
  };
  return minilog::guarded(
      function,
      [&]() -> State* {
        std::unique_ptr<State, Release> state(new State());
        state->model_info = divudida::load_model(model_path, device_id, decrypt_lib);
        state->bm_handle = state->model_info.bm_handle;
        complete(*state);
        return state.release();
      },
      nullptr);
}

}  // namespace minirun
