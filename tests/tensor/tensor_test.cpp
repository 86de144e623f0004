// Tensor records on the simulated device: ownership of host buffers, the
// validity flags, copies with real bytes, printing and refused operations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <numeric>

#include "src/tensor/tensor_internal.h"
#include "tensor_test_support.h"
#include "utils/datagen.h"

namespace {

using namespace minitensor;
using namespace tensortest;
using vexotest::read_device;
using vexotest::write_device;

Bytes counting(size_t size) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), uint8_t{1});
  return bytes;
}

Bytes host_bytes(const VexoTensor* tensor) {
  const auto* first = static_cast<const uint8_t*>(tensor->data);
  return Bytes(first, first + tensor->size);
}

bm_device_mem_t block_of(const VexoTensor* tensor) {
  return convert_to_device_mem(tensor->device_start, static_cast<unsigned>(tensor->device_size), 0, 0, 0);
}

// A record of `size` bytes without any data, on nothing.
TensorPtr bare(size_t size) {
  TensorPtr tensor(vexotensor_create());
  tensor->size = size;
  return tensor;
}

class Tensor : public DeviceTest {
 protected:
  void TearDown() override {
    for (VexoTensor* tensor : blocks) vexotensor_free_device(tensor);
    DeviceTest::TearDown();
  }
  // A record owning a device block of `size` bytes, freed after the test.
  VexoTensor* device_tensor(size_t size) {
    VexoTensor* tensor = vexotensor_malloc_device(handle, size);
    EXPECT_NE(tensor, nullptr);
    blocks.push_back(tensor);
    return tensor;
  }
  // A record of `size` bytes placed at `offset` inside another's block.
  TensorPtr window(const VexoTensor* block, uint64_t offset, size_t size) {
    TensorPtr tensor = bare(size);
    vexotensor_set_device_mem(tensor.get(), block_of(block), offset);
    tensor->bm_handle = handle;
    return tensor;
  }
  std::vector<VexoTensor*> blocks;
};

TEST(TensorRecord, FreshRecordHoldsNothingAndPlacementSetsAddressAndOffset) {
  TensorPtr t(vexotensor_create());
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->device_id, -1);
  EXPECT_EQ(t->size, 0u);
  EXPECT_EQ(t->dims, 0u);
  EXPECT_EQ(t->data, nullptr);
  EXPECT_EQ(t->bm_handle, nullptr);
  EXPECT_FALSE(t->is_malloc_host || t->is_have_data || t->is_in_device || t->user_malloc);
  EXPECT_EQ(std::string(t->name, sizeof t->name), std::string(sizeof t->name, '\0'));

  const uint64_t a = 0x100004000;
  const bm_device_mem_t mem = convert_to_device_mem(a, 4096, 7, 9, 0x15);
  t->is_have_data = true;
  vexotensor_set_device_mem(t.get(), mem, 256);
  EXPECT_EQ(t->addr, a + 256);
  EXPECT_EQ(t->offset, 256u);
  EXPECT_EQ(t->device_start, a);
  EXPECT_EQ(t->device_size, 4096u);
  EXPECT_EQ(t->dmabuf_fd, 7);
  EXPECT_EQ(t->reserved, 9u);
  EXPECT_EQ(t->rawflags, 0x15u);
  EXPECT_TRUE(t->is_have_data);
  vexotensor_set_device_mem_by_addr(t.get(), mem, a + 512);
  EXPECT_EQ(t->offset, 512u);
  EXPECT_EQ(t->addr, a + 512);

  vexotensor_init(t.get());
  EXPECT_EQ(t->device_id, -1);
  EXPECT_EQ(t->addr, 0u);
  EXPECT_FALSE(t->is_have_data);
}

TEST(TensorRecord, ElementSizesAndUnknownCodes) {
  const size_t expected[] = {4, 2, 1, 1, 2, 2, 4, 4, 2, 1, 1};
  for (int code = 0; code <= 10; ++code) EXPECT_EQ(get_dtype_size(code), expected[code]) << code;
  EXPECT_EQ(get_dtype_size(11), 0u);
  EXPECT_EQ(get_dtype_size(-1), 0u);
}

TEST_F(Tensor, MallocDeviceOwnsABlockThatFreeDeviceReturns) {
  VexoTensor* t = vexotensor_malloc_device(handle, 1000);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->size, 1000u);
  EXPECT_EQ(t->dtype, BM_BFLOAT16);
  EXPECT_EQ(t->device_id, 0);
  EXPECT_EQ(t->offset, 0u);
  EXPECT_EQ(t->addr, t->device_start);
  EXPECT_EQ(t->bm_handle, handle);
  EXPECT_TRUE(t->user_malloc);
  EXPECT_FALSE(t->is_in_device);
  const auto mallocs = trace->events("malloc");
  ASSERT_EQ(mallocs.size(), 1u);
  EXPECT_EQ(mallocs[0]["addr"], t->addr);

  // Unwritten, it is no source; once written as a destination it is.
  VexoTensor* other = device_tensor(1000);
  EXPECT_EQ(errors_of([&] { vexotensor_d2d_bytes_offset(handle, other, t, 0, 0, 16); }),
            Lines{"[d2d_bytes_offset] Invalid tensor"});
  EXPECT_FALSE(other->is_in_device);
  write_device(handle, other->addr, counting(1000));
  other->is_in_device = true;
  vexotensor_d2d_bytes_offset(handle, t, other, 0, 0, 1000);
  EXPECT_TRUE(t->is_in_device);
  EXPECT_EQ(read_device(handle, t->addr, 1000), counting(1000));

  const uint64_t addr = t->addr;
  vexotensor_free_device(t);
  const auto frees = trace->events("free");
  ASSERT_EQ(frees.size(), 1u);
  EXPECT_EQ(frees[0]["addr"], addr);
  EXPECT_EQ(frees[0]["status"], 0);
}

TEST(TensorMallocDevice, ReturnsNullWhenTheBlockCannotBeHad) {
  vexotest::TempDir dir;
  vexotest::set_env("VEXO_SIM_FAIL_MALLOC", "1");
  vexotest::SimTrace trace(dir);
  const bm_handle_t handle = get_handle(0);
  VexoTensor* t = nullptr;
  EXPECT_EQ(errors_of([&] { t = vexotensor_malloc_device(handle, 1000); }),
            Lines{"Failed to allocate 1000 bytes of device memory, status: 5"});
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(errors_of([&] { t = vexotensor_malloc_device(handle, size_t{1} << 32); }),
            Lines{"Cannot allocate 4294967296 bytes of device memory: a device block holds less than 4 GiB"});
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(trace.events("malloc").size(), 1u);
  free_handle(handle);
}

TEST(TensorHostData, BorrowAndCopyKeepOwnershipStraight) {
  TensorPtr t = bare(8);
  Bytes p(8, 0x11), q(8, 0x22), r(8, 0x33);
  vexotensor_set_data(t.get(), p.data(), 8, false);
  EXPECT_EQ(t->data, p.data());
  EXPECT_FALSE(t->is_malloc_host);
  EXPECT_TRUE(t->is_have_data);

  // Copy after borrow: a new owned buffer; the borrowed one is untouched.
  vexotensor_set_data(t.get(), q.data(), 8, true);
  EXPECT_NE(t->data, p.data());
  EXPECT_NE(t->data, q.data());
  EXPECT_TRUE(t->is_malloc_host);
  EXPECT_EQ(host_bytes(t.get()), q);
  EXPECT_EQ(p, Bytes(8, 0x11));

  // A second copy reuses the owned buffer.
  void* owned = t->data;
  vexotensor_set_data(t.get(), r.data(), 8, true);
  EXPECT_EQ(t->data, owned);
  EXPECT_EQ(host_bytes(t.get()), r);

  // Borrowing the record's own buffer keeps it owned (and alive).
  vexotensor_set_data(t.get(), owned, 8, false);
  EXPECT_TRUE(t->is_malloc_host);
  EXPECT_EQ(host_bytes(t.get()), r);

  // Borrowing anything else frees the owned buffer; destroying the record
  // then leaves the caller's buffer alone (the sanitizer build checks both).
  vexotensor_set_data(t.get(), p.data(), 8, false);
  EXPECT_EQ(t->data, p.data());
  EXPECT_FALSE(t->is_malloc_host);
}

TEST(TensorHostData, RefusedDataLeavesTheRecordAsItWas) {
  TensorPtr t = bare(8);
  Bytes p(8, 0x11), q(8, 0x22);
  vexotensor_set_data(t.get(), p.data(), 8, false);
  t->is_in_device = true;
  EXPECT_EQ(errors_of([&] { vexotensor_set_data(t.get(), q.data(), 7, true); }), Lines{"Size mismatch"});
  EXPECT_EQ(errors_of([&] { vexotensor_set_data(t.get(), q.data(), 9, false); }), Lines{"Size mismatch"});
  EXPECT_EQ(errors_of([&] { vexotensor_set_data(t.get(), nullptr, 8, false); }),
            Lines{"Invalid tensor or data pointer"});
  EXPECT_EQ(errors_of([&] { vexotensor_set_data(nullptr, q.data(), 8, false); }),
            Lines{"Invalid tensor or data pointer"});
  EXPECT_EQ(t->data, p.data());
  EXPECT_FALSE(t->is_malloc_host);
  EXPECT_TRUE(t->is_have_data);
  EXPECT_TRUE(t->is_in_device);
}

TEST_F(Tensor, UploadAndDownloadMoveTheTensorsBytesAtItsOffset) {
  VexoTensor* block = device_tensor(4096);
  TensorPtr t = window(block, 256, 16);
  const Bytes in = counting(16);
  vexotensor_set_data(t.get(), const_cast<uint8_t*>(in.data()), 16, false);
  vexotensor_sync(t.get(), true, false);
  EXPECT_TRUE(t->is_in_device);
  EXPECT_EQ(read_device(handle, block->addr + 256, 16), in);
  const auto uploads = trace->events("s2d");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0]["addr"], block->addr + 256);
  EXPECT_EQ(uploads[0]["size"], 16);

  // New host data does not clear the device flag: only a forced upload sends it.
  Bytes other(16, 0xAB);
  vexotensor_set_data(t.get(), other.data(), 16, false);
  vexotensor_sync(t.get(), true, false);
  EXPECT_EQ(read_device(handle, block->addr + 256, 16), in);
  vexotensor_sync(t.get(), true, true);
  EXPECT_EQ(read_device(handle, block->addr + 256, 16), other);

  // A download never writes the borrowed caller buffer: it gets its own.
  write_device(handle, block->addr + 256, Bytes(16, 0x5A));
  vexotensor_sync(t.get(), false, false);
  EXPECT_EQ(t->data, other.data());
  vexotensor_sync(t.get(), false, true);
  EXPECT_NE(t->data, other.data());
  EXPECT_TRUE(t->is_malloc_host);
  EXPECT_EQ(host_bytes(t.get()), Bytes(16, 0x5A));
  EXPECT_EQ(other, Bytes(16, 0xAB));
  const auto downloads = trace->events("d2s");
  EXPECT_EQ(downloads.back()["addr"], block->addr + 256);
}

TEST_F(Tensor, SyncRefusesWithoutDataOutsideItsBlockAndOnFailedCopies) {
  TensorPtr t = bare(16);
  EXPECT_EQ(errors_of([&] { vexotensor_sync(t.get(), true, true); }), Lines{"No host data to sync to device"});
  EXPECT_EQ(errors_of([&] { vexotensor_sync(t.get(), false, true); }), Lines{"No device data to sync to host"});
  EXPECT_EQ(errors_of([&] { vexotensor_sync(nullptr, true, true); }), Lines{"Invalid tensor"});

  VexoTensor* block = device_tensor(64);
  t = window(block, 56, 16);
  Bytes in = counting(16);
  vexotensor_set_data(t.get(), in.data(), 16, false);
  EXPECT_EQ(errors_of([&] { vexotensor_sync(t.get(), true, true); }),
            Lines{"Tensor of 16 bytes at offset 56 leaves its device block of 64 bytes"});
  // A record claiming a block beyond the 32-bit copies is refused, not truncated.
  t->device_size = uint64_t{1} << 33;
  t->offset = uint64_t{1} << 32;
  EXPECT_EQ(errors_of([&] { vexotensor_sync(t.get(), true, true); }),
            Lines{"Tensor of 16 bytes at offset 4294967296 is beyond the 32-bit range of host-device copies"});
  EXPECT_FALSE(t->is_in_device);
  EXPECT_TRUE(trace->events("s2d").empty());

  // A copy the device refuses sets no flag and leaves the host side alone.
  t = window(block, 0, 16);
  t->bm_handle = nullptr;
  vexotensor_set_data(t.get(), in.data(), 16, false);
  EXPECT_EQ(errors_of([&] { vexotensor_sync(t.get(), true, true); }),
            Lines{"Failed to upload tensor data, status: 4"});
  EXPECT_FALSE(t->is_in_device);
  t->is_in_device = true;
  EXPECT_EQ(errors_of([&] { vexotensor_sync(t.get(), false, true); }),
            Lines{"Failed to download tensor data, status: 4"});
  EXPECT_EQ(t->data, in.data());
  EXPECT_FALSE(t->is_malloc_host);
}

TEST_F(Tensor, S2dBytesBorrowsAndUploadsOnlyAcceptedData) {
  VexoTensor* t = device_tensor(32);
  Bytes in = counting(32);
  vexotensor_s2d_bytes(t, in.data(), 32);
  EXPECT_EQ(t->data, in.data());
  EXPECT_FALSE(t->is_malloc_host);
  EXPECT_TRUE(t->is_have_data && t->is_in_device);
  EXPECT_EQ(read_device(handle, t->addr, 32), in);

  // Refused data sends nothing, not even the host data the record had.
  write_device(handle, t->addr, Bytes(32, 0));
  const size_t before = trace->size();
  Bytes wrong(31, 0xFF);
  EXPECT_EQ(errors_of([&] { vexotensor_s2d_bytes(t, wrong.data(), 31); }), Lines{"Size mismatch"});
  EXPECT_TRUE(trace->events_since(before, "s2d").empty());
  EXPECT_EQ(read_device(handle, t->addr, 32), Bytes(32, 0));
  EXPECT_EQ(errors_of([&] { vexotensor_s2d_bytes(nullptr, in.data(), 32); }), Lines{"Invalid tensor"});
}

TEST_F(Tensor, D2dCopiesBetweenOffsetsOnTheDeviceOnly) {
  VexoTensor* src = device_tensor(256);
  VexoTensor* dst = device_tensor(256);
  Bytes in = counting(256);
  vexotensor_s2d_bytes(src, in.data(), 256);
  const size_t before = trace->size();
  vexotensor_d2d_bytes_offset(handle, dst, src, 0, 64, 32);
  const auto events = trace->events_since(before);
  EXPECT_EQ(read_device(handle, dst->addr, 32), Bytes(in.begin() + 64, in.begin() + 96));
  EXPECT_TRUE(dst->is_in_device);
  EXPECT_FALSE(dst->is_have_data);
  EXPECT_TRUE(src->is_in_device && src->is_have_data);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["op"], "d2d");
  EXPECT_EQ(events[0]["dst"], dst->addr);
  EXPECT_EQ(events[0]["src"], src->addr + 64);
  EXPECT_EQ(events[0]["size"], 32);

  // Positions count from each tensor's own offset in its block.
  TensorPtr slice = window(dst, 128, 64);
  vexotensor_d2d_bytes_offset(handle, slice.get(), src, 16, 0, 8);
  EXPECT_EQ(read_device(handle, dst->addr + 144, 8), Bytes(in.begin(), in.begin() + 8));

  // Ranges that leave either block are refused; so is a failed copy.
  const size_t refused_from = trace->size();
  EXPECT_EQ(errors_of([&] { vexotensor_d2d_bytes_offset(handle, dst, src, 0, 250, 16); }),
            Lines{"[d2d_bytes_offset] 16 bytes at offset 250 leave the device block of the source"});
  EXPECT_EQ(errors_of([&] { vexotensor_d2d_bytes_offset(handle, slice.get(), src, 120, 0, 16); }),
            Lines{"[d2d_bytes_offset] 16 bytes at offset 120 leave the device block of the destination"});
  EXPECT_EQ(errors_of([&] { vexotensor_d2d_bytes_offset(handle, dst, src, SIZE_MAX, 0, 16); }),
            Lines{"[d2d_bytes_offset] 16 bytes at offset 18446744073709551615 leave the device block of the "
                  "destination"});
  EXPECT_TRUE(trace->events_since(refused_from, "d2d").empty());
  TensorPtr unwritten = window(dst, 0, 16);
  EXPECT_EQ(errors_of([&] { vexotensor_d2d_bytes_offset(nullptr, unwritten.get(), src, 0, 0, 16); }),
            Lines{"[d2d_bytes_offset] Device copy failed, status: 4"});
  EXPECT_FALSE(unwritten->is_in_device);
  EXPECT_EQ(errors_of([&] { vexotensor_d2d_bytes_offset(handle, nullptr, src, 0, 0, 16); }),
            Lines{"[d2d_bytes_offset] Invalid tensor"});
}

TEST_F(Tensor, ShowPrintsHostOrDeviceElementsAtTheDebugLevel) {
  VexoTensor* t = device_tensor(16);
  t->dtype = BM_FLOAT16;
  std::vector<uint16_t> halves{0x3C00, 0x4000, 0x4200, 0x4400, 0x4500, 0x4600, 0x4700, 0x4800};
  vexotensor_s2d_bytes(t, halves.data(), 16);
  const auto debug = [&](int start, int len, char location) {
    return texts_at(printed([&] { vexotensor_show(t, start, len, location); }), "[DEBUG]  ");
  };
  EXPECT_EQ(debug(0, -1, 'd'), Lines{"print data: 1 2 3 4 5 6 7 8 "});
  EXPECT_EQ(debug(2, 3, 'S'), Lines{"print data: 3 4 5 "});

  // The device copy is read into a temporary buffer: the record keeps its own.
  write_device(handle, t->addr, Bytes{0x00, 0x3C, 0x00, 0xC0});
  EXPECT_EQ(debug(0, 3, 'D'), Lines{"print data: 1 -2 3 "});
  EXPECT_EQ(debug(0, 2, 's'), Lines{"print data: 1 2 "});
  EXPECT_EQ(t->data, halves.data());
  EXPECT_FALSE(t->is_malloc_host);

  vexotest::set_env("LOG_LEVEL", "3");
  EXPECT_EQ(printed([&] { vexotensor_show(t, 0, -1, 'd'); }), "");
}

TEST_F(Tensor, ShowRefusesWhatItCannotPrint) {
  TensorPtr t = bare(16);
  t->dtype = BM_FLOAT16;
  EXPECT_EQ(errors_of([&] { vexotensor_show(t.get(), 0, -1, 'd'); }), Lines{"No device data to show"});
  EXPECT_EQ(errors_of([&] { vexotensor_show(t.get(), 0, -1, 's'); }), Lines{"No host data to show"});
  EXPECT_EQ(errors_of([&] { vexotensor_show(t.get(), 0, -1, 'x'); }), Lines{"Invalid location"});
  EXPECT_EQ(errors_of([&] { vexotensor_show(nullptr, 0, -1, 's'); }), Lines{"Invalid tensor"});

  Bytes data(16);
  vexotensor_set_data(t.get(), data.data(), 16, false);
  EXPECT_EQ(errors_of([&] { vexotensor_show(t.get(), 6, 3, 's'); }),
            Lines{"Cannot show elements 6 to 8 of a tensor of 8 elements"});
  EXPECT_EQ(errors_of([&] { vexotensor_show(t.get(), -1, 2, 's'); }),
            Lines{"Cannot show elements -1 to 0 of a tensor of 8 elements"});
  EXPECT_EQ(errors_of([&] { vexotensor_show(t.get(), 1, -1, 's'); }),
            Lines{"Cannot show elements 1 to 8 of a tensor of 8 elements"});
  t->dtype = 11;
  EXPECT_EQ(errors_of([&] { vexotensor_show(t.get(), 0, 1, 's'); }),
            Lines{"Cannot show a tensor of unknown element type 11"});
}

// Setting up no record is refused with a line; releasing none is no error.
TEST(TensorRecord, NullRecordsAreRefusedAndReleasedSilently) {
  EXPECT_EQ(errors_of([] {
              vexotensor_init(nullptr);
              vexotensor_set_device_mem(nullptr, bm_device_mem_t{}, 0);
              vexotensor_set_device_mem_by_addr(nullptr, bm_device_mem_t{}, 0);
            }),
            (Lines{"vexotensor_init: no tensor", "vexotensor_set_device_mem: no tensor",
                   "vexotensor_set_device_mem_by_addr: no tensor"}));
  const std::string output = printed([] {
    vexotensor_destroy(nullptr);
    vexotensor_free_device(nullptr);
  });
  EXPECT_EQ(output, "");
}

}  // namespace
