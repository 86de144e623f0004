// Text generation on top of the language-model runtime: tokenizers, a
// host-side sampler for models whose head yields logits, generation sessions
// with stop rules and conversation reuse, and chat templates.
//
// Plain C functions (this header compiles as C99 and C++), so that tools,
// bindings and servers use them through libvexo.so. Every function that can
// fail logs one error line and returns null, -1 or 0 as documented; no
// function ends the process. Objects are used by one thread at a time.
// See docs/generation.md.
#ifndef VEXO_LLM_GENERATION_H
#define VEXO_LLM_GENERATION_H

#include <stddef.h>
#include <stdint.h>

#include "utils/export.h"

#ifdef __cplusplus
namespace llmrun {
struct LLMBase;
typedef LLMBase* llmbase;
}  // namespace llmrun
using llmrun::llmbase;
extern "C" {
#elif !defined(VEXO_LLMBASE_DECLARED)  /* vexo.h may have declared it: C99 allows one typedef */
#define VEXO_LLMBASE_DECLARED
typedef struct LLMBase* llmbase;
#endif

/* ---- The model's head ------------------------------------------------- */

/* What a pass of the model yields. */
enum {
  LLM_HEAD_TOKEN = 1,  /* the device chooses the token ("greedy_head", or an integer "lm_head") */
  LLM_HEAD_LOGITS = 2  /* "lm_head" output 0 holds one float32/float16/bfloat16 score per token */
};

/* Number of layers (block-cache nets); 0 for a null handle. */
VEXO_API size_t llm_get_num_layers(llmbase llm);
/* LLM_HEAD_TOKEN or LLM_HEAD_LOGITS; 0 for a null handle. */
VEXO_API int llm_get_head_kind(llmbase llm);
/* Element type code (BM_FLOAT32, BM_FLOAT16, BM_BFLOAT16, BM_INT32...) of the
   head's output: output 0 of "greedy_head" when there is one, else output 0
   of "lm_head"; -1 for a null handle. */
VEXO_API int llm_get_head_dtype(llmbase llm);
/* Elements in that output: the vocabulary size of a logits head; 0 for a
   null handle. */
VEXO_API size_t llm_get_head_size(llmbase llm);

/* Passes that hand the head's result to the caller. A first pass takes
   `token_len` prompt tokens (1 to seq_len); a next pass feeds `token` at the
   position after the cached ones (instead of the token the previous pass
   produced), which needs llm_get_token_len <= llm_get_seq_len. On a logits
   head, `logits` receives llm_get_head_size scores as float32 (capacity
   counts floats and must hold them all); on a token head it receives the
   token as one float, or may be null. Return the head's greedy token
   (argmax on the host for logits, the device's choice otherwise) or -1
   after an error line. */
VEXO_API int llm_forward_first_logits(llmbase llm, const int* tokens, size_t token_len, float* logits,
                                      size_t capacity);
VEXO_API int llm_forward_next_logits(llmbase llm, int token, float* logits, size_t capacity);

/* ---- Tokenizers ------------------------------------------------------- */

typedef struct llm_tokenizer llm_tokenizer;

/* Opens a tokenizer: a model folder (its "tokenizer.json", else its
   "tokenizer.model"), a tokenizer.json file (with the tokenizer_config.json
   and generation_config.json beside it, when present) or a SentencePiece
   model. Null after an error line (unreadable file, a stage or kind this
   library lacks). */
VEXO_API llm_tokenizer* llm_tokenizer_load(const char* path);
VEXO_API void llm_tokenizer_free(llm_tokenizer* tokenizer);
/* Number of ids; 0 for null. */
VEXO_API size_t llm_tokenizer_vocab_size(const llm_tokenizer* tokenizer);
/* The begin / end of sequence ids, -1 when the tokenizer has none. */
VEXO_API int llm_tokenizer_bos_id(const llm_tokenizer* tokenizer);
VEXO_API int llm_tokenizer_eos_id(const llm_tokenizer* tokenizer);
/* Encodes NUL-terminated UTF-8 text, with the bos id first when add_bos is
   nonzero and the tokenizer has one. Returns the number of ids the text
   takes (the first `capacity` of them written to `ids`, which may be null
   when capacity is 0): call again with a larger array when it exceeds
   capacity. -1 after an error line. */
VEXO_API long llm_tokenizer_encode(const llm_tokenizer* tokenizer, const char* text, int add_bos, int* ids,
                                   size_t capacity);
/* A lower bound of the ids that NUL-terminated text encodes to (without the
   bos id), found quickly and without encoding it: a text whose bound
   exceeds a context cannot fit it. 0 for null or when the tokenizer cannot
   tell (a tokenizer of callbacks). */
VEXO_API size_t llm_tokenizer_min_tokens(const llm_tokenizer* tokenizer, const char* text);
/* Flags of llm_tokenizer_encode_with. */
#define LLM_ENCODE_ADD_BOS 1u
/* The text of special tokens ("<|im_end|>") stays text instead of becoming
   their ids: for what users write, so that it cannot end a turn. */
#define LLM_ENCODE_SPECIAL_AS_TEXT 2u
/* llm_tokenizer_encode with LLM_ENCODE_* flags. */
VEXO_API long llm_tokenizer_encode_with(const llm_tokenizer* tokenizer, const char* text, unsigned flags, int* ids,
                                        size_t capacity);
/* Decodes ids to UTF-8 text. Returns the text's length in bytes; writes at
   most capacity - 1 bytes and a NUL when capacity > 0. -1 after an error
   line (an id out of range). */
VEXO_API long llm_tokenizer_decode(const llm_tokenizer* tokenizer, const int* ids, size_t count, char* text,
                                   size_t capacity);

/* A tokenizer of the caller's: functions called back with `user`, with the
   protocols of llm_tokenizer_encode (without the bos id) and
   llm_tokenizer_decode, returning -1 for a failure. vocab_size 0: unknown
   (ids are not checked); bos_id and eos_id -1: none. */
typedef struct llm_tokenizer_callbacks {
  void* user;
  long (*encode)(void* user, const char* text, int* ids, size_t capacity);
  long (*decode)(void* user, const int* ids, size_t count, char* text, size_t capacity);
  size_t vocab_size;
  int bos_id;
  int eos_id;
} llm_tokenizer_callbacks;
/* The callbacks are copied; `user` must outlive the tokenizer. */
VEXO_API llm_tokenizer* llm_tokenizer_from_callbacks(const llm_tokenizer_callbacks* callbacks);

/* Streaming decode: the text each new id adds, never splitting a UTF-8
   character (a token ending inside one yields "" until it is complete); the
   pieces together are exactly llm_tokenizer_decode of all the ids. */
typedef struct llm_decoder llm_decoder;
/* The decoder borrows the tokenizer, which must outlive it. */
VEXO_API llm_decoder* llm_decoder_create(const llm_tokenizer* tokenizer);
VEXO_API void llm_decoder_free(llm_decoder* decoder);
/* Starts a new text (the next id is decoded as the first of a text). */
VEXO_API void llm_decoder_reset(llm_decoder* decoder);
/* The new text after `id`, NUL-terminated, valid until the next call on
   the decoder; null after an error line. */
VEXO_API const char* llm_decoder_push(llm_decoder* decoder, int id);
/* Whatever is held back (an incomplete character), then reset. */
VEXO_API const char* llm_decoder_flush(llm_decoder* decoder);

/* ---- Sampling --------------------------------------------------------- */

/* A bias added to one token's logit: -100 bans the token, 100 forces it
   (when several are forced, the draw is among them). */
typedef struct llm_logit_bias {
  int32_t token;
  float bias; /* -100 to 100 */
} llm_logit_bias;

/* The most likely entries a request may ask for. */
#define LLM_MAX_LOGPROBS 20

/* How a token is drawn from logits. Fill with llm_sampling_defaults first:
   fields may be added at the end in later versions. llm_session_start
   refuses values outside the ranges below (an error line naming the field);
   no field accepts NaN or an infinity. */
typedef struct llm_sampling {
  float temperature;       /* finite; <= 0: greedy (argmax), the default */
  int32_t top_k;           /* keep the k best; 0: all (>= 0) */
  float top_p;             /* keep the smallest set with this much probability (0 to 1; 0: the best
                              token alone; 1: all) */
  float min_p;             /* drop tokens below min_p x the best probability; 0: none (0 to 1) */
  float repeat_penalty;    /* divide positive / multiply negative logits of recent tokens; 1: off
                              (above 0) */
  int32_t repeat_last_n;   /* how many recent tokens the penalty looks at (64; >= 0) */
  uint64_t seed;           /* same seed and parameters: same tokens */
  /* Subtracted once from the logit of every token generated so far (-2 to 2; 0: off). */
  float presence_penalty;
  /* Subtracted from a token's logit once per time it was generated (-2 to 2; 0: off). */
  float frequency_penalty;
  /* Borrowed like the request's arrays; ids must be in the vocabulary, at most 1024 entries. */
  const llm_logit_bias* logit_bias;
  size_t logit_bias_count;
  /* -1: none; 0 to LLM_MAX_LOGPROBS: record each generated token's log-probability and
     this many of the likeliest (llm_session_logprobs). Logits heads only. */
  int32_t logprobs;
} llm_sampling;
/* The name of the first field of `sampling` outside its range (for
   logit_bias, the range of a bias), or null when every field is valid;
   token ids of logit_bias are checked against the vocabulary at the start. */
VEXO_API const char* llm_sampling_invalid(const llm_sampling* sampling);
VEXO_API void llm_sampling_defaults(llm_sampling* sampling);

/* ---- Generation sessions ---------------------------------------------- */

/* Why a generation ended. */
typedef enum llm_finish {
  LLM_FINISH_NONE = 0,      /* still generating */
  LLM_FINISH_EOS = 1,       /* an end-of-sequence id (not emitted) */
  LLM_FINISH_STOP = 2,      /* a stop string (not emitted), or the grammar allows nothing more */
  LLM_FINISH_LENGTH = 3,    /* max_new tokens generated */
  LLM_FINISH_CAPACITY = 4,  /* the caches are full */
  LLM_FINISH_CANCELLED = 5, /* the callback asked to stop */
  LLM_FINISH_UNKNOWN_TOKEN = 6 /* a token head chose an id the tokenizer does not have (not emitted) */
} llm_finish;
/* "eos", "stop", "length", "capacity", "cancelled", "unknown_token" or "none". */
VEXO_API const char* llm_finish_name(int finish);

/* One request. Fill with llm_request_defaults first. Arrays are borrowed
   for the duration of llm_session_start ... the end of the generation. */
typedef struct llm_request {
  llm_sampling sampling;
  size_t max_new;            /* 0: until another rule stops it */
  const int* eos_ids;        /* stop ids; none given: the tokenizer's eos id, if any */
  size_t eos_count;
  const char* const* stops;  /* stop strings matched on the decoded text (need a tokenizer) */
  size_t stop_count;
} llm_request;
VEXO_API void llm_request_defaults(llm_request* request);

/* A generation session over a language model (borrowed, must outlive the
   session) and an optional tokenizer (borrowed; null: ids only, no text and
   no stop strings). The session owns the model's caches: do not run passes
   on the model beside it. */
typedef struct llm_session llm_session;
VEXO_API llm_session* llm_session_create(llmbase llm, const llm_tokenizer* tokenizer);
VEXO_API void llm_session_free(llm_session* session);

/* Feeds a prompt of `count` ids (1 to the capacity) and prepares the first
   new token. When the prompt begins with every token the caches hold and
   adds at least one, only the added tokens are fed (one next pass each);
   otherwise one first pass over the whole prompt. 1 on success, 0 after an
   error line (the session then holds nothing). */
VEXO_API int llm_session_start(llm_session* session, const int* ids, size_t count, const llm_request* request);

/* The result of one step. */
typedef struct llm_piece {
  int token;         /* the token generated by this step, -1 when none */
  const char* text;  /* text to show now (NUL-terminated, may be ""); valid until the next step */
  size_t text_len;
} llm_piece;
/* Generates one token. Returns 1 while more may follow, 0 when the
   generation has ended (the piece may still carry the last text; see
   llm_session_finish), -1 after an error line. A caller cancels by simply
   not stepping again; the next start reuses what the caches hold. */
VEXO_API int llm_session_step(llm_session* session, llm_piece* piece);

/* Called per step with its piece; return nonzero to cancel. */
typedef int (*llm_piece_callback)(void* user, const llm_piece* piece);
/* Start, then step until the end, calling back per step (callback may be
   null). The finish reason, or -1 after an error line. */
VEXO_API int llm_session_generate(llm_session* session, const int* ids, size_t count, const llm_request* request,
                                  llm_piece_callback callback, void* user);

VEXO_API int llm_session_finish(const llm_session* session); /* llm_finish */

/* A token and its log-probability (natural log) under the distribution the
   sampler drew from: after penalties, biases and temperature (temperature
   1 when greedy), before top-k, top-p and min-p; computed in double. */
typedef struct llm_logprob {
  int token;
  double logprob;
} llm_logprob;
/* For the token the last step generated, when the request asked for
   logprobs: writes its own entry to `chosen` (may be null) and the first
   `capacity` of the likeliest entries, best first, to `top`. Returns how
   many likeliest entries were recorded (the request's logprobs), or -1 when
   none were (not asked for, a token head, no token generated). */
VEXO_API long llm_session_logprobs(const llm_session* session, llm_logprob* chosen, llm_logprob* top,
                                   size_t capacity);

typedef struct llm_session_stats {
  size_t prompt_tokens;     /* ids given to the last start */
  size_t reused_tokens;     /* of those, already in the caches (0: a first pass) */
  size_t generated_tokens;  /* tokens generated since the start (eos not counted) */
  double prompt_seconds;    /* feeding the prompt */
  double first_token_seconds;  /* from start to the first generated token */
  double generate_seconds;  /* from start to the last step */
} llm_session_stats;
VEXO_API void llm_session_get_stats(const llm_session* session, llm_session_stats* stats);

/* The tokens whose rows the caches hold, in order: a prompt that extends
   them is fed without a first pass. Valid until the next call on the
   session; returns the count. */
VEXO_API size_t llm_session_cached_tokens(const llm_session* session, const int** ids);
/* Positions the caches hold in all (the model's seq_len). */
VEXO_API size_t llm_session_capacity(const llm_session* session);

/* ---- Constrained output ----------------------------------------------- */

/* A grammar compiled for one tokenizer's vocabulary: the outputs of a
   session that uses it always follow the grammar. Compile once and reuse;
   several sessions (on any threads) may share one. See docs/generation.md. */
typedef struct llm_grammar llm_grammar;
enum {
  LLM_GRAMMAR_JSON = 1,         /* any JSON value (text: ignored, may be null) */
  LLM_GRAMMAR_JSON_SCHEMA = 2,  /* a JSON text that the JSON Schema `text` accepts */
  LLM_GRAMMAR_RULES = 3         /* the grammar of rules in `text`, from its rule "root" */
};
/* Null after an error line (a grammar that does not compile: the line
   names the unsupported keyword or the place of the fault). The tokenizer
   must outlive the grammar's use with it. */
VEXO_API llm_grammar* llm_grammar_compile(const llm_tokenizer* tokenizer, int kind, const char* text);
VEXO_API void llm_grammar_free(llm_grammar* grammar);
/* The generations started after this call follow `grammar` (null: none):
   at each step the ids whose bytes would leave the grammar get no chance,
   the end ids are allowed exactly where the grammar may end, and the
   generation ends ("stop") when nothing may follow. The session keeps the
   grammar alive. Needs a logits head and the tokenizer the grammar was
   compiled for. 1 on success, 0 after an error line. */
VEXO_API int llm_session_set_grammar(llm_session* session, const llm_grammar* grammar);

/* ---- Tool calls ------------------------------------------------------- */

/* The forms in which chat models write a call of a tool. */
enum {
  /* <tool_call>{"name": ..., "arguments": {...}}</tool_call>, one per call */
  LLM_TOOL_CALLS_TAGGED = 1,
  /* {"name": ..., "parameters": {...}}, after "<|python_tag|>" or not; calls separated by ';' */
  LLM_TOOL_CALLS_JSON = 2
};
/* The form the models of this tokenizer write: LLM_TOOL_CALLS_JSON when
   "<|python_tag|>" is one token of its vocabulary, else
   LLM_TOOL_CALLS_TAGGED; -1 after an error line. */
VEXO_API int llm_tool_call_style(const llm_tokenizer* tokenizer);
/* Reads the calls in a model's output: writes the JSON text
   {"content": text outside the calls, "tool_calls": [{"name": ...,
   "arguments": {...}}, ...]}; an output without a well-formed call is all
   content. Returns the length in bytes; writes at most capacity - 1 bytes
   and a NUL when capacity > 0; -1 after an error line. */
VEXO_API long llm_tool_calls_parse(const char* text, int style, char* out, size_t capacity);
/* The grammar of one call in `style`: its opening text, an object naming one
   of `tools_json` (an array of {"type": "function", "function": {"name",
   "parameters"}}), or the tool `name` when not null, with arguments that
   follow its "parameters" schema, and its closing text. With `lazy`
   nonzero the output is free until the model writes the opening text
   ("<tool_call>", or "<|python_tag|>" in the JSON form) and follows the
   grammar from there: a call the model begins is always whole and valid.
   Null after an error line. */
VEXO_API llm_grammar* llm_grammar_compile_tool_call(const llm_tokenizer* tokenizer, int style,
                                                    const char* tools_json, const char* name, int lazy);

/* ---- Chat templates --------------------------------------------------- */

typedef struct llm_chat_template llm_chat_template;
typedef struct llm_chat_message {
  const char* role;     /* "system", "user", "assistant"... */
  const char* content;
} llm_chat_message;
/* The built-in ChatML template: <|im_start|>role\ncontent<|im_end|>\n. */
VEXO_API llm_chat_template* llm_chat_template_chatml(void);
/* A chat template from a model folder (its chat_template.jinja, else the
   "chat_template" of its tokenizer_config.json), a tokenizer_config.json
   (a template text, or a list of named templates: "default", and
   "tool_use" when tools are given), a .jinja file, or a file of the line
   format (docs/generation.md). Null after an error line (with the line of
   the template when it is malformed). */
VEXO_API llm_chat_template* llm_chat_template_load(const char* path);
/* The template of a tokenizer's model folder (the folder given, or the one
   holding the tokenizer's file), as llm_chat_template_load reads a folder;
   the built-in ChatML template when that folder has none. Null after an
   error line. */
VEXO_API llm_chat_template* llm_chat_template_for_tokenizer(const char* tokenizer_path);
VEXO_API void llm_chat_template_free(llm_chat_template* chat_template);
/* Renders the messages, then the opening of the assistant's turn when
   add_generation_prompt is nonzero. Returns the length in bytes; writes at
   most capacity - 1 bytes and a NUL when capacity > 0; -1 after an error
   line. */
VEXO_API long llm_chat_template_render(const llm_chat_template* chat_template, const llm_chat_message* messages,
                                       size_t count, int add_generation_prompt, char* text, size_t capacity);

/* A conversation rendered with a template: its text, and which bytes of it
   came from the messages and tools rather than from the template. */
typedef struct llm_chat_prompt llm_chat_prompt;
/* Renders a conversation given as JSON texts. messages_json: an array of
   messages as the OpenAI chat format has them ("role"; "content" as text or
   a list of {"type": "text", "text": ...} parts; "tool_calls" with "id" and
   "function" {"name", "arguments"}; "tool_call_id"; "name";
   "reasoning_content"), passed to the template as they are. tools_json:
   null or an array of tool definitions. options_json: null or an object of
   variables for the template ("enable_thinking"...; "add_generation_prompt"
   is true unless given; "documents" is data like the messages). Null after
   an error line: JSON that does not parse, a template error or
   raise_exception() with its line, or a rendering past its bounds (work,
   nesting, 16 MiB of text). */
VEXO_API llm_chat_prompt* llm_chat_template_apply(const llm_chat_template* chat_template, const char* messages_json,
                                                  const char* tools_json, const char* options_json);
VEXO_API void llm_chat_prompt_free(llm_chat_prompt* prompt);
/* The rendered text (NUL-terminated; its length in *length when not null). */
VEXO_API const char* llm_chat_prompt_text(const llm_chat_prompt* prompt, size_t* length);
/* The byte ranges of the text that came from the messages, tools and
   documents: *ranges gets 2 * count numbers, begin and end of each range,
   in order. Valid until the prompt is freed; returns the count. */
VEXO_API size_t llm_chat_prompt_data_ranges(const llm_chat_prompt* prompt, const size_t** ranges);
/* Tokenizes the prompt as llm_tokenizer_encode does, except that a special
   token's text inside the data ranges stays text: a user who writes
   "<|im_end|>" cannot end a turn. Returns the number of ids, writing at
   most capacity; -1 after an error line. */
VEXO_API long llm_chat_prompt_encode(const llm_chat_prompt* prompt, const llm_tokenizer* tokenizer, int add_bos,
                                     int* ids, size_t capacity);
/* As llm_chat_prompt_encode, of the text from byte `from` on (a conversation
   that grows turn by turn encodes only what a turn adds, from a place where
   the tokenizer cuts the text anyway, such as a special token). */
VEXO_API long llm_chat_prompt_encode_from(const llm_chat_prompt* prompt, const llm_tokenizer* tokenizer, size_t from,
                                          int add_bos, int* ids, size_t capacity);
/* The text that ends a turn (a stop string for generation), "" when none:
   the eos_token of a Jinja template's folder. */
VEXO_API const char* llm_chat_template_stop(const llm_chat_template* chat_template);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // VEXO_LLM_GENERATION_H
