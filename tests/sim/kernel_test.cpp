// Kernel modules, launches, and the command streams that the static
// full-network function walks and executes.
#include <cstring>

#include "sim_test_support.h"

namespace simtest {
namespace {

uint64_t addr_of(const bm_device_mem_t& mem) { return mem.u.device.device_addr; }

bm_status_t launch(bm_handle_t handle, int id, Bytes record) {
  return tpu_kernel_launch(handle, id, record.data(), record.size());
}

// The walked-command counts at the end of the trace's last launch line.
std::string last_counts(const std::string& trace) {
  const std::vector<std::string> lines = read_lines(trace);
  for (auto line = lines.rbegin(); line != lines.rend(); ++line)
    if (line->find("\"op\":\"launch\"") != std::string::npos) return line->substr(line->find("\"bdc\""));
  return "";
}

TEST(SimModules, LoadResolveAndUnload) {
  Handle handle;
  const tpu_kernel_module_t empty = tpu_kernel_load_module(handle, nullptr, 0);
  const char image[] = "any bytes at all";
  const tpu_kernel_module_t module = tpu_kernel_load_module(handle, image, sizeof image);
  ASSERT_NE(empty, nullptr);
  ASSERT_NE(module, nullptr);
  EXPECT_NE(empty, module);
  EXPECT_EQ(tpu_kernel_get_function(handle, module, "sg_api_multi_fullnet"), 1);
  EXPECT_EQ(tpu_kernel_get_function(handle, module, "sg_api_dynamic_fullnet"), 2);
  EXPECT_EQ(tpu_kernel_get_function(handle, empty, "sg_api_set_profile"), 3);
  EXPECT_EQ(tpu_kernel_get_function(handle, module, "sg_api_get_profile_data"), 4);
  EXPECT_EQ(tpu_kernel_get_function(handle, module, "sg_api_multi_fullnet2"), -1);
  EXPECT_EQ(tpu_kernel_get_function(handle, module, nullptr), -1);

  Handle second_handle;  // modules belong to the device, not to one handle
  EXPECT_EQ(tpu_kernel_unload_module(second_handle, module), BM_SUCCESS);
  EXPECT_EQ(tpu_kernel_unload_module(handle, module), BM_ERR_PARAM);
  EXPECT_EQ(tpu_kernel_get_function(handle, module, "sg_api_multi_fullnet"), -1);
  EXPECT_EQ(tpu_kernel_unload_module(handle, nullptr), BM_ERR_PARAM);
  EXPECT_EQ(tpu_kernel_unload_module(handle, empty), BM_SUCCESS);
}

TEST(SimLaunch, UnknownFunctionsAndProfileFunctions) {
  Handle handle;
  EXPECT_EQ(tpu_kernel_launch(handle, 3, nullptr, 0), BM_SUCCESS);
  EXPECT_EQ(tpu_kernel_launch(handle, 4, nullptr, 0), BM_SUCCESS);
  EXPECT_EQ(tpu_kernel_launch(handle, 0, nullptr, 0), BM_ERR_PARAM);
  EXPECT_EQ(tpu_kernel_launch(handle, 5, nullptr, 0), BM_ERR_PARAM);
  EXPECT_EQ(tpu_kernel_launch(handle, -1, nullptr, 0), BM_ERR_PARAM);
  EXPECT_EQ(tpu_kernel_launch(handle, 1, nullptr, 28), BM_ERR_PARAM);
}

TEST(SimStaticFullnet, ParameterSizeMustBeExact) {
  Handle handle;
  EXPECT_EQ(launch(handle, kStaticFullnet, static_record({}, {}, 0, 0, {})), BM_SUCCESS);
  const bm_device_mem_t io = alloc(handle, 4096);
  const Bytes record = static_record({addr_of(io), addr_of(io)}, {addr_of(io)}, 0, 0, {{0, 0}, {0, 0}, {0, 0}});
  ASSERT_EQ(record.size(), 28u + 60u + 48u);
  EXPECT_EQ(launch(handle, kStaticFullnet, record), BM_SUCCESS);

  Bytes longer = record;
  longer.push_back(0);
  EXPECT_EQ(launch(handle, kStaticFullnet, longer), BM_ERR_FAILURE);
  EXPECT_EQ(launch(handle, kStaticFullnet, Bytes(record.begin(), record.end() - 1)), BM_ERR_FAILURE);
  for (size_t cut : {0, 3, 4, 44, 67, 84}) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(launch(handle, kStaticFullnet, Bytes(record.begin(), record.begin() + cut)), BM_ERR_FAILURE);
  }
  // Counts that claim far more entries than the record holds.
  Bytes huge = record;
  std::memset(huge.data(), 0xFF, 4);
  EXPECT_EQ(launch(handle, kStaticFullnet, huge), BM_ERR_FAILURE);
  Bytes many_groups = record;
  std::memset(many_groups.data() + 84, 0xFF, 4);
  EXPECT_EQ(launch(handle, kStaticFullnet, many_groups), BM_ERR_FAILURE);
}

TEST(SimBdcWalk, LengthsFromTheTableAndGroupPadding) {
  const std::string trace = fresh_temp_path("trace");
  set_env("VEXO_SIM_TRACE", trace);
  Handle handle;
  // Each command is given with the length the walk must find for it (the
  // last of a group padded); the filler behind each head reads as an invalid
  // command, so a walk that strays fails.
  const Bytes group0 = concat({
      bdc_cmd(true, 12, 0, 16), bdc_cmd(false, 15, 0, 16), bdc_cmd(false, 7, 0, 128),
      bdc_cmd(true, 0, 0, 64), bdc_cmd(true, 1, 0, 64), bdc_cmd(true, 6, 0, 48),
      bdc_cmd(true, 13, 0, 48), bdc_cmd(true, 14, 0, 48), bdc_cmd(true, 4, 0, 32),
      bdc_cmd(true, 5, 0, 32), bdc_cmd(true, 9, 0, 32), bdc_cmd(true, 10, 0, 32),
      bdc_cmd(true, 2, 4, 32), bdc_cmd(true, 2, 3, 48), bdc_cmd(true, 3, 24, 16),
      bdc_cmd(true, 3, 25, 16), bdc_cmd(true, 3, 5, 64),
      bdc_cmd(true, 12, 0, 32),  // 16 bytes at offset 736, padded to the 768 boundary
  });
  // The last command at offset 208 grows from 32 to 48 bytes; at 224 it keeps 32.
  const Bytes group1 = concat({bdc_cmd(true, 0, 0, 64), bdc_cmd(true, 1, 0, 64), bdc_cmd(true, 3, 5, 64),
                               bdc_cmd(true, 12, 0, 16), bdc_cmd(true, 4, 0, 48)});
  const Bytes group2 = concat({bdc_cmd(false, 1, 0, 128), bdc_cmd(true, 0, 0, 64), bdc_cmd(true, 5, 0, 32),
                               bdc_cmd(true, 5, 0, 32)});
  ASSERT_EQ(group0.size(), 768u);
  const Bytes stream = concat({group0, group1, group2});
  const bm_device_mem_t buffer = alloc(handle, static_cast<unsigned>(stream.size()));
  upload(handle, addr_of(buffer), stream);

  EXPECT_EQ(launch(handle, kStaticFullnet, static_record({}, {}, addr_of(buffer), 0, {{18, 0}, {5, 0}, {4, 0}})),
            BM_SUCCESS);
  EXPECT_EQ(last_counts(trace), "\"bdc\":27,\"gdma\":0}");
  // One command more runs past the end of the buffer's area.
  EXPECT_EQ(launch(handle, kStaticFullnet, static_record({}, {}, addr_of(buffer), 0, {{18, 0}, {5, 0}, {5, 0}})),
            BM_ERR_FAILURE);
}

TEST(SimBdcWalk, CommandWithoutLengthFailsTheLaunch) {
  Handle handle;
  const bm_device_mem_t buffer = alloc(handle, 256);
  for (uint32_t tsk : {7, 8, 11}) {
    SCOPED_TRACE(tsk);
    upload(handle, addr_of(buffer), concat({bdc_cmd(true, 0, 0, 64), bdc_cmd(true, tsk, 0, 64)}));
    EXPECT_EQ(launch(handle, kStaticFullnet, static_record({}, {}, addr_of(buffer), 0, {{2, 0}})), BM_ERR_FAILURE);
  }
}

class SimGdma : public testing::Test {
 protected:
  // Two adjacent areas: `a` holds 1..256, `b` holds zeros.
  void SetUp() override {
    a_ = addr_of(alloc(handle_, 4096));
    b_ = addr_of(alloc(handle_, 4096));
    ASSERT_EQ(b_, a_ + 4096);
    upload(handle_, a_, concat({sequence(256), Bytes(4096 - 256, 0)}));
    upload(handle_, b_, Bytes(4096, 0));
  }

  void expect_b_untouched() { EXPECT_EQ(download(handle_, b_, 4096), Bytes(4096, 0)); }

  static std::string enable_trace() {
    const std::string path = fresh_temp_path("trace");
    set_env("VEXO_SIM_TRACE", path);
    return path;
  }

  const std::string trace_ = enable_trace();  // before the handle: read at the first request
  Handle handle_;
  uint64_t a_ = 0;
  uint64_t b_ = 0;
};

TEST_F(SimGdma, CopyMovesBytesAndAllowsOverlap) {
  ASSERT_EQ(run_gdma(handle_, {copy_cmd(a_ + 10, b_, 100)}), BM_SUCCESS);
  EXPECT_EQ(download(handle_, b_, 101), concat({sequence(100, 11), Bytes(1, 0)}));

  ASSERT_EQ(run_gdma(handle_, {copy_cmd(a_, a_ + 4, 16)}), BM_SUCCESS);
  EXPECT_EQ(download(handle_, a_, 20), concat({sequence(4), sequence(16)}));
  ASSERT_EQ(run_gdma(handle_, {copy_cmd(a_ + 4, a_, 16)}), BM_SUCCESS);
  EXPECT_EQ(download(handle_, a_, 16), sequence(16));

  Gdma rows = copy_cmd(a_, b_ + 1000, 0);  // count x unit bytes
  rows.count = 3;
  rows.unit = 5;
  ASSERT_EQ(run_gdma(handle_, {rows}), BM_SUCCESS);
  EXPECT_EQ(download(handle_, b_ + 1000, 16), concat({sequence(15), Bytes(1, 0)}));
}

TEST_F(SimGdma, ConstFillRepeatsThePatternAndCutsTheLastRepetition) {
  ASSERT_EQ(run_gdma(handle_, {fill_cmd(0x44332211, b_ + 1, 3, 3)}), BM_SUCCESS);
  EXPECT_EQ(download(handle_, b_, 11), (Bytes{0, 0x11, 0x22, 0x33, 0x44, 0x11, 0x22, 0x33, 0x44, 0x11, 0}));
  ASSERT_EQ(run_gdma(handle_, {fill_cmd(0xDDCCBBAA, b_, 1000, 4)}), BM_SUCCESS);
  const Bytes filled = download(handle_, b_, 4001);
  for (size_t i = 0; i < 4000; ++i) ASSERT_EQ(filled[i], 0xAA + 0x11 * (i % 4)) << i;
  EXPECT_EQ(filled[4000], 0);
  EXPECT_EQ(run_gdma(handle_, {fill_cmd(0, b_ + 4000, 97, 1)}), BM_ERR_FAILURE);
}

TEST_F(SimGdma, GatherAndScatterFollowTheIndices) {
  // Table: 4 rows of 8 bytes at a_; indices at b_ + 2048.
  Record indices;
  indices.u32(2).u32(0).u32(3).u32(2);
  upload(handle_, b_ + 2048, indices.bytes);
  ASSERT_EQ(run_gdma(handle_, {gather_cmd(a_, b_, b_ + 2048, 4, 8, 4)}), BM_SUCCESS);
  EXPECT_EQ(download(handle_, b_, 32), concat({sequence(8, 17), sequence(8, 1), sequence(8, 25), sequence(8, 17)}));

  // Scatter rows 0..2 of a_ to rows 2, 0, 3 of a table at b_ + 512.
  ASSERT_EQ(run_gdma(handle_, {scatter_cmd(a_, b_ + 512, b_ + 2048, 3, 8, 4)}), BM_SUCCESS);
  EXPECT_EQ(download(handle_, b_ + 512, 32), concat({sequence(8, 9), Bytes(8, 0), sequence(8, 1), sequence(8, 17)}));
}

TEST_F(SimGdma, GatherUsesTheIndicesItStartedWith) {
  // The first row written covers both indices; read afterwards, the second
  // would be 0x18171615, far beyond the limit.
  Record indices;
  indices.u32(1).u32(0);
  upload(handle_, b_, indices.bytes);
  ASSERT_EQ(run_gdma(handle_, {gather_cmd(a_ + 8, b_, b_, 2, 8, 2)}), BM_SUCCESS);
  EXPECT_EQ(download(handle_, b_, 16), concat({sequence(8, 17), sequence(8, 9)}));
}

TEST_F(SimGdma, IndexOutsideItsLimitFailsWithoutEffect) {
  for (const int32_t bad : {4, -1, INT32_MIN}) {
    SCOPED_TRACE(bad);
    Record indices;
    indices.u32(1).u32(static_cast<uint32_t>(bad));
    upload(handle_, b_ + 2048, indices.bytes);
    EXPECT_EQ(run_gdma(handle_, {gather_cmd(a_, b_, b_ + 2048, 2, 8, 4)}), BM_ERR_FAILURE);
    EXPECT_EQ(run_gdma(handle_, {scatter_cmd(a_, b_, b_ + 2048, 2, 8, 4)}), BM_ERR_FAILURE);
    EXPECT_EQ(download(handle_, b_, 2048), Bytes(2048, 0));
  }
}

TEST_F(SimGdma, RangesOutsideOneLiveAreaFail) {
  const uint64_t gap = b_ + 64 * 4096;  // never allocated
  Record index;
  index.u32(511);
  upload(handle_, a_ + 4092, index.bytes);
  const std::vector<Gdma> faults = {
      copy_cmd(a_ + 4000, b_, 97),                    // source straddles into b
      copy_cmd(a_, b_ + 4000, 97),                    // destination runs past b
      copy_cmd(gap, b_, 1),                           // source outside every area
      fill_cmd(0x01010101, gap, 1, 1),                // fill outside every area
      gather_cmd(a_, b_, a_ + 4094, 1, 8, 1),         // index table straddles into b
      gather_cmd(a_, b_, a_ + 4092, 1, 8, 1000),      // row 511 of a ends on a's last byte ...
      gather_cmd(a_ + 1, b_, a_ + 4092, 1, 8, 1000),  // ... one byte later it crosses into b
      scatter_cmd(a_, b_ + 4, a_ + 4092, 1, 8, 1000), // the written row straddles b's end
      gather_cmd(a_, b_ + 4090, a_ + 4092, 1, 8, 1000), // the written block runs past b's end
  };
  const bm_status_t expected[] = {BM_ERR_FAILURE, BM_ERR_FAILURE, BM_ERR_FAILURE, BM_ERR_FAILURE, BM_ERR_FAILURE,
                                  BM_SUCCESS,     BM_ERR_FAILURE, BM_ERR_FAILURE, BM_ERR_FAILURE};
  for (size_t i = 0; i < faults.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(run_gdma(handle_, {faults[i]}), expected[i]);
  }
}

TEST_F(SimGdma, LaunchStopsAtTheFailingCommand) {
  const Gdma first = copy_cmd(a_, b_, 8);
  const Gdma failing = copy_cmd(a_, b_ + 4090, 8);
  const Gdma third = copy_cmd(a_, b_ + 16, 8);
  EXPECT_EQ(run_gdma(handle_, {first, failing, third}), BM_ERR_FAILURE);
  EXPECT_EQ(download(handle_, b_, 24), concat({sequence(8), Bytes(16, 0)}));
  EXPECT_EQ(last_counts(trace_), "\"bdc\":0,\"gdma\":1}");
}

TEST_F(SimGdma, OtherKindsMoveNothing) {
  Gdma other = copy_cmd(0xFFFFFFFFFFull, 0x12345, 1000);
  for (const uint32_t type : {1, 3, 8, 15}) {
    other.type = type;
    EXPECT_EQ(run_gdma(handle_, {other}), BM_SUCCESS);
  }
  expect_b_untouched();
}

TEST_F(SimGdma, GroupsFollowEachOtherWithTheEndCommandPadded) {
  // 96 + 96 + 64, then 96 + 32, then a lone end command of 128.
  const Bytes group0 = gdma_group({copy_cmd(a_, b_, 4), copy_cmd(a_ + 4, b_ + 4, 4)});
  const Bytes group1 = gdma_group({copy_cmd(a_ + 8, b_ + 8, 4)});
  const Bytes group2 = gdma_group({});
  ASSERT_EQ(group0.size(), 256u);
  ASSERT_EQ(group1.size(), 128u);
  ASSERT_EQ(group2.size(), 128u);
  // The buffer ends where group 2 ends: a walk that drifts runs out of it.
  const Bytes stream = concat({group0, group1, group2});
  const bm_device_mem_t buffer = alloc(handle_, static_cast<unsigned>(stream.size()));
  upload(handle_, addr_of(buffer), stream);
  ASSERT_EQ(launch(handle_, kStaticFullnet, static_record({}, {}, 0, addr_of(buffer), {{0, 3}, {0, 2}, {0, 1}})),
            BM_SUCCESS);
  EXPECT_EQ(download(handle_, b_, 16), concat({sequence(12), Bytes(4, 0)}));
  EXPECT_EQ(last_counts(trace_), "\"bdc\":0,\"gdma\":6}");
}

TEST_F(SimGdma, CommandsMayRewriteLaterCommands) {
  // The first command copies a prepared command over the second one.
  const Bytes replacement = copy_cmd(a_, b_ + 200, 4).encode();
  upload(handle_, a_ + 1024, replacement);
  const Bytes stream = gdma_group({Gdma{}, copy_cmd(a_, b_, 4)});
  const bm_device_mem_t buffer = alloc(handle_, static_cast<unsigned>(stream.size()));
  Bytes patched = stream;
  const Bytes overwrite = copy_cmd(a_ + 1024, addr_of(buffer) + 96, 96).encode();
  std::copy(overwrite.begin(), overwrite.end(), patched.begin());
  upload(handle_, addr_of(buffer), patched);
  ASSERT_EQ(launch(handle_, kStaticFullnet, static_record({}, {}, 0, addr_of(buffer), {{0, 3}})), BM_SUCCESS);
  EXPECT_EQ(download(handle_, b_, 4), Bytes(4, 0));
  EXPECT_EQ(download(handle_, b_ + 200, 4), sequence(4));
}

class SimDynamicFullnet : public testing::Test {
 protected:
  void SetUp() override {
    ir_ = addr_of(alloc(handle_, 400));
    io_ = addr_of(alloc(handle_, 4096));
  }
  Bytes valid() { return dynamic_record(ir_, 100, {{io_, {1, 3, 224, 224}}, {io_ + 100, {}}}, {io_ + 4095}, 2); }

  Handle handle_;
  uint64_t ir_ = 0;
  uint64_t io_ = 0;
};

TEST_F(SimDynamicFullnet, AcceptsItsRecordWithOrWithoutTrailingPadding) {
  const Bytes record = valid();
  ASSERT_EQ(record.size(), 68u + (16 + 16) + 16 + 8 + 32);
  EXPECT_EQ(launch(handle_, kDynamicFullnet, record), BM_SUCCESS);
  EXPECT_EQ(launch(handle_, kDynamicFullnet, concat({record, Bytes(64, 0)})), BM_SUCCESS);
}

TEST_F(SimDynamicFullnet, RefusesAShortRecord) {
  const Bytes record = valid();
  for (size_t cut = 0; cut < record.size(); cut += 7) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(launch(handle_, kDynamicFullnet, Bytes(record.begin(), record.begin() + cut)), BM_ERR_FAILURE);
  }
  EXPECT_EQ(launch(handle_, kDynamicFullnet, Bytes(record.begin(), record.end() - 1)), BM_ERR_FAILURE);
}

TEST_F(SimDynamicFullnet, RefusesAddressesOutsideLiveAreas) {
  EXPECT_EQ(launch(handle_, kDynamicFullnet, dynamic_record(ir_, 101, {}, {}, 0)), BM_ERR_FAILURE);
  EXPECT_EQ(launch(handle_, kDynamicFullnet, dynamic_record(ir_ + 4, 100, {}, {}, 0)), BM_ERR_FAILURE);
  EXPECT_EQ(launch(handle_, kDynamicFullnet, dynamic_record(ir_, 100, {{io_ + 4096, {2}}}, {}, 0)), BM_ERR_FAILURE);
  EXPECT_EQ(launch(handle_, kDynamicFullnet, dynamic_record(ir_, 100, {}, {io_ - 1}, 0)), BM_ERR_FAILURE);
  EXPECT_EQ(launch(handle_, kDynamicFullnet, dynamic_record(ir_, 100, {}, {io_}, 0)), BM_SUCCESS);
}

}  // namespace
}  // namespace simtest
