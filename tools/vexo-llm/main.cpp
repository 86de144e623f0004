// vexo-llm: generates tokens with a language model through the library's
// language-model runtime: one first pass over the prompt, then one next pass
// per further token, printing each token as it comes.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/format.h"
#include "common/tool.h"
#include "llm/llmruntime.h"

namespace {

using Clock = std::chrono::steady_clock;
using vexo::tool::Failure;
using vexo::tool::count_text;

struct Options {
  std::string model;
  std::string tokens;
  size_t max_new = std::numeric_limits<size_t>::max();
  int device = 0;
};

struct LlmDeleter {
  void operator()(llmrun::LLMBase* llm) const { llmrun::llm_free(llm); }
};

std::string millis(Clock::duration duration) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f ms", std::chrono::duration<double, std::milli>(duration).count());
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
  size_t count() const { return count_; }

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
                  " (the library's log says why)");
  }
  return token;
}

void generate(const Options& options) {
  std::vector<int> prompt = parse_prompt(options.tokens);  // writable: the library takes an int*
  vexo::tool::check_input_file(options.model);
  std::unique_ptr<llmrun::LLMBase, LlmDeleter> llm(llmrun::llm_init(options.model.c_str(), options.device));
  if (!llm) {
    throw Failure("cannot load " + options.model + " on device " + std::to_string(options.device) +
                  " as a language model (the library's log says why)");
  }
  const size_t seq_len = llmrun::llm_get_seq_len(llm.get());
  if (prompt.size() > seq_len) {
    throw Failure(count_text(prompt.size(), "prompt token") + " do not fit the model's sequence of " +
                  count_text(seq_len, "position"));
  }

  Clock::duration first_time{}, next_time{};
  size_t generated = 0;
  {
    TokenLine line;
    const Clock::time_point start = Clock::now();
    line.print(checked(llmrun::llm_forward_first(llm.get(), prompt.data(), prompt.size()), prompt.size()));
    first_time = Clock::now() - start;
    // The library takes a next pass while token_len <= seq_len: the last
    // token it gives has no room left in the caches to be fed back.
    while (line.count() < options.max_new && llmrun::llm_get_token_len(llm.get()) <= seq_len) {
      const Clock::time_point next_start = Clock::now();
      const size_t position = llmrun::llm_get_token_len(llm.get());
      line.print(checked(llmrun::llm_forward_next(llm.get()), position));
      next_time += Clock::now() - next_start;
    }
    generated = line.count();
  }
  std::cout << "time to first token: " << millis(first_time) << " (prompt of "
            << count_text(prompt.size(), "token") << ")\n";
  if (generated > 1) {
    const double seconds = std::chrono::duration<double>(next_time).count();
    std::cout << count_text(generated - 1, "next token") << " in " << millis(next_time) << ": "
              << (generated - 1) / seconds << " tokens/s\n";
  }
  std::cout << "stopped: "
            << (llmrun::llm_get_token_len(llm.get()) > seq_len
                    ? "the model's sequence of " + count_text(seq_len, "position") + " is full"
                    : "--max-new reached")
            << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  vexo::tool::Tool tool("vexo-llm",
                        "Generates tokens with a language model compiled as a bmodel file (nets embedding, "
                        "block_<i>, block_cache_<i>, embedding_cache, lm_head and an optional greedy_head).");
  CLI::App& app = tool.app();
  Options options;
  tool.add_model_argument(options.model);
  app.add_option("--tokens", options.tokens, "The prompt: token identifiers separated by commas, e.g. 1,2,3")
      ->required();
  app.add_option("--max-new", options.max_new,
                 "Generate at most N tokens (default: until the model's sequence is full)")
      ->check(CLI::Range(1LL, std::numeric_limits<long long>::max()));
  tool.add_device_option(options.device);
  app.callback([&options] { generate(options); });
  return tool.run(argc, argv);
}
