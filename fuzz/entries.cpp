#include <cstring>

#include "entries.h"

namespace vexo::fuzz {

Entry entry_named(const char* name) {
  static const struct {
    const char* name;
    Entry entry;
  } entries[] = {{"reader", reader_entry}, {"load", load_entry}, {"tensor_file", tensor_file_entry}, {"llm", llm_entry},
                 {"tokenizer", tokenizer_entry},
                 {"sampler", sampler_entry},
                 {"grammar", grammar_entry},
                 {"chat_template", chat_template_entry},
                 {"tokenizer_json", tokenizer_json_entry}};
  for (const auto& known : entries) {
    if (std::strcmp(known.name, name) == 0) return known.entry;
  }
  return nullptr;
}

}  // namespace vexo::fuzz
