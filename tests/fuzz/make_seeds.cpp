// Writes the fuzz seed corpus: the sample models, variants that the reader
// converts or refuses, and tensor files.
//   vexo-fuzz-seeds FUZZ_FOLDER   (writes FUZZ_FOLDER/corpus/<target>/...)
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "bmodel_test_support.h"
#include "samples/samples.h"
#include "utils/datagen.h"

namespace {

using bmodel_test::Bytes;
using namespace vexo::samples;

std::filesystem::path corpus;

void put(const std::string& target, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(corpus / target);
  bmodel_test::write_file((corpus / target / name).string(), bytes);
}

Bytes model_bytes(const ModelSpec& spec) {
  const std::string path = (corpus / "seed.tmp").string();
  save_model(spec, path);
  Bytes bytes = bmodel_test::read_file(path);
  std::filesystem::remove(path);
  return bytes;
}

// Header (dtype, dims, eight shape slots, size) and data of a tensor file.
Bytes tensor_file(int32_t dtype, std::vector<uint64_t> shape, uint64_t size, size_t data_bytes) {
  Bytes bytes(84 + data_bytes);
  const uint64_t dims = shape.size();
  shape.resize(8);
  std::memcpy(bytes.data(), &dtype, 4);
  std::memcpy(bytes.data() + 4, &dims, 8);
  std::memcpy(bytes.data() + 12, shape.data(), 64);
  std::memcpy(bytes.data() + 76, &size, 8);
  for (size_t i = 0; i < data_bytes; ++i) bytes[84 + i] = static_cast<uint8_t>(i * 7 + 1);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FUZZ_FOLDER\n", argv[0]);
    return 2;
  }
  corpus = std::filesystem::path(argv[1]) / "corpus";
  std::filesystem::create_directories(corpus);

  ModelSpec pad;
  pad.nets.push_back(general_sample().nets[2]);
  pad.kernel_module.resize(16);
  ModelSpec legacy = general_sample();
  for (NetSpec& net : legacy.nets) net.legacy = true;
  const Bytes general = model_bytes(general_sample());
  const Bytes models[] = {general, model_bytes(pad), model_bytes(legacy),
                          bmodel_test::with_misaligned_dims(model_bytes(pad)),
                          Bytes(general.begin(), general.begin() + general.size() / 2)};
  const char* names[] = {"general.bmodel", "pad.bmodel", "legacy.bmodel", "misaligned.bmodel", "truncated.bmodel"};
  for (size_t i = 0; i < std::size(models); ++i) {
    put("reader", names[i], models[i]);
    put("load", names[i], models[i]);
  }

  LlmOptions small{1, 4, 8, false};
  LlmOptions greedy{2, 4, 8, true};
  put("llm", "llm.bmodel", model_bytes(llm_sample(small)));
  put("llm", "llm-greedy.bmodel", model_bytes(llm_sample(greedy)));
  put("reader", "llm.bmodel", model_bytes(llm_sample(small)));

  put("tensor_file", "f16-2x3.tensor", tensor_file(BM_FLOAT16, {2, 3}, 12, 12));
  put("tensor_file", "i32-4.tensor", tensor_file(BM_INT32, {4}, 16, 16));
  put("tensor_file", "u8-scalar.tensor", tensor_file(BM_UINT8, {}, 1, 1));
  put("tensor_file", "empty.tensor", tensor_file(BM_FLOAT32, {}, 0, 0));
  put("tensor_file", "nine-dims.tensor", tensor_file(BM_INT8, {1, 1, 1, 1, 1, 1, 1, 1, 2}, 2, 2));
  put("tensor_file", "short-data.tensor", tensor_file(BM_BFLOAT16, {8}, 16, 6));
  return 0;
}
