"""Finds libvexo.so, loads it once and declares the C functions the package
calls (declared in vexo.h and llm/generation.h), in one table."""
import ctypes
import errno
import functools
import os
import weakref
from ctypes import POINTER, c_bool, c_char, c_char_p, c_int, c_long, c_size_t, c_uint, c_void_p
from pathlib import Path

from ._records import (C_ModelInfo, Callbacks, Logprob, Message, Piece, Request, Sampling, Stats, VexoTensor,
                       vexo_tensor_desc)


class VexoError(RuntimeError):
    """A refusal or failure of the library, or a request it would refuse.

    The message says what failed and, for the library's own refusals, ends
    with the library's reason (the text of its error line).
    """


# The library's log threshold when the caller has not chosen one: warnings
# and errors, as in the tools.
DEFAULT_LOG_LEVEL = "2"


# Installed from a wheel, the library sits in the package's folder; by
# CMake, the package lives in <libdir>/vexo/python/vexo/ and the library in
# <libdir>, three folders above the package's folder.
BUNDLED_LIBRARY = Path(__file__).resolve().parent / "libvexo.so"
INSTALLED_LIBRARY = Path(__file__).resolve().parents[3] / "libvexo.so"

_tensor = POINTER(VexoTensor)
_PROTOTYPES = {
    "vexo_get_last_error": (c_char_p, []),
    "vexotensor_create": (_tensor, []),
    "vexotensor_destroy": (None, [_tensor]),
    "vexotensor_set_data": (None, [_tensor, c_void_p, c_size_t, c_bool]),
    "vexotensor_save_data": (c_bool, [_tensor, c_char_p]),
    "vexotensor_load_data": (c_bool, [_tensor, c_char_p]),
    "vexoruntime_init": (c_void_p, [c_char_p, c_int]),
    "vexoruntime_init_decrypt": (c_void_p, [c_char_p, c_int, c_char_p]),
    "vexoruntime_set_net_stage": (None, [c_void_p, c_size_t, c_size_t]),
    "vexoruntime_get_io_tensor": (_tensor, [c_void_p, c_char, c_size_t]),
    "vexoruntime_get_io_count": (c_size_t, [c_void_p, c_char]),
    "vexoruntime_set_input_s2d": (None, [c_void_p, c_size_t, c_void_p, c_size_t]),
    "vexoruntime_run_checked": (c_bool, [c_void_p, c_bool]),
    "vexoruntime_free": (None, [c_void_p]),
    "vexoruntime_get_net_count": (c_size_t, [c_void_p]),
    "vexoruntime_get_net_name": (c_char_p, [c_void_p, c_size_t]),
    "vexoruntime_get_stage_count": (c_size_t, [c_void_p, c_size_t]),
    "vexoruntime_get_tensor_count": (c_size_t, [c_void_p, c_size_t, c_size_t, c_char]),
    "vexoruntime_get_tensor_desc": (c_bool, [c_void_p, c_size_t, c_size_t, c_char, c_size_t,
                                             POINTER(vexo_tensor_desc)]),
    "vexoruntime_get_model_info": (c_void_p, [c_void_p]),
    "convert_model_info": (POINTER(C_ModelInfo), [c_void_p]),
    "llm_init": (c_void_p, [c_char_p, c_int]),
    "llm_init_decrypt": (c_void_p, [c_char_p, c_int, c_char_p]),
    "llm_get_seq_len": (c_size_t, [c_void_p]),
    "llm_get_token_len": (c_size_t, [c_void_p]),
    "llm_forward_first": (c_int, [c_void_p, POINTER(c_int), c_size_t]),
    "llm_forward_next": (c_int, [c_void_p]),
    "llm_free": (None, [c_void_p]),
    "llm_tokenizer_load": (c_void_p, [c_char_p]),
    "llm_tokenizer_from_callbacks": (c_void_p, [POINTER(Callbacks)]),
    "llm_tokenizer_free": (None, [c_void_p]),
    "llm_tokenizer_vocab_size": (c_size_t, [c_void_p]),
    "llm_tokenizer_bos_id": (c_int, [c_void_p]),
    "llm_tokenizer_eos_id": (c_int, [c_void_p]),
    "llm_tokenizer_encode": (c_long, [c_void_p, c_char_p, c_int, POINTER(c_int), c_size_t]),
    "llm_tokenizer_encode_with": (c_long, [c_void_p, c_char_p, c_uint, POINTER(c_int), c_size_t]),
    "llm_tokenizer_decode": (c_long, [c_void_p, POINTER(c_int), c_size_t, c_char_p, c_size_t]),
    "llm_request_defaults": (None, [POINTER(Request)]),
    "llm_sampling_invalid": (c_char_p, [POINTER(Sampling)]),
    "llm_session_logprobs": (c_long, [c_void_p, POINTER(Logprob), POINTER(Logprob), c_size_t]),
    "llm_finish_name": (c_char_p, [c_int]),
    "llm_session_create": (c_void_p, [c_void_p, c_void_p]),
    "llm_session_free": (None, [c_void_p]),
    "llm_session_start": (c_int, [c_void_p, POINTER(c_int), c_size_t, POINTER(Request)]),
    "llm_session_step": (c_int, [c_void_p, POINTER(Piece)]),
    "llm_session_finish": (c_int, [c_void_p]),
    "llm_session_get_stats": (None, [c_void_p, POINTER(Stats)]),
    "llm_grammar_compile": (c_void_p, [c_void_p, c_int, c_char_p]),
    "llm_grammar_free": (None, [c_void_p]),
    "llm_session_set_grammar": (c_int, [c_void_p, c_void_p]),
    "llm_tool_call_style": (c_int, [c_void_p]),
    "llm_tool_calls_parse": (c_long, [c_char_p, c_int, c_char_p, c_size_t]),
    "llm_grammar_compile_tool_call": (c_void_p, [c_void_p, c_int, c_char_p, c_char_p, c_int]),
    "llm_chat_template_chatml": (c_void_p, []),
    "llm_chat_template_load": (c_void_p, [c_char_p]),
    "llm_chat_template_free": (None, [c_void_p]),
    "llm_chat_template_render": (c_long, [c_void_p, POINTER(Message), c_size_t, c_int, c_char_p, c_size_t]),
    "llm_chat_template_stop": (c_char_p, [c_void_p]),
    "llm_chat_template_for_tokenizer": (c_void_p, [c_char_p]),
    "llm_chat_template_apply": (c_void_p, [c_void_p, c_char_p, c_char_p, c_char_p]),
    "llm_chat_prompt_free": (None, [c_void_p]),
    "llm_chat_prompt_text": (c_void_p, [c_void_p, POINTER(c_size_t)]),
    "llm_chat_prompt_data_ranges": (c_size_t, [c_void_p, POINTER(POINTER(c_size_t))]),
    "llm_chat_prompt_encode": (c_long, [c_void_p, c_void_p, c_int, POINTER(c_int), c_size_t]),
}


def library_path():
    """The library to load: VEXO_LIBRARY when set, else the copy that the
    wheel bundles or the one that CMake installed beside the package, else
    the name for the dynamic loader's search."""
    chosen = os.environ.get("VEXO_LIBRARY")
    if chosen:
        return chosen
    for candidate in (BUNDLED_LIBRARY, INSTALLED_LIBRARY):
        if candidate.is_file():
            return str(candidate)
    return "libvexo.so"


@functools.lru_cache(maxsize=None)
def library():
    """The loaded library with its functions' prototypes declared."""
    # Read by the library at every log line.
    os.environ.setdefault("LOG_LEVEL", DEFAULT_LOG_LEVEL)
    path = library_path()
    try:
        lib = ctypes.CDLL(path)
    except OSError as error:
        raise VexoError(
            f"cannot load the Vexo library {path!r} ({error}); set VEXO_LIBRARY to the path of libvexo.so"
        ) from error
    for name, (restype, argtypes) in _PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


def library_error(message):
    """A VexoError of `message` and the reason of the library's newest error
    line on this thread, for a call that the library just refused."""
    reason = library().vexo_get_last_error().decode("utf-8", errors="replace")
    return VexoError(f"{message}: {reason}" if reason else message)


def require_file(path, what):
    """Raises FileNotFoundError when there is no file at `path`."""
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, f"no such {what}", os.fspath(path))


class ModelHandle:
    """Owns the handle of a model the library loaded, released once: by
    close(), on leaving a with block, or when the owner is garbage-collected.

    `load(path, device)` opens a plain model file; with a decryption plug-in,
    `load_decrypt(path, device, plug-in)` opens an encrypted one, which the
    library deciphers in memory.
    """

    def __init__(self, path, device, decrypt_lib, load, load_decrypt, free, what):
        require_file(path, "model file")
        if decrypt_lib is None:
            handle = load(os.fsencode(path), device)
        else:
            require_file(decrypt_lib, "decryption plug-in")
            handle = load_decrypt(os.fsencode(path), device, os.fsencode(decrypt_lib))
        if not handle:
            raise library_error(f"cannot load {what} {os.fspath(path)!r} on device {device}")
        self._handle = handle
        self._release = weakref.finalize(self, free, handle)

    def close(self):
        """Releases the handle; later calls do nothing."""
        self._release()
        self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def _open_handle(self):
        if self._handle is None:
            raise VexoError(f"the {type(self).__name__} is closed")
        return self._handle
