// Seeding the test-data generator, and whole-file reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "utils/export.h"

// Logs "set seed: <seed>" at info level and seeds rand().
VEXO_API void set_seed(int seed);

// Writes size bytes to filename, replacing an existing file. A file that
// cannot be written is reported at error level.
VEXO_API void write_file(std::string filename, uint8_t* data, size_t size);

// Reads a whole file into a buffer from malloc (release it with free) and
// stores its length in *size. A file that cannot be opened or read, or one of
// 2 GiB or more, gives null and *size = -1.
VEXO_API void* read_file_data(std::string filename, int* size);
