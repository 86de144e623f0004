// Model files whose metadata flatc writes from JSON with the schema, as other
// toolchains write them: empty vectors of 8-byte elements may sit on 4-byte
// boundaries (a builder does not align an empty vector's data), and the
// reader, the statistics and the runtime take such files as the same model.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "bmodel_test_support.h"
#include "runtime/miniruntime.h"
#include "samples/samples.h"
#include "test_support.h"

namespace {

// Fields keep their order, which decides where flatc places what.
using json = nlohmann::ordered_json;
using vexo::samples::bytes_of;
using vexotest::Bytes;

constexpr size_t kHeader = 64;

bool run_quietly(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return false;
  char chunk[256];
  std::string output;
  for (size_t n; (n = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) output.append(chunk, n);
  const int status = pclose(pipe);
  EXPECT_EQ(status, 0) << command << "\n" << output;
  return status == 0;
}

uint32_t metadata_size(const Bytes& image) {
  uint32_t size = 0;
  std::memcpy(&size, image.data() + 8, 4);
  return size;
}

// The metadata of `image` as flatc's JSON.
json metadata_json(const vexotest::TempDir& dir, const Bytes& image) {
  const Bytes metadata(image.begin() + kHeader, image.begin() + kHeader + metadata_size(image));
  bmodel_test::write_file(dir.path("metadata.bin"), metadata);
  if (!run_quietly(std::string(FLATC_PATH) + " --json --strict-json --raw-binary -o " + dir.path("") + " " +
                   BMODEL_SCHEMA + " -- " + dir.path("metadata.bin"))) {
    return json();
  }
  const Bytes text = bmodel_test::read_file(dir.path("metadata.json"));
  return json::parse(text.begin(), text.end());
}

// `image` with its metadata replaced by what flatc writes from `metadata`.
Bytes with_metadata(const vexotest::TempDir& dir, const Bytes& image, const json& metadata) {
  const std::string text = metadata.dump();
  bmodel_test::write_file(dir.path("edited.json"), Bytes(text.begin(), text.end()));
  if (!run_quietly(std::string(FLATC_PATH) + " --binary -o " + dir.path("") + " " + BMODEL_SCHEMA + " " +
                   dir.path("edited.json"))) {
    return {};
  }
  const Bytes written = bmodel_test::read_file(dir.path("edited.bin"));
  Bytes edited(image.begin(), image.begin() + kHeader);
  const auto size = static_cast<uint32_t>(written.size());
  std::memcpy(edited.data() + 8, &size, 4);
  edited.insert(edited.end(), written.begin(), written.end());
  edited.insert(edited.end(), image.begin() + kHeader + metadata_size(image), image.end());
  return edited;
}

// Applies f to every stage of every net, and to every tensor of a stage.
void for_each_stage(json& metadata, const std::function<void(json&)>& f) {
  for (json& net : metadata["net"]) {
    for (json& stage : net["parameter"]) f(stage);
  }
}

// The model with a subnet in each stage, as a compiler writes it: one
// subnet of one core, whose commands are the stage's.
json with_subnets(json metadata) {
  for_each_stage(metadata, [](json& stage) {
    stage["sub_net"] = json::array({{{"id", 0},
                                     {"input_tensor", stage["input_tensor"]},
                                     {"output_tensor", stage["output_tensor"]},
                                     {"next_subnet_ids", json::array({-1})},
                                     {"core_commands", json::array({json::object()})}}});
  });
  return metadata;
}

// Empty vectors of 8-byte elements everywhere the schema has them, none of
// which changes what the model computes: more, empty shapes for each tensor
// (readers take the first), no context sizes where the one context size
// says the same, and empty command lists for the subnets' cores. Where they
// land depends on what flatc writes before them: `variant` changes that.
json with_empty_vectors(json metadata, unsigned variant) {
  unsigned stage_index = 0;
  for_each_stage(metadata, [&](json& stage) {
    const json& sizes = stage["ctx_sizes"];
    if (sizes.size() == 1 && sizes[0] == stage["ctx_size"]) {
      if ((variant >> (1 + stage_index++)) % 2) stage.erase("ctx_sizes");  // to come last
      stage["ctx_sizes"] = json::array();
    }
    for (const char* side : {"input_tensor", "output_tensor"}) {
      for (json& tensor : stage[side]) {
        for (unsigned i = 0; i < 1 + variant % 2; ++i) tensor["shape"].push_back({{"dim", json::array()}});
      }
    }
    for (json& subnet : stage["sub_net"]) {
      subnet["core_commands"][0] = {
          {"sdma_commands", json::array()}, {"hau_commands", json::array()}, {"cdma_commands", json::array()}};
    }
  });
  return metadata;
}

// How many empty vectors of each kind start 4 bytes past an 8-byte boundary.
struct Misaligned {
  size_t dims = 0, ctx_sizes = 0, core_commands = 0;
};

template <typename T>
bool misaligned(const flatbuffers::Vector<T>* vector) {
  return vector != nullptr && vector->size() == 0 && reinterpret_cast<uintptr_t>(vector->Data()) % 8 == 4;
}

Misaligned count_misaligned(const Bytes& image) {
  Misaligned count;
  const bmodel::Model* model = bmodel::GetModel(image.data() + kHeader);
  for (const bmodel::Net* net : *model->net()) {
    for (const bmodel::NetParameter* stage : *net->parameter()) {
      count.ctx_sizes += misaligned(stage->ctx_sizes());
      for (const auto* tensors : {stage->input_tensor(), stage->output_tensor()}) {
        for (const bmodel::Tensor* tensor : *tensors) count.dims += misaligned(tensor->shape()->Get(1)->dim());
      }
      if (stage->sub_net() == nullptr) continue;
      for (const bmodel::SubNet* subnet : *stage->sub_net()) {
        const bmodel::CoreCommands* core = subnet->core_commands()->Get(0);
        count.core_commands += misaligned(core->sdma_commands()) + misaligned(core->hau_commands()) +
                               misaligned(core->cdma_commands());
      }
    }
  }
  return count;
}

std::string hex_of(const bmodel::bmodel_mem_info_t& info) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
  return vexotest::hex(Bytes(bytes, bytes + sizeof(info)));
}

// The outputs of the embedding net's stage of 4 ids and of the pad net.
std::vector<Bytes> outputs_of(const std::string& path) {
  minirun::vexoruntime runtime = minirun::vexoruntime_init(path.c_str(), 0);
  EXPECT_NE(runtime, nullptr) << path;
  if (runtime == nullptr) return {};
  std::vector<Bytes> outputs;
  const auto run = [&](size_t net, size_t stage, Bytes input) {
    minirun::vexoruntime_set_net_stage(runtime, net, stage);
    minirun::vexoruntime_set_input_s2d(runtime, 0, input.data(), input.size());
    minirun::vexoruntime_run(runtime, true);
    const VexoTensor* output = minirun::vexoruntime_get_io_tensor(runtime, 'o', 0);
    const auto* first = static_cast<const uint8_t*>(output->data);
    outputs.emplace_back(first, first + output->size);
  };
  run(0, 1, bytes_of(std::vector<int32_t>{3, 0, 15, 7}));
  run(2, 0, Bytes{1, 2, 3, 4});
  minirun::vexoruntime_free(runtime);
  return outputs;
}

}  // namespace

TEST(BmodelFlatcFiles, EmptyWideVectorsOnFourByteBoundariesAreAccepted) {
  vexotest::TempDir dir;
  vexotest::SimTrace trace(dir);
  const std::string original_path = dir.path("general.bmodel");
  vexo::samples::save_model(vexo::samples::general_sample(), original_path);
  const Bytes original = bmodel_test::read_file(original_path);
  const json read = metadata_json(dir, original);
  ASSERT_TRUE(read.is_object());
  const json metadata = with_subnets(read);

  // The same model without the empty vectors, through flatc too, is the
  // reference.
  const Bytes plain = with_metadata(dir, original, metadata);
  ASSERT_FALSE(plain.empty());
  // A variant that puts every kind of empty vector on a 4-byte boundary.
  Bytes edited;
  for (unsigned variant = 0; variant < 32 && edited.empty(); ++variant) {
    Bytes candidate = with_metadata(dir, original, with_empty_vectors(metadata, variant));
    ASSERT_FALSE(candidate.empty());
    const Misaligned count = count_misaligned(candidate);
    if (count.dims && count.ctx_sizes && count.core_commands) edited = std::move(candidate);
  }
  ASSERT_FALSE(edited.empty()) << "no variant misplaces every kind";
  const std::string plain_path = dir.path("plain.bmodel"), edited_path = dir.path("edited.bmodel");
  bmodel_test::write_file(plain_path, plain);
  bmodel_test::write_file(edited_path, edited);

  testing::internal::CaptureStdout();
  std::unique_ptr<bmodel::ModelCtx> plain_ctx, edited_ctx;
  EXPECT_NO_THROW({
    plain_ctx = std::make_unique<bmodel::ModelCtx>(plain_path);
    edited_ctx = std::make_unique<bmodel::ModelCtx>(edited_path);
  });
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(log.find("is broken"), std::string::npos) << log;
  ASSERT_TRUE(plain_ctx && edited_ctx && *plain_ctx && *edited_ctx) << log;
  EXPECT_EQ(bmodel_test::describe(edited_ctx->model()), bmodel_test::describe(plain_ctx->model()));
  EXPECT_EQ(hex_of(edited_ctx->get_bmodel_mem_info()), hex_of(plain_ctx->get_bmodel_mem_info()));

  const std::vector<Bytes> expected = outputs_of(plain_path);
  ASSERT_EQ(expected.size(), 2u);
  EXPECT_EQ(expected[1], (Bytes{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));
  EXPECT_EQ(outputs_of(edited_path), expected);

  // A non-empty vector of 8-byte elements off its boundary is still refused.
  const Bytes misaligned = bmodel_test::with_misaligned_dims(edited);
  testing::internal::CaptureStdout();
  EXPECT_THROW(bmodel::ModelCtx(const_cast<uint8_t*>(misaligned.data()), misaligned.size()), std::runtime_error);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("is broken"), std::string::npos);
}
