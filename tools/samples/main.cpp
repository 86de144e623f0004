// vexo-samples: writes the sample models and the reference data of the
// general sample (inputs and expected outputs of every net and stage) as
// tensor files, for demonstrations and tests. The models and the reference
// computations are those of this folder's generator.
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "common/files.h"
#include "common/tool.h"
#include "general_reference.h"
#include "runtime/minitensor.h"
#include "samples.h"

namespace {

namespace fs = std::filesystem;
using vexo::tool::Failure;
using namespace vexo::samples;

struct RecordDeleter {
  void operator()(minitensor::VexoTensor* record) const { minitensor::vexotensor_destroy(record); }
};
using Record = std::unique_ptr<minitensor::VexoTensor, RecordDeleter>;

void make_folder(const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error || !fs::is_directory(folder)) {
    throw Failure("cannot create the folder " + folder.string() + ": " +
                  (error ? error.message() : std::string("a file of that name is in the way")));
  }
}

void write_model(const ModelSpec& spec, const fs::path& path) {
  vexo::tool::check_output_file(path.string());
  save_model(spec, path.string());
  std::cout << "wrote " << path.string() << "\n";
}

// Saved through the library, so the files are exactly what it reads back.
void write_tensor(const TensorData& tensor, const fs::path& folder) {
  if (tensor.spec.shape.size() > minitensor::kTensorShapeSlots) {
    throw Failure("tensor " + tensor.spec.name + " has more dimensions than a tensor file holds");
  }
  Record record(minitensor::vexotensor_create());
  if (!record) throw std::bad_alloc();
  std::strncpy(record->name, tensor.spec.name.c_str(), minitensor::kTensorNameCapacity - 1);
  record->dtype = static_cast<int>(tensor.spec.dtype);
  record->dims = tensor.spec.shape.size();
  std::copy(tensor.spec.shape.begin(), tensor.spec.shape.end(), record->shape);
  record->size = tensor.bytes.size();
  // Copied into the record's own buffer, never written through.
  minitensor::vexotensor_set_data(record.get(), const_cast<uint8_t*>(tensor.bytes.data()),
                                  tensor.bytes.size(), true);
  const std::string path = (folder / (tensor.spec.name + ".tensor")).string();
  vexo::tool::check_output_file(path);
  if (!record->is_have_data || !minitensor::vexotensor_save_data(record.get(), path.c_str())) {
    throw Failure("cannot write " + path);
  }
}

// The logits sample: room for a short conversation over the sample
// tokenizer's vocabulary unless asked otherwise.
struct LogitsSample {
  uint32_t vocab = kLlmTokenizerVocab;
  uint32_t seq_len = 128;
};

void write_samples(const fs::path& out, const LogitsSample& sample) {
  make_folder(out);
  write_model(general_sample(), out / "general.bmodel");
  write_model(llm_sample(LlmOptions{}), out / "llm.bmodel");
  LlmOptions logits;
  logits.logits_head = true;
  logits.vocab = sample.vocab;
  logits.seq_len = sample.seq_len;
  write_model(llm_sample(logits), out / "llm-logits.bmodel");
  const fs::path tokenizer = out / "tokenizer.model";
  vexo::tool::check_output_file(tokenizer.string());
  write_llm_tokenizer(tokenizer.string());
  std::cout << "wrote " << tokenizer.string() << "\n";
  write_model(wide_sample(), out / "wide.bmodel");
  for (const ReferenceCase& reference : general_reference_cases()) {
    const fs::path folder = out / "general" / (reference.net + "-" + std::to_string(reference.stage));
    make_folder(folder / "inputs");
    make_folder(folder / "expected");
    for (const TensorData& input : reference.inputs) write_tensor(input, folder / "inputs");
    for (const TensorData& output : reference.expected) write_tensor(output, folder / "expected");
    std::cout << "wrote " << folder.string() << ": inputs/ and expected/\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  vexo::tool::Tool tool("vexo-samples",
                        "Writes the sample models general.bmodel, llm.bmodel and llm-logits.bmodel, the "
                        "SentencePiece tokenizer.model of their vocabulary, and the general sample's "
                        "reference inputs and expected outputs as tensor files in "
                        "general/<net>-<stage>/{inputs,expected}/<tensor name>.tensor.");
  CLI::App& app = tool.app();
  std::string out;
  LogitsSample logits;
  app.add_option("--out", out, "The folder to write to (created when missing)")->required();
  // Real tokenizers' vocabularies (Qwen's padded 151,936 ids, Gemma's 262,144).
  app.add_option("--llm-vocab", logits.vocab, "The vocabulary of llm-logits.bmodel (default 64)")
      ->check(CLI::Range(2u, 1u << 21));
  app.add_option("--llm-seq-len", logits.seq_len, "The positions of llm-logits.bmodel (default 128)")
      ->check(CLI::Range(2u, 8192u));
  app.callback([&] { write_samples(out, logits); });
  return tool.run(argc, argv);
}
