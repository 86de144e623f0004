"""The library's C records as ctypes structures.

The layouts are x86-64 with natural alignment, field for field as vexo.h
declares them; ctypes pads them the same way the C compiler does. Only these
public records are read: the runtimes' own state stays opaque.
"""
import ctypes
from ctypes import (POINTER, c_bool, c_char, c_char_p, c_double, c_float, c_int, c_int32, c_long, c_size_t, c_uint32,
                    c_uint64, c_void_p)

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


# Text generation (llm/generation.h).


class Sampling(ctypes.Structure):
    _fields_ = [
        ("temperature", c_float),
        ("top_k", c_int32),
        ("top_p", c_float),
        ("min_p", c_float),
        ("repeat_penalty", c_float),
        ("repeat_last_n", c_int32),
        ("seed", c_uint64),
        ("presence_penalty", c_float),
        ("frequency_penalty", c_float),
        ("logit_bias", c_void_p),
        ("logit_bias_count", c_size_t),
        ("logprobs", c_int32),
    ]


class LogitBias(ctypes.Structure):
    _fields_ = [("token", c_int32), ("bias", c_float)]


class Logprob(ctypes.Structure):
    _fields_ = [("token", c_int), ("logprob", c_double)]


class Request(ctypes.Structure):
    _fields_ = [
        ("sampling", Sampling),
        ("max_new", c_size_t),
        ("eos_ids", POINTER(c_int)),
        ("eos_count", c_size_t),
        ("stops", POINTER(c_char_p)),
        ("stop_count", c_size_t),
    ]


class Piece(ctypes.Structure):
    _fields_ = [("token", c_int), ("text", c_void_p), ("text_len", c_size_t)]


class Stats(ctypes.Structure):
    _fields_ = [
        ("prompt_tokens", c_size_t),
        ("reused_tokens", c_size_t),
        ("generated_tokens", c_size_t),
        ("prompt_seconds", c_double),
        ("first_token_seconds", c_double),
        ("generate_seconds", c_double),
    ]


class Message(ctypes.Structure):
    _fields_ = [("role", c_char_p), ("content", c_char_p)]


ENCODE_CALLBACK = ctypes.CFUNCTYPE(c_long, c_void_p, c_char_p, POINTER(c_int), c_size_t)
DECODE_CALLBACK = ctypes.CFUNCTYPE(c_long, c_void_p, POINTER(c_int), c_size_t, c_void_p, c_size_t)


class Callbacks(ctypes.Structure):
    _fields_ = [
        ("user", c_void_p),
        ("encode", ENCODE_CALLBACK),
        ("decode", DECODE_CALLBACK),
        ("vocab_size", c_size_t),
        ("bos_id", c_int),
        ("eos_id", c_int),
    ]
