#include "tensor_files.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/files.h"
#include "common/format.h"
#include "common/tool.h"

namespace vexo::run_tool {

using vexo::tool::Failure;

namespace {

std::string shape_text(const std::vector<uint64_t>& shape) {
  std::string text = "[";
  for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
  return text + "]";
}

}  // namespace

std::string describe(int dtype, const std::vector<uint64_t>& shape, uint64_t size) {
  return vexo::tool::element_type_name(static_cast<uint32_t>(dtype)) + " " + shape_text(shape) + ", " +
         vexo::tool::human_size(size);
}

std::string describe(const StageTensor& tensor) { return describe(tensor.dtype, tensor.shape, tensor.size); }

std::string tensor_file_name(const std::string& tensor_name) {
  std::string name = tensor_name;
  for (char& c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || std::strchr("/\\<>:\"|?*", c)) c = '_';
  }
  return name + ".tensor";
}

Record load_tensor_file(const std::string& path, const StageTensor& target, const std::string& role) {
  vexo::tool::check_input_file(path);
  Record record(minitensor::vexotensor_create());
  if (!record) throw std::bad_alloc();
  const VexoTensor& like = *target.record;
  std::memcpy(record->name, like.name, sizeof(record->name));
  record->dtype = like.dtype;
  record->dims = like.dims;
  std::copy(like.shape, like.shape + minitensor::kTensorShapeSlots, record->shape);
  record->size = like.size;
  // The library checks the file against the record and logs what differs.
  if (!minitensor::vexotensor_load_data(record.get(), path.c_str())) {
    throw Failure(path + " does not hold a tensor that fits " + role + " (" + describe(target) + ")");
  }
  return record;
}

}  // namespace vexo::run_tool
