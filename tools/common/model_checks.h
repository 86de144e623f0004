// Checks of a model file and of a cipher plug-in made before the library
// reads them, so that the common ways they are unusable are told in plain
// words: the library's reader says only that a file "is broken", the writer
// ends the process on a plug-in it cannot load, and both name a plug-in only
// as a "Decrypt lib".
#pragma once

#include <string>

namespace vexo::tool {

// Cheap checks of a model file's size and header: a missing, empty,
// truncated file or one that is not a model file throws
// vexo::tool::Failure saying so. Returns whether the file is of the
// encrypted variant.
bool check_model_header(const std::string& path);

// check_model_header, then: an encrypted file without a decryption plug-in
// is refused, and a given plug-in is checked (check_plugin). Returns whether
// the file is encrypted.
bool check_model_file(const std::string& path, const std::string& decrypt_lib);

// The plug-in loads (dlopen, as the library loads it) and exports "decrypt"
// and, for encryption, "encrypt" too (what it writes must be readable).
// Otherwise throws vexo::tool::Failure naming the "encryption plug-in" or
// the "decryption plug-in" and why.
void check_plugin(const std::string& path, bool encryption);

// The end of a message about a cipher that failed: the reminder that the
// project's plug-in takes its key from VEXO_CIPHER_KEY when that is unset,
// or `otherwise`.
std::string cipher_hint(const std::string& otherwise);

}  // namespace vexo::tool
