// Encrypted model files through the cipher plug-in, and the reader's
// decryption path with its failures.
#include <cstdlib>
#include <cstring>

#include "bmodel_test_support.h"

using namespace bmodel_test;
using bmodel::Binary;
using bmodel::ModelCtx;
using bmodel::ModelGen;

namespace {

const std::string kCipher = VEXO_CIPHER_PATH;

class BmodelCipher : public testing::Test {
 protected:
  void SetUp() override {
    setenv("VEXO_CIPHER_KEY", "correct horse", 1);
    ModelGen gen(0, kCipher);
    sample = build_sample(gen);
    path = dir.path("secret.bmodel");
    gen.SaveEncrypt(path);
  }
  TempDir dir;
  SampleModel sample;
  std::string path;
};

// A decipher that hands back its input, so that a test controls what the
// reader gets.
uint8_t* identity(const uint8_t* input, uint64_t size, uint64_t* out_size) {
  auto* out = static_cast<uint8_t*>(std::malloc(size + 1));
  std::memcpy(out, input, size);
  *out_size = size;
  return out;
}

}  // namespace

TEST_F(BmodelCipher, EncryptedFileOpensThroughThePlugin) {
  const Bytes file = read_file(path);
  // Magic in plain; neither the plain metadata nor its strings show.
  EXPECT_EQ(0, std::memcmp(file.data(), sample.image.data(), 4));
  const std::string text(file.begin(), file.end());
  EXPECT_EQ(text.find("alpha"), std::string::npos);
  EXPECT_EQ(text.find("BM1684X"), std::string::npos);

  ModelCtx ctx(path, kCipher);
  EXPECT_EQ(describe(ctx.model()), describe(ModelCtx(sample.image.data(), sample.image.size()).model()));
  // The payload stays plain and is read as usual.
  for (const auto& [range, bytes] : sample.ranges) {
    Bytes back(range.size());
    ctx.read_binary(&range, back.data());
    EXPECT_EQ(back, bytes);
  }
}

TEST_F(BmodelCipher, EncipheredRangesAndFilesDecipher) {
  // A producer stores a range enciphered inside the payload.
  const Bytes plain = pattern(1000, 5);
  ModelGen gen(0, kCipher);
  uint64_t size = 0;
  std::unique_ptr<uint8_t, bmodel::FreeDeleter> cipher(gen.Encrypt(plain.data(), plain.size(), &size));
  ASSERT_TRUE(cipher);
  const Binary range = gen.WriteBinary(size, cipher.get());
  build_sample(gen);
  gen.SaveEncrypt(path);

  ModelCtx ctx(path, kCipher);
  uint64_t out_size = 0;
  std::unique_ptr<uint8_t, bmodel::FreeDeleter> back(ctx.read_binary_with_decrypt(&range, &out_size));
  ASSERT_TRUE(back);
  EXPECT_EQ(Bytes(back.get(), back.get() + out_size), plain);

  write_file(dir.path("blob"), Bytes(cipher.get(), cipher.get() + size));
  back.reset(ctx.decrypt_file(dir.path("blob"), &out_size));
  ASSERT_TRUE(back);
  EXPECT_EQ(Bytes(back.get(), back.get() + out_size), plain);

  testing::internal::CaptureStdout();
  const Binary empty(0, 0);
  EXPECT_EQ(ctx.read_binary_with_decrypt(&empty, &out_size), nullptr);
  EXPECT_EQ(ctx.read_binary_with_decrypt(&range, nullptr), nullptr);
  const Binary beyond(~uint64_t{0} - 10, 100);
  EXPECT_EQ(ctx.read_binary_with_decrypt(&beyond, &out_size), nullptr);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(has_line(out, "read_binary_with_decrypt", "binary is null"));
  EXPECT_TRUE(has_line(out, "decrypt_buffer_from_file", "out_size is null"));
  EXPECT_TRUE(has_line(out, "decrypt_buffer_from_file", "Failed to seek to the specified position."));
}

TEST_F(BmodelCipher, DecryptFileReportsOnStandardError) {
  ModelCtx ctx(path, kCipher);
  uint64_t size = 0;
  write_file(dir.path("empty"), {});
  write_file(dir.path("garbage"), pattern(100, 3));
  testing::internal::CaptureStderr();
  EXPECT_EQ(ctx.decrypt_file(dir.path("absent"), &size), nullptr);
  EXPECT_EQ(ctx.decrypt_file(dir.path("empty"), &size), nullptr);
  EXPECT_EQ(ctx.decrypt_file(dir.path("garbage"), &size), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to open file: " + dir.path("absent") + "\nFailed as file empty: " + dir.path("empty") +
                "\nDecryption failed for file: " + dir.path("garbage") + "\n");
}

TEST_F(BmodelCipher, WrongOrMissingKeyNeverGivesMetadata) {
  setenv("VEXO_CIPHER_KEY", "wrong horse", 1);
  std::string out = expect_runtime_error([&] { ModelCtx ctx(path, kCipher); }, "failed to decrypt");
  EXPECT_TRUE(has_line(out, "decrypt_buffer_from_file",
                       "Decryption failed: the result returned by decrypt_func_ is null."));
  unsetenv("VEXO_CIPHER_KEY");
  out = expect_runtime_error([&] { ModelCtx ctx(path, kCipher); }, "failed to decrypt");
  EXPECT_TRUE(has_line(out, "decrypt_buffer_from_file",
                       "Decryption failed: the result returned by decrypt_func_ is null."));
}

TEST_F(BmodelCipher, TamperedFilesAreRejected) {
  const Bytes file = read_file(path);
  bmodel::MODEL_HEADER_T raw;
  std::memcpy(&raw, file.data(), sizeof(raw));
  const std::string broken = "File[" + path + "] is broken ..";

  Bytes changed = file;
  changed[raw.header_size + 20] ^= 1;  // inside the enciphered metadata
  write_file(path, changed);
  expect_runtime_error([&] { ModelCtx ctx(path, kCipher); }, "failed to decrypt");

  changed = file;
  changed[0] ^= 1;
  write_file(path, changed);
  std::string out = expect_runtime_error([&] { ModelCtx ctx(path, kCipher); }, "failed to load bmodel");
  EXPECT_TRUE(has_line(out, "decrypt_bmodel", broken));

  // A header tail that reaches past the file cannot be deciphered.
  for (uint32_t header_size : {4u, ~0u}) {
    changed = file;
    std::memcpy(changed.data() + 4, &header_size, 4);
    write_file(path, changed);
    out = expect_runtime_error([&] { ModelCtx ctx(path, kCipher); }, "failed to decrypt");
    EXPECT_TRUE(has_line(out, "decrypt_bmodel", broken)) << header_size;
  }

  // The payload must be in the file.
  changed.assign(file.begin(), file.end() - 1);
  write_file(path, changed);
  out = expect_runtime_error([&] { ModelCtx ctx(path, kCipher); }, "failed to construct");
  EXPECT_TRUE(has_line(out, "decrypt_bmodel", "Bmodel data is broken ."));
}

TEST_F(BmodelCipher, DecipheredHeaderIsChecked) {
  // With a decipher that changes nothing, a plain file's header tail is
  // never 56 bytes long (header_size 64 gives 56, so shorten it).
  Bytes plain = sample.image;
  uint32_t header_size = 40;
  std::memcpy(plain.data() + 4, &header_size, 4);
  write_file(path, plain);
  std::string out = expect_runtime_error([&] { ModelCtx ctx(path, "", identity); }, "failed to decrypt");
  EXPECT_TRUE(has_line(out, "decrypt_bmodel", "File[" + path + "] is broken .."));

  // 56 bytes with a non-zero reserved word: the key is wrong.
  plain = sample.image;
  plain[40] = 1;
  write_file(path, plain);
  out = expect_runtime_error([&] { ModelCtx ctx(path, "", identity); }, "failed to decrypt");
  EXPECT_TRUE(has_line(out, "decrypt_bmodel", "your decrypt key is broken."));

  // An identity cipher on a plain file reads it like the plain path.
  write_file(path, sample.image);
  ModelCtx ctx(path, "", identity);
  EXPECT_EQ(ctx.model()->net()->size(), 2u);

  // Deciphered metadata that does not verify.
  plain = sample.image;
  plain[64 + 2] = 0x7F;
  write_file(path, plain);
  out = expect_runtime_error([&] { ModelCtx ctx(path, "", identity); }, "failed to load bmodel");
  EXPECT_TRUE(has_line(out, "decrypt_bmodel", "Model file[" + path + "] is broken."));
}

TEST_F(BmodelCipher, PluginLoadFailures) {
  std::string out =
      expect_runtime_error([&] { ModelCtx ctx(path, "/nonexistent/libcipher.so"); }, "failed to decrypt");
  EXPECT_TRUE(has_line(out, "init_decrypt", "Decrypt lib [/nonexistent/libcipher.so] load failed."));
  // A library without the symbol.
  out = expect_runtime_error([&] { ModelCtx ctx(path, "libc.so.6"); }, "failed to decrypt");
  EXPECT_TRUE(has_line(out, "init_decrypt", "Decrypt lib [libc.so.6] symbol find failed."));
  EXPECT_BMODEL_EXIT(ModelGen(0, "/nonexistent/libcipher.so"), "InitEncrypt",
                     "Decrypt lib [/nonexistent/libcipher.so] load failed.");
  EXPECT_BMODEL_EXIT(ModelGen(0, "libc.so.6"), "InitEncrypt", "Decrypt lib [libc.so.6] symbol find failed.");
}

TEST_F(BmodelCipher, SaveEncryptWithoutKeyEndsTheProcess) {
  unsetenv("VEXO_CIPHER_KEY");
  ModelGen gen(0, kCipher);
  build_sample(gen);
  EXPECT_BMODEL_EXIT(gen.SaveEncrypt(path), "SaveEncrypt", "Save file[" + path + "] failed.");
}
