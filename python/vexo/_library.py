"""Finds libvexo.so, loads it once and declares the C functions the package calls."""
import ctypes
import functools
import os
import weakref
from ctypes import POINTER, c_bool, c_char, c_char_p, c_int, c_size_t, c_void_p
from pathlib import Path

from ._records import C_ModelInfo, VexoTensor


class VexoError(RuntimeError):
    """A refusal or failure of the library, or a request it would refuse.

    The library writes the reason of its own refusals to standard output as
    one error line (following LOG_LEVEL); the message here says what failed.
    """


# Installed, the package lives in <libdir>/vexo/python/vexo/ and the library
# in <libdir>, three folders above the package's folder.
INSTALLED_LIBRARY = Path(__file__).resolve().parents[3] / "libvexo.so"

_tensor = POINTER(VexoTensor)
_PROTOTYPES = {
    "vexotensor_create": (_tensor, []),
    "vexotensor_destroy": (None, [_tensor]),
    "vexotensor_set_data": (None, [_tensor, c_void_p, c_size_t, c_bool]),
    "vexotensor_save_data": (c_bool, [_tensor, c_char_p]),
    "vexotensor_load_data": (c_bool, [_tensor, c_char_p]),
    "vexoruntime_init": (c_void_p, [c_char_p, c_int]),
    "vexoruntime_set_net_stage": (None, [c_void_p, c_size_t, c_size_t]),
    "vexoruntime_get_io_tensor": (_tensor, [c_void_p, c_char, c_size_t]),
    "vexoruntime_get_io_count": (c_size_t, [c_void_p, c_char]),
    "vexoruntime_set_input_s2d": (None, [c_void_p, c_size_t, c_void_p, c_size_t]),
    "vexoruntime_run": (None, [c_void_p, c_bool]),
    "vexoruntime_run_checked": (c_bool, [c_void_p, c_bool]),
    "vexoruntime_free": (None, [c_void_p]),
    "convert_model_info": (POINTER(C_ModelInfo), [c_void_p]),
    "llm_init": (c_void_p, [c_char_p, c_int]),
    "llm_get_seq_len": (c_size_t, [c_void_p]),
    "llm_get_token_len": (c_size_t, [c_void_p]),
    "llm_forward_first": (c_int, [c_void_p, POINTER(c_int), c_size_t]),
    "llm_forward_next": (c_int, [c_void_p]),
    "llm_free": (None, [c_void_p]),
}


def library_path():
    """The library to load: VEXO_LIBRARY when set, else the installed copy
    beside the package, else the name for the dynamic loader's search."""
    chosen = os.environ.get("VEXO_LIBRARY")
    if chosen:
        return chosen
    if INSTALLED_LIBRARY.is_file():
        return str(INSTALLED_LIBRARY)
    return "libvexo.so"


@functools.lru_cache(maxsize=None)
def library():
    """The loaded library with its functions' prototypes declared."""
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


class ModelHandle:
    """Owns the handle of a model the library loaded, released once: by
    close(), on leaving a with block, or when the owner is garbage-collected."""

    def __init__(self, path, device, load, free, what):
        handle = load(os.fsencode(path), device)
        if not handle:
            raise VexoError(f"cannot load {what} {os.fspath(path)!r} on device {device}")
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
