// A language model opened on the simulated device, then a first pass and a
// few next passes.
#include "entries.h"
#include "llm/llmruntime.h"
#include "scratch_file.h"

namespace vexo::fuzz {

int llm_entry(const uint8_t* data, size_t size) {
  static const ScratchFile file("llm.bmodel");
  file.write(data, size);
  llmrun::llmbase llm = llmrun::llm_init(file.path().c_str(), 0);
  if (llm == nullptr) return 0;
  int prompt[] = {1, 2, 3};
  if (llmrun::llm_forward_first(llm, prompt, 3) >= 0) {
    for (int pass = 0; pass < 3 && llmrun::llm_forward_next(llm) >= 0; ++pass) {
    }
  }
  llmrun::llm_free(llm);
  return 0;
}

}  // namespace vexo::fuzz
