// The cipher plug-in of encrypted model files: AES-256-GCM.
//
// Output of encrypt: a random 12-byte nonce, the ciphertext (as long as the
// input), then the 16-byte tag. decrypt checks the tag, so a wrong key or a
// changed byte gives null rather than garbage. The key is the SHA-256 digest
// of the text of VEXO_CIPHER_KEY; without that variable both refuse.
// Outputs come from malloc and are released by the caller with free.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "utils/export.h"

namespace {

constexpr size_t kKeySize = 32;
constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;
// EVP updates take int lengths.
constexpr uint64_t kChunk = uint64_t{1} << 30;

struct ContextFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using Context = std::unique_ptr<EVP_CIPHER_CTX, ContextFree>;

struct Key {
  unsigned char bytes[kKeySize];
  ~Key() { OPENSSL_cleanse(bytes, sizeof(bytes)); }
};

bool derive_key(Key* key) {
  const char* text = std::getenv("VEXO_CIPHER_KEY");
  if (text == nullptr) return false;
  return EVP_Digest(text, std::strlen(text), key->bytes, nullptr, EVP_sha256(), nullptr) == 1;
}

struct MallocFree {
  void operator()(uint8_t* p) const { std::free(p); }
};
using Output = std::unique_ptr<uint8_t, MallocFree>;

Output allocate(uint64_t size) { return Output(static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size))); }

// Runs the input through an initialised context in chunks.
bool update(EVP_CIPHER_CTX* ctx, bool encrypting, const uint8_t* input, uint64_t size, uint8_t* output) {
  for (uint64_t done = 0; done < size;) {
    const int chunk = static_cast<int>(size - done < kChunk ? size - done : kChunk);
    int written = 0;
    const int ok = encrypting ? EVP_EncryptUpdate(ctx, output + done, &written, input + done, chunk)
                              : EVP_DecryptUpdate(ctx, output + done, &written, input + done, chunk);
    if (ok != 1 || written != chunk) return false;
    done += static_cast<uint64_t>(chunk);
  }
  return true;
}

}  // namespace

extern "C" VEXO_API uint8_t* encrypt(const uint8_t* input, uint64_t input_bytes, uint64_t* output_bytes) {
  Key key;
  if (output_bytes == nullptr || (input == nullptr && input_bytes != 0) || !derive_key(&key) ||
      input_bytes > UINT64_MAX - kNonceSize - kTagSize) {
    return nullptr;
  }
  const uint64_t total = kNonceSize + input_bytes + kTagSize;
  Output output = allocate(total);
  Context ctx(EVP_CIPHER_CTX_new());
  if (!output || !ctx) return nullptr;
  uint8_t* nonce = output.get();
  uint8_t* body = nonce + kNonceSize;
  uint8_t* tag = body + input_bytes;
  int final_bytes = 0;
  if (RAND_bytes(nonce, kNonceSize) != 1 ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes, nonce) != 1 ||
      !update(ctx.get(), true, input, input_bytes, body) ||
      EVP_EncryptFinal_ex(ctx.get(), tag, &final_bytes) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) != 1) {
    return nullptr;
  }
  *output_bytes = total;
  return output.release();
}

extern "C" VEXO_API uint8_t* decrypt(const uint8_t* input, uint64_t input_bytes, uint64_t* output_bytes) {
  Key key;
  if (output_bytes == nullptr || input == nullptr || input_bytes < kNonceSize + kTagSize ||
      !derive_key(&key)) {
    return nullptr;
  }
  const uint64_t plain_bytes = input_bytes - kNonceSize - kTagSize;
  const uint8_t* nonce = input;
  const uint8_t* body = nonce + kNonceSize;
  // The tag control takes a non-const pointer but only reads from it.
  uint8_t tag[kTagSize];
  std::memcpy(tag, body + plain_bytes, kTagSize);
  Output output = allocate(plain_bytes);
  Context ctx(EVP_CIPHER_CTX_new());
  if (!output || !ctx) return nullptr;
  int final_bytes = 0;
  if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes, nonce) != 1 ||
      !update(ctx.get(), false, body, plain_bytes, output.get()) ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), output.get() + plain_bytes, &final_bytes) != 1) {
    return nullptr;
  }
  *output_bytes = plain_bytes;
  return output.release();
}
