"""The language-model runtime: token generation with the caches on the device."""
import ctypes
import operator

from ._library import ModelHandle, VexoError, library
from .elements import ELEMENT_TYPES, to_element_type

_INT32 = ELEMENT_TYPES.index("int32")


class LLM(ModelHandle):
    """A language model opened on a device."""

    def __init__(self, path, device=0):
        lib = library()
        super().__init__(path, device, lib.llm_init, lib.llm_free, "the language model")
        self._generation = None

    @property
    def seq_len(self):
        """Positions the caches hold: the longest prompt plus generated tokens."""
        return library().llm_get_seq_len(self._open_handle())

    @property
    def token_len(self):
        """Tokens so far in the current generation, counting the last one produced."""
        return library().llm_get_token_len(self._open_handle())

    def generate(self, tokens, max_new):
        """Yields up to `max_new` tokens after the prompt `tokens` (1 to
        seq_len token ids), fewer when the caches fill up first.

        Each generation starts with its first token; an earlier generator of
        the same model raises VexoError when it is resumed after that.
        """
        prompt = to_element_type(tokens, _INT32, "prompt")
        if prompt.ndim != 1 or not 1 <= prompt.size <= self.seq_len:
            raise VexoError(f"a prompt is a list of 1 to {self.seq_len} tokens, not an array of shape {prompt.shape}")
        max_new = operator.index(max_new)
        if max_new < 0:
            raise VexoError(f"cannot generate {max_new} tokens")
        return self._generate(prompt, max_new)

    def _generate(self, prompt, max_new):
        if max_new == 0:
            return
        lib = library()
        ids = prompt.ctypes.data_as(ctypes.POINTER(ctypes.c_int))
        generation = self._generation = object()
        yield self._token(lib.llm_forward_first(self._open_handle(), ids, prompt.size))
        for _ in range(max_new - 1):
            # The caches hold the newest generation only.
            if self._generation is not generation:
                raise VexoError("a later generation has replaced this one")
            if self.token_len > self.seq_len:
                return
            yield self._token(lib.llm_forward_next(self._open_handle()))

    @staticmethod
    def _token(token):
        if token < 0:
            raise VexoError("the language model could not produce a token")
        return token
