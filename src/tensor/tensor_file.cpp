// Tensor files: an 84-byte header that repeats the record's dtype (int32),
// dims (uint64), all eight shape slots (uint64) and size (uint64) in host
// byte order, followed by the data bytes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>

#include "src/tensor/tensor_internal.h"
#include "src/utils/guard.h"
#include "src/utils/logs.h"

namespace minitensor {

using minilog::guarded;
using minilog::log_error;

namespace {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct HeaderField {
  void* bytes;
  size_t length;
  const char* name;
};

struct Header {
  int32_t dtype = 0;
  uint64_t dims = 0;
  uint64_t shape[kTensorShapeSlots] = {};
  uint64_t size = 0;

  // In file order.
  std::array<HeaderField, 4> fields() {
    return {{{&dtype, sizeof dtype, "dtype"},
             {&dims, sizeof dims, "dims"},
             {shape, sizeof shape, "shape"},
             {&size, sizeof size, "size"}}};
  }
};

bool save(VexoTensor* tensor, const char* filename) {
  if (!tensor->is_have_data) {
    if (!tensor->is_in_device) {
      log_error("No data available to save");
      return false;
    }
    download(*tensor);
  }
  File file(std::fopen(filename, "wb"));
  if (!file) {
    log_error("Failed to open file for writing: ", filename);
    return false;
  }
  Header header;
  header.dtype = tensor->dtype;
  header.dims = tensor->dims;
  std::copy(std::begin(tensor->shape), std::end(tensor->shape), header.shape);
  header.size = tensor->size;
  for (const HeaderField& field : header.fields()) {
    if (std::fwrite(field.bytes, 1, field.length, file.get()) != field.length) {
      log_error("Failed to write tensor ", field.name);
      return false;
    }
  }
  const size_t written = std::fwrite(tensor->data, 1, tensor->size, file.get());
  // Buffered bytes reach the file only at the close, which can fail too.
  const bool closed = std::fclose(file.release()) == 0;
  if (written < tensor->size) {
    log_error("Failed to write tensor data, wrote ", written, " of ", tensor->size, " bytes");
    return false;
  }
  if (!closed) {
    log_error("Failed to close file after writing: ", filename);
    return false;
  }
  minilog::log_info("Tensor data saved to ", filename);
  return true;
}

// The data is read into a fresh buffer that replaces the record's only when
// every byte arrived, so a failed load never leaves partial data behind a
// host-data flag.
bool load(VexoTensor* tensor, const char* filename) {
  File file(std::fopen(filename, "rb"));
  if (!file) {
    log_error("Failed to open file for reading: ", filename);
    return false;
  }
  Header header;
  for (const HeaderField& field : header.fields()) {
    if (std::fread(field.bytes, 1, field.length, file.get()) != field.length) {
      log_error("Failed to read tensor ", field.name);
      return false;
    }
  }
  if (header.dtype != tensor->dtype || header.dims != tensor->dims || header.size != tensor->size) {
    log_error("File tensor metadata does not match target tensor");
    return false;
  }
  const uint64_t compared = header.dims < kTensorShapeSlots ? header.dims : kTensorShapeSlots;
  for (uint64_t i = 0; i < compared; ++i) {
    if (header.shape[i] != tensor->shape[i]) {
      log_error("File tensor shape does not match target tensor");
      return false;
    }
  }
  HostBuffer buffer = allocate_host(tensor->size);
  if (!buffer) {
    log_error("Failed to allocate host memory");
    return false;
  }
  const size_t read = std::fread(buffer.get(), 1, tensor->size, file.get());
  file.reset();
  if (read < tensor->size) {
    log_error("Failed to read tensor data, read ", read, " of ", tensor->size, " bytes");
    return false;
  }
  adopt_host_buffer(*tensor, std::move(buffer));
  tensor->is_have_data = true;
  minilog::log_info("Tensor data loaded from ", filename);
  return true;
}

bool valid_arguments(const VexoTensor* tensor, const char* filename) {
  if (tensor && filename) return true;
  log_error("Invalid tensor or filename");
  return false;
}

}  // namespace

}  // namespace minitensor

// The exported functions, at global scope as vexo.h declares them.
using namespace minitensor;

extern "C" {

bool vexotensor_save_data(vexotensor tensor, const char* filename) {
  return guarded(
      "vexotensor_save_data", [&] { return valid_arguments(tensor, filename) && save(tensor, filename); }, false);
}

bool vexotensor_load_data(vexotensor tensor, const char* filename) {
  return guarded(
      "vexotensor_load_data", [&] { return valid_arguments(tensor, filename) && load(tensor, filename); }, false);
}

}  // extern "C"
