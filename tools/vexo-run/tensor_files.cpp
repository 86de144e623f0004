#include "tensor_files.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>

#include "common/files.h"
#include "common/format.h"
#include "common/tool.h"

namespace vexo::run_tool {

using vexo::tool::Failure;

namespace {

constexpr size_t kHeaderBytes = 84;

std::string shape_text(const uint64_t* shape, uint64_t dims) {
  std::string text = "[";
  const uint64_t shown = std::min<uint64_t>(dims, minitensor::kTensorShapeSlots);
  for (uint64_t i = 0; i < shown; ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
  if (dims > shown) text += ", ...";
  return text + "]";
}

// What a tensor file says about its tensor.
struct FileHeader {
  int32_t dtype = 0;
  uint64_t dims = 0;
  uint64_t shape[minitensor::kTensorShapeSlots] = {};
  uint64_t size = 0;
};

FileHeader read_header(const std::string& path, uint64_t file_size) {
  if (file_size < kHeaderBytes) {
    throw Failure(path + " is not a tensor file: " + std::to_string(file_size) + " bytes, less than the " +
                  std::to_string(kHeaderBytes) + "-byte header");
  }
  unsigned char bytes[kHeaderBytes];
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(bytes), kHeaderBytes)) throw Failure("cannot read " + path);
  FileHeader header;
  std::memcpy(&header.dtype, bytes, 4);
  std::memcpy(&header.dims, bytes + 4, 8);
  std::memcpy(header.shape, bytes + 12, 64);
  std::memcpy(&header.size, bytes + 76, 8);
  return header;
}

// The comparison the library makes when it loads a file.
bool fits(const FileHeader& header, const VexoTensor& target) {
  if (header.dtype != target.dtype || header.dims != target.dims || header.size != target.size) return false;
  const uint64_t compared = std::min<uint64_t>(header.dims, minitensor::kTensorShapeSlots);
  return std::equal(header.shape, header.shape + compared, target.shape);
}

}  // namespace

std::string describe(int dtype, const uint64_t* shape, uint64_t dims, uint64_t size) {
  return vexo::tool::element_type_name(static_cast<uint32_t>(dtype)) + " " + shape_text(shape, dims) + ", " +
         vexo::tool::human_size(size);
}

std::string describe(const VexoTensor& tensor) {
  return describe(tensor.dtype, tensor.shape, tensor.dims, tensor.size);
}

std::string tensor_file_name(const std::string& tensor_name) {
  std::string name = tensor_name;
  for (char& c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || std::strchr("/\\<>:\"|?*", c)) c = '_';
  }
  return name + ".tensor";
}

Record load_tensor_file(const std::string& path, const VexoTensor& target, const std::string& role) {
  vexo::tool::check_input_file(path);
  std::error_code error;
  const uint64_t file_size = std::filesystem::file_size(path, error);
  if (error) throw Failure("cannot read " + path + ": " + error.message());
  const FileHeader header = read_header(path, file_size);
  if (!fits(header, target)) {
    throw Failure(path + " does not fit " + role + ": the file holds " +
                  describe(header.dtype, header.shape, header.dims, header.size) + ", " + role + " is " +
                  describe(target));
  }
  if (file_size - kHeaderBytes < header.size) {
    throw Failure(path + " is cut short: " + std::to_string(file_size - kHeaderBytes) + " of its " +
                  std::to_string(header.size) + " data bytes are there");
  }
  Record record(minitensor::vexotensor_create());
  if (!record) throw std::bad_alloc();
  std::memcpy(record->name, target.name, sizeof(record->name));
  record->dtype = target.dtype;
  record->dims = target.dims;
  std::copy(target.shape, target.shape + minitensor::kTensorShapeSlots, record->shape);
  record->size = target.size;
  if (!minitensor::vexotensor_load_data(record.get(), path.c_str())) throw Failure("cannot load " + path);
  return record;
}

}  // namespace vexo::run_tool
