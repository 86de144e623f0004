// Networks stored in the legacy form are converted when a model is opened.
#include "bmodel_test_support.h"

using namespace bmodel_test;
using bmodel::Binary;
using bmodel::ModelCtx;
using bmodel::ModelGen;

namespace {

struct LegacyFile {
  Bytes image;
  std::vector<std::pair<Binary, Bytes>> ranges;
};

template <typename LegacyT>
std::unique_ptr<LegacyT> legacy_stage(const StageSpec& spec) {
  bmodel::NetParameterT current = stage_of(spec);
  auto stage = std::make_unique<LegacyT>();
  stage->input_tensor = std::move(current.input_tensor);
  stage->output_tensor = std::move(current.output_tensor);
  stage->sub_net = std::move(current.sub_net);
  stage->ctx_size = spec.ctx_size;
  stage->ctx_addr = 0x1000;
  return stage;
}

// What a crafted legacy file holds besides its legacy stages.
struct FileOptions {
  std::string chip = "BM1684X";
  std::string name = "old";
  bool with_current_net = true;
};

// A model whose network "old" holds the given legacy stages, written
// before a current-form network "new".
LegacyFile legacy_file(std::vector<std::unique_ptr<bmodel::NetStaticT>> statics,
                       std::vector<std::unique_ptr<bmodel::NetDynamicT>> dynamics,
                       const FileOptions& options = {}) {
  ModelGen gen;
  LegacyFile file;
  auto write = [&](uint32_t seed) {
    Bytes bytes = pattern(64 + seed, seed);
    file.ranges.emplace_back(gen.WriteBinary(bytes.size(), bytes.data()), bytes);
    return std::make_unique<Binary>(file.ranges.back().first);
  };
  uint32_t seed = 1;
  for (auto& stage : statics) {
    auto group = std::make_unique<bmodel::CmdGroupT>();
    group->binary_bdc = write(seed++);
    group->binary_gdma = write(seed++);
    stage->cmd_group.push_back(std::move(group));
    stage->net_profile = write(seed++);
    stage->coeff_mem = std::make_unique<bmodel::CoeffMemT>();
    stage->coeff_mem->binary_coeff = write(seed++);
  }
  for (auto& stage : dynamics) {
    if (stage->binary_ir == nullptr) continue;  // left out on purpose by the test
    stage->binary_ir = write(seed++);
    stage->stage_ir.push_back(std::make_unique<bmodel::StageIRT>());
    stage->stage_ir.back()->ir_info_len = 12;
  }
  if (!options.chip.empty()) gen.AddChip(options.chip);
  gen.AddKernelModule("kernel.so", *write(seed++));
  bmodel::NetT old;
  old.name = options.name;
  old.net_static = std::move(statics);
  old.net_dynamic = std::move(dynamics);
  gen.AddNet(bmodel::Net::Pack(gen.Builder(), &old));
  if (options.with_current_net) gen.AddNet("new", pack(gen, stage_of({{{"x", {1}}}, {{"y", {1}}}, 99999})));
  file.image.resize(gen.Finish());
  gen.Save(file.image.data());
  return file;
}

std::vector<std::unique_ptr<bmodel::NetStaticT>> statics_of(std::vector<StageSpec> specs) {
  std::vector<std::unique_ptr<bmodel::NetStaticT>> stages;
  for (const auto& spec : specs) stages.push_back(legacy_stage<bmodel::NetStaticT>(spec));
  return stages;
}

std::vector<std::unique_ptr<bmodel::NetDynamicT>> dynamics_of(std::vector<StageSpec> specs,
                                                              bool with_ir = true) {
  std::vector<std::unique_ptr<bmodel::NetDynamicT>> stages;
  for (const auto& spec : specs) {
    stages.push_back(legacy_stage<bmodel::NetDynamicT>(spec));
    stages.back()->n_dynamic = 1;
    stages.back()->h_w_dynamic = 1;
    if (with_ir) stages.back()->binary_ir = std::make_unique<Binary>();
  }
  return stages;
}

const StageSpec kBatch1{{{"in", {1, 4}}}, {{"out", {1, 4}}}, 300};
const StageSpec kBatch2{{{"in", {2, 4}}}, {{"out", {2, 4}}}, 700};

}  // namespace

TEST(BmodelLegacy, CurrentFormFilesKeepTheirOwnMetadata) {
  SampleModel sample = sample_model();
  ModelCtx ctx(sample.image.data(), sample.image.size());
  const auto* begin = static_cast<const uint8_t*>(ctx.data());
  const auto* root = reinterpret_cast<const uint8_t*>(ctx.model());
  EXPECT_TRUE(root >= begin && root < begin + ctx.header().flatbuffers_size);
}

TEST(BmodelLegacy, StaticStagesBecomeStagesAfterTheCurrentNetworks) {
  LegacyFile file = legacy_file(statics_of({kBatch1, kBatch2}), {});
  ModelCtx ctx(file.image.data(), file.image.size());
  const bmodel::Model* model = ctx.model();
  const auto* begin = static_cast<const uint8_t*>(ctx.data());
  const auto* root = reinterpret_cast<const uint8_t*>(model);
  EXPECT_FALSE(root >= begin && root < begin + ctx.header().flatbuffers_size);

  EXPECT_EQ(describe(model),
            "net new\n"
            "  stage ctx 99999 dynamic 0: in x[1,] out y\n"
            "net old\n"
            "  stage ctx 300 dynamic 0: in in[1,4,] out out\n"
            "  stage ctx 700 dynamic 0: in in[2,4,] out out\n");
  EXPECT_EQ(model->chip()->str(), "BM1684X");
  // Every stage counts, the current-form net included, so that it still runs.
  EXPECT_EQ(model->neuron_size(), 99999u);
  // The kernel module is carried over with its range.
  const bmodel::Model* stored = bmodel::GetModel(ctx.data());
  EXPECT_EQ(model->kernel_module()->file_name()->str(), "kernel.so");
  EXPECT_EQ(model->kernel_module()->binary()->start(), stored->kernel_module()->binary()->start());
  EXPECT_EQ(model->kernel_module()->binary()->size(), stored->kernel_module()->binary()->size());
  const bmodel::Net* old = model->net()->Get(1);
  EXPECT_EQ(old->net_static(), nullptr);
  const bmodel::NetParameter* stage = old->parameter()->Get(1);
  EXPECT_EQ(stage->ctx_addr(), 0x1000u);
  ASSERT_NE(stage->net_profile(), nullptr);
  ASSERT_EQ(stage->cmd_group()->size(), 1u);
  EXPECT_EQ(stage->binary_ir(), nullptr);

  // Every range keeps its start: reads through the rebuilt metadata give
  // the bytes written.
  const Binary* ranges[] = {stage->cmd_group()->Get(0)->binary_bdc(),
                            stage->cmd_group()->Get(0)->binary_gdma(), stage->net_profile(),
                            stage->coeff_mem()->binary_coeff()};
  for (int i = 0; i < 4; ++i) {
    const auto& [written, bytes] = file.ranges[4 + i];
    EXPECT_EQ(ranges[i]->start(), written.start());
    Bytes back(ranges[i]->size());
    ctx.read_binary(ranges[i], back.data());
    EXPECT_EQ(back, bytes);
  }
}

TEST(BmodelLegacy, DynamicStagesKeepTheirIntermediateRepresentation) {
  LegacyFile file = legacy_file({}, dynamics_of({kBatch1}));
  ModelCtx ctx(file.image.data(), file.image.size());
  const bmodel::NetParameter* stage = ctx.model()->net()->Get(1)->parameter()->Get(0);
  EXPECT_EQ(stage->is_dynamic(), 1);
  EXPECT_EQ(stage->n_dynamic(), 1);
  EXPECT_EQ(stage->h_w_dynamic(), 1);
  EXPECT_EQ(stage->stage_ir()->Get(0)->ir_info_len(), 12u);
  EXPECT_EQ(stage->cmd_group(), nullptr);
  ASSERT_NE(stage->binary_ir(), nullptr);
  Bytes back(stage->binary_ir()->size());
  ctx.read_binary(stage->binary_ir(), back.data());
  EXPECT_EQ(back, file.ranges[0].second);
}

// A file that cannot be converted is refused like any other broken file:
// the writer's or the conversion's FATAL line, then the constructor's
// exception.
TEST(BmodelLegacy, InconvertibleNetworksAreRefused) {
  struct Case {
    LegacyFile file;
    std::string function;
    std::string message;
  };
  std::vector<Case> cases;
  cases.push_back({legacy_file(statics_of({kBatch1}), dynamics_of({kBatch2})), "AddNet",
                   "net[old] cannot has dynamic and static at the same time"});
  cases.push_back({legacy_file({}, dynamics_of({kBatch1}, false)), "update_net", "net_param->binary_ir() != NULL"});
  cases.push_back({legacy_file(statics_of({{{}, {{"out", {1}}}}}), {}), "update_net",
                   "net_param->input_tensor() && net_param->input_tensor()->size() > 0"});
  cases.push_back({legacy_file({}, dynamics_of({{{{"in", {1}}}, {}}})), "update_net",
                   "net_param->output_tensor() && net_param->output_tensor()->size() > 0"});
  cases.push_back({legacy_file(statics_of({kBatch1, kBatch1}), {}), "AddNet", "net[old] input tensors is conflict"});
  cases.push_back({legacy_file(statics_of({kBatch1}), {}, {""}), "AddChip", "!arch_name.empty()"});
  cases.push_back({legacy_file(statics_of({kBatch1}), {}, {"BM1684X", ""}), "AddNet", "net_name.empty() == false"});
  cases.push_back({legacy_file({}, {}, {"BM1684X", "old", false}), "Finish", "there is no net"});

  auto dynamic = dynamics_of({kBatch1, kBatch2});
  dynamic[1]->h_w_dynamic = 0;
  cases.push_back({legacy_file({}, std::move(dynamic)), "AddNet", "net[old] dynamic is conflict."});
  auto fewer_outputs = statics_of({{{{"in", {1, 4}}}, {{"out", {1, 4}}, {"extra", {1}}}}, kBatch2});
  cases.push_back({legacy_file(std::move(fewer_outputs), {}), "AddNet", "net[old] output tensors is conflict."});
  auto renamed = statics_of({kBatch1, kBatch2});
  renamed[1]->output_tensor[0]->name = "renamed";
  cases.push_back({legacy_file(std::move(renamed), {}), "AddNet",
                   "net[old] output names is conflict.output 0: origin name: out. new name renamed."});
  cases.push_back({legacy_file(statics_of({kBatch1, {{{"in", {2, 4}}}, {{"out", {2, 4}}}, 700, 0, 2}}), {}), "AddNet",
                   "net[old] sub net is conflict."});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string out = expect_runtime_error(
        [&] { ModelCtx ctx(const_cast<uint8_t*>(c.file.image.data()), c.file.image.size()); }, "failed to construct");
    EXPECT_TRUE(has_line(out, c.function, c.message)) << out;
  }
}
