// The C edge of the generation layer: handles over the C++ objects, and
// every failure turned into an error line and a failure value.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "src/llm/chat_template.h"
#include "src/llm/grammar/grammar.h"
#include "src/llm/grammar/token_mask.h"
#include "src/llm/jinja/value.h"
#include "llm/generation.h"
#include "src/llm/session.h"
#include "src/llm/tokenizer.h"
#include "src/llm/tool_calls.h"
#include "src/utils/guard.h"

struct llm_tokenizer {
  std::unique_ptr<llmrun::Tokenizer> tokenizer;
  // The vocabulary's bytes for grammars, made by the first compile and shared.
  mutable std::once_flag vocabulary_once;
  mutable std::shared_ptr<const llmrun::grammar::Vocabulary> vocabulary;
};

struct llm_decoder {
  explicit llm_decoder(const llmrun::Tokenizer& tokenizer) : decoder(tokenizer) {}
  llmrun::StreamDecoder decoder;
  std::string text;  // the last piece handed out
};

struct llm_session {
  llm_session(llmrun::LLMBase& llm, const llmrun::Tokenizer* tokenizer) : session(llm, tokenizer) {}
  llmrun::Session session;
  std::string text;  // the last step's text
};

struct llm_grammar {
  const llmrun::Tokenizer* tokenizer;
  std::shared_ptr<llmrun::grammar::TokenMasks> masks;
  std::string trigger;  // "": from the first token
};

struct llm_chat_template {
  llmrun::ChatTemplate chat;
};

struct llm_chat_prompt {
  llmrun::ChatPrompt prompt;
  std::vector<size_t> flat_ranges;  // begin, end, begin, end...
};

namespace {

using minilog::fail_with;
using minilog::guarded;

template <typename T>
void require(const T* pointer, const char* what) {
  if (!pointer) fail_with("No ", what, " was given");
}

// Copies `text` into a caller's buffer of `capacity` bytes, cut to fit and
// NUL-terminated; returns the whole length.
long give_text(const std::string& text, char* out, size_t capacity) {
  if (capacity) {
    if (!out) fail_with("No text buffer was given");
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
  }
  return static_cast<long>(text.size());
}

std::vector<int> ids_of(const int* ids, size_t count) {
  if (count && !ids) fail_with("No token ids were given");
  return std::vector<int>(ids, ids + count);
}

// Chat JSON deeper than a template may use, refused while it is parsed.
struct JsonTooDeep {};

}  // namespace

extern "C" {

llm_tokenizer* llm_tokenizer_load(const char* path) {
  return guarded(
      "llm_tokenizer_load",
      [&]() -> llm_tokenizer* {
        require(path, "tokenizer path");
        auto handle = std::make_unique<llm_tokenizer>();
        handle->tokenizer = llmrun::load_tokenizer(path);
        return handle.release();
      },
      nullptr);
}

llm_tokenizer* llm_tokenizer_from_callbacks(const llm_tokenizer_callbacks* callbacks) {
  return guarded(
      "llm_tokenizer_from_callbacks",
      [&]() -> llm_tokenizer* {
        require(callbacks, "tokenizer functions");
        auto handle = std::make_unique<llm_tokenizer>();
        handle->tokenizer = llmrun::callback_tokenizer(*callbacks);
        return handle.release();
      },
      nullptr);
}

void llm_tokenizer_free(llm_tokenizer* tokenizer) { delete tokenizer; }

size_t llm_tokenizer_vocab_size(const llm_tokenizer* tokenizer) {
  return tokenizer ? tokenizer->tokenizer->vocab_size() : 0;
}

int llm_tokenizer_bos_id(const llm_tokenizer* tokenizer) { return tokenizer ? tokenizer->tokenizer->bos_id() : -1; }

int llm_tokenizer_eos_id(const llm_tokenizer* tokenizer) { return tokenizer ? tokenizer->tokenizer->eos_id() : -1; }

long llm_tokenizer_encode(const llm_tokenizer* tokenizer, const char* text, int add_bos, int* ids, size_t capacity) {
  return llm_tokenizer_encode_with(tokenizer, text, add_bos ? LLM_ENCODE_ADD_BOS : 0u, ids, capacity);
}

long llm_tokenizer_encode_with(const llm_tokenizer* tokenizer, const char* text, unsigned flags, int* ids,
                               size_t capacity) {
  return guarded(
      "llm_tokenizer_encode",
      [&]() -> long {
        require(tokenizer, "tokenizer");
        require(text, "text");
        if (flags & ~(LLM_ENCODE_ADD_BOS | LLM_ENCODE_SPECIAL_AS_TEXT)) fail_with("Unknown encode flags ", flags);
        const bool add_bos = flags & LLM_ENCODE_ADD_BOS;
        const std::vector<int> encoded = flags & LLM_ENCODE_SPECIAL_AS_TEXT ? tokenizer->tokenizer->encode_plain(text, add_bos)
                                                                             : tokenizer->tokenizer->encode(text, add_bos);
        if (capacity && !ids) fail_with("No id array was given");
        std::copy_n(encoded.begin(), std::min(capacity, encoded.size()), ids);
        return static_cast<long>(encoded.size());
      },
      -1L);
}

size_t llm_tokenizer_min_tokens(const llm_tokenizer* tokenizer, const char* text) {
  return guarded("llm_tokenizer_min_tokens", [&]() -> size_t { return tokenizer && text ? tokenizer->tokenizer->min_ids(text) : 0; }, size_t{0});
}

long llm_tokenizer_decode(const llm_tokenizer* tokenizer, const int* ids, size_t count, char* text, size_t capacity) {
  return guarded(
      "llm_tokenizer_decode",
      [&]() -> long {
        require(tokenizer, "tokenizer");
        return give_text(tokenizer->tokenizer->decode(ids_of(ids, count)), text, capacity);
      },
      -1L);
}

llm_decoder* llm_decoder_create(const llm_tokenizer* tokenizer) {
  return guarded(
      "llm_decoder_create",
      [&]() -> llm_decoder* {
        require(tokenizer, "tokenizer");
        return new llm_decoder(*tokenizer->tokenizer);
      },
      nullptr);
}

void llm_decoder_free(llm_decoder* decoder) { delete decoder; }

void llm_decoder_reset(llm_decoder* decoder) {
  if (decoder) decoder->decoder.reset();
}

const char* llm_decoder_push(llm_decoder* decoder, int id) {
  return guarded(
      "llm_decoder_push",
      [&]() -> const char* {
        require(decoder, "decoder");
        decoder->text = decoder->decoder.push(id);
        return decoder->text.c_str();
      },
      nullptr);
}

const char* llm_decoder_flush(llm_decoder* decoder) {
  return guarded(
      "llm_decoder_flush",
      [&]() -> const char* {
        require(decoder, "decoder");
        decoder->text = decoder->decoder.flush();
        return decoder->text.c_str();
      },
      nullptr);
}

void llm_sampling_defaults(llm_sampling* sampling) {
  if (!sampling) return;
  *sampling = llm_sampling{};
  sampling->temperature = 0.0f;
  sampling->top_k = 0;
  sampling->top_p = 1.0f;
  sampling->min_p = 0.0f;
  sampling->repeat_penalty = 1.0f;
  sampling->repeat_last_n = 64;
  sampling->seed = 0;
  sampling->presence_penalty = 0.0f;
  sampling->frequency_penalty = 0.0f;
  sampling->logit_bias = nullptr;
  sampling->logit_bias_count = 0;
  sampling->logprobs = -1;
}

const char* llm_sampling_invalid(const llm_sampling* sampling) {
  return sampling ? llmrun::invalid_sampling_field(*sampling) : "sampling";
}

void llm_request_defaults(llm_request* request) {
  if (!request) return;
  *request = llm_request{};
  llm_sampling_defaults(&request->sampling);
}

const char* llm_finish_name(int finish) {
  switch (finish) {
    case LLM_FINISH_EOS: return "eos";
    case LLM_FINISH_STOP: return "stop";
    case LLM_FINISH_LENGTH: return "length";
    case LLM_FINISH_CAPACITY: return "capacity";
    case LLM_FINISH_CANCELLED: return "cancelled";
    case LLM_FINISH_UNKNOWN_TOKEN: return "unknown_token";
    default: return "none";
  }
}

llm_session* llm_session_create(llmbase llm, const llm_tokenizer* tokenizer) {
  return guarded(
      "llm_session_create",
      [&]() -> llm_session* {
        require(llm, "language model");
        return new llm_session(*llm, tokenizer ? tokenizer->tokenizer.get() : nullptr);
      },
      nullptr);
}

void llm_session_free(llm_session* session) { delete session; }

int llm_session_start(llm_session* session, const int* ids, size_t count, const llm_request* request) {
  return guarded(
      "llm_session_start",
      [&] {
        require(session, "session");
        session->session.start(ids_of(ids, count), llmrun::copy_request(request));
        return 1;
      },
      0);
}

int llm_session_step(llm_session* session, llm_piece* piece) {
  return guarded(
      "llm_session_step",
      [&] {
        require(session, "session");
        require(piece, "piece");
        int token = -1;
        const bool more = session->session.step(token, session->text);
        piece->token = token;
        piece->text = session->text.c_str();
        piece->text_len = session->text.size();
        return more ? 1 : 0;
      },
      -1);
}

int llm_session_generate(llm_session* session, const int* ids, size_t count, const llm_request* request,
                         llm_piece_callback callback, void* user) {
  if (!llm_session_start(session, ids, count, request)) return -1;
  llm_piece piece;
  for (;;) {
    const int more = llm_session_step(session, &piece);
    if (more < 0) return -1;
    if (callback && (piece.text_len || piece.token >= 0) && callback(user, &piece)) {
      session->session.cancel();
      return LLM_FINISH_CANCELLED;
    }
    if (!more) return llm_session_finish(session);
  }
}

int llm_session_finish(const llm_session* session) {
  return session ? session->session.finish() : LLM_FINISH_NONE;
}

void llm_session_get_stats(const llm_session* session, llm_session_stats* stats) {
  if (session && stats) *stats = session->session.stats();
}

size_t llm_session_cached_tokens(const llm_session* session, const int** ids) {
  if (!session) return 0;
  const std::vector<int>& cached = session->session.cached();
  if (ids) *ids = cached.data();
  return cached.size();
}

long llm_session_logprobs(const llm_session* session, llm_logprob* chosen, llm_logprob* top, size_t capacity) {
  llm_logprob own{};
  const std::vector<llm_logprob>* likeliest = nullptr;
  if (!session || !session->session.logprobs(own, likeliest)) return -1;
  if (chosen) *chosen = own;
  if (top) std::copy_n(likeliest->begin(), std::min(capacity, likeliest->size()), top);
  return static_cast<long>(likeliest->size());
}

size_t llm_session_capacity(const llm_session* session) { return session ? session->session.capacity() : 0; }

namespace {

// A grammar over the tokenizer's vocabulary (whose bytes the first grammar
// of a tokenizer collects).
llm_grammar* grammar_for(const llm_tokenizer& tokenizer,
                         std::shared_ptr<const llmrun::grammar::Automaton> automaton) {
  const llmrun::Tokenizer& t = *tokenizer.tokenizer;
  if (t.vocab_size() == 0) fail_with("A grammar needs a tokenizer that gives its vocabulary size");
  std::call_once(tokenizer.vocabulary_once, [&] {
    std::vector<std::string> bytes(t.vocab_size());
    for (size_t id = 0; id < bytes.size(); ++id) bytes[id] = t.token_bytes(static_cast<int>(id));
    tokenizer.vocabulary = std::make_shared<const llmrun::grammar::Vocabulary>(bytes);
  });
  auto masks = std::make_shared<llmrun::grammar::TokenMasks>(std::move(automaton), tokenizer.vocabulary);
  return new llm_grammar{&t, std::move(masks), ""};
}

}  // namespace

llm_grammar* llm_grammar_compile(const llm_tokenizer* tokenizer, int kind, const char* text) {
  return guarded(
      "llm_grammar_compile",
      [&]() -> llm_grammar* {
        require(tokenizer, "tokenizer");
        namespace g = llmrun::grammar;
        std::shared_ptr<const g::Automaton> automaton;
        if (kind == LLM_GRAMMAR_JSON) {
          automaton = g::compile_json();
        } else if (kind == LLM_GRAMMAR_JSON_SCHEMA || kind == LLM_GRAMMAR_RULES) {
          require(text, "grammar text");
          automaton = kind == LLM_GRAMMAR_RULES ? g::compile_rules(text) : g::compile_json_schema(text);
        } else {
          fail_with("Unknown grammar kind ", kind);
        }
        return grammar_for(*tokenizer, std::move(automaton));
      },
      nullptr);
}

int llm_tool_call_style(const llm_tokenizer* tokenizer) {
  return guarded(
      "llm_tool_call_style",
      [&] {
        require(tokenizer, "tokenizer");
        return llmrun::tool_call_style(*tokenizer->tokenizer);
      },
      -1);
}

long llm_tool_calls_parse(const char* text, int style, char* out, size_t capacity) {
  return guarded(
      "llm_tool_calls_parse",
      [&]() -> long {
        require(text, "text");
        if (style != LLM_TOOL_CALLS_TAGGED && style != LLM_TOOL_CALLS_JSON)
          fail_with("Unknown tool call style ", style);
        const llmrun::ParsedOutput parsed = llmrun::parse_tool_calls(text, style);
        nlohmann::ordered_json calls = nlohmann::ordered_json::array();
        for (const llmrun::ToolCall& call : parsed.calls)
          calls.push_back({{"name", call.name}, {"arguments", call.arguments}});
        const nlohmann::ordered_json result = {{"content", parsed.content}, {"tool_calls", std::move(calls)}};
        const auto replace = nlohmann::ordered_json::error_handler_t::replace;
        return give_text(result.dump(-1, ' ', false, replace), out, capacity);
      },
      -1L);
}

llm_grammar* llm_grammar_compile_tool_call(const llm_tokenizer* tokenizer, int style, const char* tools_json,
                                           const char* name, int lazy) {
  return guarded(
      "llm_grammar_compile_tool_call",
      [&]() -> llm_grammar* {
        require(tokenizer, "tokenizer");
        require(tools_json, "tools");
        const nlohmann::ordered_json tools = nlohmann::ordered_json::parse(tools_json, nullptr, false);
        if (tools.is_discarded()) fail_with("The tools are not valid JSON");
        const llmrun::CallGrammar call = llmrun::tool_call_grammar(tools, name ? name : "", style);
        // A lazy grammar starts after the opening text, which the model writes freely.
        const std::string before =
            lazy ? call.before.substr(std::min(call.before.size(), call.opening.size())) : call.before;
        llm_grammar* grammar =
            grammar_for(*tokenizer, llmrun::grammar::compile_json_schema(call.schema.dump(), before, call.after));
        if (lazy) grammar->trigger = call.opening;
        return grammar;
      },
      nullptr);
}

void llm_grammar_free(llm_grammar* grammar) { delete grammar; }

int llm_session_set_grammar(llm_session* session, const llm_grammar* grammar) {
  return guarded(
      "llm_session_set_grammar",
      [&]() {
        require(session, "session");
        session->session.set_grammar(grammar ? grammar->masks : nullptr, grammar ? grammar->tokenizer : nullptr,
                                     grammar ? grammar->trigger : "");
        return 1;
      },
      0);
}

llm_chat_template* llm_chat_template_chatml(void) {
  return guarded("llm_chat_template_chatml", [] { return new llm_chat_template{llmrun::chatml_template()}; },
                 nullptr);
}

llm_chat_template* llm_chat_template_load(const char* path) {
  return guarded(
      "llm_chat_template_load",
      [&]() -> llm_chat_template* {
        require(path, "template path");
        return new llm_chat_template{llmrun::load_chat_template(path)};
      },
      nullptr);
}

llm_chat_template* llm_chat_template_for_tokenizer(const char* tokenizer_path) {
  return guarded(
      "llm_chat_template_for_tokenizer",
      [&]() -> llm_chat_template* {
        require(tokenizer_path, "tokenizer path");
        return new llm_chat_template{llmrun::tokenizer_chat_template(tokenizer_path)};
      },
      nullptr);
}

void llm_chat_template_free(llm_chat_template* chat_template) { delete chat_template; }

long llm_chat_template_render(const llm_chat_template* chat_template, const llm_chat_message* messages,
                              size_t count, int add_generation_prompt, char* text, size_t capacity) {
  return guarded(
      "llm_chat_template_render",
      [&]() -> long {
        require(chat_template, "chat template");
        if (count && !messages) fail_with("No messages were given");
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (size_t i = 0; i < count; ++i) {
          if (!messages[i].role || !messages[i].content) fail_with("Message ", i, " lacks its role or content");
          list.push_back({{"role", messages[i].role}, {"content", messages[i].content}});
        }
        const nlohmann::ordered_json options = {{"add_generation_prompt", add_generation_prompt != 0}};
        return give_text(chat_template->chat.apply(list, nullptr, options).text, text, capacity);
      },
      -1L);
}

llm_chat_prompt* llm_chat_template_apply(const llm_chat_template* chat_template, const char* messages_json,
                                         const char* tools_json, const char* options_json) {
  return guarded(
      "llm_chat_template_apply",
      [&]() -> llm_chat_prompt* {
        require(chat_template, "chat template");
        require(messages_json, "messages");
        const auto parse = [](const char* text, const char* what) {
          if (!text) return nlohmann::ordered_json();
          // Refused while parsing: a template could not use deeper values,
          // and copying them recurses as deep as they go.
          const auto shallow = [](int depth, nlohmann::ordered_json::parse_event_t, nlohmann::ordered_json&) {
            if (static_cast<size_t>(depth) > llmrun::jinja::kMaxValueDepth) throw JsonTooDeep{};
            return true;
          };
          nlohmann::ordered_json value;
          try {
            value = nlohmann::ordered_json::parse(text, shallow, false);
          } catch (const JsonTooDeep&) {
            fail_with("The ", what, " nest deeper than ", llmrun::jinja::kMaxValueDepth, " levels");
          }
          if (value.is_discarded()) fail_with("The ", what, " are not valid JSON");
          return value;
        };
        const nlohmann::ordered_json messages = parse(messages_json, "messages");
        const nlohmann::ordered_json tools = parse(tools_json, "tools");
        const nlohmann::ordered_json options = parse(options_json, "chat options");
        auto prompt = std::make_unique<llm_chat_prompt>();
        prompt->prompt = chat_template->chat.apply(messages, tools, options);
        for (const auto& [begin, end] : prompt->prompt.data_ranges) {
          prompt->flat_ranges.push_back(begin);
          prompt->flat_ranges.push_back(end);
        }
        return prompt.release();
      },
      nullptr);
}

const char* llm_chat_prompt_text(const llm_chat_prompt* prompt, size_t* length) {
  if (length) *length = prompt ? prompt->prompt.text.size() : 0;
  return prompt ? prompt->prompt.text.c_str() : "";
}

size_t llm_chat_prompt_data_ranges(const llm_chat_prompt* prompt, const size_t** ranges) {
  if (ranges) *ranges = prompt ? prompt->flat_ranges.data() : nullptr;
  return prompt ? prompt->prompt.data_ranges.size() : 0;
}

long llm_chat_prompt_encode(const llm_chat_prompt* prompt, const llm_tokenizer* tokenizer, int add_bos, int* ids,
                            size_t capacity) {
  return llm_chat_prompt_encode_from(prompt, tokenizer, 0, add_bos, ids, capacity);
}

long llm_chat_prompt_encode_from(const llm_chat_prompt* prompt, const llm_tokenizer* tokenizer, size_t from,
                                 int add_bos, int* ids, size_t capacity) {
  return guarded(
      "llm_chat_prompt_encode",
      [&]() -> long {
        require(prompt, "chat prompt");
        require(tokenizer, "tokenizer");
        const std::string& text = prompt->prompt.text;
        if (from > text.size()) fail_with("Byte ", from, " is past the prompt's ", text.size());
        std::vector<std::pair<size_t, size_t>> plain;
        for (const auto& [begin, end] : prompt->prompt.data_ranges) {
          if (end > from) plain.emplace_back(std::max(begin, from) - from, end - from);
        }
        const std::vector<int> encoded = tokenizer->tokenizer->encode_chat(text.substr(from), add_bos != 0, plain);
        if (capacity && !ids) fail_with("No id array was given");
        std::copy_n(encoded.begin(), std::min(capacity, encoded.size()), ids);
        return static_cast<long>(encoded.size());
      },
      -1L);
}

void llm_chat_prompt_free(llm_chat_prompt* prompt) { delete prompt; }

const char* llm_chat_template_stop(const llm_chat_template* chat_template) {
  return chat_template ? chat_template->chat.stop().c_str() : "";
}

}  // extern "C"
