// The rule for null handles and pointers, over every exported function that
// takes one: the failure value after one error line, or, for the release
// functions, nothing at all. Also holds that the C++ headers' names are the
// C functions themselves.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "externc/model_api.h"
#include "externc/model_info_c.h"
#include "llm/llmruntime.h"
#include "runtime/miniruntime.h"
#include "runtime/minitensor.h"
#include "tensor_test_support.h"
#include "utils/datagen.h"
#include "utils/device.h"

namespace {

// One spelling, one function: the namespaces' names are using-declarations
// of the functions that vexo.h declares (the compiler sees each comparison
// as one of a function with itself, which is the point).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtautological-compare"
static_assert(&minirun::vexoruntime_init == &::vexoruntime_init);
static_assert(&minirun::vexoruntime_get_net_count == &::vexoruntime_get_net_count);
static_assert(&minitensor::vexotensor_create == &::vexotensor_create);
static_assert(&llmrun::llm_forward_first == &::llm_forward_first);
#pragma GCC diagnostic pop

using tensortest::errors_of;
using tensortest::printed;

struct Case {
  const char* function;
  std::function<long()> call;  // the result as a number; 0 for void functions
  long failure;                // the failure value it must return
  bool silent;                 // a release function: no line either
};

long as_number(const void* pointer) { return pointer ? 1 : 0; }

const bm_device_mem_t kNoMemory{};

const Case kCases[] = {
    {"vexotensor_init", [] { vexotensor_init(nullptr); return 0L; }, 0, false},
    {"vexotensor_set_device_mem", [] { vexotensor_set_device_mem(nullptr, kNoMemory, 0); return 0L; }, 0, false},
    {"vexotensor_set_device_mem_by_addr",
     [] { vexotensor_set_device_mem_by_addr(nullptr, kNoMemory, 0); return 0L; }, 0, false},
    {"vexotensor_set_data", [] { vexotensor_set_data(nullptr, nullptr, 0, false); return 0L; }, 0, false},
    {"vexotensor_sync", [] { vexotensor_sync(nullptr, true, true); return 0L; }, 0, false},
    {"vexotensor_show", [] { vexotensor_show(nullptr, 0, -1, 'd'); return 0L; }, 0, false},
    {"vexotensor_d2d_bytes_offset",
     [] { vexotensor_d2d_bytes_offset(nullptr, nullptr, nullptr, 0, 0, 0); return 0L; }, 0, false},
    {"vexotensor_s2d_bytes", [] { vexotensor_s2d_bytes(nullptr, nullptr, 0); return 0L; }, 0, false},
    {"vexotensor_save_data", [] { return long{vexotensor_save_data(nullptr, "x")}; }, 0, false},
    {"vexotensor_load_data", [] { return long{vexotensor_load_data(nullptr, "x")}; }, 0, false},
    {"vexotensor_destroy", [] { vexotensor_destroy(nullptr); return 0L; }, 0, true},
    {"vexotensor_free_device", [] { vexotensor_free_device(nullptr); return 0L; }, 0, true},

    {"vexoruntime_set_net_stage", [] { vexoruntime_set_net_stage(nullptr, 0, 0); return 0L; }, 0, false},
    {"vexoruntime_get_net_num", [] { return long(vexoruntime_get_net_num(nullptr, "net")); }, 0, false},
    {"vexoruntime_get_io_tensor", [] { return as_number(vexoruntime_get_io_tensor(nullptr, 'i', 0)); }, 0, false},
    {"vexoruntime_get_io_count", [] { return long(vexoruntime_get_io_count(nullptr, 'i')); }, 0, false},
    {"vexoruntime_set_input_s2d", [] { vexoruntime_set_input_s2d(nullptr, 0, nullptr, 0); return 0L; }, 0, false},
    {"vexoruntime_set_input_d2d", [] { vexoruntime_set_input_d2d(nullptr, 0, nullptr); return 0L; }, 0, false},
    {"vexoruntime_run", [] { vexoruntime_run(nullptr, true); return 0L; }, 0, false},
    {"vexoruntime_run_checked", [] { return long{vexoruntime_run_checked(nullptr, true)}; }, 0, false},
    {"vexoruntime_get_net_count", [] { return long(vexoruntime_get_net_count(nullptr)); }, 0, false},
    {"vexoruntime_get_net_name", [] { return as_number(vexoruntime_get_net_name(nullptr, 0)); }, 0, false},
    {"vexoruntime_get_stage_count", [] { return long(vexoruntime_get_stage_count(nullptr, 0)); }, 0, false},
    {"vexoruntime_get_tensor_count", [] { return long(vexoruntime_get_tensor_count(nullptr, 0, 0, 'i')); }, 0,
     false},
    {"vexoruntime_get_tensor_desc",
     [] { vexo_tensor_desc desc; return long{vexoruntime_get_tensor_desc(nullptr, 0, 0, 'i', 0, &desc)}; }, 0,
     false},
    {"vexoruntime_get_model_info", [] { return as_number(vexoruntime_get_model_info(nullptr)); }, 0, false},
    {"vexoruntime_free", [] { vexoruntime_free(nullptr); return 0L; }, 0, true},

    {"llm_get_seq_len", [] { return long(llm_get_seq_len(nullptr)); }, 0, false},
    {"llm_get_token_len", [] { return long(llm_get_token_len(nullptr)); }, 0, false},
    {"llm_forward_first", [] { int token = 1; return long{llm_forward_first(nullptr, &token, 1)}; }, -1, false},
    {"llm_forward_next", [] { return long{llm_forward_next(nullptr)}; }, -1, false},
    {"llm_get_num_layers", [] { return long(llm_get_num_layers(nullptr)); }, 0, false},
    {"llm_get_head_kind", [] { return long{llm_get_head_kind(nullptr)}; }, 0, false},
    {"llm_get_head_dtype", [] { return long{llm_get_head_dtype(nullptr)}; }, -1, false},
    {"llm_get_head_size", [] { return long(llm_get_head_size(nullptr)); }, 0, false},
    {"llm_forward_first_logits",
     [] { int token = 1; float logit; return long{llm_forward_first_logits(nullptr, &token, 1, &logit, 1)}; }, -1,
     false},
    {"llm_forward_next_logits",
     [] { float logit; return long{llm_forward_next_logits(nullptr, 1, &logit, 1)}; }, -1, false},
    {"llm_free", [] { llm_free(nullptr); return 0L; }, 0, true},

    {"move_to_device", [] { move_to_device(nullptr); return 0L; }, 0, false},
    {"compile_io_addr", [] { compile_io_addr(nullptr); return 0L; }, 0, false},
    {"fill_api_info", [] { fill_api_info(nullptr); return 0L; }, 0, false},
    {"run_model", [] { run_model(nullptr, 0, 0); return 0L; }, 0, false},
    {"free_model", [] { free_model(nullptr); return 0L; }, 0, true},
    {"convert_model_info", [] { return as_number(convert_model_info(nullptr)); }, 0, false},
    {"find_net_num", [] { return long{find_net_num(nullptr, "net")}; }, -1, false},
    {"free_handle", [] { free_handle(nullptr); return 0L; }, 0, true},
};

TEST(NullHandles, AreRefusedWithOneErrorLineAndTheFailureValue) {
  for (const Case& c : kCases) {
    long result = 0;
    const std::string out = printed([&] { result = c.call(); });
    const std::vector<std::string> errors = tensortest::texts_at(out, "[ERROR]  ");
    EXPECT_EQ(result, c.failure) << c.function;
    if (c.silent) {
      EXPECT_EQ(out, "") << c.function;
    } else {
      EXPECT_EQ(errors.size(), 1u) << c.function << " printed: " << out;
      EXPECT_NE(std::string(vexo_get_last_error()), "") << c.function;
    }
  }
}

}  // namespace
