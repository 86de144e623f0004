// Devices, handles, allocation and the bound checks of every copy form.
#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include "sim_test_support.h"

namespace simtest {
namespace {

constexpr uint64_t kDefaultBase = uint64_t{1} << 32;
constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kGiB = uint64_t{1} << 30;

uint64_t addr_of(const bm_device_mem_t& mem) { return mem.u.device.device_addr; }

TEST(SimDevices, RequestsOnlyConfiguredDeviceNumbers) {
  set_env("VEXO_SIM_DEVICES", "2");
  bm_handle_t handle = reinterpret_cast<bm_handle_t>(0x1);
  EXPECT_EQ(bm_dev_request(&handle, 2), BM_ERR_PARAM);
  EXPECT_EQ(handle, nullptr);
  handle = reinterpret_cast<bm_handle_t>(0x1);
  EXPECT_EQ(bm_dev_request(&handle, -1), BM_ERR_PARAM);
  EXPECT_EQ(handle, nullptr);

  bm_handle_t first = nullptr, second = nullptr;
  ASSERT_EQ(bm_dev_request(&first, 1), BM_SUCCESS);
  ASSERT_EQ(bm_dev_request(&second, 1), BM_SUCCESS);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(first, second);
  int status = -1;
  EXPECT_EQ(bm_get_status(first, &status), BM_SUCCESS);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(bm_thread_sync(first), BM_SUCCESS);
  bm_dev_free(first);
  bm_dev_free(second);
}

TEST(SimDevices, HandlesOfOneDeviceShareMemoryAndOutliveEachOther) {
  bm_handle_t first = nullptr;
  ASSERT_EQ(bm_dev_request(&first, 0), BM_SUCCESS);
  Handle second;
  const bm_device_mem_t mem = alloc(first, 64);
  upload(first, addr_of(mem), sequence(64));
  bm_dev_free(first);  // releases the handle only: the area stays
  EXPECT_EQ(download(second, addr_of(mem), 64), sequence(64));
  EXPECT_EQ(bm_free_device(second, mem), BM_SUCCESS);
}

TEST(SimDevices, DevicesAreLaidOutFromTheBaseAndKeepSeparateMemory) {
  set_env("VEXO_SIM_DEVICES", "3");
  set_env("VEXO_SIM_MEMORY", std::to_string(kMiB));
  set_env("VEXO_SIM_BASE", "0x200000000");
  Handle device0(0), device2(2);
  const bm_device_mem_t first = alloc(device0, 100);
  const bm_device_mem_t last = alloc(device2, 100);
  EXPECT_EQ(addr_of(first), 0x200000000u);
  EXPECT_EQ(addr_of(last), 0x200000000u + 2 * kMiB);
  uint8_t byte = 0;
  EXPECT_EQ(bm_memcpy_d2s_partial(device2, &byte, first, 1), BM_ERR_PARAM);
  EXPECT_EQ(bm_free_device(device2, first), BM_ERR_PARAM);
  EXPECT_EQ(bm_free_device(device0, first), BM_SUCCESS);
}

TEST(SimDevices, ConfigurationPastFortyBitsIsRefused) {
  set_env("VEXO_SIM_BASE", std::to_string((uint64_t{1} << 40) - 4 * kGiB + 4096));
  bm_handle_t handle = nullptr;
  EXPECT_EQ(bm_dev_request(&handle, 0), BM_ERR_PARAM);
  EXPECT_EQ(handle, nullptr);
}

TEST(SimDevices, MemoryMayEndExactlyAtFortyBits) {
  set_env("VEXO_SIM_DEVICES", "2");
  set_env("VEXO_SIM_BASE", std::to_string((uint64_t{1} << 40) - 8 * kGiB));
  Handle handle(1);
  sg_device_mem_t mem{};
  ASSERT_EQ(sg_malloc_device_byte(handle, &mem, 4 * kGiB), BM_SUCCESS);
  EXPECT_EQ(mem.u.device.device_addr, (uint64_t{1} << 40) - 4 * kGiB);
  uint8_t last = 0x5A;
  sg_device_mem_t tail = mem;
  tail.u.device.device_addr += 4 * kGiB - 1;
  EXPECT_EQ(sg_memcpy_s2d_partial(handle, tail, &last, 1), BM_SUCCESS);
  EXPECT_EQ(sg_memcpy_s2d_partial(handle, tail, &last, 2), BM_ERR_PARAM);
}

TEST(SimDevices, MalformedSettingsAreRefused) {
  for (const char* bad : {"12abc", "-1", " 5", "0x", "99999999999999999999999"}) {
    SCOPED_TRACE(bad);
    EXPECT_EXIT(
        {
          set_env("VEXO_SIM_MEMORY", bad);
          bm_handle_t handle = nullptr;
          std::exit(bm_dev_request(&handle, 0) == BM_ERR_PARAM && handle == nullptr ? 0 : 1);
        },
        testing::ExitedWithCode(0), "vexo-sim: VEXO_SIM_MEMORY is not an unsigned number");
  }
}

TEST(SimDevices, UnopenableTraceFileIsRefused) {
  set_env("VEXO_SIM_TRACE", fresh_temp_path("missing-dir") + "/trace.jsonl");
  bm_handle_t handle = nullptr;
  EXPECT_EQ(bm_dev_request(&handle, 0), BM_ERR_PARAM);
}

TEST(SimAllocation, AreasStartOnPagesAndDescriptorsAreFilled) {
  Handle handle;
  bm_device_mem_t mem;
  std::memset(&mem, 0xFF, sizeof mem);
  ASSERT_EQ(bm_malloc_device_byte(handle, &mem, 10), BM_SUCCESS);
  EXPECT_EQ(addr_of(mem), kDefaultBase);
  EXPECT_EQ(mem.size, 10u);
  EXPECT_EQ(mem.u.device.reserved, 0u);
  EXPECT_EQ(mem.u.device.dmabuf_fd, 0);
  EXPECT_EQ(mem.flags.rawflags, 0u);
  const bm_device_mem_t next = alloc(handle, 1);
  EXPECT_EQ(addr_of(next), kDefaultBase + 4096);
}

TEST(SimAllocation, ZeroByteAreasHaveTheirOwnAddressAndNoBytes) {
  Handle handle;
  const bm_device_mem_t empty = alloc(handle, 0);
  const bm_device_mem_t other = alloc(handle, 0);
  EXPECT_NE(addr_of(empty), addr_of(other));
  EXPECT_EQ(empty.size, 0u);
  uint8_t byte = 1;
  EXPECT_EQ(bm_memcpy_s2d_partial(handle, empty, &byte, 1), BM_ERR_PARAM);
  EXPECT_EQ(bm_memcpy_s2d_partial(handle, empty, &byte, 0), BM_SUCCESS);
  EXPECT_EQ(bm_free_device(handle, empty), BM_SUCCESS);
  EXPECT_EQ(bm_free_device(handle, empty), BM_ERR_PARAM);
}

TEST(SimAllocation, FreeNeedsTheStartOfALiveArea) {
  Handle handle;
  const bm_device_mem_t mem = alloc(handle, 8192);
  EXPECT_EQ(bm_free_device(handle, desc(addr_of(mem) + 4096)), BM_ERR_PARAM);
  EXPECT_EQ(bm_free_device(handle, desc(0)), BM_ERR_PARAM);
  upload(handle, addr_of(mem), sequence(16));  // still live after the refused frees
  EXPECT_EQ(bm_free_device(handle, mem), BM_SUCCESS);
  EXPECT_EQ(bm_free_device(handle, mem), BM_ERR_PARAM);
  uint8_t byte = 0;
  EXPECT_EQ(bm_memcpy_d2s_partial(handle, &byte, mem, 1), BM_ERR_PARAM);
}

TEST(SimAllocation, ExhaustionLeavesTheDescriptorAndFreedSpaceIsReusedFirstFit) {
  set_env("VEXO_SIM_MEMORY", std::to_string(8 * 4096));
  Handle handle;
  const bm_device_mem_t a = alloc(handle, 4096);
  const bm_device_mem_t b = alloc(handle, 2 * 4096);
  const bm_device_mem_t c = alloc(handle, 5 * 4096);
  bm_device_mem_t refused = desc(0x1234, 77);
  EXPECT_EQ(bm_malloc_device_byte(handle, &refused, 1), BM_ERR_NOMEM);
  EXPECT_EQ(addr_of(refused), 0x1234u);
  EXPECT_EQ(refused.size, 77u);

  ASSERT_EQ(bm_free_device(handle, b), BM_SUCCESS);
  EXPECT_EQ(bm_malloc_device_byte(handle, &refused, 3 * 4096), BM_ERR_NOMEM);
  EXPECT_EQ(addr_of(alloc(handle, 4096)), addr_of(b));  // first fit: b's pages
  ASSERT_EQ(bm_free_device(handle, a), BM_SUCCESS);
  ASSERT_EQ(bm_free_device(handle, c), BM_SUCCESS);
  // a's page and c's pages are not adjacent, but c's merge with the trailing
  // page left from b.
  EXPECT_EQ(addr_of(alloc(handle, 6 * 4096)), addr_of(b) + 4096);
  EXPECT_EQ(addr_of(alloc(handle, 4096)), addr_of(a));
}

TEST(SimAllocation, SixtyFourBitSizesBeyondFourGiB) {
  set_env("VEXO_SIM_MEMORY", std::to_string(8 * kGiB));
  Handle handle;
  sg_device_mem_t mem{};
  ASSERT_EQ(sg_malloc_device_byte(handle, &mem, 5 * kGiB), BM_SUCCESS);
  EXPECT_EQ(mem.size, 5 * kGiB);
  sg_device_mem_t far = mem;
  far.u.device.device_addr += 5 * kGiB - 8;
  Bytes bytes = sequence(8), back(8);
  EXPECT_EQ(sg_memcpy_s2d_partial(handle, far, bytes.data(), 8), BM_SUCCESS);
  EXPECT_EQ(sg_memcpy_d2s_partial(handle, back.data(), far, 8), BM_SUCCESS);
  EXPECT_EQ(back, bytes);
  sg_device_mem_t too_big{};
  EXPECT_EQ(sg_malloc_device_byte(handle, &too_big, 4 * kGiB), BM_ERR_NOMEM);
  EXPECT_EQ(sg_malloc_device_byte(handle, &too_big, ~0ull), BM_ERR_NOMEM);
  EXPECT_EQ(sg_free_device(handle, mem), BM_SUCCESS);
}

TEST(SimAllocation, ConcurrentHandlesNeverShareAnArea) {
  Handle handle;
  constexpr int kThreads = 4, kRounds = 300;
  std::vector<std::vector<uint64_t>> kept(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Handle own;
      for (int i = 0; i < kRounds; ++i) {
        bm_device_mem_t mem{};
        if (bm_malloc_device_byte(own, &mem, 4096 * (1 + i % 3)) != BM_SUCCESS) return;
        if (i % 2 == 0)
          bm_free_device(own, mem);
        else
          kept[t].push_back(mem.u.device.device_addr);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<uint64_t> distinct;
  for (const auto& list : kept) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(distinct.size(), size_t{kThreads} * kRounds / 2);
}

// Every host copy form, reduced to "copy `size` bytes at area start +
// offset". Forms without an offset argument get a descriptor that points
// into the middle of the area.
struct CopyForm {
  const char* name;
  bool to_device;
  std::function<bm_status_t(bm_handle_t, uint64_t start, uint32_t offset, uint32_t size, void* host)> copy;
};

bm_device_mem_t at_offset(uint64_t start, uint32_t offset, uint32_t size = 0) { return desc(start + offset, size); }
sg_device_mem_t sg_at_offset(uint64_t start, uint32_t offset) {
  sg_device_mem_t mem{};
  mem.u.device.device_addr = start + offset;
  return mem;
}

const CopyForm kCopyForms[] = {
    {"s2d", true,
     [](bm_handle_t h, uint64_t s, uint32_t o, uint32_t n, void* p) {
       return bm_memcpy_s2d(h, at_offset(s, o, n), p);
     }},
    {"s2d_partial", true,
     [](bm_handle_t h, uint64_t s, uint32_t o, uint32_t n, void* p) {
       return bm_memcpy_s2d_partial(h, at_offset(s, o), p, n);
     }},
    {"s2d_partial_offset", true,
     [](bm_handle_t h, uint64_t s, uint32_t o, uint32_t n, void* p) {
       return bm_memcpy_s2d_partial_offset(h, desc(s), p, n, o);
     }},
    {"sg_s2d_partial", true,
     [](bm_handle_t h, uint64_t s, uint32_t o, uint32_t n, void* p) {
       return sg_memcpy_s2d_partial(h, sg_at_offset(s, o), p, n);
     }},
    {"d2s", false,
     [](bm_handle_t h, uint64_t s, uint32_t o, uint32_t n, void* p) {
       return bm_memcpy_d2s(h, p, at_offset(s, o, n));
     }},
    {"d2s_partial", false,
     [](bm_handle_t h, uint64_t s, uint32_t o, uint32_t n, void* p) {
       return bm_memcpy_d2s_partial(h, p, at_offset(s, o), n);
     }},
    {"d2s_partial_offset", false,
     [](bm_handle_t h, uint64_t s, uint32_t o, uint32_t n, void* p) {
       return bm_memcpy_d2s_partial_offset(h, p, desc(s), n, o);
     }},
    {"sg_d2s_partial", false,
     [](bm_handle_t h, uint64_t s, uint32_t o, uint32_t n, void* p) {
       return sg_memcpy_d2s_partial(h, p, sg_at_offset(s, o), n);
     }},
};

void PrintTo(const CopyForm& form, std::ostream* out) { *out << form.name; }

class SimHostCopy : public testing::TestWithParam<CopyForm> {
 protected:
  // Two adjacent areas of 4096 bytes, filled with known bytes.
  void SetUp() override {
    first_ = addr_of(alloc(handle_, 4096));
    second_ = addr_of(alloc(handle_, 4096));
    ASSERT_EQ(second_, first_ + 4096);
    upload(handle_, first_, Bytes(4096, 0xEE));
    upload(handle_, second_, Bytes(4096, 0xEE));
  }

  // Runs the copy at first_ + offset and checks that, on refusal, neither
  // side changed.
  bm_status_t copy(uint32_t offset, uint32_t size) {
    Bytes host = GetParam().to_device ? sequence(size) : Bytes(size, 0x11);
    const Bytes host_before = host;
    const bm_status_t status = GetParam().copy(handle_, first_, offset, size, host.data());
    if (status != BM_SUCCESS) {
      EXPECT_EQ(host, host_before);
      EXPECT_EQ(download(handle_, first_, 4096), Bytes(4096, 0xEE));
      EXPECT_EQ(download(handle_, second_, 4096), Bytes(4096, 0xEE));
    } else if (GetParam().to_device) {
      EXPECT_EQ(download(handle_, first_ + offset, size), host);
    } else {
      EXPECT_EQ(host, Bytes(size, 0xEE));
    }
    return status;
  }

  Handle handle_;
  uint64_t first_ = 0;
  uint64_t second_ = 0;
};

TEST_P(SimHostCopy, CopiesInsideOneArea) {
  EXPECT_EQ(copy(0, 4096), BM_SUCCESS);
  EXPECT_EQ(copy(100, 50), BM_SUCCESS);  // a descriptor or offset into the middle
  EXPECT_EQ(copy(4000, 96), BM_SUCCESS);  // up to the last byte
}

TEST_P(SimHostCopy, RefusesRangesLeavingTheArea) {
  EXPECT_EQ(copy(4000, 97), BM_ERR_PARAM);   // straddles into the adjacent area
  EXPECT_EQ(copy(0, 8192), BM_ERR_PARAM);    // covers both areas
  EXPECT_EQ(copy(8192, 1), BM_ERR_PARAM);    // past both
}

INSTANTIATE_TEST_SUITE_P(AllForms, SimHostCopy, testing::ValuesIn(kCopyForms),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimHostCopyArguments, OffsetOverflowAndMissingHostBufferAreRefused) {
  Handle handle;
  const bm_device_mem_t mem = alloc(handle, 64);
  uint8_t byte = 0;
  EXPECT_EQ(bm_memcpy_s2d_partial_offset(handle, desc(~0ull - 1), &byte, 1, 2), BM_ERR_PARAM);
  EXPECT_EQ(bm_memcpy_s2d_partial(handle, mem, nullptr, 1), BM_ERR_PARAM);
  EXPECT_EQ(bm_memcpy_d2s_partial(handle, nullptr, mem, 1), BM_ERR_PARAM);
  EXPECT_EQ(bm_memcpy_s2d_partial(nullptr, mem, &byte, 1), BM_ERR_PARAM);
}

TEST(SimDeviceCopy, CopiesBetweenAndWithinAreas) {
  Handle handle;
  const bm_device_mem_t a = alloc(handle, 256);
  const bm_device_mem_t b = alloc(handle, 256);
  upload(handle, addr_of(a), sequence(256));
  ASSERT_EQ(bm_memcpy_d2d_byte(handle, b, 16, desc(addr_of(a) + 32), 0, 64), BM_SUCCESS);
  EXPECT_EQ(download(handle, addr_of(b) + 16, 64), sequence(64, 33));

  // Overlapping, in both directions: the result of a copy through a buffer.
  ASSERT_EQ(bm_memcpy_d2d_byte(handle, a, 8, a, 0, 100), BM_SUCCESS);
  EXPECT_EQ(download(handle, addr_of(a) + 8, 100), sequence(100, 1));
  ASSERT_EQ(bm_memcpy_d2d_byte(handle, a, 0, a, 8, 100), BM_SUCCESS);
  EXPECT_EQ(download(handle, addr_of(a), 100), sequence(100, 1));
}

TEST(SimDeviceCopy, RefusesEitherRangeLeavingItsArea) {
  Handle handle;
  const bm_device_mem_t a = alloc(handle, 4096);
  const bm_device_mem_t b = alloc(handle, 4096);
  upload(handle, addr_of(a), Bytes(4096, 0xEE));
  upload(handle, addr_of(b), Bytes(4096, 0xEE));
  EXPECT_EQ(bm_memcpy_d2d_byte(handle, a, 0, b, 4000, 97), BM_ERR_PARAM);
  EXPECT_EQ(bm_memcpy_d2d_byte(handle, a, 4000, b, 0, 97), BM_ERR_PARAM);
  EXPECT_EQ(bm_memcpy_d2d_byte(handle, a, 0, desc(0), 0, 1), BM_ERR_PARAM);
  // Address plus offset wraps around to a's start: refused, not wrapped.
  EXPECT_EQ(bm_memcpy_d2d_byte(handle, desc(addr_of(a) + 1), ~size_t{0}, b, 0, 1), BM_ERR_PARAM);
  EXPECT_EQ(download(handle, addr_of(a), 4096), Bytes(4096, 0xEE));
  EXPECT_EQ(download(handle, addr_of(b), 4096), Bytes(4096, 0xEE));
}

}  // namespace
}  // namespace simtest
