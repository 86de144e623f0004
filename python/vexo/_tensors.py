"""Tensor records made by the package, and copies out of a record's host buffer."""
import ctypes

import numpy as np

from ._library import VexoError, library


def new_record(code, shape, nbytes):
    """A fresh record of element type `code`, shape and byte size; the caller
    destroys it with vexotensor_destroy."""
    record = library().vexotensor_create()
    if not record:
        raise VexoError("cannot allocate a tensor record")
    fields = record.contents
    fields.dtype = code
    fields.size = nbytes
    fields.dims = len(shape)
    for slot, extent in enumerate(shape):
        fields.shape[slot] = extent
    return record


def host_array(fields, dtype, shape):
    """A copy of the record's host data as an array, which stays valid after
    the record changes or goes."""
    array = np.empty(shape, dtype=dtype)
    name = fields.name.decode(errors="replace")
    if array.nbytes != fields.size:
        raise VexoError(f"tensor {name!r} holds {fields.size} bytes, not the {array.nbytes} of its shape")
    if array.nbytes and not fields.data:
        raise VexoError(f"tensor {name!r} holds no host data")
    ctypes.memmove(array.ctypes.data, fields.data, array.nbytes)
    return array
