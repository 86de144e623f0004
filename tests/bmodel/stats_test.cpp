// Memory statistics of a model, from its metadata.
#include <tuple>

#include "bmodel_test_support.h"

using namespace bmodel_test;
using bmodel::Binary;
using bmodel::ModelCtx;
using bmodel::ModelGen;
using bmodel::NetParameterT;
using bmodel::SubNetT;

namespace {

// Builds a model from stages given as mirror records, one network each
// unless names repeat, and returns its statistics.
class Stats {
 public:
  explicit Stats(const std::string& chip) { gen_.AddChip(chip); }
  void add(const std::string& net, const NetParameterT& stage) {
    gen_.AddNet(net, bmodel::CASCADE_INFO_T{}, pack(gen_, stage));
  }
  bmodel::bmodel_mem_info_t info() {
    image_.resize(gen_.Finish());
    gen_.Save(image_.data());
    ctx_ = std::make_unique<ModelCtx>(image_.data(), image_.size());
    return ctx_->get_bmodel_mem_info();
  }
  ModelGen& gen() { return gen_; }

 private:
  ModelGen gen_;
  Bytes image_;
  std::unique_ptr<ModelCtx> ctx_;
};

NetParameterT stage_with(uint64_t ctx_size, int subnets) {
  return stage_of({{{"in", {1, 2}}}, {{"out", {1, 2}}}, ctx_size, 0, subnets});
}

std::unique_ptr<bmodel::CmdGroupT> group(uint32_t bdc_num, uint32_t gdma_num, uint64_t bdc_bytes,
                                         uint64_t gdma_bytes) {
  auto g = std::make_unique<bmodel::CmdGroupT>();
  g->bdc_num = bdc_num;
  g->gdma_num = gdma_num;
  g->binary_bdc = std::make_unique<Binary>(0, bdc_bytes);
  g->binary_gdma = std::make_unique<Binary>(0, gdma_bytes);
  return g;
}

void set_coeff(NetParameterT& stage, const std::vector<uint8_t>& check_code, uint64_t size) {
  stage.coeff_mem = std::make_unique<bmodel::CoeffMemT>();
  stage.coeff_mem->check_code = check_code;
  stage.coeff_mem->binary_coeff = std::make_unique<Binary>(0, size);
}

}  // namespace

TEST(BmodelStats, SingleSubnetNetworksShareOneContextArea) {
  for (bool reversed : {false, true}) {
    Stats stats("BM1684X");
    std::vector<std::pair<std::string, NetParameterT>> nets;
    nets.emplace_back("a", stage_with(100, 1));
    nets.emplace_back("b", stage_with(300, 1));
    nets.emplace_back("c", stage_with(50, 2));
    if (reversed) std::reverse(nets.begin(), nets.end());
    for (const auto& [name, stage] : nets) stats.add(name, stage);
    const auto info = stats.info();
    EXPECT_EQ(info.neuron_mem_size, 350u) << reversed;
    EXPECT_EQ(info.spare, 0u);
  }
}

TEST(BmodelStats, CoefficientImagesAreCountedOncePerCheckCode) {
  Stats stats("BM1684X");
  NetParameterT a = stage_with(0, 1), b = stage_with(0, 1), c = stage_with(0, 1), d = stage_with(0, 1),
                e = stage_with(0, 1);
  set_coeff(a, {1, 2, 3}, 1000);
  set_coeff(b, {1, 2, 3}, 1000);
  set_coeff(c, {9}, 10);
  set_coeff(d, {}, 7);  // an empty code counts once, like any code
  set_coeff(e, {}, 7);
  e.coeff_mem->binary_coeff.reset();  // an image without range adds nothing
  for (const auto* stage : {&a, &b, &c, &d, &e}) stats.add("net", *stage);
  EXPECT_EQ(stats.info().coeff_size, 1017u);
}

TEST(BmodelStats, CommandBytesDependOnTheChip) {
  struct Case {
    const char* chip;
    uint64_t bdc, gdma, middle;
  };
  for (const Case& c :
       {Case{"BM1682", 2 * 3 * 256, 2 * 5 * 256, 0}, Case{"BM1684", 2 * 3 * 128, 2 * 5 * 128, 4 * 6},
        Case{"BM1684X", 2000, 2 * 40, 0}, Case{"SG2260", 2000, 2 * 40, 0}}) {
    Stats stats(c.chip);
    for (int s = 0; s < 2; ++s) {
      NetParameterT stage = stage_of({{{"in", {2, 3}}}, {{"out", {1, 2}}}, 0, 0, 1});
      stage.sub_net[0]->cmd_group.push_back(group(3, 5, 1000, 40));
      stage.output_tensor[0]->shape.clear();  // a tensor without shapes adds nothing
      stats.add("net", stage);
    }
    const auto info = stats.info();
    EXPECT_EQ(std::make_tuple(info.bdc_cmd_size, info.gdma_cmd_size, info.middle_buffer_size),
              std::make_tuple(c.bdc, c.gdma, c.middle))
        << c.chip;
  }
}

TEST(BmodelStats, CoreCommandsOnSG2260) {
  Stats stats("SG2260");
  NetParameterT stage = stage_with(0, 1);
  for (int core = 0; core < 2; ++core) {
    auto commands = std::make_unique<bmodel::CoreCommandsT>();
    commands->gdma_tiu_commands.push_back(group(1, 1, 100, 10));
    commands->hau_commands.emplace_back(0, 64);
    commands->sdma_commands.emplace_back(0, 32);
    commands->sdma_commands.emplace_back(0, 8);
    stage.sub_net[0]->core_commands.push_back(std::move(commands));
  }
  stats.add("net", stage);
  const auto info = stats.info();
  // hau, sdma, bdc, gdma
  EXPECT_EQ(std::make_tuple(info.hau_cmd_size, info.sdma_cmd_size, info.bdc_cmd_size, info.gdma_cmd_size),
            std::make_tuple(128u, 80u, 200u, 20u));
}

TEST(BmodelStats, DynamicAndHostSubnets) {
  Stats stats("BM1684X");
  NetParameterT stage = stage_with(0, 0);
  stage.cpu_mem_size = 10;
  auto dynamic = std::make_unique<SubNetT>();
  dynamic->is_dynamic = 1;
  dynamic->ir_len = 25;
  for (int i = 0; i < 3; ++i) dynamic->output_tensor.push_back(std::make_unique<bmodel::TensorT>());
  stage.sub_net.push_back(std::move(dynamic));

  auto host = std::make_unique<SubNetT>();
  host->subnet_mode = 1;
  auto param = std::make_unique<bmodel::CpuParamT>();
  for (const auto& [code, size] :
       std::vector<std::pair<std::vector<uint8_t>, uint64_t>>{{{1}, 40}, {{1}, 40}, {{2}, 2}}) {
    auto constant = std::make_unique<bmodel::CpuConstT>();
    constant->check_code = code;
    constant->const_data = std::make_unique<Binary>(0, size);
    param->cpu_const.push_back(std::move(constant));
  }
  host->cpu_param.push_back(std::move(param));
  stage.sub_net.push_back(std::move(host));
  // A host subnet without parameters and an unknown mode add nothing.
  stage.sub_net.push_back(std::make_unique<SubNetT>());
  stage.sub_net.back()->subnet_mode = 1;
  stage.sub_net.push_back(std::make_unique<SubNetT>());
  stage.sub_net.back()->subnet_mode = 5;
  stats.add("net", stage);

  const auto info = stats.info();
  EXPECT_EQ(std::make_tuple(info.dynamic_ir_size, info.dynamic_output_number, info.host_coeff_size,
                            info.host_neuron_size),
            std::make_tuple(100u, 3u, 42u, 40u));
}

TEST(BmodelStats, NetworkWithoutStagesIsRefused) {
  Stats stats("BM1684X");
  stats.add("net", stage_with(0, 1));
  auto& builder = stats.gen().Builder();
  auto none = builder.CreateVector(std::vector<flatbuffers::Offset<bmodel::NetParameter>>{});
  stats.gen().AddNet(bmodel::CreateNet(builder, builder.CreateString("empty"), 0, 0, none));
  const std::string out = expect_runtime_error([&] { stats.info(); }, "failed to compute the memory statistics");
  EXPECT_TRUE(has_line(out, "get_bmodel_mem_info", "net_params && net_params->size() > 0")) << out;
}
