from typing import (Any, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple, TypeVar, Union,
                    overload)

import numpy.typing as npt

from ._library import ModelHandle, _Path


_Self = TypeVar("_Self", bound="LLM")
# A message: {"role": ..., "content": ...} or a (role, content) pair.
_ChatMessage = Union[Mapping[str, Any], Tuple[str, str]]

class Tokenizer:
    def __init__(self, path: _Path) -> None: ...
    @property
    def vocab_size(self) -> int: ...
    @property
    def bos_id(self) -> Optional[int]: ...
    @property
    def eos_id(self) -> Optional[int]: ...
    def encode(self, text: str, add_bos: bool = False, special_as_text: bool = False) -> List[int]: ...
    def decode(self, ids: Iterable[int]) -> str: ...
    def close(self) -> None: ...

class ChatTemplate:
    def __init__(self, path: Optional[_Path] = None) -> None: ...
    @classmethod
    def for_tokenizer(cls, tokenizer_path: _Path) -> "ChatTemplate": ...
    # (text, byte ranges [begin, end) of the text that came from the messages)
    def apply(self, messages: Iterable[_ChatMessage], tools: Optional[Sequence[Mapping[str, Any]]] = None,
              add_generation_prompt: bool = True, **options: Any) -> Tuple[str, List[Tuple[int, int]]]: ...
    @property
    def stop(self) -> str: ...
    def render(self, messages: Iterable[_ChatMessage], add_generation_prompt: bool = True) -> str: ...

class Grammar:
    llm: "LLM"

class LLM(ModelHandle):
    # A tokenizer file, a Tokenizer, or any object with encode and decode.
    tokenizer: Any
    # After a generation: "finish", the token counts and the times; None before.
    stats: Dict[str, Any]
    # Of the last generation, when asked for: {"token", "logprob", "top": [(id, logprob), ...]}.
    logprobs: List[Dict[str, Any]]
    def __init__(self, path: _Path, device: int = 0, tokenizer: Any = None,
                 decrypt_lib: Optional[_Path] = None) -> None: ...
    def __enter__(self: _Self) -> _Self: ...
    @property
    def seq_len(self) -> int: ...
    @property
    def token_len(self) -> int: ...
    def grammar(self, json_schema: Union[Mapping[str, Any], str, None] = None,
                rules: Optional[str] = None, tools: Optional[Sequence[Mapping[str, Any]]] = None,
                tool_name: Optional[str] = None, lazy: bool = False) -> Grammar: ...
    @property
    def tool_call_style(self) -> int: ...
    def tool_calls(self, text: str) -> Dict[str, Any]: ...
    @overload
    def generate(self, prompt: str, max_new: Optional[int] = None, *, temperature: float = 0.0, top_k: int = 0,
                 top_p: float = 1.0, min_p: float = 0.0, repeat_penalty: float = 1.0, repeat_last_n: int = 64,
                 seed: int = 0, stop: Union[str, Sequence[str]] = (),
                 eos: Union[int, Sequence[int], None] = None,
                 presence_penalty: float = 0.0, frequency_penalty: float = 0.0,
                 logit_bias: Optional[Mapping[int, float]] = None, logprobs: Optional[int] = None,
                 grammar: Optional[Grammar] = None) -> Iterator[str]: ...
    @overload
    def generate(self, prompt: Union[Sequence[int], npt.NDArray[Any]], max_new: Optional[int] = None, *,
                 temperature: float = 0.0, top_k: int = 0, top_p: float = 1.0, min_p: float = 0.0,
                 repeat_penalty: float = 1.0, repeat_last_n: int = 64, seed: int = 0,
                 stop: Union[str, Sequence[str]] = (), eos: Union[int, Sequence[int], None] = None,
                 presence_penalty: float = 0.0, frequency_penalty: float = 0.0,
                 logit_bias: Optional[Mapping[int, float]] = None, logprobs: Optional[int] = None,
                 grammar: Optional[Grammar] = None) -> Iterator[int]: ...
    def chat(self, messages: Iterable[_ChatMessage], template: Union[ChatTemplate, _Path, None] = None,
             tools: Optional[Sequence[Mapping[str, Any]]] = None,
             template_options: Optional[Mapping[str, Any]] = None,
             tool_choice: Union[str, Mapping[str, Any]] = "auto",
             response_format: Optional[Mapping[str, Any]] = None, **options: Any) -> Iterator[str]: ...
