// The tensor record's functions for C++ callers. The record itself, whose
// fields foreign callers read directly, is declared in vexo.h (as
// minitensor::VexoTensor here). Records come from the C allocator; the host
// buffers a record allocates do too, so a foreign caller may read `data` and
// the library frees it with the record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vexo.h"

namespace minitensor {

constexpr size_t kTensorNameCapacity = VEXO_TENSOR_NAME_CAPACITY;
constexpr size_t kTensorShapeSlots = VEXO_TENSOR_SHAPE_SLOTS;

// The tensor functions, declared in vexo.h: each logs one error line and
// returns (null, false or nothing) when it refuses; see docs/tensors.md for
// the messages and the choices.
using ::vexotensor_create;
using ::vexotensor_d2d_bytes_offset;
using ::vexotensor_destroy;
using ::vexotensor_free_device;
using ::vexotensor_init;
using ::vexotensor_load_data;
using ::vexotensor_malloc_device;
using ::vexotensor_s2d_bytes;
using ::vexotensor_save_data;
using ::vexotensor_set_data;
using ::vexotensor_set_device_mem;
using ::vexotensor_set_device_mem_by_addr;
using ::vexotensor_show;
using ::vexotensor_sync;

}  // namespace minitensor
