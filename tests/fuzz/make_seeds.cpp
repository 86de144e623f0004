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

  // Files that stretch the load checks: recorded command byte counts far
  // beyond their ranges, many groups naming one range, subnet IR windows
  // outside the stage's IR, coefficient areas shared with shrinking sizes,
  // and legacy nets beside larger current ones.
  const StageSpec pad_stage = general_sample().nets[2].stages[0];
  std::vector<std::pair<std::string, ModelSpec>> crafted;
  auto single = [&](const std::string& name, StageSpec stage) {
    ModelSpec spec = pad;
    spec.nets[0].stages = {std::move(stage)};
    crafted.emplace_back(name, spec);
  };
  StageSpec stage = pad_stage;
  stage.patch = [](bmodel::NetParameterT& p) {
    p.cmd_group[0]->bdc_cmd_byte = 0x7FFFFFFF;
    p.cmd_group[0]->gdma_cmd_byte = 0x7FFFFFFF;
  };
  single("command-bytes.bmodel", stage);
  stage.patch = [](bmodel::NetParameterT& p) {
    for (int i = 0; i < 64; ++i) p.cmd_group.push_back(std::make_unique<bmodel::CmdGroupT>(*p.cmd_group[0]));
    p.cmd_group.back()->bdc_num = 0;
  };
  single("repeated-groups.bmodel", stage);
  stage = pad_stage;
  stage.is_dynamic = true;
  stage.groups.clear();
  stage.ir = Bytes(64, 3);
  stage.subnets.push_back(SubnetSpec{0, {-1}, true, {}, pad_stage.inputs, pad_stage.outputs, 60, 4});
  single("subnet-ir-window.bmodel", stage);
  ModelSpec shared = pad;
  StageSpec wide = pad_stage;
  wide.coeff = Bytes(32, 5);
  StageSpec narrow = pad_stage;
  narrow.inputs[0].shape = {8};
  narrow.coeff = Bytes(16, 5);
  shared.nets[0].stages = {wide, narrow};
  crafted.emplace_back("shared-coefficients.bmodel", shared);
  ModelSpec mixed = general_sample();
  mixed.nets[2].legacy = true;
  crafted.emplace_back("mixed-legacy.bmodel", mixed);
  for (const auto& [name, spec] : crafted) {
    const Bytes bytes = model_bytes(spec);
    put("reader", name, bytes);
    put("load", name, bytes);
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
