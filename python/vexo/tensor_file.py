"""Tensor files, read and written by the library: an 84-byte little-endian
header (element type code, number of dimensions, eight extents, data bytes),
then the data."""
import math
import os
import struct

import numpy as np

from ._library import VexoError, library, library_error, require_file
from ._records import SHAPE_SLOTS
from ._tensors import host_array, new_record
from .elements import ELEMENT_TYPES, numpy_dtype, to_element_type, type_code

_HEADER = struct.Struct(f"<iQ{SHAPE_SLOTS}QQ")


def save_tensor(path, array, dtype=None):
    """Writes `array` to a tensor file.

    `dtype` is the file's element type: a name from ELEMENT_TYPES or a numpy
    dtype; by default the array's own (float32, float16, int8 to uint32).
    bfloat16 takes uint16 bits, or floating values that are rounded to it;
    int4 and uint4 take one value per byte, checked against their range.
    """
    if dtype is None:
        array = np.asarray(array)
        dtype = array.dtype
        if dtype not in map(numpy_dtype, range(len(ELEMENT_TYPES))):
            raise VexoError(f"{dtype} is not an element type: pass dtype= to convert the array "
                            f"(one of {', '.join(ELEMENT_TYPES)}), e.g. save_tensor(path, array, dtype='int32')")
    code = type_code(dtype)
    data = to_element_type(array, code, "tensor")
    if data.ndim > SHAPE_SLOTS:
        raise VexoError(f"a tensor file holds at most {SHAPE_SLOTS} dimensions, not {data.ndim}")
    require_file(os.path.dirname(os.path.abspath(path)), "folder")
    lib = library()
    record = new_record(code, data.shape, data.nbytes)
    try:
        lib.vexotensor_set_data(record, data.ctypes.data, data.nbytes, False)
        if not lib.vexotensor_save_data(record, os.fsencode(path)):
            raise library_error(f"cannot save the tensor to {os.fspath(path)!r}")
    finally:
        lib.vexotensor_destroy(record)


def load_tensor(path):
    """The tensor in a tensor file as an array (bfloat16 as uint16 bits)."""
    name = os.fspath(path)
    with open(path, "rb") as file:
        header = file.read(_HEADER.size)
        file_size = os.fstat(file.fileno()).st_size
    if len(header) < _HEADER.size:
        raise VexoError(f"{name!r} is not a tensor file: it is shorter than the {_HEADER.size}-byte header")
    code, dims, *slots, size = _HEADER.unpack(header)
    if not 0 <= code < len(ELEMENT_TYPES):
        raise VexoError(f"{name!r} holds an unknown element type code {code}")
    if dims > SHAPE_SLOTS:
        raise VexoError(f"{name!r} holds {dims} dimensions; only {SHAPE_SLOTS} extents are stored")
    shape = tuple(slots[:dims])
    dtype = numpy_dtype(code)
    expected = math.prod(shape) * dtype.itemsize
    if expected != size:
        raise VexoError(f"{name!r}: a {ELEMENT_TYPES[code]} tensor of shape {shape} takes {expected} bytes, "
                        f"the header says {size}")
    # Checked here so that a damaged header cannot ask for a huge buffer.
    if size > file_size - _HEADER.size:
        raise VexoError(f"{name!r} holds {file_size - _HEADER.size} of its {size} data bytes")
    lib = library()
    record = new_record(code, shape, size)
    try:
        if not lib.vexotensor_load_data(record, os.fsencode(path)):
            raise library_error(f"cannot load the tensor from {name!r}")
        return host_array(record.contents, dtype, shape)
    finally:
        lib.vexotensor_destroy(record)
