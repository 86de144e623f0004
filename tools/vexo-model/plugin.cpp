#include "plugin.h"

#include <dlfcn.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "common/tool.h"

namespace vexo::model_tool {

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
  if (!library) throw vexo::tool::Failure("cannot load " + what + ": " + load_error(path));
  std::vector<const char*> symbols{"decrypt"};
  if (encryption) symbols.insert(symbols.begin(), "encrypt");
  for (const char* symbol : symbols) {
    dlerror();
    dlsym(library.get(), symbol);
    if (dlerror() != nullptr) {
      throw vexo::tool::Failure(what + " does not export \"" + symbol +
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

}  // namespace vexo::model_tool
