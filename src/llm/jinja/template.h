// A parsed chat template and its rendering, as chat models expect it:
// trim_blocks and lstrip_blocks on, raise_exception() and strftime_now()
// available, and bounds on the work, the nesting and the size of the output
// so that a template from an untrusted folder cannot hang or exhaust the
// process. docs/generation.md lists the language it understands.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace llmrun::jinja {

struct Stmt;

struct Limits {
  size_t max_steps = 1'000'000;          // loop iterations, and work in units of 64 items or bytes
  size_t max_output = 16u << 20;       // bytes of the rendered text, and of any string
  size_t max_call_depth = 64;          // nested macro calls
};

struct Rendered {
  std::string text;
  // The [begin, end) byte ranges of `text` that came from the caller's data
  // (the `data` variables of render()), in order and apart. A caller
  // tokenizes them as plain text, never as special tokens.
  std::vector<std::pair<size_t, size_t>> data_ranges;
};

class Template {
 public:
  // Throws a logged error "<origin>:<line>: <what>" for a malformed template.
  Template(const std::string& source, std::string origin);
  ~Template();
  Template(Template&&) noexcept;
  Template& operator=(Template&&) noexcept;

  // Renders with the variables of `data` (strings and keys marked as data:
  // messages, tools, documents) and of `settings` (trusted: options, special
  // tokens). Throws a logged error "<origin>:<line>: <what>" for a failure,
  // raise_exception() included.
  Rendered render(const nlohmann::ordered_json& data, const nlohmann::ordered_json& settings,
                  const Limits& limits = Limits()) const;

 private:
  std::string origin_;
  std::vector<std::unique_ptr<Stmt>> body_;
};

}  // namespace llmrun::jinja
