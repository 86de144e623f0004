// The general runtime on the simulated device: real outputs of every net and
// stage of the general sample, what crosses between host and device (from
// the trace), and refused calls.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "llm/llmruntime.h"
#include "runtime/miniruntime.h"
#include "runtime_models.h"
#include "samples/samples.h"
#include "tensor_test_support.h"
#include "utils/datagen.h"

namespace {

using namespace minirun;
using tensortest::errors_of;
using tensortest::Lines;
using vexo::samples::bytes_of;
using vexo::samples::embed_row;
using vexotest::Bytes;

Bytes rows_of(const std::vector<uint32_t>& ids) {
  Bytes rows;
  for (uint32_t id : ids) {
    const Bytes row = embed_row(id);
    rows.insert(rows.end(), row.begin(), row.end());
  }
  return rows;
}

Bytes host_bytes(const VexoTensor* tensor) {
  const auto* first = static_cast<const uint8_t*>(tensor->data);
  return Bytes(first, first + tensor->size);
}

class Runtime : public ::testing::Test {
 protected:
  void SetUp() override { trace = std::make_unique<vexotest::SimTrace>(dir); }
  void TearDown() override {
    for (vexoruntime runtime : runtimes) vexoruntime_free(runtime);
  }
  vexoruntime open() {
    vexoruntime runtime = vexoruntime_init(path.c_str(), 0);
    EXPECT_NE(runtime, nullptr);
    runtimes.push_back(runtime);
    return runtime;
  }
  // Selects a stage, feeds its only input, runs it with download and
  // returns its outputs.
  std::vector<Bytes> run(vexoruntime runtime, size_t net, size_t stage, Bytes input) {
    vexoruntime_set_net_stage(runtime, net, stage);
    vexoruntime_set_input_s2d(runtime, 0, input.data(), input.size());
    vexoruntime_run(runtime, true);
    std::vector<Bytes> outputs;
    for (size_t i = 0; i < vexoruntime_get_io_count(runtime, 'o'); ++i) {
      const VexoTensor* output = vexoruntime_get_io_tensor(runtime, 'o', i);
      EXPECT_TRUE(output->is_have_data && output->is_malloc_host);
      outputs.push_back(host_bytes(output));
    }
    return outputs;
  }
  // Feeds the selected stage's only input and runs it, which must fail with
  // one error line and leave no output holding data on either side.
  void expect_failed_run(vexoruntime runtime, Bytes input, const std::string& line) {
    vexoruntime_set_input_s2d(runtime, 0, input.data(), input.size());
    bool ran = true;
    EXPECT_EQ(errors_of([&] { ran = vexoruntime_run_checked(runtime, true); }), Lines{line});
    EXPECT_FALSE(ran);
    for (size_t i = 0; i < vexoruntime_get_io_count(runtime, 'o'); ++i) {
      const VexoTensor* output = vexoruntime_get_io_tensor(runtime, 'o', i);
      EXPECT_FALSE(output->is_have_data || output->is_in_device) << i;
    }
  }

  vexotest::TempDir dir;
  std::unique_ptr<vexotest::SimTrace> trace;
  std::string path = runtimetest::save_general(dir);
  std::vector<vexoruntime> runtimes;
};

TEST_F(Runtime, OpensOnTheFirstStageWithRecordsOntoTheStagesBlock) {
  vexoruntime rt = open();
  ASSERT_NE(rt, nullptr);
  EXPECT_EQ(rt->cur_net_idx, 0u);
  EXPECT_EQ(rt->cur_stage_idx, 0u);
  EXPECT_EQ(rt->bm_handle, rt->model_info.bm_handle);
  EXPECT_EQ(vexoruntime_get_io_count(rt, 'i'), 1u);
  EXPECT_EQ(vexoruntime_get_io_count(rt, 'I'), 1u);
  EXPECT_EQ(vexoruntime_get_io_count(rt, 'o'), 2u);
  EXPECT_EQ(vexoruntime_get_io_count(rt, 'x'), 2u);

  const VexoTensor* ids = vexoruntime_get_io_tensor(rt, 'I', 0);
  const divudida::StageInfo& embed = rt->model_info.nets[0].stages[0];
  EXPECT_STREQ(ids->name, "ids");
  EXPECT_EQ(ids->dtype, BM_INT32);
  EXPECT_EQ(ids->dims, 1u);
  EXPECT_EQ(ids->shape[0], 1u);
  EXPECT_EQ(ids->size, 4u);
  EXPECT_EQ(ids->data, nullptr);
  EXPECT_FALSE(ids->is_in_device || ids->is_have_data || ids->is_malloc_host || ids->user_malloc);
  EXPECT_EQ(ids->bm_handle, rt->bm_handle);
  EXPECT_EQ(ids->device_id, 0);
  EXPECT_EQ(ids->addr, embed.input_tensor_global_addr[0]);
  EXPECT_EQ(ids->device_start, rt->model_info.neuron_device.u.device.device_addr);
  EXPECT_EQ(ids->device_size, rt->model_info.neuron_device.size);
  EXPECT_EQ(ids->offset, ids->addr - ids->device_start);
  const VexoTensor* rows = vexoruntime_get_io_tensor(rt, 'o', 0);
  EXPECT_STREQ(rows->name, "rows");
  EXPECT_EQ(rows->dims, 2u);
  EXPECT_EQ(rows->shape[0], 1u);
  EXPECT_EQ(rows->shape[1], 4u);
  EXPECT_EQ(rows->size, 8u);
  EXPECT_TRUE(rows->is_in_device);
  EXPECT_EQ(rows->addr, embed.output_tensor_global_addr[0]);

  // An io-alone stage's records are windows onto its own io area.
  vexoruntime_set_net_stage(rt, vexoruntime_get_net_num(rt, "reverse"), 1);
  const divudida::StageInfo& reverse = rt->model_info.nets[1].stages[1];
  const VexoTensor* in = vexoruntime_get_io_tensor(rt, 'i', 0);
  EXPECT_EQ(in->device_start, reverse.io_device.u.device.device_addr);
  EXPECT_EQ(in->device_size, reverse.io_device.size);
  EXPECT_EQ(in->addr, reverse.input_tensor_global_addr[0]);
  EXPECT_EQ(vexoruntime_get_io_tensor(rt, 'O', 0)->addr, reverse.output_tensor_global_addr[0]);

  EXPECT_EQ(vexoruntime_get_net_num(rt, "pad"), 2u);
  size_t unknown = 7;
  EXPECT_EQ(errors_of([&] { unknown = vexoruntime_get_net_num(rt, "nope"); }), Lines{"Net not found: nope"});
  EXPECT_EQ(unknown, 0u);
  EXPECT_EQ(errors_of([&] { vexoruntime_get_net_num(rt, nullptr); }), Lines{"Invalid runtime or net_name"});
}

TEST_F(Runtime, RunsEveryNetAndStageByteForByte) {
  vexoruntime rt = open();
  auto out = run(rt, 0, 1, bytes_of(std::vector<int32_t>{3, 0, 15, 7}));
  EXPECT_EQ(out[0], rows_of({3, 0, 15, 7}));
  EXPECT_EQ(out[1], bytes_of(std::vector<int32_t>{1, 1, 1, 1}));
  out = run(rt, 0, 0, bytes_of(std::vector<int32_t>{9}));
  EXPECT_EQ(out, (std::vector<Bytes>{embed_row(9), bytes_of(std::vector<int32_t>{1})}));
  out = run(rt, 2, 0, Bytes{1, 2, 3, 4});
  EXPECT_EQ(out, std::vector<Bytes>{(Bytes{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE})});
  out = run(rt, 1, 0, rows_of({1, 2, 3, 4}));
  EXPECT_EQ(out, std::vector<Bytes>{rows_of({4, 3, 2, 1})});
  out = run(rt, 1, 1, rows_of({5, 6}));
  EXPECT_EQ(out, std::vector<Bytes>{rows_of({6, 5})});

  // Without download the outputs' host side stays as it was.
  const size_t before = trace->size();
  vexoruntime_run(rt, false);
  const VexoTensor* reversed = vexoruntime_get_io_tensor(rt, 'o', 0);
  EXPECT_EQ(host_bytes(reversed), rows_of({6, 5}));
  vexoruntime_set_net_stage(rt, 2, 0);
  Bytes data{9, 8, 7, 6};
  vexoruntime_set_input_s2d(rt, 0, data.data(), data.size());
  vexoruntime_run(rt, false);
  const VexoTensor* padded = vexoruntime_get_io_tensor(rt, 'o', 0);
  EXPECT_EQ(padded->data, nullptr);
  EXPECT_FALSE(padded->is_have_data || padded->is_malloc_host);
  EXPECT_TRUE(trace->events_since(before, "d2s").empty());
}

TEST_F(Runtime, InputsAreUploadedOnceAcrossRuns) {
  vexoruntime rt = open();
  vexoruntime_set_net_stage(rt, 2, 0);
  VexoTensor* input = vexoruntime_get_io_tensor(rt, 'i', 0);
  const uint64_t input_addr = input->addr;
  const auto uploads_to_input = [&](size_t since) {
    size_t count = 0;
    for (const auto& event : trace->events_since(since, "s2d")) count += event["addr"] == input_addr;
    return count;
  };

  size_t mark = trace->size();
  Bytes data{1, 2, 3, 4};
  vexoruntime_set_input_s2d(rt, 0, data.data(), data.size());
  vexoruntime_run(rt, false);
  vexoruntime_run(rt, true);
  EXPECT_EQ(uploads_to_input(mark), 1u);
  EXPECT_EQ(trace->events_since(mark, "launch").size(), 2u);

  // Host data given to the record directly is uploaded by the first run only.
  vexoruntime_set_net_stage(rt, 2, 0);
  input = vexoruntime_get_io_tensor(rt, 'i', 0);
  EXPECT_FALSE(input->is_in_device);
  mark = trace->size();
  Bytes other{5, 6, 7, 8};
  minitensor::vexotensor_set_data(input, other.data(), other.size(), false);
  vexoruntime_run(rt, true);
  vexoruntime_run(rt, true);
  EXPECT_EQ(uploads_to_input(mark), 1u);
  EXPECT_EQ(host_bytes(vexoruntime_get_io_tensor(rt, 'o', 0)), (Bytes{5, 6, 7, 8, 0xEE, 0xEE, 0xEE, 0xEE}));

  // A fresh selection counts its inputs as not uploaded; without data the
  // stage still runs on what its block holds.
  vexoruntime_set_net_stage(rt, 2, 0);
  // The run goes on, so the line is a warning: it must not pass for the
  // reason of a failure.
  const std::string log = tensortest::printed([&] { EXPECT_TRUE(vexoruntime_run_checked(rt, true)); });
  EXPECT_EQ(tensortest::texts_at(log, "[WARNING]"), Lines{"No host data to sync to device"});
  EXPECT_EQ(tensortest::texts_at(log, "[ERROR]  "), Lines{});
  EXPECT_EQ(host_bytes(vexoruntime_get_io_tensor(rt, 'o', 0)), (Bytes{5, 6, 7, 8, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(Runtime, ChainsAnOutputIntoAnotherNetsInputOnTheDevice) {
  vexoruntime embed = open();
  vexoruntime reverse = open();
  vexoruntime_set_net_stage(embed, 0, 1);
  vexoruntime_set_net_stage(reverse, 1, 0);
  Bytes ids = bytes_of(std::vector<int32_t>{2, 4, 6, 8});
  vexoruntime_set_input_s2d(embed, 0, ids.data(), ids.size());
  vexoruntime_run(embed, false);

  const size_t mark = trace->size();
  const VexoTensor* rows = vexoruntime_get_io_tensor(embed, 'o', 0);
  const VexoTensor* input = vexoruntime_get_io_tensor(reverse, 'i', 0);
  vexoruntime_set_input_d2d(reverse, 0, const_cast<VexoTensor*>(rows));
  EXPECT_TRUE(input->is_in_device);
  vexoruntime_run(reverse, true);
  EXPECT_EQ(host_bytes(vexoruntime_get_io_tensor(reverse, 'o', 0)), rows_of({8, 6, 4, 2}));

  const auto copies = trace->events_since(mark, "d2d");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0]["src"], rows->addr);
  EXPECT_EQ(copies[0]["dst"], input->addr);
  EXPECT_EQ(copies[0]["size"], 32);
  EXPECT_TRUE(trace->events_since(mark, "s2d").empty());
  const auto downloads = trace->events_since(mark, "d2s");
  ASSERT_EQ(downloads.size(), 1u);
  EXPECT_EQ(downloads[0]["addr"], vexoruntime_get_io_tensor(reverse, 'o', 0)->addr);
}

TEST_F(Runtime, RefusesBadIndicesAndKeepsTheSelection) {
  vexoruntime rt = open();
  vexoruntime_set_net_stage(rt, 0, 1);
  VexoTensor* ids = vexoruntime_get_io_tensor(rt, 'i', 0);
  const size_t mark = trace->size();
  EXPECT_EQ(errors_of([&] { vexoruntime_set_net_stage(rt, 3, 0); }),
            Lines{"Net index 3 is out of range: the model has 3 nets"});
  EXPECT_EQ(errors_of([&] { vexoruntime_set_net_stage(rt, 0, 2); }),
            Lines{"Stage index 2 is out of range: net[embed] has 2 stages"});
  EXPECT_EQ(rt->cur_net_idx, 0u);
  EXPECT_EQ(rt->cur_stage_idx, 1u);
  EXPECT_EQ(vexoruntime_get_io_tensor(rt, 'i', 0), ids);

  VexoTensor* found = ids;
  EXPECT_EQ(errors_of([&] { found = vexoruntime_get_io_tensor(rt, 'i', 1); }),
            Lines{"Tensor index 1 is out of range: the stage has 1 inputs"});
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(errors_of([&] { found = vexoruntime_get_io_tensor(rt, 'o', 2); }),
            Lines{"Tensor index 2 is out of range: the stage has 2 outputs"});
  EXPECT_EQ(errors_of([&] { found = vexoruntime_get_io_tensor(rt, 'x', 0); }), Lines{"Invalid io_type"});
  EXPECT_EQ(found, nullptr);
  Bytes data(16);
  EXPECT_EQ(errors_of([&] { vexoruntime_set_input_s2d(rt, 1, data.data(), data.size()); }),
            Lines{"Tensor index 1 is out of range: the stage has 1 inputs"});
  EXPECT_EQ(errors_of([&] { vexoruntime_set_input_d2d(rt, 1, ids); }),
            Lines{"Tensor index 1 is out of range: the stage has 1 inputs"});
  EXPECT_TRUE(trace->events_since(mark, "s2d").empty());
  EXPECT_TRUE(trace->events_since(mark, "d2d").empty());
}

TEST_F(Runtime, RefusedInputsStayNotUploaded) {
  vexoruntime rt = open();
  VexoTensor* ids = vexoruntime_get_io_tensor(rt, 'i', 0);
  const size_t mark = trace->size();
  Bytes wrong(8);
  EXPECT_EQ(errors_of([&] { vexoruntime_set_input_s2d(rt, 0, wrong.data(), wrong.size()); }), Lines{"Size mismatch"});
  EXPECT_EQ(errors_of([&] { vexoruntime_set_input_d2d(rt, 0, nullptr); }), Lines{"[d2d_bytes_offset] Invalid tensor"});

  VexoTensor* empty = minitensor::vexotensor_malloc_device(rt->bm_handle, 4);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(errors_of([&] { vexoruntime_set_input_d2d(rt, 0, empty); }), Lines{"[d2d_bytes_offset] Invalid tensor"});
  VexoTensor* larger = minitensor::vexotensor_malloc_device(rt->bm_handle, 8);
  ASSERT_NE(larger, nullptr);
  larger->is_in_device = true;
  EXPECT_EQ(errors_of([&] { vexoruntime_set_input_d2d(rt, 0, larger); }),
            Lines{"Source tensor of 8 bytes does not fit input[0] of 4 bytes"});
  EXPECT_FALSE(ids->is_in_device || ids->is_have_data);
  EXPECT_TRUE(trace->events_since(mark, "s2d").empty());
  EXPECT_TRUE(trace->events_since(mark, "d2d").empty());
  minitensor::vexotensor_free_device(empty);
  minitensor::vexotensor_free_device(larger);
}

TEST_F(Runtime, NullRuntimesAreRefused) {
  Bytes data(4);
  EXPECT_EQ(errors_of([&] { vexoruntime_run(nullptr, true); }), Lines{"Invalid runtime"});
  EXPECT_EQ(errors_of([&] { vexoruntime_set_input_s2d(nullptr, 0, data.data(), 4); }), Lines{"Invalid runtime"});
  EXPECT_EQ(errors_of([&] { vexoruntime_set_input_d2d(nullptr, 0, nullptr); }), Lines{"Invalid runtime"});
  EXPECT_EQ(errors_of([&] { vexoruntime_get_net_num(nullptr, "embed"); }), Lines{"Invalid runtime or net_name"});
  EXPECT_EQ(errors_of([&] { EXPECT_EQ(vexoruntime_get_io_tensor(nullptr, 'i', 0), nullptr); }),
            Lines{"Invalid runtime"});
  EXPECT_EQ(errors_of([&] { EXPECT_EQ(vexoruntime_get_io_count(nullptr, 'i'), 0u); }), Lines{"Invalid runtime"});
  EXPECT_EQ(errors_of([&] { vexoruntime_set_net_stage(nullptr, 0, 0); }), Lines{"Invalid runtime"});
  // Releasing nothing is no error, as free(NULL) is none.
  EXPECT_EQ(tensortest::printed([] { vexoruntime_free(nullptr); }), "");
}

TEST_F(Runtime, InitReturnsNullForFilesThatDoNotLoad) {
  EXPECT_EQ(vexoruntime_init(dir.path("missing.bmodel").c_str(), 0), nullptr);
  const std::string garbage = dir.path("garbage.bmodel");
  vexotest::set_env("VEXO_SIM_FAIL_MALLOC", "3");
  std::FILE* file = std::fopen(garbage.c_str(), "wb");
  std::fputs("not a model", file);
  std::fclose(file);
  EXPECT_EQ(vexoruntime_init(garbage.c_str(), 0), nullptr);
  EXPECT_TRUE(trace->events("open").empty());

  // A model that fails half way through placement leaves nothing behind.
  EXPECT_EQ(vexoruntime_init(path.c_str(), 0), nullptr);
  const auto mallocs = trace->events("malloc");
  ASSERT_EQ(mallocs.size(), 3u);
  EXPECT_EQ(mallocs[2]["status"], BM_ERR_NOMEM);
  const auto closes = trace->events("close");
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0]["live_allocations"], 0);
  EXPECT_EQ(closes[0]["live_bytes"], 0);
}

// The model container's own refusal reaches the C caller as the reason of
// one failure: its broken-file line, not the information lines after it.
TEST_F(Runtime, AContainerRefusalIsTheReasonTheCallerReads) {
  std::ifstream in(path, std::ios::binary);
  std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An absurd length of the net name "embed": verification fails while the
  // version, chip and date stay readable.
  const std::string needle("\x05\0\0\0embed", 9);
  const size_t at = image.find(needle);
  ASSERT_NE(at, std::string::npos);
  image[at + 3] = 0x70;
  const std::string broken = dir.path("broken.bmodel");
  std::ofstream(broken, std::ios::binary) << image;

  const std::string reason = "Failed to open model file[" + broken + "]: Model file[" + broken + "] is broken.";
  for (const auto& open : {+[](const char* file) -> void* { return vexoruntime_init(file, 0); },
                           +[](const char* file) -> void* { return llm_init(file, 0); }}) {
    EXPECT_EQ(errors_of([&] { EXPECT_EQ(open(broken.c_str()), nullptr); }), Lines{reason});
    EXPECT_EQ(std::string(vexo_get_last_error()), reason);
  }
  EXPECT_TRUE(trace->events("open").empty());
}

// Inputs have at most 8 dimensions (launch records have room for no more);
// outputs may have more.
TEST_F(Runtime, RecordsCutLongNamesAndKeepEightOfNineExtents) {
  const std::string long_name(200, 'n');
  path = runtimetest::save_nets(dir, "deep.bmodel",
                                {runtimetest::copy_net("deep", {runtimetest::u8_tensor(long_name, {1}, 0)},
                                                       runtimetest::u8_tensor(long_name, {1, 2, 1, 1, 1, 1, 1, 3, 2}, 1))});
  vexoruntime rt = open();
  ASSERT_NE(rt, nullptr);
  EXPECT_EQ(std::string(vexoruntime_get_io_tensor(rt, 'i', 0)->name), long_name.substr(0, 127));
  const VexoTensor* output = vexoruntime_get_io_tensor(rt, 'o', 0);
  EXPECT_EQ(std::string(output->name), long_name.substr(0, 127));
  EXPECT_EQ(output->dims, 9u);
  const uint64_t first_eight[] = {1, 2, 1, 1, 1, 1, 1, 3};
  EXPECT_TRUE(std::equal(std::begin(first_eight), std::end(first_eight), output->shape));
  EXPECT_EQ(output->size, 12u);
}

// An id outside the 16-row table makes the device refuse the launch: the
// run fails with one error line, no output passes for its result, and the
// next run of the same runtime computes its bytes.
TEST_F(Runtime, ARefusedLaunchFailsTheRunAndLaterRunsProceed) {
  vexoruntime rt = open();
  Bytes good = bytes_of(std::vector<int32_t>{3, 0, 15, 7});
  EXPECT_EQ(run(rt, 0, 1, good)[0], rows_of({3, 0, 15, 7}));

  Bytes bad = bytes_of(std::vector<int32_t>{3, 16, 0, 0});
  expect_failed_run(rt, bad, "funcid   1   tpu_kernel_launch failed");
  // An output of a failed run cannot feed another stage.
  vexoruntime other = open();
  vexoruntime_set_net_stage(other, 0, 1);
  vexoruntime_set_input_s2d(other, 0, bad.data(), bad.size());
  EXPECT_EQ(errors_of([&] { vexoruntime_run(other, false); }), Lines{"funcid   1   tpu_kernel_launch failed"});
  vexoruntime_set_net_stage(rt, 1, 0);
  EXPECT_EQ(errors_of([&] { vexoruntime_set_input_d2d(rt, 0, vexoruntime_get_io_tensor(other, 'o', 0)); }),
            Lines{"[d2d_bytes_offset] Invalid tensor"});

  EXPECT_EQ(run(rt, 0, 1, good)[0], rows_of({3, 0, 15, 7}));
  vexoruntime_set_net_stage(other, 0, 1);
  vexoruntime_set_input_s2d(other, 0, good.data(), good.size());
  EXPECT_TRUE(vexoruntime_run_checked(other, true));
  EXPECT_EQ(host_bytes(vexoruntime_get_io_tensor(other, 'o', 0)), rows_of({3, 0, 15, 7}));
  EXPECT_EQ(errors_of([&] { EXPECT_FALSE(vexoruntime_run_checked(nullptr, true)); }), Lines{"Invalid runtime"});
}

// Loading the general sample makes 12 copies; the first run below 3 more,
// the second fails at its first download (copy 17).
TEST_F(Runtime, AFailedDownloadFailsTheRunAndLeavesNoStaleOutput) {
  vexotest::set_env("VEXO_SIM_FAIL_COPY", "17");
  vexoruntime rt = open();
  EXPECT_EQ(trace->events("s2d").size(), 12u);
  EXPECT_EQ(run(rt, 0, 1, bytes_of(std::vector<int32_t>{3, 0, 15, 7}))[0], rows_of({3, 0, 15, 7}));
  expect_failed_run(rt, bytes_of(std::vector<int32_t>{1, 2, 4, 8}), "Failed to download tensor data, status: 2");
  EXPECT_TRUE(vexoruntime_run_checked(rt, true));
  EXPECT_EQ(host_bytes(vexoruntime_get_io_tensor(rt, 'o', 0)), rows_of({1, 2, 4, 8}));
}

}  // namespace
