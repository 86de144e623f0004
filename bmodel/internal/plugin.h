// Loading a cipher plug-in library and looking up its functions.
#pragma once

#include <string>

#include "bmodel/bmodel.h"

namespace bmodel::detail {

// The library loaded with lazy binding, or null.
LibraryHandle open_library(const std::string& path);

// The function named symbol, or null when the lookup fails.
cipher_func_t find_cipher(const LibraryHandle& library, const char* symbol);

}  // namespace bmodel::detail
