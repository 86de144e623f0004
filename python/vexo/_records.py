"""The library's C records as ctypes structures.

The layouts are x86-64 with natural alignment, field for field as vexo.h
declares them; ctypes pads them the same way the C compiler does. Only these
public records are read: the runtimes' own state stays opaque.
"""
import ctypes
from ctypes import POINTER, c_bool, c_char, c_char_p, c_int, c_int32, c_size_t, c_uint32, c_uint64, c_void_p

NAME_CAPACITY = 128  # 127 characters and the NUL
SHAPE_SLOTS = 8
MAX_NETS = 256
MAX_STAGES = 64
MAX_TENSORS = 64


class vexo_tensor_desc(ctypes.Structure):
    """One input or output of a stage, without capacities."""

    _fields_ = [
        ("name", c_char_p),
        ("dtype", c_int),
        ("dims", c_size_t),
        ("shape", POINTER(c_uint64)),
        ("size", c_uint64),
    ]


class VexoTensor(ctypes.Structure):
    _fields_ = [
        ("name", c_char * NAME_CAPACITY),
        ("dtype", c_int),
        ("size", c_size_t),
        ("dims", c_size_t),
        ("shape", c_uint64 * SHAPE_SLOTS),
        ("data", c_void_p),
        ("is_malloc_host", c_bool),
        ("is_have_data", c_bool),
        ("device_id", c_int),
        ("bm_handle", c_void_p),
        ("is_in_device", c_bool),
        ("addr", c_uint64),
        ("device_start", c_uint64),
        ("device_size", c_uint64),
        ("offset", c_uint64),
        ("dmabuf_fd", c_int),
        ("reserved", c_uint32),
        ("rawflags", c_uint32),
        ("user_malloc", c_bool),
    ]


class C_DeviceMem(ctypes.Structure):
    _fields_ = [
        ("addr", c_uint64),
        ("size", c_uint32),
        ("reserved", c_uint32),
        ("rawflags", c_uint32),
        ("dmabuf_fd", c_int32),
    ]


class C_TensorInfo(ctypes.Structure):
    _fields_ = [
        ("name", c_char * NAME_CAPACITY),
        ("data_type", c_int32),
        ("device_addr", c_uint64),
        ("size", c_uint64),
        ("dims", c_size_t),
        ("shape", c_uint64 * SHAPE_SLOTS),
    ]


class C_StageInfo(ctypes.Structure):
    _fields_ = [
        ("input_num", c_size_t),
        ("output_num", c_size_t),
        ("input_tensor", C_TensorInfo * MAX_TENSORS),
        ("output_tensor", C_TensorInfo * MAX_TENSORS),
        ("input_tensor_global_addr", c_uint64 * MAX_TENSORS),
        ("output_tensor_global_addr", c_uint64 * MAX_TENSORS),
        ("io_alone", c_bool),
        ("io_addr", c_uint64),
        ("io_size", c_uint64),
        ("io_offset", c_uint64),
        ("io_global_addr", c_uint64),
        ("neuron_addr", c_uint64),
        ("neuron_size", c_uint64),
        ("neuron_offset", c_uint64),
        ("io_device", C_DeviceMem),
    ]


class C_NetInfo(ctypes.Structure):
    _fields_ = [
        ("name", c_char * NAME_CAPACITY),
        ("stage_num", c_size_t),
        ("stages", C_StageInfo * MAX_STAGES),
        ("addr_mode", c_int32),
    ]


class C_ModelInfo(ctypes.Structure):
    _fields_ = [
        ("device_id", c_int32),
        ("bm_handle", c_void_p),
        ("net_num", c_size_t),
        ("nets", C_NetInfo * MAX_NETS),
        ("neuron_device", C_DeviceMem),
    ]
