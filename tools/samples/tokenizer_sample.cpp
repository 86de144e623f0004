#include <sentencepiece_trainer.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "samples.h"

namespace vexo::samples {

namespace {

// A few lines of plain English: enough characters and pairs for the
// vocabulary, so that training always gives the same pieces.
class SampleText : public sentencepiece::SentenceIterator {
 public:
  bool done() const override { return line_ >= kLines.size(); }
  void Next() override { ++line_; }
  const std::string& value() const override { return kLines[line_]; }
  sentencepiece::util::Status status() const override { return {}; }

 private:
  inline static const std::vector<std::string> kLines{
      "the quick brown fox jumps over the lazy dog",
      "a small model reads and writes a few words",
      "the device runs every net and the caches hold each row",
      "hello world, hello again",
  };
  size_t line_ = 0;
};

void train_tokenizer(const std::string& path, std::unordered_map<std::string, std::string> options) {
  SampleText text;
  std::string model;
  options.insert({{"model_type", "bpe"},
                  {"num_threads", "1"},
                  {"normalization_rule_name", "identity"},
                  {"minloglevel", "2"},
                  {"character_coverage", "1.0"},
                  {"user_defined_symbols", "<|im_start|>,<|im_end|>,\n"}});
  const auto status = sentencepiece::SentencePieceTrainer::Train(options, &text, &model);
  if (!status.ok()) throw std::runtime_error("cannot train the sample tokenizer: " + status.ToString());
  std::ofstream file(path, std::ios::binary);
  file.write(model.data(), static_cast<std::streamsize>(model.size()));
  if (!file.flush()) throw std::runtime_error("cannot write " + path);
}

}  // namespace

void write_llm_tokenizer(const std::string& path) {
  train_tokenizer(path, {{"vocab_size", std::to_string(kLlmTokenizerVocab)}});
}

void write_byte_fallback_tokenizer(const std::string& path) {
  train_tokenizer(path, {{"vocab_size", std::to_string(kByteFallbackTokenizerVocab)},
                         {"byte_fallback", "true"},
                         {"hard_vocab_limit", "false"}});
}

}  // namespace vexo::samples
