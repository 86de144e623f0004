// Tensor files loaded into records, saved and loaded back.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "entries.h"
#include "runtime/minitensor.h"
#include "scratch_file.h"

namespace vexo::fuzz {
namespace {

using minitensor::vexotensor;

constexpr size_t kHeaderBytes = 84;
constexpr uint64_t kMaxDataBytes = 64 << 20;

struct RecordDeleter {
  void operator()(minitensor::VexoTensor* tensor) const { minitensor::vexotensor_destroy(tensor); }
};
using Record = std::unique_ptr<minitensor::VexoTensor, RecordDeleter>;

Record shaped_like(const minitensor::VexoTensor& model) {
  Record record(minitensor::vexotensor_create());
  if (!record) std::abort();
  record->dtype = model.dtype;
  record->dims = model.dims;
  std::memcpy(record->shape, model.shape, sizeof record->shape);
  record->size = model.size;
  return record;
}

// A record that loaded must save, and the saved file must load back into a
// record of the same shape with the same bytes.
void save_and_reload(const minitensor::VexoTensor& loaded) {
  static const ScratchFile saved("saved.tensor");
  if (!minitensor::vexotensor_save_data(const_cast<vexotensor>(&loaded), saved.path().c_str())) std::abort();
  Record again = shaped_like(loaded);
  if (!minitensor::vexotensor_load_data(again.get(), saved.path().c_str())) std::abort();
  if (loaded.size != 0 && std::memcmp(again->data, loaded.data, loaded.size) != 0) std::abort();
}

}  // namespace

int tensor_file_entry(const uint8_t* data, size_t size) {
  static const ScratchFile input("input.tensor");
  input.write(data, size);

  Record empty(minitensor::vexotensor_create());
  if (!empty) std::abort();
  if (minitensor::vexotensor_load_data(empty.get(), input.path().c_str())) save_and_reload(*empty);

  // A record shaped as the header says, so that the data itself is read.
  if (size < kHeaderBytes) return 0;
  minitensor::VexoTensor claimed{};
  std::memcpy(&claimed.dtype, data, 4);
  std::memcpy(&claimed.dims, data + 4, 8);
  std::memcpy(claimed.shape, data + 12, 64);
  std::memcpy(&claimed.size, data + 76, 8);
  if (claimed.size > kMaxDataBytes) return 0;
  Record shaped = shaped_like(claimed);
  if (minitensor::vexotensor_load_data(shaped.get(), input.path().c_str())) save_and_reload(*shaped);
  return 0;
}

}  // namespace vexo::fuzz
