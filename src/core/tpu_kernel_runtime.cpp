#include "src/core/tpu_kernel_runtime.h"

#include "formats/launch_format.h"
#include "src/utils/guard.h"
#include "src/utils/logs.h"

namespace divudida {

TPUKernelRuntimeSingleton::TPUKernelRuntimeSingleton(bm_context* handle, const char* binary, size_t size)
    : bm_handle(handle) {
  tpu_module = tpu_kernel_load_module(handle, binary, size);
  preload_funcs();
  minilog::log_info("tpu_kernel_module loaded from binary");
}

TPUKernelRuntimeSingleton::~TPUKernelRuntimeSingleton() {
  minilog::log_debug("TPUKernelRuntimeSingleton destructor");
  tpu_kernel_unload_module(bm_handle, tpu_module);
  tpu_module = nullptr;
  bm_handle = nullptr;
}

void TPUKernelRuntimeSingleton::preload_funcs() {
  namespace launch = vexofmt::launch;
  // The names are string literals, so data() ends in a NUL.
  _multi_fullnet_func_id = tpu_kernel_get_function(bm_handle, tpu_module, launch::kStaticFullnet.data());
  _dynamic_fullnet_func_id = tpu_kernel_get_function(bm_handle, tpu_module, launch::kDynamicFullnet.data());
  _enable_profile_func_id = tpu_kernel_get_function(bm_handle, tpu_module, launch::kSetProfile.data());
  _get_profile_func_id = tpu_kernel_get_function(bm_handle, tpu_module, launch::kGetProfileData.data());
  minilog::log_debug("preload funcs: ", _multi_fullnet_func_id, " ", _dynamic_fullnet_func_id, " ",
                     _enable_profile_func_id, " ", _get_profile_func_id);
}

void TPUKernelRuntimeSingleton::launch(int func, void* param, size_t param_size) {
  bm_thread_sync(bm_handle);
  // Input data and command streams can make a launch fail: the caller's
  // run fails, the process and the model stay usable.
  if (tpu_kernel_launch(bm_handle, func, param, param_size) != BM_SUCCESS) {
    minilog::fail_with("funcid   ", func, "   tpu_kernel_launch failed");
  }
  bm_thread_sync(bm_handle);
}

}  // namespace divudida
