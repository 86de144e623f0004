"""The language-model runtime: generation of tokens or text with the caches on the device."""
import contextlib
import ctypes
import json
import operator
import os
import weakref
from ctypes import POINTER, c_char_p, c_int, c_size_t, c_void_p

from ._library import ModelHandle, VexoError, library, library_error
from ._records import DECODE_CALLBACK as _DECODE
from ._records import ENCODE_CALLBACK as _ENCODE
from ._records import Callbacks as _Callbacks
from ._records import Logprob as _Logprob
from ._records import LogitBias as _LogitBias
from ._records import Message as _Message
from ._records import Piece as _Piece
from ._records import Request as _Request
from ._records import Stats as _Stats
from .elements import ELEMENT_TYPES, to_element_type

_INT32 = ELEMENT_TYPES.index("int32")


_MAX_LOGPROBS = 20


# Flags of llm_tokenizer_encode_with.
_ENCODE_ADD_BOS = 1
_ENCODE_SPECIAL_AS_TEXT = 2


def _int_array(values):
    values = list(values)
    return (c_int * max(len(values), 1))(*values), len(values)


def _text_call(call):
    """A text the library writes into a buffer: asks its length, then fills it."""
    length = call(None, 0)
    if length < 0:
        return None
    buffer = ctypes.create_string_buffer(length + 1)
    call(buffer, length + 1)
    return buffer.raw[:length].decode("utf-8", errors="replace")


class Tokenizer:
    """Vexo's own tokenizer, read from a model folder, a `tokenizer.json`
    (with the folder's tokenizer_config.json and generation_config.json) or
    a SentencePiece `tokenizer.model` file."""

    def __init__(self, path):
        handle = library().llm_tokenizer_load(os.fsencode(path))
        if not handle:
            raise library_error(f"cannot read the tokenizer {os.fspath(path)!r}")
        self._handle = handle
        self._release = weakref.finalize(self, library().llm_tokenizer_free, handle)

    @property
    def vocab_size(self):
        return library().llm_tokenizer_vocab_size(self._handle)

    @property
    def bos_id(self):
        """The begin-of-sequence id, None when there is none."""
        value = library().llm_tokenizer_bos_id(self._handle)
        return None if value < 0 else value

    @property
    def eos_id(self):
        """The end-of-sequence id, None when there is none."""
        value = library().llm_tokenizer_eos_id(self._handle)
        return None if value < 0 else value

    def encode(self, text, add_bos=False, special_as_text=False):
        """Ids of `text` (str, or UTF-8 bytes: invalid sequences read as
        U+FFFD). special_as_text: the text of special tokens stays text, as
        it should for what users write."""
        data = text if isinstance(text, bytes) else text.encode("utf-8")
        flags = (_ENCODE_ADD_BOS if add_bos else 0) | (_ENCODE_SPECIAL_AS_TEXT if special_as_text else 0)
        count = library().llm_tokenizer_encode_with(self._handle, data, flags, None, 0)
        if count < 0:
            raise library_error("cannot encode the text")
        ids = (c_int * max(count, 1))()
        library().llm_tokenizer_encode_with(self._handle, data, flags, ids, count)
        return list(ids[:count])

    def decode(self, ids):
        array, count = _int_array(ids)
        text = _text_call(lambda buffer, size: library().llm_tokenizer_decode(self._handle, array, count, buffer, size))
        if text is None:
            raise library_error(f"cannot decode the tokens {list(ids)}")
        return text

    def close(self):
        self._release()


def _first_value(source, names):
    """The first of the named attributes (called when a method) that is an int."""
    for name in names:
        value = getattr(source, name, None)
        if callable(value):
            try:
                value = value()
            except TypeError:
                continue
        if isinstance(value, int) and value >= 0:
            return value
    return None


class _ForeignTokenizer:
    """Any object with encode(text) -> ids and decode(ids) -> str, handed to
    the library through callbacks."""

    def __init__(self, source):
        self.source = source
        self.error = None
        self._encode = _ENCODE(self._encode_callback)
        self._decode = _DECODE(self._decode_callback)
        vocab = _first_value(source, ("vocab_size", "get_vocab_size", "get_piece_size"))
        if vocab is None and hasattr(source, "__len__"):
            vocab = len(source)
        bos = _first_value(source, ("bos_token_id", "bos_id"))
        eos = _first_value(source, ("eos_token_id", "eos_id"))
        self.bos_id, self.eos_id = bos, eos
        callbacks = _Callbacks(None, self._encode, self._decode, vocab or 0,
                               -1 if bos is None else bos, -1 if eos is None else eos)
        handle = library().llm_tokenizer_from_callbacks(ctypes.byref(callbacks))
        if not handle:
            raise library_error("cannot use the tokenizer object")
        self.handle = handle
        self._release = weakref.finalize(self, library().llm_tokenizer_free, handle)

    def encode(self, text, add_bos=False):
        ids = self.source.encode(text)
        ids = list(getattr(ids, "ids", ids))  # tokenizers' Encoding objects
        if add_bos and self.bos_id is not None and (not ids or ids[0] != self.bos_id):
            ids.insert(0, self.bos_id)
        return [operator.index(i) for i in ids]

    def _encode_callback(self, _user, text, ids, capacity):
        try:
            encoded = self.encode(text.decode("utf-8"))
            for i, value in enumerate(encoded[:capacity]):
                ids[i] = value
            return len(encoded)
        except Exception as error:  # the library sees -1; the caller gets the error
            self.error = error
            return -1

    def _decode_callback(self, _user, ids, count, text, capacity):
        try:
            data = str(self.source.decode([ids[i] for i in range(count)])).encode("utf-8")
            if capacity:
                size = min(len(data), capacity - 1)
                ctypes.memmove(text, data, size)
                ctypes.memset(text + size, 0, 1)
            return len(data)
        except Exception as error:
            self.error = error
            return -1


def _prompt_text(prompt):
    length = c_size_t()
    return ctypes.string_at(library().llm_chat_prompt_text(prompt, ctypes.byref(length)), length.value)


class _TextPromptIds(list):
    """The ids of a text prompt, encoded already: its generation is text."""


class ChatTemplate:
    """Renders messages into a prompt: ChatML when no path is given, else a
    model folder's template, a tokenizer_config.json, a .jinja file or a file
    of the line format (see docs/generation.md)."""

    def __init__(self, path=None, _handle=None):
        lib = library()
        handle = _handle
        if handle is None:
            handle = lib.llm_chat_template_chatml() if path is None else lib.llm_chat_template_load(os.fsencode(path))
        if not handle:
            raise library_error(f"cannot read the chat template {os.fspath(path)!r}")
        self._handle = handle
        self._release = weakref.finalize(self, lib.llm_chat_template_free, handle)

    @classmethod
    def for_tokenizer(cls, tokenizer_path):
        """The template of a tokenizer's folder; ChatML when it has none."""
        handle = library().llm_chat_template_for_tokenizer(os.fsencode(tokenizer_path))
        if not handle:
            raise library_error(f"cannot read the chat template of {os.fspath(tokenizer_path)!r}")
        return cls(_handle=handle)

    def apply(self, messages, tools=None, add_generation_prompt=True, **options):
        """Renders messages in the OpenAI chat format (tool calls, reasoning
        content...) with tools and template variables such as enable_thinking.
        Returns (text, ranges): the byte ranges [begin, end) of the UTF-8 text
        that came from the messages and tools."""
        lib = library()
        with self._rendered(messages, tools, add_generation_prompt, options) as prompt:
            text = _prompt_text(prompt)
            flat = POINTER(c_size_t)()
            count = lib.llm_chat_prompt_data_ranges(prompt, ctypes.byref(flat))
            ranges = [(flat[2 * i], flat[2 * i + 1]) for i in range(count)]
        return text.decode("utf-8", errors="replace"), ranges

    def _encode(self, tokenizer, bos_text, messages, tools, add_generation_prompt=True, **options):
        """The ids of the rendered messages for a tokenizer's handle: what
        the messages' authors wrote stays text (a user's "<|im_end|>" does not
        end a turn); the bos id first unless the template wrote `bos_text`."""
        lib = library()
        with self._rendered(messages, tools, add_generation_prompt, options) as prompt:
            add_bos = not bos_text or not _prompt_text(prompt).startswith(bos_text)
            count = lib.llm_chat_prompt_encode(prompt, tokenizer, add_bos, None, 0)
            ids = (c_int * max(count, 1))()
            if count < 0 or lib.llm_chat_prompt_encode(prompt, tokenizer, add_bos, ids, count) != count:
                raise library_error("cannot encode the messages")
        return ids[:count]

    @contextlib.contextmanager
    def _rendered(self, messages, tools, add_generation_prompt, options):
        options["add_generation_prompt"] = bool(add_generation_prompt)
        lib = library()
        prompt = lib.llm_chat_template_apply(self._handle, json.dumps(messages).encode("utf-8"),
                                             None if tools is None else json.dumps(tools).encode("utf-8"),
                                             json.dumps(options).encode("utf-8"))
        if not prompt:
            raise library_error("cannot render the messages")
        try:
            yield prompt
        finally:
            lib.llm_chat_prompt_free(prompt)

    @property
    def stop(self):
        """The text that ends a turn."""
        return library().llm_chat_template_stop(self._handle).decode("utf-8")

    def render(self, messages, add_generation_prompt=True):
        """messages: dicts with "role" and "content", or (role, content) pairs."""
        pairs = [(m["role"], m["content"]) if isinstance(m, dict) else tuple(m) for m in messages]
        array = (_Message * max(len(pairs), 1))(*[_Message(r.encode("utf-8"), c.encode("utf-8")) for r, c in pairs])
        text = _text_call(lambda buffer, size: library().llm_chat_template_render(
            self._handle, array, len(pairs), int(add_generation_prompt), buffer, size))
        if text is None:
            raise library_error("cannot render the messages")
        return text


_GRAMMAR_JSON, _GRAMMAR_JSON_SCHEMA, _GRAMMAR_RULES = 1, 2, 3


class Grammar:
    """A grammar compiled for one LLM's tokenizer (made by LLM.grammar); give
    it to generate() or chat() as `grammar`, as often as needed."""

    def __init__(self, llm, json_schema=None, rules=None, tools=None, tool_name=None, lazy=False):
        if sum(x is not None for x in (json_schema, rules, tools)) > 1:
            raise VexoError("give a JSON Schema, rules or tools, not several")
        if tools is not None:
            handle = library().llm_grammar_compile_tool_call(
                llm._tokenizer_handle(), llm.tool_call_style, json.dumps(tools).encode("utf-8"),
                None if tool_name is None else tool_name.encode("utf-8"), 1 if lazy else 0)
            kind = None
        elif rules is not None:
            kind, text = _GRAMMAR_RULES, rules.encode("utf-8")
        elif json_schema is not None:
            text = json_schema if isinstance(json_schema, str) else json.dumps(json_schema)
            kind, text = _GRAMMAR_JSON_SCHEMA, text.encode("utf-8")
        else:
            kind, text = _GRAMMAR_JSON, None
        if kind is not None:
            handle = library().llm_grammar_compile(llm._tokenizer_handle(), kind, text)
        if not handle:
            raise library_error("cannot compile the grammar")
        self.llm = llm
        self._handle = handle
        self._release = weakref.finalize(self, library().llm_grammar_free, handle)


class LLM(ModelHandle):
    """A language model opened on a device, with an optional tokenizer: a
    tokenizer file's path, a vexo.Tokenizer, or any object with
    encode(text) -> list[int] and decode(list[int]) -> str. An encrypted
    model file opens through its decryption plug-in, given as `decrypt_lib`."""

    def __init__(self, path, device=0, tokenizer=None, decrypt_lib=None):
        lib = library()
        super().__init__(path, device, decrypt_lib, lib.llm_init, lib.llm_init_decrypt, lib.llm_free,
                         "the language model")
        self._generation = None
        self._tokenizer_path = None  # a tokenizer given by path: its folder's chat template is the default
        if tokenizer is None or isinstance(tokenizer, (Tokenizer, _ForeignTokenizer)):
            self.tokenizer = tokenizer
        elif isinstance(tokenizer, (str, bytes, os.PathLike)):
            self.tokenizer = Tokenizer(tokenizer)
            self._tokenizer_path = tokenizer
        else:
            self.tokenizer = _ForeignTokenizer(tokenizer)
        tokenizer_handle = None if self.tokenizer is None else self._tokenizer_handle()
        session = library().llm_session_create(self._open_handle(), tokenizer_handle)
        if not session:
            raise library_error("cannot start a generation session")
        self._session = session
        self._session_release = weakref.finalize(self, library().llm_session_free, session)
        self.stats = None
        self.logprobs = []  # of the last generation, when asked for
        self._grammars = {}  # chat()'s, by what they were compiled from

    def _tokenizer_handle(self):
        return self.tokenizer._handle if isinstance(self.tokenizer, Tokenizer) else self.tokenizer.handle

    def close(self):
        self._session_release()
        super().close()

    @property
    def seq_len(self):
        """Positions the caches hold: the longest prompt plus generated tokens."""
        return library().llm_get_seq_len(self._open_handle())

    @property
    def token_len(self):
        """Tokens so far in the current generation, counting the last one produced."""
        return library().llm_get_token_len(self._open_handle())

    def grammar(self, json_schema=None, rules=None, tools=None, tool_name=None, lazy=False):
        """A Grammar for this model's tokenizer: the JSON texts that
        `json_schema` (a dict or JSON text) accepts, the grammar of `rules`
        (text, see docs/generation.md), one call of `tools` (OpenAI tool
        definitions; of the tool `tool_name` when given; with `lazy`, only
        once the model opens a call), or with none of them any JSON value."""
        if self.tokenizer is None:
            raise VexoError("a grammar needs a tokenizer")
        return Grammar(self, json_schema, rules, tools, tool_name, lazy)

    @property
    def tool_call_style(self):
        """How this tokenizer's models write tool calls: 1 tagged
        (<tool_call>{"name", "arguments"}</tool_call>), 2 JSON
        ({"name", "parameters"}, after <|python_tag|> or not)."""
        if self.tokenizer is None:
            raise VexoError("tool calls need a tokenizer")
        return library().llm_tool_call_style(self._tokenizer_handle())

    def tool_calls(self, text):
        """Reads a reply for tool calls: {"content": the text outside them,
        "tool_calls": [{"name", "arguments": dict}]}; a reply without a
        well-formed call is all content."""
        style, data = self.tool_call_style, text.encode("utf-8")
        parsed = _text_call(lambda out, capacity: library().llm_tool_calls_parse(data, style, out, capacity))
        if parsed is None:
            raise library_error("cannot read the tool calls")
        return json.loads(parsed)

    def generate(self, prompt, max_new=None, *, temperature=0.0, top_k=0, top_p=1.0, min_p=0.0,
                 repeat_penalty=1.0, repeat_last_n=64, seed=0, stop=(), eos=None, presence_penalty=0.0,
                 frequency_penalty=0.0, logit_bias=None, logprobs=None, grammar=None):
        """Yields what the model generates after `prompt`: text pieces for a
        text prompt (which needs a tokenizer), token ids for a list of ids
        (1 to seq_len of them). Stops after `max_new` tokens (None: no
        limit), on an end id (`eos`, default the tokenizer's), before a stop
        string, or when the caches are full. Greedy unless temperature > 0.
        The same seed and parameters give the same output. When the prompt
        extends the previous generation, only the new tokens are fed.
        `presence_penalty` and `frequency_penalty` (-2 to 2) lower the scores
        of generated tokens; `logit_bias` maps token ids to -100 (banned) ...
        100 (forced). With `logprobs` N (0 to 20) on a logits head, each
        generated token's log-probability and the N likeliest are appended
        to `self.logprobs` as {"token", "logprob", "top": [(id, logprob)]}.
        A setting outside its range raises ValueError naming it. With a
        `grammar` (from grammar()) the output follows it.

        A later generation of the same model ends this one: resuming it
        raises VexoError. After the end, `stats` tells why it ended.
        """
        as_text = isinstance(prompt, (str, _TextPromptIds))
        if isinstance(prompt, str):
            if self.tokenizer is None:
                raise VexoError("a text prompt needs a tokenizer")
            prompt = self.tokenizer.encode(prompt, add_bos=True)
            self._raise_tokenizer_error()
        ids = to_element_type(prompt, _INT32, "prompt")
        if ids.ndim != 1 or not 1 <= ids.size <= self.seq_len:
            raise VexoError(f"a prompt is a list of 1 to {self.seq_len} tokens, not an array of shape {ids.shape}")
        if max_new is not None:
            max_new = operator.index(max_new)
            if max_new < 0:
                raise VexoError(f"cannot generate {max_new} tokens")
        stops = [stop] if isinstance(stop, str) else list(stop)
        if stops and self.tokenizer is None:
            raise VexoError("stop strings need a tokenizer")
        request = _Request()
        library().llm_request_defaults(ctypes.byref(request))
        sampling = request.sampling
        sampling.temperature, sampling.top_k, sampling.top_p = temperature, top_k, top_p
        sampling.min_p, sampling.repeat_penalty, sampling.repeat_last_n = min_p, repeat_penalty, repeat_last_n
        sampling.seed = seed
        sampling.presence_penalty, sampling.frequency_penalty = presence_penalty, frequency_penalty
        sampling.logprobs = -1 if logprobs is None else logprobs
        keep = {}
        if logit_bias:
            keep["bias"] = (_LogitBias * len(logit_bias))(*[_LogitBias(int(t), b) for t, b in logit_bias.items()])
            sampling.logit_bias = ctypes.cast(keep["bias"], c_void_p)
            sampling.logit_bias_count = len(logit_bias)
        invalid = library().llm_sampling_invalid(ctypes.byref(sampling))
        if invalid is not None:
            raise ValueError(f"{invalid.decode()} is outside its range (see the generate() documentation)")
        request.max_new = max_new or 0
        if eos is not None:
            keep["eos"] = _int_array([eos] if isinstance(eos, int) else eos)
            request.eos_ids, request.eos_count = keep["eos"][0], keep["eos"][1]
        if stops:
            keep["stops"] = (c_char_p * len(stops))(*[s.encode("utf-8") for s in stops])
            request.stops, request.stop_count = keep["stops"], len(stops)
        if grammar is not None and grammar.llm is not self:
            raise VexoError("the grammar was made for another model")
        if not library().llm_session_set_grammar(self._session, None if grammar is None else grammar._handle):
            raise library_error("cannot follow the grammar")
        return self._generate([int(i) for i in ids], request, keep, as_text, max_new)

    def chat(self, messages, template=None, tools=None, template_options=None, tool_choice="auto",
             response_format=None, **options):
        """Yields the assistant's reply to `messages` (dicts in the OpenAI chat
        format, or (role, content) pairs) as text pieces, rendered with
        `template` (a ChatTemplate, or a path for one; by default the template
        of the tokenizer's folder when the tokenizer was given by path, else
        ChatML) with `tools` and `template_options` (such as
        {"enable_thinking": False}), and stopped at the end of its turn.
        `options` are those of generate(). A conversation that grows turn by
        turn reuses the caches as far as its tokens agree with what they hold.

        With tools, `tool_choice` is "auto" (a call the model opens follows
        the grammar of a call), "required" (the reply is one call), a tool's
        name or {"type": "function", "function": {"name": ...}} (one call of
        it) or "none" (no tools shown); read the joined
        reply with tool_calls(). `response_format` is the API's:
        {"type": "json_object"} or {"type": "json_schema", "json_schema":
        {"schema": ...}} make the reply JSON (that the schema accepts)."""
        if isinstance(tool_choice, dict):  # the API's {"type": "function", "function": {"name": ...}}
            tool_choice = tool_choice["function"]["name"]
        if tools and tool_choice != "none" and options.get("grammar") is None:
            options["grammar"] = self._cached_grammar(
                tools=tools, tool_name=None if tool_choice in ("auto", "required") else tool_choice,
                lazy=tool_choice == "auto")
        elif response_format and response_format.get("type") != "text" and options.get("grammar") is None:
            schema = response_format.get("json_schema", {}).get("schema") \
                if response_format.get("type") == "json_schema" else {"type": "object"}
            options["grammar"] = (self._cached_grammar() if schema is None
                                  else self._cached_grammar(json_schema=schema))
        if tool_choice == "none":
            tools = None
        if not isinstance(template, ChatTemplate):
            if template is None and self._tokenizer_path is not None:
                template = ChatTemplate.for_tokenizer(self._tokenizer_path)
            else:
                template = ChatTemplate(template)
        messages = [m if isinstance(m, dict) else {"role": m[0], "content": m[1]} for m in messages]
        stop = options.pop("stop", ())
        stops = ([stop] if isinstance(stop, str) else list(stop)) + ([template.stop] if template.stop else [])
        if self.tokenizer is None:
            raise VexoError("a chat needs a tokenizer")
        bos = getattr(self.tokenizer, "bos_id", None)
        bos_text = self.tokenizer.decode([bos]) if bos is not None else ""
        ids = template._encode(self._tokenizer_handle(), bos_text, messages, tools, **(template_options or {}))
        self._raise_tokenizer_error()
        return self.generate(_TextPromptIds(ids), stop=stops, **options)

    def _cached_grammar(self, **source):
        """A grammar compiled once per source (the last 16 are kept)."""
        cache = self._grammars
        key = json.dumps(source, sort_keys=True)
        if key not in cache:
            if len(cache) >= 16:
                cache.pop(next(iter(cache)))
            cache[key] = self.grammar(**source)
        return cache[key]

    def _raise_tokenizer_error(self):
        error = getattr(self.tokenizer, "error", None)
        if error is not None:
            self.tokenizer.error = None
            raise VexoError(f"the tokenizer failed: {error}") from error

    def _generate(self, ids, request, keep, as_text, max_new):
        if max_new == 0:
            return
        lib = library()
        generation = self._generation = object()
        array, count = _int_array(ids)
        self._open_handle()
        if not lib.llm_session_start(self._session, array, count, ctypes.byref(request)):
            self._raise_tokenizer_error()
            raise library_error("the language model could not produce a token after the prompt")
        piece = _Piece()
        self.logprobs = []
        chosen, top = _Logprob(), (_Logprob * _MAX_LOGPROBS)()
        while True:
            # The caches hold the newest generation only.
            if self._generation is not generation:
                raise VexoError("a later generation has replaced this one")
            self._open_handle()
            more = lib.llm_session_step(self._session, ctypes.byref(piece))
            if more < 0:
                self._raise_tokenizer_error()
                raise library_error("the language model could not produce a token")
            count = lib.llm_session_logprobs(self._session, ctypes.byref(chosen), top, _MAX_LOGPROBS)
            if count >= 0:
                self.logprobs.append({"token": chosen.token, "logprob": chosen.logprob,
                                      "top": [(top[i].token, top[i].logprob) for i in range(count)]})
            if as_text:
                if piece.text_len:
                    yield ctypes.string_at(piece.text, piece.text_len).decode("utf-8", errors="replace")
            elif piece.token >= 0:
                yield piece.token
            if not more:
                self.stats = self._stats()
                return

    def _stats(self):
        stats = _Stats()
        library().llm_session_get_stats(self._session, ctypes.byref(stats))
        finish = library().llm_session_finish(self._session)
        result = {name: getattr(stats, name) for name, _ in _Stats._fields_}
        result["finish"] = library().llm_finish_name(finish).decode()
        return result
