# The public names of the package with their types (py.typed marks the
# package as typed); each module's .pyi beside it holds the signatures.
from typing import List

from ._library import VexoError as VexoError
from .elements import ELEMENT_TYPES as ELEMENT_TYPES
from .elements import bfloat16_to_float32 as bfloat16_to_float32
from .elements import float32_to_bfloat16 as float32_to_bfloat16
from .llm import LLM as LLM
from .llm import ChatTemplate as ChatTemplate
from .llm import Grammar as Grammar
from .llm import Tokenizer as Tokenizer
from .runtime import Net as Net
from .runtime import Runtime as Runtime
from .runtime import Stage as Stage
from .runtime import TensorInfo as TensorInfo
from .tensor_file import load_tensor as load_tensor
from .tensor_file import save_tensor as save_tensor

__version__: str
__all__: List[str]
