// The language-model sample a benchmark opens: written to its file on the
// first call of the process, opened on device 0 on every call.
#pragma once

#include <set>
#include <string>

#include "llm/llmruntime.h"
#include "samples/samples.h"

inline llmrun::llmbase open_llm_sample(const vexo::samples::LlmOptions& options, const std::string& file) {
  static std::set<std::string> written;
  if (written.insert(file).second) vexo::samples::save_model(vexo::samples::llm_sample(options), file);
  return llmrun::llm_init(file.c_str(), 0);
}
