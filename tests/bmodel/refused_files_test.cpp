// Files the container refuses while opening them: every public way of
// opening a model fails with the container's line, leaves nothing on the
// device, and the process goes on.
#include <gtest/gtest.h>

#include "bmodel_test_support.h"
#include "externc/model_info_c.h"
#include "llm/llmruntime.h"
#include "model_runs.h"
#include "runtime/miniruntime.h"
#include "samples/samples.h"

namespace {

using namespace vexo::samples;

struct Refused {
  std::string name;
  ModelSpec spec;
  std::string function;  // of the FATAL line
  std::string message;
  bool misaligned = false;
};

NetSpec legacy_pad(std::vector<StageSpec> stages) { return NetSpec{"pad", 0, std::move(stages), true}; }

StageSpec dynamic_pad(bool with_ir) {
  StageSpec stage = general_sample().nets[2].stages[0];
  stage.inputs[0].shape = {8};
  stage.is_dynamic = true;
  stage.groups.clear();
  if (with_ir) stage.ir = Bytes(16, 1);
  return stage;
}

std::vector<Refused> refused_files() {
  const StageSpec pad = general_sample().nets[2].stages[0];
  std::vector<Refused> files;
  ModelSpec mixed;
  mixed.nets.push_back(legacy_pad({pad, dynamic_pad(true)}));
  files.push_back({"mixed", mixed, "AddNet", "net[pad] cannot has dynamic and static at the same time"});
  ModelSpec no_ir;
  no_ir.nets.push_back(legacy_pad({dynamic_pad(false)}));
  files.push_back({"no_ir", no_ir, "update_net", "net_param->binary_ir() != NULL"});
  ModelSpec no_inputs;
  StageSpec without_inputs = pad;
  without_inputs.patch = [](bmodel::NetParameterT& p) { p.input_tensor.clear(); };
  no_inputs.nets.push_back(legacy_pad({without_inputs}));
  files.push_back({"no_inputs", no_inputs, "update_net",
                   "net_param->input_tensor() && net_param->input_tensor()->size() > 0"});
  files.push_back({"misaligned", general_sample(), "ModelCtx", "Model file[", true});
  return files;
}

}  // namespace

TEST(BmodelRefusedFiles, EveryEntryPointFailsCleanly) {
  vexotest::TempDir dir;
  vexotest::SimTrace trace(dir);
  for (const Refused& file : refused_files()) {
    SCOPED_TRACE(file.name);
    const std::string path = dir.path(file.name + ".bmodel");
    save_model(file.spec, path);
    if (file.misaligned) bmodel_test::write_file(path, bmodel_test::with_misaligned_dims(bmodel_test::read_file(path)));

    testing::internal::CaptureStdout();
    EXPECT_THROW(divudida::read_bmodel(path.c_str(), 0), std::runtime_error);
    EXPECT_EQ(minirun::vexoruntime_init(path.c_str(), 0), nullptr);
    EXPECT_EQ(get_model_info_p(path.c_str(), 0), nullptr);
    EXPECT_EQ(llmrun::llm_init(path.c_str(), 0), nullptr);
    const std::string log = testing::internal::GetCapturedStdout();
    // One FATAL line per attempt, each followed by a clean failure.
    size_t lines = 0;
    for (size_t at = log.find("] FATAL: " + file.message); at != std::string::npos;
         at = log.find("] FATAL: " + file.message, at + 1)) {
      ++lines;
    }
    EXPECT_EQ(lines, 4u) << log;
    EXPECT_TRUE(bmodel_test::has_line(log, file.function, file.message + (file.misaligned ? path + "] is broken." : "")))
        << log;
    if (file.misaligned) {
      EXPECT_TRUE(bmodel_test::has_line(log, "ModelCtx", "Chip: BM1684X")) << log;
    }
    if (!trace.events("open").empty()) {
      EXPECT_EQ(vexotest::live_at_close(trace), std::make_pair(int64_t{0}, int64_t{0}));
    }
  }
}
