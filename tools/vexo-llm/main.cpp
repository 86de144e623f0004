// vexo-llm: generates with a language model through the library's
// language-model runtime. Given token ids (--tokens) it prints the ids as
// they come: one first pass over the prompt, then one next pass per further
// token. Given text (--prompt, or --chat for a conversation on standard
// input) and a tokenizer, it streams the decoded text through a generation
// session, with sampling and stop rules, reusing the caches between turns.
// --json writes the generation's report as one JSON document.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/files.h"
#include "common/format.h"
#include "common/json_report.h"
#include "common/model_checks.h"
#include "common/statistics.h"
#include "common/tool.h"
#include "llm/generation.h"
#include "llm/llmruntime.h"

namespace {

using Clock = std::chrono::steady_clock;
using vexo::tool::Failure;
using vexo::tool::count_text;

struct Options {
  std::string model;
  bool has_tokens = false;  // --tokens or --prompt given, perhaps empty
  bool has_prompt = false;
  std::string tokens;
  std::string prompt;
  bool chat = false;
  std::string tokenizer;
  std::string chat_template;
  std::string system;
  size_t max_new = std::numeric_limits<size_t>::max();
  llm_sampling sampling{};
  std::vector<std::string> biases;           // --logit-bias ID=BIAS
  std::vector<llm_logit_bias> logit_bias;    // parsed, lent to sampling
  std::vector<std::string> stops;
  std::vector<int> eos;
  int device = 0;
  std::string decrypt_lib;
  std::string json;
  std::string json_schema;  // files of a grammar the output follows
  std::string grammar;
};

struct LlmDeleter {
  void operator()(llmrun::LLMBase* llm) const { llmrun::llm_free(llm); }
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string millis(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f ms", seconds * 1e3);
  return text;
}

// The generated tokens on one line, each printed as soon as it exists; the
// line is ended however generation ends, so an error starts on a line of
// its own.
class TokenLine {
 public:
  ~TokenLine() {
    if (count_) std::cout << std::endl;
  }
  void print(int token) { std::cout << (count_++ ? " " : "") << token << std::flush; }

 private:
  size_t count_ = 0;
};

// The prompt "1,2,3" (blanks around the identifiers allowed), checked before
// the library sees it: every item a number from 0 to 2^31 - 1.
std::vector<int> parse_prompt(const std::string& text) {
  if (text.find_first_not_of(" \t") == std::string::npos)
    throw Failure("no prompt tokens given (e.g. --tokens 1,2,3)");
  std::vector<int> tokens;
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find(',', start), text.size());
    const size_t first = text.find_first_not_of(" \t", start);
    const size_t last = text.find_last_not_of(" \t", end - 1);
    const std::string item =
        first < end && last != std::string::npos ? text.substr(first, last + 1 - first) : "";
    int token = -1;
    const auto [stop, error] = std::from_chars(item.data(), item.data() + item.size(), token);
    if (item.empty() || error != std::errc() || stop != item.data() + item.size() || token < 0) {
      throw Failure("bad token list " + text + ": '" + item +
                    "' is not a token identifier (0 to 2147483647)");
    }
    tokens.push_back(token);
    start = end + 1;
  }
  return tokens;
}

int checked(int token, size_t position) {
  if (token < 0) {
    throw Failure("the language model failed at token " + std::to_string(position) +
                  vexo::tool::library_reason());
  }
  return token;
}

using Model = std::unique_ptr<llmrun::LLMBase, LlmDeleter>;

// Loads the model, through the decryption plug-in when one is given, and
// tells how long that took.
Model open_model(const Options& options, double& load_seconds) {
  vexo::tool::check_input_file(options.model);
  if (!options.decrypt_lib.empty()) vexo::tool::check_input_file(options.decrypt_lib);
  vexo::tool::check_model_file(options.model, options.decrypt_lib);
  const Clock::time_point start = Clock::now();
  Model llm(options.decrypt_lib.empty()
                ? llmrun::llm_init(options.model.c_str(), options.device)
                : llmrun::llm_init_decrypt(options.model.c_str(), options.device, options.decrypt_lib.c_str()));
  load_seconds = seconds_since(start);
  if (!llm) {
    throw Failure("cannot load " + options.model + " on device " + std::to_string(options.device) +
                  " as a language model" + vexo::tool::library_reason());
  }
  return llm;
}

// What one generation gave, as the tool measured it.
struct Generation {
  std::vector<int> tokens;
  std::string text;
  double first_token_seconds = -1;    // from the prompt's feeding to the first token; < 0: no token
  std::vector<double> token_seconds;  // each token after the first, from the call that produced it
  nlohmann::ordered_json logprobs = nlohmann::ordered_json::array();  // with --logprobs: one entry per token
};

// The --json report of one generation (the layout is in docs/tools.md).
void write_report(const Options& options, const std::string& mode, size_t prompt_tokens,
                  const Generation& generation, const std::string& finish, double load_seconds) {
  nlohmann::ordered_json document = vexo::tool::report_document("vexo-llm", 1);
  document["model"] = options.model;
  document["device"] = options.device;
  document["mode"] = mode;
  document["prompt_tokens"] = prompt_tokens;
  document["generated_tokens"] = generation.tokens.size();
  document["finish_reason"] = finish;
  document["load_seconds"] = load_seconds;
  document["first_token_seconds"] = generation.first_token_seconds < 0
                                        ? nlohmann::ordered_json()
                                        : nlohmann::ordered_json(generation.first_token_seconds);
  document["next_tokens"] =
      vexo::tool::statistics_json(vexo::tool::statistics(generation.token_seconds), "tokens_per_second");
  document["tokens"] = generation.tokens;
  document["text"] = mode == "text" ? nlohmann::ordered_json(generation.text) : nlohmann::ordered_json();
  if (options.sampling.logprobs >= 0) document["logprobs"] = generation.logprobs;
  vexo::tool::write_report(options.json, document);
}

void generate_tokens(const Options& options) {
  std::vector<int> prompt = parse_prompt(options.tokens);  // writable: the library takes an int*
  if (!options.json.empty()) vexo::tool::check_output_file(options.json);
  double load_seconds = 0;
  Model llm = open_model(options, load_seconds);
  const size_t seq_len = llmrun::llm_get_seq_len(llm.get());
  if (prompt.size() > seq_len) {
    throw Failure(count_text(prompt.size(), "prompt token") + " do not fit the model's sequence of " +
                  count_text(seq_len, "position"));
  }

  Generation generation;
  {
    TokenLine line;
    const Clock::time_point start = Clock::now();
    generation.tokens.push_back(
        checked(llmrun::llm_forward_first(llm.get(), prompt.data(), prompt.size()), prompt.size()));
    generation.first_token_seconds = seconds_since(start);
    line.print(generation.tokens.back());
    // The library takes a next pass while token_len <= seq_len: the last
    // token it gives has no room left in the caches to be fed back.
    while (generation.tokens.size() < options.max_new && llmrun::llm_get_token_len(llm.get()) <= seq_len) {
      const Clock::time_point next_start = Clock::now();
      const size_t position = llmrun::llm_get_token_len(llm.get());
      generation.tokens.push_back(checked(llmrun::llm_forward_next(llm.get()), position));
      generation.token_seconds.push_back(seconds_since(next_start));
      line.print(generation.tokens.back());
    }
  }
  // Standard output holds the tokens alone; what the run measured goes to
  // standard error.
  std::cerr << "time to first token: " << millis(generation.first_token_seconds) << " (prompt of "
            << count_text(prompt.size(), "token") << ")\n";
  const vexo::tool::Statistics next = vexo::tool::statistics(generation.token_seconds);
  if (next.count) {
    std::cerr << count_text(next.count, "next token") << " in " << millis(next.total) << ": "
              << next.per_second << " tokens/s\n";
  }
  const bool full = llmrun::llm_get_token_len(llm.get()) > seq_len;
  std::cerr << "stopped: "
            << (full ? "the model's sequence of " + count_text(seq_len, "position") + " is full"
                     : "--max-new reached")
            << std::endl;
  if (!options.json.empty()) {
    write_report(options, "tokens", prompt.size(), generation,
                 llm_finish_name(full ? LLM_FINISH_CAPACITY : LLM_FINISH_LENGTH), load_seconds);
  }
}

struct TokenizerDeleter {
  void operator()(llm_tokenizer* tokenizer) const { llm_tokenizer_free(tokenizer); }
};
struct SessionDeleter {
  void operator()(llm_session* session) const { llm_session_free(session); }
};
struct GrammarDeleter {
  void operator()(llm_grammar* grammar) const { llm_grammar_free(grammar); }
};
struct TemplateDeleter {
  void operator()(llm_chat_template* chat_template) const { llm_chat_template_free(chat_template); }
};
struct PromptDeleter {
  void operator()(llm_chat_prompt* prompt) const { llm_chat_prompt_free(prompt); }
};

// A model, its tokenizer and one session over both: the caches carry over
// from one generation to the next.
class TextGenerator {
 public:
  explicit TextGenerator(const Options& options)
      : options_(options), llm_(open_model(options, load_seconds_)) {
    vexo::tool::check_input_path(options.tokenizer);
    tokenizer_.reset(llm_tokenizer_load(options.tokenizer.c_str()));
    if (!tokenizer_) throw Failure("cannot read the tokenizer " + options.tokenizer + vexo::tool::library_reason());
    session_.reset(llm_session_create(llm_.get(), tokenizer_.get()));
    if (!session_) throw Failure("cannot start a generation session" + vexo::tool::library_reason());
    if (!options.json_schema.empty() || !options.grammar.empty()) constrain(options);
    for (const std::string& stop : options.stops) stops_.push_back(stop.c_str());
  }

  std::vector<int> encode(const std::string& text, bool add_bos) const {
    const long n = llm_tokenizer_encode(tokenizer_.get(), text.c_str(), add_bos, nullptr, 0);
    std::vector<int> ids(n > 0 ? static_cast<size_t>(n) : 0);
    if (n < 0 || llm_tokenizer_encode(tokenizer_.get(), text.c_str(), add_bos, ids.data(), ids.size()) != n) {
      throw Failure("cannot encode the prompt" + vexo::tool::library_reason());
    }
    return ids;
  }

  // The rendered conversation from byte `from` on, what its messages'
  // authors wrote kept as text (a user's "<|im_end|>" does not end a turn).
  std::vector<int> encode(const llm_chat_prompt* prompt, size_t from, bool add_bos) const {
    const long n = llm_chat_prompt_encode_from(prompt, tokenizer_.get(), from, add_bos, nullptr, 0);
    std::vector<int> ids(n > 0 ? static_cast<size_t>(n) : 0);
    if (n < 0 || llm_chat_prompt_encode_from(prompt, tokenizer_.get(), from, add_bos, ids.data(), ids.size()) != n) {
      throw Failure("cannot encode the prompt" + vexo::tool::library_reason());
    }
    return ids;
  }

  // The text of the bos token; "" without one.
  std::string bos_text() const {
    const int bos = llm_tokenizer_bos_id(tokenizer_.get());
    if (bos < 0) return "";
    char text[256];
    return llm_tokenizer_decode(tokenizer_.get(), &bos, 1, text, sizeof text) > 0 ? text : "";
  }

  // Streams the text generated after `prompt` to standard output.
  // `extra_stop` joins the stop strings when not empty.
  Generation generate(const std::vector<int>& prompt, const std::string& extra_stop = "") {
    const size_t capacity = llm_session_capacity(session_.get());
    if (prompt.empty() || prompt.size() > capacity) {
      throw Failure(count_text(prompt.size(), "prompt token") + " do not fit the model's sequence of " +
                    count_text(capacity, "position"));
    }
    std::vector<const char*> stops = stops_;
    if (!extra_stop.empty()) stops.push_back(extra_stop.c_str());
    llm_request request;
    llm_request_defaults(&request);
    request.sampling = options_.sampling;
    request.sampling.logit_bias = options_.logit_bias.data();
    request.sampling.logit_bias_count = options_.logit_bias.size();
    request.max_new = options_.max_new == std::numeric_limits<size_t>::max() ? 0 : options_.max_new;
    request.eos_ids = options_.eos.data();
    request.eos_count = options_.eos.size();
    request.stops = stops.data();
    request.stop_count = stops.size();
    const Clock::time_point start = Clock::now();
    if (!llm_session_start(session_.get(), prompt.data(), prompt.size(), &request)) {
      throw Failure("the language model failed on the prompt" + vexo::tool::library_reason());
    }
    Generation generation;
    llm_piece piece;
    for (int more = 1; more == 1;) {
      const Clock::time_point step_start = Clock::now();
      more = llm_session_step(session_.get(), &piece);
      if (more < 0) {
        std::cout << std::endl;
        throw Failure("the language model failed at token " +
                      std::to_string(prompt.size() + generation.tokens.size()) + vexo::tool::library_reason());
      }
      if (piece.token >= 0) {
        // The start prepares the first token, which its step hands out; each
        // later step runs the pass of its token.
        if (generation.tokens.empty()) {
          generation.first_token_seconds = seconds_since(start);
        } else {
          generation.token_seconds.push_back(seconds_since(step_start));
        }
        generation.tokens.push_back(piece.token);
        add_logprobs(generation.logprobs);
      }
      generation.text.append(piece.text, piece.text_len);
      std::cout.write(piece.text, static_cast<std::streamsize>(piece.text_len)) << std::flush;
    }
    return generation;
  }

  // The last token's log-probabilities, when asked for, as a report entry.
  void add_logprobs(nlohmann::ordered_json& list) const {
    llm_logprob chosen{};
    std::vector<llm_logprob> top(LLM_MAX_LOGPROBS);
    const long count = llm_session_logprobs(session_.get(), &chosen, top.data(), top.size());
    if (count < 0) return;
    const auto entry = [](const llm_logprob& logprob) {
      // JSON has no infinities: an impossible token is null.
      return nlohmann::ordered_json{{"token", logprob.token},
                                    {"logprob", std::isfinite(logprob.logprob) ? nlohmann::ordered_json(logprob.logprob)
                                                                               : nlohmann::ordered_json()}};
    };
    nlohmann::ordered_json item = entry(chosen);
    item["top"] = nlohmann::ordered_json::array();
    for (long i = 0; i < count && i < static_cast<long>(top.size()); ++i) item["top"].push_back(entry(top[i]));
    list.push_back(std::move(item));
  }

  // The stop reason, the prompt and its time, the time to the first token
  // and the rate of the tokens after it.
  void report(std::ostream& out) const {
    llm_session_stats stats;
    llm_session_get_stats(session_.get(), &stats);
    out << "stopped: " << llm_finish_name(llm_session_finish(session_.get())) << "\n";
    out << "prompt: " << count_text(stats.prompt_tokens, "token");
    if (stats.reused_tokens) out << " (" << stats.reused_tokens << " reused from the caches)";
    out << " in " << millis(stats.prompt_seconds) << "\n";
    if (stats.generated_tokens) {
      out << "time to first token: " << millis(stats.first_token_seconds) << "\n";
      const double rest = stats.generate_seconds - stats.first_token_seconds;
      out << count_text(stats.generated_tokens, "generated token");
      if (stats.generated_tokens > 1 && rest > 0) out << ": " << (stats.generated_tokens - 1) / rest << " tokens/s";
      out << "\n";
    }
    out << std::flush;
  }

  llm_session* session() const { return session_.get(); }
  const llm_tokenizer* tokenizer() const { return tokenizer_.get(); }
  double load_seconds() const { return load_seconds_; }

 private:
  // Makes every generation follow the grammar of --json-schema or --grammar.
  void constrain(const Options& options) {
    const bool schema = !options.json_schema.empty();
    const std::string& path = schema ? options.json_schema : options.grammar;
    vexo::tool::check_input_file(path);
    std::ifstream file(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file) throw Failure("cannot read " + path);
    const std::unique_ptr<llm_grammar, GrammarDeleter> grammar(
        llm_grammar_compile(tokenizer_.get(), schema ? LLM_GRAMMAR_JSON_SCHEMA : LLM_GRAMMAR_RULES, text.c_str()));
    if (!grammar || !llm_session_set_grammar(session_.get(), grammar.get())) {
      throw Failure("cannot follow the grammar of " + path + vexo::tool::library_reason());
    }
  }

  const Options& options_;
  double load_seconds_ = 0;
  Model llm_;
  std::unique_ptr<llm_tokenizer, TokenizerDeleter> tokenizer_;
  std::unique_ptr<llm_session, SessionDeleter> session_;
  std::vector<const char*> stops_;
};

void generate_text(const Options& options) {
  if (!options.json.empty()) vexo::tool::check_output_file(options.json);
  TextGenerator generator(options);
  const std::vector<int> prompt = generator.encode(options.prompt, true);
  const Generation generation = generator.generate(prompt);
  // Standard output holds the text alone, the same for the same seed; the
  // report goes to standard error, on a line of its own.
  std::cerr << "\n";
  generator.report(std::cerr);
  if (!options.json.empty()) {
    write_report(options, "text", prompt.size(), generation,
                 llm_finish_name(llm_session_finish(generator.session())), generator.load_seconds());
  }
}

using Prompt = std::unique_ptr<llm_chat_prompt, PromptDeleter>;

// The conversation rendered with the template.
Prompt render(const llm_chat_template* chat_template, const nlohmann::ordered_json& messages,
              bool add_generation_prompt) {
  const std::string options = nlohmann::ordered_json{{"add_generation_prompt", add_generation_prompt}}.dump();
  Prompt prompt(llm_chat_template_apply(chat_template, messages.dump().c_str(), nullptr, options.c_str()));
  if (!prompt) throw Failure("cannot render the chat template" + vexo::tool::library_reason());
  return prompt;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A conversation: each line of standard input is a user's turn. The
// conversation's tokens grow turn by turn, so that every turn's prompt
// extends what the caches hold and only the new turn is fed: the text
// added is what the template writes after the last prompt and reply. A
// template that rewrites earlier turns (some drop past reasoning) gets the
// whole conversation encoded again.
void chat(const Options& options) {
  TextGenerator generator(options);
  std::unique_ptr<llm_chat_template, TemplateDeleter> chat_template(
      options.chat_template.empty() ? llm_chat_template_for_tokenizer(options.tokenizer.c_str())
                                    : llm_chat_template_load(options.chat_template.c_str()));
  if (!chat_template) {
    throw Failure("cannot read the chat template " +
                  (options.chat_template.empty() ? "of " + options.tokenizer : options.chat_template) +
                  vexo::tool::library_reason());
  }
  const llm_chat_template* t = chat_template.get();
  const std::string stop = llm_chat_template_stop(t);

  nlohmann::ordered_json messages = nlohmann::ordered_json::array();
  if (!options.system.empty()) messages.push_back({{"role", "system"}, {"content", options.system}});
  std::vector<int> conversation;
  std::string shown;  // the text whose tokens `conversation` holds, as the template wrote it
  std::string line;
  bool stopped_by_template = false;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    messages.push_back({{"role", "user"}, {"content", line}});
    const Prompt rendered = render(t, messages, true);
    const std::string prompt = llm_chat_prompt_text(rendered.get(), nullptr);
    if (!conversation.empty() && starts_with(prompt, shown)) {
      size_t from = shown.size();
      // The stop string that ended the last reply is in the caches already.
      if (stopped_by_template && prompt.compare(from, stop.size(), stop) == 0) from += stop.size();
      const std::vector<int> ids = generator.encode(rendered.get(), from, false);
      conversation.insert(conversation.end(), ids.begin(), ids.end());
    } else {
      // Templates that write the bos token themselves get no second one.
      const std::string bos = generator.bos_text();
      conversation = generator.encode(rendered.get(), 0, bos.empty() || !starts_with(prompt, bos));
    }
    const Generation reply = generator.generate(conversation, stop);
    std::cout << std::endl;
    generator.report(std::cerr);
    const int finish = llm_session_finish(generator.session());
    stopped_by_template = finish == LLM_FINISH_STOP;
    // A reply that ended on an end id continues without it.
    conversation.insert(conversation.end(), reply.tokens.begin(), reply.tokens.end());
    if (finish == LLM_FINISH_CAPACITY) {
      std::cerr << "the conversation fills the model's sequence" << std::endl;
      return;
    }
    messages.push_back({{"role", "assistant"}, {"content", reply.text}});
    shown = prompt + reply.text;
    const std::string closed = llm_chat_prompt_text(render(t, messages, false).get(), nullptr);
    // Without the template's text after the reply, the next turn starts over.
    if (!starts_with(closed, shown)) conversation.clear();
  }
}

// The sampling flags as the library checks them; the biases parsed.
void check_sampling(Options& options) {
  for (const std::string& item : options.biases) {
    const size_t equals = item.find('=');
    int32_t token = -1;
    float bias = 0;
    const char* end = item.data() + item.size();
    const bool parsed = equals != std::string::npos &&
                        std::from_chars(item.data(), item.data() + equals, token).ptr == item.data() + equals &&
                        token >= 0 && std::from_chars(item.data() + equals + 1, end, bias).ptr == end && equals + 1 < item.size();
    if (!parsed) throw Failure("bad --logit-bias " + item + ": give ID=BIAS, e.g. 42=-100");
    options.logit_bias.push_back({token, bias});
  }
  options.sampling.logit_bias = options.logit_bias.data();
  options.sampling.logit_bias_count = options.logit_bias.size();
  if (const char* field = llm_sampling_invalid(&options.sampling)) {
    std::string flag = field;
    std::replace(flag.begin(), flag.end(), '_', '-');
    throw Failure("--" + flag + " is outside its range (docs/tools.md gives the ranges)");
  }
}

void generate(Options& options) {
  check_sampling(options);
  if (!options.has_tokens && !options.has_prompt && !options.chat) {
    throw CLI::RequiredError("one of --prompt, --chat and --tokens");
  }
  if (options.has_tokens) {
    generate_tokens(options);
    return;
  }
  if (options.tokenizer.empty()) throw Failure("--prompt and --chat need a --tokenizer");
  if (options.chat) {
    chat(options);
  } else {
    generate_text(options);
  }
}

}  // namespace

int main(int argc, char** argv) {
  vexo::tool::Tool tool("vexo-llm",
                        "Generates text or tokens with a language model compiled as a bmodel file (nets "
                        "embedding, block_<i>, block_cache_<i>, embedding_cache, lm_head and an optional "
                        "greedy_head).");
  CLI::App& app = tool.app();
  Options options;
  tool.add_model_argument(options.model);
  CLI::Option* tokens =
      app.add_option("--tokens", options.tokens, "The prompt: token identifiers separated by commas, e.g. 1,2,3");
  CLI::Option* prompt = app.add_option("--prompt", options.prompt, "The prompt as text (needs --tokenizer)");
  CLI::Option* chat_flag =
      app.add_flag("--chat", options.chat, "A conversation: each line of standard input is a user's turn");
  tokens->excludes(prompt)->excludes(chat_flag);
  prompt->excludes(chat_flag);
  app.add_option("--tokenizer", options.tokenizer, "The tokenizer: a model folder, a tokenizer.json or a SentencePiece tokenizer.model");
  app.add_option("--template", options.chat_template, "The chat template for --chat: a model folder, tokenizer_config.json, .jinja or line-format file "
                 "(default: the tokenizer folder's template, else ChatML)");
  app.add_option("--system", options.system, "A system message opening the --chat conversation");
  app.add_option("--max-new", options.max_new,
                 "Generate at most N tokens (default: until the model's sequence is full)")
      ->check(CLI::Range(1LL, std::numeric_limits<long long>::max()));
  llm_sampling_defaults(&options.sampling);
  app.add_option("--temperature", options.sampling.temperature, "Sampling temperature; 0 picks the best (default)")
      ->check(CLI::Range(0.0, 100.0));
  app.add_option("--top-k", options.sampling.top_k, "Draw from the K best tokens only; 0: all")
      ->check(CLI::Range(0, std::numeric_limits<int32_t>::max()));
  app.add_option("--top-p", options.sampling.top_p, "Draw from the best tokens holding P of the probability")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--min-p", options.sampling.min_p, "Drop tokens less likely than P times the best")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--repeat-penalty", options.sampling.repeat_penalty,
                 "Penalise the last --repeat-last-n tokens by R (1: off)")
      ->check(CLI::Range(0.0, 100.0));
  app.add_option("--repeat-last-n", options.sampling.repeat_last_n, "Tokens the penalty looks back at (64)")
      ->check(CLI::Range(0, std::numeric_limits<int32_t>::max()));
  app.add_option("--presence-penalty", options.sampling.presence_penalty,
                 "Lower the score of every token generated so far by P (-2 to 2; 0: off)");
  app.add_option("--frequency-penalty", options.sampling.frequency_penalty,
                 "Lower the score of a token by F per time it was generated (-2 to 2; 0: off)");
  app.add_option("--logit-bias", options.biases,
                 "ID=BIAS: add BIAS (-100 to 100) to the token's score; -100 bans it, 100 forces it (repeatable)");
  app.add_option("--logprobs", options.sampling.logprobs,
                 "Record each token's log-probability and the N likeliest (0 to 20) in the --json report");
  app.add_option("--seed", options.sampling.seed, "Seed of the sampler: the same seed gives the same text");
  app.add_option("--stop", options.stops, "Stop before this text (repeatable)");
  app.add_option("--eos", options.eos, "Stop on this token id (repeatable; default: the tokenizer's end id)")
      ->check(CLI::Range(0, std::numeric_limits<int>::max()));
  CLI::Option* json =
      app.add_option("--json", options.json,
                     "Write the generation's report (model, device, version, prompt and generated tokens, "
                     "why it stopped, every time) to this file as one JSON document");
  json->excludes(chat_flag);
  CLI::Option* schema = app.add_option("--json-schema", options.json_schema,
                                       "Make the output a JSON text that this JSON Schema file accepts");
  CLI::Option* grammar = app.add_option("--grammar", options.grammar,
                                        "Make the output follow this grammar file (rules, from \"root\")");
  schema->excludes(grammar)->excludes(tokens);
  grammar->excludes(tokens);
  tool.add_device_option(options.device);
  tool.add_decrypt_option(options.decrypt_lib);
  app.callback([&options, tokens, prompt] {
    options.has_tokens = tokens->count() > 0;
    options.has_prompt = prompt->count() > 0;
    generate(options);
  });
  return tool.run(argc, argv);
}
