"""Vexo for Python: runs compiled networks (bmodel files) through libvexo.so.

Runtime opens a model and runs its nets on numpy arrays; LLM generates tokens
or text with a language model (Tokenizer and ChatTemplate help with text);
both open encrypted models through a decryption plug-in (decrypt_lib).
save_tensor and load_tensor write and read the library's tensor files.
Failures raise VexoError with the library's reason, FileNotFoundError for a
missing model, plug-in or tensor file. bfloat16 data travels as uint16
bits: bfloat16_to_float32 and float32_to_bfloat16 convert them.

Unless LOG_LEVEL says otherwise, the library logs warnings and errors only.
"""
from ._library import VexoError
from .elements import ELEMENT_TYPES, bfloat16_to_float32, float32_to_bfloat16
from .llm import LLM, ChatTemplate, Grammar, Tokenizer
from .runtime import Net, Runtime, Stage, TensorInfo
from .tensor_file import load_tensor, save_tensor

__version__ = "0.1.0"  # the library's version

__all__ = [
    "ELEMENT_TYPES",
    "ChatTemplate",
    "LLM",
    "Net",
    "Runtime",
    "Stage",
    "TensorInfo",
    "Grammar",
    "Tokenizer",
    "VexoError",
    "bfloat16_to_float32",
    "float32_to_bfloat16",
    "load_tensor",
    "save_tensor",
]
