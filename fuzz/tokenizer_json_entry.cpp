// A tokenizer.json built from the input; when it is accepted, texts with
// special tokens, blanks, invalid UTF-8 and the input's own start encoded,
// decoded and streamed back.
#include <string>

#include "entries.h"
#include "src/llm/hf/hf_tokenizer.h"

namespace vexo::fuzz {

int tokenizer_json_entry(const uint8_t* data, size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<llmrun::Tokenizer> tokenizer;
  try {
    tokenizer = llmrun::hf::json_tokenizer_from_text(file);
  } catch (const std::exception&) {
    return 0;  // refused with a logged error: what a bad file should get
  }
  const std::string texts[] = {"", "Hello world! 123 <s></s><|im_end|>  \n\t x", "\xff\xfe\xc3(", file.substr(0, 256)};
  for (const std::string& text : texts) {
    try {
      for (const bool plain : {false, true}) {
        const std::vector<int> ids = plain ? tokenizer->encode_plain(text, true) : tokenizer->encode(text, true);
        tokenizer->decode(ids);
        llmrun::StreamDecoder stream(*tokenizer);
        for (const int id : ids) stream.push(id);
        stream.flush();
      }
    } catch (const std::exception&) {
      // A text the tokenizer cannot take is a logged error, not a defect.
    }
  }
  return 0;
}

}  // namespace vexo::fuzz
