// Writes what the vexo-serve checks serve: the language-model sample with a
// logits head (so that sampling matters) and room for chat prompts, a long
// one for streams cut short, a slow one, one whose head chooses the token,
// and the sample tokenizer. With TOKENIZER, only llm-vocab.bmodel: the
// logits sample over that tokenizer's vocabulary (a real one).
//   serve_fixture OUT_DIR [TOKENIZER]
#include <cstdio>
#include <exception>
#include <string>

#include "llm/generation.h"
#include "samples/samples.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: serve_fixture OUT_DIR [TOKENIZER]\n");
    return 2;
  }
  const std::string out = argv[1];
  try {
    vexo::samples::LlmOptions options;
    options.logits_head = true;
    if (argc == 3) {
      llm_tokenizer* tokenizer = llm_tokenizer_load(argv[2]);
      if (!tokenizer) return 1;
      options.vocab = static_cast<uint32_t>(llm_tokenizer_vocab_size(tokenizer));
      llm_tokenizer_free(tokenizer);
      options.seq_len = 2048;
      vexo::samples::save_model(vexo::samples::llm_sample(options), out + "/llm-vocab.bmodel");
      return 0;
    }
    options.seq_len = 128;
    vexo::samples::save_model(vexo::samples::llm_sample(options), out + "/llm.bmodel");
    options.seq_len = 2048;
    vexo::samples::save_model(vexo::samples::llm_sample(options), out + "/llm-long.bmodel");
    // Many layers make each token slow enough for a person, or a browser
    // test, to stop a reply halfway; as many layers as positions make every
    // token follow from the first, so that no reply ends early.
    options.layers = 1024;
    options.seq_len = 1024;
    vexo::samples::save_model(vexo::samples::llm_sample(options), out + "/llm-slow.bmodel");
    vexo::samples::write_llm_tokenizer(out + "/tokenizer.model");
    options.seq_len = 128;
    options.logits_head = false;
    options.greedy_head = true;
    vexo::samples::save_model(vexo::samples::llm_sample(options), out + "/llm-token.bmodel");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "serve_fixture: %s\n", error.what());
    return 1;
  }
  return 0;
}
