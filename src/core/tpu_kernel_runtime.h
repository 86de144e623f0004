// The device kernel module that a model file carries, loaded on the device,
// with its full-network functions resolved. One instance per loaded model.
#pragma once

#include <cstddef>

#include "bmlib_runtime.h"

namespace divudida {

class TPUKernelRuntimeSingleton {
 public:
  // Loads the module image `binary` of `size` bytes; the image is only needed
  // during construction.
  TPUKernelRuntimeSingleton(bm_context* handle, const char* binary, size_t size);
  ~TPUKernelRuntimeSingleton();
  TPUKernelRuntimeSingleton(const TPUKernelRuntimeSingleton&) = delete;
  TPUKernelRuntimeSingleton& operator=(const TPUKernelRuntimeSingleton&) = delete;

  void preload_funcs();
  // Calls function `func` with the launch record and returns when the device
  // has finished. A failed launch logs one error line and throws
  // minilog::LoggedError.
  void launch(int func, void* param, size_t param_size);

  tpu_kernel_module_t tpu_module = nullptr;
  bm_handle_t bm_handle = nullptr;
  tpu_kernel_function_t _multi_fullnet_func_id = -1;
  tpu_kernel_function_t _dynamic_fullnet_func_id = -1;
  tpu_kernel_function_t _enable_profile_func_id = -1;
  tpu_kernel_function_t _get_profile_func_id = -1;
};

}  // namespace divudida
