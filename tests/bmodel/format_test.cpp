// The file format as other tools see it: header bytes, the metadata read by
// flatc from the schema alone, and the SHA-256 helper against sha256sum.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmodel_test_support.h"

using namespace bmodel_test;

namespace {

std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char chunk[256];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) output.append(chunk, n);
  pclose(pipe);
  return output;
}

std::string hex(const uint8_t* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

}  // namespace

TEST(BmodelFormat, HeaderBytesAreLittleEndianAndPacked) {
  const Bytes image = sample_model().image;
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 8), (Bytes{0xEE, 0xAA, 0x55, 0xFF, 64, 0, 0, 0}));
  uint32_t flatbuffers_size = 0;
  uint64_t binary_size = 0;
  std::memcpy(&flatbuffers_size, image.data() + 8, 4);
  std::memcpy(&binary_size, image.data() + 12, 8);
  EXPECT_EQ(64 + flatbuffers_size + binary_size, image.size());
  EXPECT_TRUE(std::all_of(image.begin() + 20, image.begin() + 64, [](uint8_t b) { return b == 0; }));
}

TEST(BmodelFormat, FlatcReadsTheMetadataWithTheSchema) {
  TempDir dir;
  const Bytes image = sample_model().image;
  uint32_t flatbuffers_size = 0;
  std::memcpy(&flatbuffers_size, image.data() + 8, 4);
  write_file(dir.path("metadata.bin"), Bytes(image.begin() + 64, image.begin() + 64 + flatbuffers_size));
  const std::string command = std::string(FLATC_PATH) + " --json --strict-json --raw-binary -o " +
                              dir.path("") + " " + BMODEL_SCHEMA + " -- " + dir.path("metadata.bin") +
                              " 2>&1";
  const std::string errors = run(command);
  ASSERT_EQ(errors, "");
  const Bytes json_bytes = read_file(dir.path("metadata.json"));
  const std::string json(json_bytes.begin(), json_bytes.end());
  for (const char* expected :
       {"\"chip\": \"BM1684X\"", "\"type\": \"B\"", "\"version\": \"2.2\"", "\"name\": \"alpha\"",
        "\"name\": \"beta\"", "\"name\": \"prob\"", "\"file_name\": \"kernel.so\"", "\"ctx_size\": 2000"}) {
    EXPECT_NE(json.find(expected), std::string::npos) << expected;
  }
}

TEST(BmodelFormat, SchemaDefaults) {
  bmodel::ModelGen gen;
  auto name = gen.Builder().CreateString("t");
  const auto* tensor =
      flatbuffers::GetTemporaryPointer(gen.Builder(), bmodel::CreateTensor(gen.Builder(), name));
  EXPECT_EQ(tensor->scale(), 1.0f);
  const auto* subnet = flatbuffers::GetTemporaryPointer(gen.Builder(), bmodel::CreateSubNet(gen.Builder()));
  EXPECT_EQ(subnet->id(), -1);
}

TEST(BmodelFormat, Sha256MatchesSha256sum) {
  TempDir dir;
  for (size_t size :
       {size_t{0}, size_t{55}, size_t{56}, size_t{63}, size_t{64}, size_t{119}, size_t{3} << 20}) {
    const Bytes data = pattern(size, static_cast<uint32_t>(size));
    write_file(dir.path("data"), data);
    uint8_t digest[32];
    bmodel::CalcSha256(data.data(), data.size(), digest);
    const std::string expected = run("sha256sum " + dir.path("data")).substr(0, 64);
    EXPECT_EQ(hex(digest, sizeof(digest)), expected) << size;
  }
}
