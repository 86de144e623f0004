// Checks of a cipher plug-in made before the library's reader or writer
// loads it: the writer ends the process on a plug-in it cannot load, and
// both name it only as a "Decrypt lib".
#pragma once

#include <string>

namespace vexo::model_tool {

// The plug-in loads (dlopen, as the library loads it) and exports "decrypt"
// and, for encryption, "encrypt" too (what it writes must be readable).
// Otherwise throws vexo::tool::Failure naming the "encryption plug-in" or
// the "decryption plug-in" and why.
void check_plugin(const std::string& path, bool encryption);

// The end of a message about a cipher that failed: the reminder that the
// project's plug-in takes its key from VEXO_CIPHER_KEY when that is unset,
// or `otherwise`.
std::string cipher_hint(const std::string& otherwise);

}  // namespace vexo::model_tool
