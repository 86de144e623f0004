#include "common/model_checks.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "bmodel/bmodel.h"
#include "common/files.h"
#include "common/format.h"
#include "common/tool.h"

namespace vexo::tool {

namespace {

struct Closer {
  void operator()(void* handle) const { dlclose(handle); }
};

// dlerror() without the path it starts with, which the message gives.
std::string load_error(const std::string& path) {
  const char* text = dlerror();
  std::string reason = text ? text : "unknown reason";
  if (reason.rfind(path + ": ", 0) == 0) reason.erase(0, path.size() + 2);
  return reason;
}

}  // namespace

void check_plugin(const std::string& path, bool encryption) {
  const std::string what = std::string(encryption ? "the encryption" : "the decryption") + " plug-in " + path;
  // The same binding as the library's own loading, so that both agree.
  const std::unique_ptr<void, Closer> library(dlopen(path.c_str(), RTLD_LAZY));
  if (!library) throw Failure("cannot load " + what + ": " + load_error(path));
  std::vector<const char*> symbols{"decrypt"};
  if (encryption) symbols.insert(symbols.begin(), "encrypt");
  for (const char* symbol : symbols) {
    dlerror();
    dlsym(library.get(), symbol);
    if (dlerror() != nullptr) {
      throw Failure(what + " does not export \"" + symbol +
                                "\" (a cipher plug-in exports \"encrypt\" and \"decrypt\")");
    }
  }
}

std::string cipher_hint(const std::string& otherwise) {
  if (std::getenv("VEXO_CIPHER_KEY") == nullptr) {
    return "VEXO_CIPHER_KEY is not set (the project's plug-in libvexo_cipher.so takes its key from it)";
  }
  return otherwise;
}

// The encrypted variant keeps a longer header.
bool check_model_header(const std::string& path) {
  check_input_file(path);
  std::error_code error;
  const uint64_t size = std::filesystem::file_size(path, error);
  if (error) throw Failure("cannot open " + path + ": " + error.message());
  if (size == 0) throw Failure(path + " is empty, not a model file");
  bmodel::MODEL_HEADER_T header{};
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(&header), sizeof(header));
  const auto got = static_cast<uint64_t>(in.gcount());
  if (got < sizeof(header.magic) || header.magic != bmodel::BMODEL_MAGIC) {
    throw Failure(path + " is not a model file: it does not start with the model files' magic number");
  }
  const std::string bytes = count_text(size, "byte");
  if (got < 8) throw Failure(path + " is truncated: " + bytes + ", less than a model file's header");
  if (header.header_size != bmodel::BMODEL_HEADER_SIZE) return true;
  // The reader wants more than the header: at least some metadata.
  if (size <= bmodel::BMODEL_HEADER_SIZE) {
    throw Failure(path + " is truncated: " + bytes + ", no more than a model file's header");
  }
  // Copies: the header is packed, and std::min takes references.
  const uint64_t regions = uint64_t{header.header_size} + header.flatbuffers_size;
  const uint64_t payload = header.binary_size;
  const uint64_t announced = regions + std::min(payload, UINT64_MAX - regions);  // saturates
  if (announced > size) {
    throw Failure(path + " is truncated: its header announces " + std::to_string(announced) +
                  " bytes, the file holds " + std::to_string(size));
  }
  return false;
}

bool check_model_file(const std::string& path, const std::string& decrypt_lib) {
  const bool encrypted = check_model_header(path);
  if (decrypt_lib.empty() && encrypted) {
    throw Failure(path + " is encrypted: give its decryption plug-in with --decrypt-lib");
  }
  if (!decrypt_lib.empty()) check_plugin(decrypt_lib, false);
  return encrypted;
}

}  // namespace vexo::tool
