// Log lines and plug-in libraries, shared by the reader and the writer.
#include <dlfcn.h>

#include <iostream>

#include "bmodel/internal/plugin.h"

namespace bmodel {

namespace detail {

LibraryHandle open_library(const std::string& path) { return LibraryHandle(dlopen(path.c_str(), RTLD_LAZY)); }

cipher_func_t find_cipher(const LibraryHandle& library, const char* symbol) {
  dlerror();
  void* address = dlsym(library.get(), symbol);
  if (dlerror() != nullptr) return nullptr;
  return reinterpret_cast<cipher_func_t>(address);
}

}  // namespace detail

void LibraryCloser::operator()(void* handle) const { dlclose(handle); }

}  // namespace bmodel
