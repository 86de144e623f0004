// The JSON-lines trace and fault injection.
#include <algorithm>
#include <fstream>

#include "sim_test_support.h"

namespace simtest {
namespace {

TEST(SimTrace, OneLinePerOperationAppendedInOrder) {
  const std::string trace = fresh_temp_path("trace");
  std::ofstream(trace) << "earlier line\n";
  set_env("VEXO_SIM_TRACE", trace);
  {
    Handle handle;
    const bm_device_mem_t mem = alloc(handle, 100);
    const bm_device_mem_t other = alloc(handle, 0);
    uint8_t bytes[200] = {};
    EXPECT_EQ(bm_memcpy_s2d_partial_offset(handle, mem, bytes, 4, 8), BM_SUCCESS);
    EXPECT_EQ(bm_memcpy_d2s_partial(handle, bytes, mem, 200), BM_ERR_PARAM);
    EXPECT_EQ(bm_memcpy_d2d_byte(handle, mem, 50, mem, 10, 20), BM_SUCCESS);
    const char image[5] = {};
    const tpu_kernel_module_t module = tpu_kernel_load_module(handle, image, sizeof image);
    EXPECT_EQ(tpu_kernel_get_function(handle, module, "sg_api_multi_fullnet"), 1);
    EXPECT_EQ(tpu_kernel_get_function(handle, module, "odd \"name\"\n"), -1);
    uint8_t param[] = {0x01, 0xAB};
    EXPECT_EQ(tpu_kernel_launch(handle, 3, param, sizeof param), BM_SUCCESS);
    EXPECT_EQ(tpu_kernel_launch(handle, 9, nullptr, 0), BM_ERR_PARAM);
    EXPECT_EQ(tpu_kernel_unload_module(handle, module), BM_SUCCESS);
    EXPECT_EQ(tpu_kernel_unload_module(handle, module), BM_ERR_PARAM);
    EXPECT_EQ(bm_thread_sync(handle), BM_SUCCESS);
    EXPECT_EQ(bm_free_device(handle, other), BM_SUCCESS);
    EXPECT_EQ(bm_free_device(handle, other), BM_ERR_PARAM);
  }  // the handle closes with its area still live

  const std::vector<std::string> expected = {
      "earlier line",
      R"({"op":"open","device":0})",
      R"({"op":"malloc","device":0,"addr":4294967296,"size":100,"status":0})",
      R"({"op":"malloc","device":0,"addr":4294971392,"size":0,"status":0})",
      R"({"op":"s2d","device":0,"addr":4294967304,"size":4,"status":0})",
      R"({"op":"d2s","device":0,"addr":4294967296,"size":200,"status":4})",
      R"({"op":"d2d","device":0,"dst":4294967346,"src":4294967306,"size":20,"status":0})",
      R"({"op":"load_module","device":0,"module":1,"size":5})",
      R"({"op":"get_function","device":0,"name":"sg_api_multi_fullnet","id":1})",
      R"({"op":"get_function","device":0,"name":"odd \"name\"\u000a","id":-1})",
      R"({"op":"launch","device":0,"id":3,"name":"sg_api_set_profile","param":"01ab","status":0,"bdc":0,"gdma":0})",
      R"({"op":"launch","device":0,"id":9,"name":"","param":"","status":4,"bdc":0,"gdma":0})",
      R"({"op":"unload_module","device":0,"module":1,"status":0})",
      R"({"op":"unload_module","device":0,"module":0,"status":4})",
      R"({"op":"sync","device":0})",
      R"({"op":"free","device":0,"addr":4294971392,"status":0})",
      R"({"op":"free","device":0,"addr":4294971392,"status":4})",
      R"({"op":"close","device":0,"live_allocations":1,"live_bytes":100})",
  };
  EXPECT_EQ(read_lines(trace), expected);
}

TEST(SimTrace, LaunchLineCarriesTheRecordAndWalkedCounts) {
  const std::string trace = fresh_temp_path("trace");
  set_env("VEXO_SIM_TRACE", trace);
  Handle handle;
  const bm_device_mem_t area = alloc(handle, 64);
  Gdma failing = copy_cmd(area.u.device.device_addr, area.u.device.device_addr + 60, 8);
  EXPECT_EQ(run_gdma(handle, {copy_cmd(area.u.device.device_addr, area.u.device.device_addr + 8, 8), failing}),
            BM_ERR_FAILURE);
  const std::vector<std::string> lines = read_lines(trace);
  ASSERT_GE(lines.size(), 2u);
  const std::string& launch = lines[lines.size() - 2];  // before the free of the command buffer
  const Bytes record = static_record({}, {}, 0, 4294971392, {{0, 3}});
  std::string hex;
  for (const uint8_t byte : record) hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
  EXPECT_EQ(launch, R"({"op":"launch","device":0,"id":1,"name":"sg_api_multi_fullnet","param":")" + hex +
                        R"(","status":2,"bdc":0,"gdma":1})");
}

TEST(SimFaultInjection, TheNthAllocationOfTheProcessFails) {
  set_env("VEXO_SIM_DEVICES", "2");
  set_env("VEXO_SIM_FAIL_MALLOC", "2");
  Handle device0(0), device1(1);
  alloc(device0, 16);
  sg_device_mem_t refused{};
  refused.size = 99;
  EXPECT_EQ(sg_malloc_device_byte(device1, &refused, 16), BM_ERR_NOMEM);
  EXPECT_EQ(refused.size, 99u);
  alloc(device1, 16);
  alloc(device0, 16);
}

TEST(SimFaultInjection, TheNthLaunchFailsWithoutRunning) {
  set_env("VEXO_SIM_FAIL_LAUNCH", "2");
  Handle handle;
  const bm_device_mem_t area = alloc(handle, 64);
  const uint64_t addr = area.u.device.device_addr;
  upload(handle, addr, concat({sequence(8), Bytes(8, 0)}));
  EXPECT_EQ(tpu_kernel_launch(handle, 3, nullptr, 0), BM_SUCCESS);
  EXPECT_EQ(run_gdma(handle, {copy_cmd(addr, addr + 8, 8)}), BM_ERR_FAILURE);
  EXPECT_EQ(download(handle, addr + 8, 8), Bytes(8, 0));
  EXPECT_EQ(run_gdma(handle, {copy_cmd(addr, addr + 8, 8)}), BM_SUCCESS);
  EXPECT_EQ(download(handle, addr + 8, 8), sequence(8));
}

// Copies of every direction count together; the failed one moves nothing.
TEST(SimFaultInjection, TheNthCopyFailsWithoutCopying) {
  const std::string trace = fresh_temp_path("copy-fault");
  set_env("VEXO_SIM_TRACE", trace);
  set_env("VEXO_SIM_FAIL_COPY", "3");
  Handle handle;
  const bm_device_mem_t area = alloc(handle, 32);
  const uint64_t addr = area.u.device.device_addr;
  upload(handle, addr, sequence(16));                                     // copy 1
  EXPECT_EQ(download(handle, addr, 16), sequence(16));                     // copy 2
  EXPECT_EQ(bm_memcpy_d2d_byte(handle, area, 16, area, 0, 16), BM_ERR_FAILURE);  // copy 3
  EXPECT_EQ(download(handle, addr + 16, 16), Bytes(16, 0));                // copy 4
  EXPECT_EQ(bm_memcpy_d2d_byte(handle, area, 16, area, 0, 16), BM_SUCCESS);
  EXPECT_EQ(download(handle, addr + 16, 16), sequence(16));
  const std::vector<std::string> lines = read_lines(trace);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.find("\"status\":2") != std::string::npos; }),
            1);
}

}  // namespace
}  // namespace simtest
