// Tensor files: the byte layout, round trips, and every refusal with its
// message, on files written and cut by hand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "runtime/minitensor.h"
#include "tensor_test_support.h"
#include "utils/datagen.h"

namespace {

using namespace minitensor;
using namespace tensortest;

Bytes read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_all(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

template <typename T>
void append(Bytes& bytes, T value) {
  const auto* first = reinterpret_cast<const uint8_t*>(&value);
  bytes.insert(bytes.end(), first, first + sizeof value);
}

// A BM_FLOAT16 record of shape (2, 3), 12 bytes, without data.
TensorPtr fp16_2x3() {
  TensorPtr t(vexotensor_create());
  t->dtype = BM_FLOAT16;
  t->dims = 2;
  t->shape[0] = 2;
  t->shape[1] = 3;
  t->size = 12;
  return t;
}

const Bytes kData{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

// The file of an fp16_2x3 record holding kData.
Bytes fp16_2x3_file() {
  Bytes file;
  append<int32_t>(file, 1);
  append<uint64_t>(file, 2);
  for (uint64_t extent : {2, 3, 0, 0, 0, 0, 0, 0}) append<uint64_t>(file, extent);
  append<uint64_t>(file, 12);
  file.insert(file.end(), kData.begin(), kData.end());
  return file;
}

Bytes file_prefix(size_t length) {
  Bytes file = fp16_2x3_file();
  file.resize(length);
  return file;
}

class TensorFile : public DeviceTest {
 protected:
  // Loads `file` into a fresh fp16_2x3 record that borrows a caller buffer;
  // returns the error lines and checks that a refused load changed nothing.
  Lines refused_load(const Bytes& file) {
    write_all(path, file);
    TensorPtr t = fp16_2x3();
    Bytes caller(12, 0x77);
    vexotensor_set_data(t.get(), caller.data(), 12, false);
    bool loaded = true;
    const Lines errors = errors_of([&] { loaded = vexotensor_load_data(t.get(), path.c_str()); });
    EXPECT_FALSE(loaded);
    EXPECT_EQ(t->data, caller.data());
    EXPECT_FALSE(t->is_malloc_host);
    EXPECT_EQ(caller, Bytes(12, 0x77));
    return errors;
  }
  std::string path = dir.path("tensor.bin");
};

TEST_F(TensorFile, SavesTheHeaderAndDataOfAnFp16Tensor) {
  TensorPtr t = fp16_2x3();
  vexotensor_set_data(t.get(), const_cast<uint8_t*>(kData.data()), 12, false);
  bool saved = false;
  const std::string output = printed([&] { saved = vexotensor_save_data(t.get(), path.c_str()); });
  EXPECT_TRUE(saved);
  EXPECT_EQ(texts_at(output, "[INFO]   "), Lines{"Tensor data saved to " + path});
  const Bytes file = read_all(path);
  EXPECT_EQ(file.size(), 96u);
  EXPECT_EQ(file, fp16_2x3_file());
}

TEST_F(TensorFile, LoadsIntoAnOwnedBufferAndIgnoresWhatTheHeaderDoesNotCover) {
  Bytes file = fp16_2x3_file();
  std::memset(file.data() + 12 + 2 * 8, 0x5C, 8);  // shape slot 2, beyond dims
  file.insert(file.end(), {0xDE, 0xAD});  // after the data
  write_all(path, file);

  TensorPtr t = fp16_2x3();
  Bytes caller(12, 0x77);
  vexotensor_set_data(t.get(), caller.data(), 12, false);
  bool loaded = false;
  const std::string output = printed([&] { loaded = vexotensor_load_data(t.get(), path.c_str()); });
  EXPECT_TRUE(loaded);
  EXPECT_EQ(texts_at(output, "[INFO]   "), Lines{"Tensor data loaded from " + path});
  EXPECT_TRUE(t->is_malloc_host && t->is_have_data);
  EXPECT_FALSE(t->is_in_device);
  EXPECT_NE(t->data, caller.data());
  EXPECT_EQ(Bytes(static_cast<uint8_t*>(t->data), static_cast<uint8_t*>(t->data) + 12), kData);
  EXPECT_EQ(caller, Bytes(12, 0x77));

  // Saving it again writes the record's own slots, then loading round-trips.
  ASSERT_TRUE(vexotensor_save_data(t.get(), path.c_str()));
  EXPECT_EQ(read_all(path), fp16_2x3_file());
  TensorPtr again = fp16_2x3();
  ASSERT_TRUE(vexotensor_load_data(again.get(), path.c_str()));
  EXPECT_EQ(Bytes(static_cast<uint8_t*>(again->data), static_cast<uint8_t*>(again->data) + 12), kData);
}

TEST_F(TensorFile, ATensorWithDeviceDataOnlyIsDownloadedBeforeSaving) {
  VexoTensor* t = vexotensor_malloc_device(handle, 12);
  ASSERT_NE(t, nullptr);
  t->dtype = BM_FLOAT16;
  t->dims = 2;
  t->shape[0] = 2;
  t->shape[1] = 3;
  vexotest::write_device(handle, t->addr, kData);
  t->is_in_device = true;
  EXPECT_TRUE(vexotensor_save_data(t, path.c_str()));
  EXPECT_EQ(read_all(path), fp16_2x3_file());
  EXPECT_TRUE(t->is_malloc_host && t->is_have_data);

  // A download that fails saves nothing.
  TensorPtr broken = fp16_2x3();
  vexotensor_set_device_mem(broken.get(), convert_to_device_mem(t->addr, 12, 0, 0, 0), 0);
  broken->is_in_device = true;
  const std::string other = dir.path("other.bin");
  EXPECT_EQ(errors_of([&] { EXPECT_FALSE(vexotensor_save_data(broken.get(), other.c_str())); }),
            Lines{"Failed to download tensor data, status: 4"});
  EXPECT_TRUE(read_all(other).empty());
  vexotensor_free_device(t);
}

TEST_F(TensorFile, RefusedLoadsNameTheFaultAndChangeNothing) {
  EXPECT_EQ(refused_load(file_prefix(2)),
            Lines{"Failed to read tensor dtype"});
  EXPECT_EQ(refused_load(file_prefix(10)),
            Lines{"Failed to read tensor dims"});
  EXPECT_EQ(refused_load(file_prefix(50)),
            Lines{"Failed to read tensor shape"});
  EXPECT_EQ(refused_load(file_prefix(80)),
            Lines{"Failed to read tensor size"});
  EXPECT_EQ(refused_load(file_prefix(89)),
            Lines{"Failed to read tensor data, read 5 of 12 bytes"});

  const Lines metadata{"File tensor metadata does not match target tensor"};
  Bytes file = fp16_2x3_file();
  file[0] = BM_INT16;  // same size, other element type
  EXPECT_EQ(refused_load(file), metadata);
  file = fp16_2x3_file();
  file[4] = 3;  // dims
  EXPECT_EQ(refused_load(file), metadata);
  file = fp16_2x3_file();
  file[76] = 13;  // size
  EXPECT_EQ(refused_load(file), metadata);
  file = fp16_2x3_file();
  file[12 + 8] = 4;  // shape slot 1
  EXPECT_EQ(refused_load(file), Lines{"File tensor shape does not match target tensor"});

  std::remove(path.c_str());
  TensorPtr t = fp16_2x3();
  EXPECT_EQ(errors_of([&] { EXPECT_FALSE(vexotensor_load_data(t.get(), path.c_str())); }),
            Lines{"Failed to open file for reading: " + path});
}

TEST_F(TensorFile, RefusedSavesNameTheFault) {
  TensorPtr t = fp16_2x3();
  EXPECT_EQ(errors_of([&] { EXPECT_FALSE(vexotensor_save_data(t.get(), path.c_str())); }),
            Lines{"No data available to save"});
  EXPECT_EQ(errors_of([&] { EXPECT_FALSE(vexotensor_save_data(nullptr, path.c_str())); }),
            Lines{"Invalid tensor or filename"});
  EXPECT_EQ(errors_of([&] { EXPECT_FALSE(vexotensor_load_data(t.get(), nullptr)); }),
            Lines{"Invalid tensor or filename"});

  vexotensor_set_data(t.get(), const_cast<uint8_t*>(kData.data()), 12, false);
  const std::string missing = dir.path("no/such/folder.bin");
  EXPECT_EQ(errors_of([&] { EXPECT_FALSE(vexotensor_save_data(t.get(), missing.c_str())); }),
            Lines{"Failed to open file for writing: " + missing});

  // Bytes that only a full device refuses at the close are not a success.
  EXPECT_EQ(errors_of([&] { EXPECT_FALSE(vexotensor_save_data(t.get(), "/dev/full")); }),
            Lines{"Failed to close file after writing: /dev/full"});
  TensorPtr big(vexotensor_create());
  Bytes megabyte(1 << 20);
  big->size = megabyte.size();
  vexotensor_set_data(big.get(), megabyte.data(), megabyte.size(), false);
  const Lines errors = errors_of([&] { EXPECT_FALSE(vexotensor_save_data(big.get(), "/dev/full")); });
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], testing::MatchesRegex("Failed to write tensor data, wrote [0-9]+ of 1048576 bytes"));
}

}  // namespace
