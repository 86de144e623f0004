// vexo-model run as a child process on model files built here: what info
// prints, what combine, encrypt, decrypt and extract-kernel write, and how
// every failure ends.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "bmodel/bmodel.h"
#include "llm/llmruntime.h"
#include "child_process.h"
#include "common/format.h"
#include "model_runs.h"
#include "src/core/model_steps.h"
#include "samples/samples.h"
#include "test_support.h"
#include "tool_outcome.h"

namespace {

using nlohmann::json;
using tooltest::Outcome;
using vexo::samples::ModelSpec;
using vexotest::Bytes;
using Env = std::map<std::string, std::string>;

const std::string kTool = VEXO_MODEL_PATH;
const std::string kCipher = VEXO_CIPHER_PATH;
const std::string kRun = VEXO_RUN_PATH;
const Env kKey{{"VEXO_CIPHER_KEY", "tool test key"}};
constexpr auto npos = std::string::npos;

void expect_tool_error(const Outcome& outcome, const std::string& text, int status = 1) {
  tooltest::expect_one_error(outcome, "vexo-model", text, status);
}

// A model's nets, each packed alone (so equal records give equal bytes,
// ranges included), its payload and its kernel module.
struct Contents {
  std::vector<std::string> nets;
  Bytes payload;
  std::string kernel_name;
  uint64_t kernel_start = 0;
  uint64_t kernel_size = 0;
};

Bytes payload_of(bmodel::ModelCtx& reader) {
  const bmodel::Binary all(0, reader.header().binary_size);
  Bytes payload(all.size());
  reader.read_binary(&all, payload.data());
  return payload;
}

Contents contents_of(const std::string& path) {
  bmodel::ModelCtx reader(path);
  Contents contents;
  for (const bmodel::Net* net : *reader.model()->net()) {
    bmodel::NetT record;
    net->UnPackTo(&record);
    flatbuffers::FlatBufferBuilder builder;
    builder.Finish(bmodel::Net::Pack(builder, &record));
    contents.nets.emplace_back(reinterpret_cast<const char*>(builder.GetBufferPointer()), builder.GetSize());
  }
  contents.payload = payload_of(reader);
  const bmodel::KernelModule* kernel = reader.model()->kernel_module();
  contents.kernel_name = kernel->file_name()->str();
  contents.kernel_start = kernel->binary()->start();
  contents.kernel_size = kernel->binary()->size();
  return contents;
}

// The general sample and a net "rich" whose one stage refers to the payload
// from every kind of range field: coefficients, IR, profile, statistics,
// tensor locations, subnet command groups, host operators and their
// constants, and per-core command streams.
ModelSpec rich_sample() {
  ModelSpec spec = vexo::samples::general_sample();
  vexo::samples::StageSpec stage = spec.nets[2].stages[0];
  stage.coeff = Bytes(96, 0xA5);
  stage.ir = Bytes(40, 0x1C);
  stage.subnets = {vexo::samples::SubnetSpec{}};
  stage.subnets[0].groups = {vexo::samples::GroupSpec{}};
  stage.patch = [](bmodel::NetParameterT& p) {
    const bmodel::Binary coeff = *p.coeff_mem->binary_coeff, ir = *p.binary_ir;
    p.net_profile = std::make_unique<bmodel::Binary>(ir);
    p.net_stat = std::make_unique<bmodel::Binary>(coeff);
    p.tensor_loc = std::make_unique<bmodel::Binary>(ir);
    bmodel::SubNetT& subnet = *p.sub_net[0];
    auto op = std::make_unique<bmodel::CpuParamT>();
    op->binary_param = std::make_unique<bmodel::Binary>(ir);
    op->cpu_const.push_back(std::make_unique<bmodel::CpuConstT>());
    op->cpu_const[0]->const_data = std::make_unique<bmodel::Binary>(coeff);
    subnet.cpu_param.push_back(std::move(op));
    auto core = std::make_unique<bmodel::CoreCommandsT>();
    core->gdma_tiu_commands.push_back(std::make_unique<bmodel::CmdGroupT>());
    core->gdma_tiu_commands[0]->binary_bdc =
        std::make_unique<bmodel::Binary>(*subnet.cmd_group[0]->binary_bdc);
    core->gdma_tiu_commands[0]->binary_gdma =
        std::make_unique<bmodel::Binary>(*subnet.cmd_group[0]->binary_gdma);
    core->sdma_commands = {ir};
    core->hau_commands = {coeff};
    core->cdma_commands = {ir, coeff};
    subnet.core_commands.push_back(std::move(core));
  };
  spec.nets.push_back(vexo::samples::NetSpec{"rich", 0, {stage}});
  return spec;
}

// Every range of the first stage of a net, as a list of what it holds.
std::vector<Bytes> stage_range_contents(const std::string& path, const std::string& net_name) {
  bmodel::ModelCtx reader(path);
  bmodel::NetParameterT stage;
  for (const bmodel::Net* net : *reader.model()->net()) {
    if (net->name()->str() == net_name) net->parameter()->Get(0)->UnPackTo(&stage);
  }
  std::vector<bmodel::Binary> ranges;
  const auto add = [&ranges](const std::unique_ptr<bmodel::Binary>& range) {
    if (range) ranges.push_back(*range);
  };
  const auto add_groups = [&add](const std::vector<std::unique_ptr<bmodel::CmdGroupT>>& groups) {
    for (const auto& group : groups) {
      add(group->binary_bdc);
      add(group->binary_gdma);
    }
  };
  add(stage.coeff_mem->binary_coeff);
  add_groups(stage.cmd_group);
  add(stage.net_profile);
  add(stage.binary_ir);
  add(stage.net_stat);
  add(stage.tensor_loc);
  for (const auto& subnet : stage.sub_net) {
    add_groups(subnet->cmd_group);
    for (const auto& op : subnet->cpu_param) {
      add(op->binary_param);
      for (const auto& constant : op->cpu_const) add(constant->const_data);
    }
    for (const auto& core : subnet->core_commands) {
      add_groups(core->gdma_tiu_commands);
      for (const auto* streams : {&core->sdma_commands, &core->hau_commands, &core->cdma_commands}) {
        ranges.insert(ranges.end(), streams->begin(), streams->end());
      }
    }
  }
  std::vector<Bytes> contents;
  for (const bmodel::Binary& range : ranges) {
    contents.emplace_back(range.size());
    reader.read_binary(&range, contents.back().data());
  }
  return contents;
}

using Nets = std::vector<std::unique_ptr<bmodel::NetT>>;

std::unique_ptr<bmodel::NetT> copy_of(const bmodel::NetT& net) {
  flatbuffers::FlatBufferBuilder builder;
  builder.Finish(bmodel::Net::Pack(builder, &net));
  return std::unique_ptr<bmodel::NetT>(
      flatbuffers::GetRoot<bmodel::Net>(builder.GetBufferPointer())->UnPack());
}

// Writes a copy of the file `from` whose nets `edit` may change, rename or
// add to; they are stored as they are, past the writer's merging, so that
// names the writer refuses ("", the same twice) can be given. The payload
// and the kernel module keep their ranges.
void rewrite_nets(const std::string& from, const std::string& to, const std::function<void(Nets&)>& edit) {
  bmodel::ModelCtx reader(from);
  bmodel::ModelGen gen;
  gen.AddChip(reader.model()->chip()->str());
  const Bytes payload = payload_of(reader);
  gen.WriteBinary(payload.size(), payload.data());
  const bmodel::KernelModule* kernel = reader.model()->kernel_module();
  gen.AddKernelModule(kernel->file_name()->str(), *kernel->binary());
  Nets nets;
  for (const bmodel::Net* net : *reader.model()->net()) nets.emplace_back(net->UnPack());
  edit(nets);
  for (const auto& net : nets) gen.AddNet(bmodel::Net::Pack(gen.Builder(), net.get()));
  gen.Finish();
  gen.Save(to);
}

uint64_t payload_size(const std::string& path) { return bmodel::ModelCtx(path).header().binary_size; }

std::vector<std::string> net_names(const json& description) {
  std::vector<std::string> names;
  for (const json& net : description["nets"]) names.push_back(net["name"]);
  return names;
}

// A model loaded on the simulated device for the length of a scope.
class LoadedModel {
 public:
  explicit LoadedModel(const std::string& path) : model_(divudida::load_model(path.c_str(), 0)) {}
  ~LoadedModel() { divudida::free_model(model_); }
  LoadedModel(const LoadedModel&) = delete;
  LoadedModel& operator=(const LoadedModel&) = delete;
  std::vector<Bytes> run(const std::string& net, size_t stage, const std::vector<Bytes>& inputs) {
    return vexotest::run_stage(model_, model_.net_name_to_index.at(net), stage, inputs);
  }

 private:
  divudida::ModelInfo model_;
};

class VexoModel : public testing::Test {
 protected:
  std::string save(const ModelSpec& spec, const std::string& name) const {
    const std::string path = dir_.path(name);
    vexo::samples::save_model(spec, path);
    return path;
  }
  std::string path(const std::string& name) const { return dir_.path(name); }
  Outcome tool(const std::vector<std::string>& args, const Env& env = {}) const {
    return tooltest::run(dir_, kTool, args, env);
  }
  json info_json(const std::string& file, const std::vector<std::string>& extra = {},
                 const Env& env = {}) const {
    std::vector<std::string> args{"info", file, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    const Outcome outcome = tool(args, env);
    tooltest::expect_clean_exit(outcome);
    return json::parse(outcome.out);
  }
  Outcome run_model(const std::vector<std::string>& args, const Env& env = {}) const {
    return tooltest::run(dir_, kRun, args, env);
  }
  std::string encrypt(const std::string& plain) const {
    const std::string encrypted = plain + ".enc";
    tooltest::expect_clean_exit(tool({"encrypt", "--lib", kCipher, "-o", encrypted, plain}, kKey));
    return encrypted;
  }

 private:
  vexotest::TempDir dir_;
};

TEST_F(VexoModel, InfoJsonDescribesModelNetsStagesAndStatistics) {
  const std::string file = save(vexo::samples::general_sample(), "general.bmodel");
  const json d = info_json(file);
  EXPECT_EQ(d["file"], file);
  EXPECT_EQ(d["chip"], "BM1684X");
  EXPECT_EQ(d["type"], "B");
  EXPECT_EQ(d["version"], "2.2");
  EXPECT_EQ(d["device_num"], 0);
  const std::string time = d["time"];
  EXPECT_FALSE(time.empty());
  EXPECT_NE(time.back(), '\n');
  EXPECT_EQ(d["kernel_module"], json({{"file_name", "sample_kernel.so"}, {"size", 256}}));
  EXPECT_TRUE(d["cpuop_module"].is_null());
  EXPECT_EQ(net_names(d), (std::vector<std::string>{"embed", "reverse", "pad"}));

  const json& embed = d["nets"][0];
  EXPECT_EQ(embed["addr_mode"], 0);
  EXPECT_TRUE(embed["cascade"].is_null());
  ASSERT_EQ(embed["stages"].size(), 2u);
  const json& four_ids = embed["stages"][1];
  EXPECT_EQ(four_ids["inputs"], json::parse(R"([{"name":"ids","dtype":"int32","shape":[4],"bytes":16}])"));
  EXPECT_EQ(four_ids["outputs"][0],
            json::parse(R"({"name":"rows","dtype":"float16","shape":[4,4],"bytes":32})"));
  EXPECT_EQ(four_ids["is_dynamic"], 0);
  EXPECT_EQ(four_ids["n_dynamic"], 0);
  EXPECT_EQ(four_ids["h_w_dynamic"], 0);
  EXPECT_EQ(four_ids["coeff_size"], vexo::samples::kEmbedVocab * vexo::samples::kEmbedRowBytes);
  EXPECT_EQ(four_ids["ir_size"], 0);
  EXPECT_EQ(four_ids["ctx_size"], 0x300);
  EXPECT_EQ(four_ids["subnets"], json::array());
  EXPECT_EQ(d["nets"][1]["addr_mode"], 1);
  EXPECT_EQ(d["nets"][1]["stages"][0]["cmd_groups"].size(), 2u);

  // Command groups and statistics agree with the library's reader.
  bmodel::ModelCtx reader(file);
  const bmodel::CmdGroup* group = reader.model()->net()->Get(0)->parameter()->Get(1)->cmd_group()->Get(0);
  const json expected_group = {{"bdc_num", group->bdc_num()},
                               {"bdc_bytes", group->binary_bdc()->size()},
                               {"gdma_num", group->gdma_num()},
                               {"gdma_bytes", group->binary_gdma()->size()}};
  EXPECT_EQ(four_ids["cmd_groups"], json::array({expected_group}));
  // The twelve figures, named and in the order of the reader's record.
  const bmodel::bmodel_mem_info_t mem = reader.get_bmodel_mem_info();
  uint64_t figures[12];
  static_assert(sizeof(figures) == sizeof(mem));
  std::memcpy(figures, &mem, sizeof(mem));
  const std::vector<std::string> names{
      "bdc_cmd_size",     "gdma_cmd_size",   "hau_cmd_size", "sdma_cmd_size",
      "dynamic_ir_size",  "neuron_mem_size", "coeff_size",   "middle_buffer_size",
      "host_neuron_size", "host_coeff_size", "spare",        "dynamic_output_number"};
  ASSERT_EQ(d["memory"].size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(d["memory"][names[i]], figures[i]) << names[i];
}

TEST_F(VexoModel, InfoTextShowsTheSameInHumanUnits) {
  ModelSpec spec = vexo::samples::general_sample();
  spec.nets[2].stages[0].coeff = Bytes(1536 * 1024, 7);
  const std::string file = save(spec, "general.bmodel");
  const Outcome outcome = tool({"info", file});
  tooltest::expect_clean_exit(outcome);
  const std::string& out = outcome.out;
  for (const char* expected :
       {"chip                  BM1684X\n", "format                type B, version 2.2\n",
        "kernel module         sample_kernel.so, 256 B\n", "host-operator module  none\n",
        "net 1: reverse (addr_mode 1, 2 stages)\n",
        "  stage 1: static (is_dynamic 0, n_dynamic 0, h_w_dynamic 0)\n", "    input  ids: int32 [4], 16 B\n",
        "    output rows: float16 [4, 4], 32 B\n", "    context 768 B, coefficients 128 B, IR 0 B\n",
        "    2 command groups\n", "    context 32 B, coefficients 1.5 MiB, IR 0 B\n", "    0 subnets\n"}) {
    EXPECT_NE(out.find(expected), npos) << expected << " in\n" << out;
  }
  const bmodel::bmodel_mem_info_t mem = bmodel::ModelCtx(file).get_bmodel_mem_info();
  EXPECT_NE(out.find("  coeff_size              " + vexo::tool::human_size(mem.coeff_size) + "\n"), npos)
      << out;
  EXPECT_NE(out.find("  dynamic_output_number   0\n"), npos) << out;
  // The library's log lines stay off the screen.
  EXPECT_EQ(out.find("\x1b["), npos);
}

TEST_F(VexoModel, InfoReadsLegacyFilesWithTheirStoredFields) {
  ModelSpec legacy = vexo::samples::general_sample();
  for (auto& net : legacy.nets) net.legacy = true;
  const json converted = info_json(save(legacy, "legacy.bmodel"));
  const json current = info_json(save(vexo::samples::general_sample(), "general.bmodel"));
  // addr_mode and the kernel module come from the file, not from the
  // reader's conversion, which drops them.
  EXPECT_EQ(converted["nets"], current["nets"]);
  EXPECT_EQ(converted["kernel_module"], current["kernel_module"]);
  EXPECT_EQ(converted["memory"], current["memory"]);
  tooltest::expect_clean_exit(tool({"info", path("legacy.bmodel")}));
}

TEST_F(VexoModel, InfoReadsEncryptedFilesThroughThePlugin) {
  const std::string plain = save(vexo::samples::general_sample(), "general.bmodel");
  const std::string encrypted = encrypt(plain);
  EXPECT_THROW(bmodel::ModelCtx{encrypted}, std::runtime_error);

  const json d = info_json(encrypted, {"--decrypt-lib", kCipher}, kKey);
  const json original = info_json(plain);
  EXPECT_EQ(d["nets"], original["nets"]);
  EXPECT_EQ(d["kernel_module"], original["kernel_module"]);
  EXPECT_EQ(d["memory"], original["memory"]);
  const Outcome text = tool({"info", encrypted, "--decrypt-lib", kCipher}, kKey);
  tooltest::expect_clean_exit(text);
  EXPECT_NE(text.out.find("net 2: pad (addr_mode 0, 1 stage)\n"), npos) << text.out;
}

TEST_F(VexoModel, EncryptedModelsRunThroughTheDecryptionPluginInMemory) {
  const std::string plain = save(vexo::samples::general_sample(), "general.bmodel");
  const std::string encrypted = encrypt(plain);
  tooltest::expect_clean_exit(run_model({plain, "--net", "reverse", "--random", "3", "--save", path("ref")}));
  const auto listing = [this] {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path("")))
      names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::vector<std::string> before = listing();
  const Outcome outcome = run_model(
      {encrypted, "--decrypt-lib", kCipher, "--net", "reverse", "--random", "3", "--compare", path("ref")}, kKey);
  tooltest::expect_clean_exit(outcome);
  EXPECT_NE(outcome.out.find("compared output 0 reversed: match"), npos) << outcome.out;
  EXPECT_EQ(listing(), before);  // no deciphered copy on disk

  tooltest::expect_one_error(run_model({encrypted, "--net", "reverse"}, kKey), "vexo-run",
                             encrypted + " is encrypted: give its decryption plug-in with --decrypt-lib");
  tooltest::expect_one_error(
      run_model({encrypted, "--decrypt-lib", kCipher}, {{"VEXO_CIPHER_KEY", "another key"}}), "vexo-run",
      "cannot load " + encrypted);
  tooltest::expect_one_error(run_model({encrypted, "--decrypt-lib", path("none.so")}, kKey), "vexo-run",
                             "cannot open " + path("none.so"));

  // The language-model runtime opens an encrypted model the same way.
  vexo::samples::LlmOptions options;
  const std::string llm = encrypt(save(vexo::samples::llm_sample(options), "llm.bmodel"));
  setenv("VEXO_CIPHER_KEY", kKey.at("VEXO_CIPHER_KEY").c_str(), 1);
  EXPECT_EQ(llmrun::llm_init(llm.c_str(), 0), nullptr);
  EXPECT_EQ(llmrun::llm_init_decrypt(llm.c_str(), 0, ""), nullptr);
  llmrun::llmbase model = llmrun::llm_init_decrypt(llm.c_str(), 0, kCipher.c_str());
  ASSERT_NE(model, nullptr);
  std::vector<int32_t> prompt{5, 9, 2};
  EXPECT_EQ(llmrun::llm_forward_first(model, prompt.data(), prompt.size()),
            vexo::samples::llm_expected_tokens(prompt, prompt.size() + 1, options).back());
  llmrun::llm_free(model);
  unsetenv("VEXO_CIPHER_KEY");
}

TEST_F(VexoModel, EncryptThenDecryptGivesTheSameNetsAndRanges) {
  const std::string plain = save(rich_sample(), "rich.bmodel");
  const std::string decrypted = path("decrypted.bmodel");
  tooltest::expect_clean_exit(tool({"decrypt", "--lib", kCipher, "-o", decrypted, encrypt(plain)}, kKey));
  const Contents before = contents_of(plain), after = contents_of(decrypted);
  EXPECT_EQ(after.nets, before.nets);
  EXPECT_EQ(after.payload, before.payload);
  EXPECT_EQ(after.kernel_name, before.kernel_name);
  EXPECT_EQ(after.kernel_start, before.kernel_start);
  EXPECT_EQ(after.kernel_size, before.kernel_size);
}

TEST_F(VexoModel, CombineMergesNetsSharesRangesAndRuns) {
  // The embed net's two shape variants come from different files.
  ModelSpec first = vexo::samples::general_sample();
  first.nets[0].stages.resize(1);
  ModelSpec second = vexo::samples::llm_sample({});
  second.nets.push_back(vexo::samples::general_sample().nets[0]);
  second.nets.back().stages.erase(second.nets.back().stages.begin());
  const std::string a = save(first, "a.bmodel"), b = save(second, "b.bmodel"), out = path("combined.bmodel");
  tooltest::expect_clean_exit(tool({"combine", "-o", out, a, b}));

  const json d = info_json(out);
  std::vector<std::string> expected_names = net_names(info_json(a));
  for (const std::string& name : net_names(info_json(b))) {
    if (name != "embed") expected_names.push_back(name);
  }
  EXPECT_EQ(net_names(d), expected_names);
  const json& embed = d["nets"][0];
  ASSERT_EQ(embed["stages"].size(), 2u);
  EXPECT_EQ(embed["stages"][0]["inputs"][0]["shape"], json::array({1}));
  EXPECT_EQ(embed["stages"][1]["inputs"][0]["shape"], json::array({4}));

  // The embedding table and the kernel module are stored once.
  EXPECT_LT(std::filesystem::file_size(out), std::filesystem::file_size(a) + std::filesystem::file_size(b));
  EXPECT_LE(payload_size(out), payload_size(a) + payload_size(b) - 256 -
                                   vexo::samples::kEmbedVocab * vexo::samples::kEmbedRowBytes);
  {
    bmodel::ModelCtx reader(out);
    const auto* stages = reader.model()->net()->Get(0)->parameter();
    const bmodel::Binary* table0 = stages->Get(0)->coeff_mem()->binary_coeff();
    const bmodel::Binary* table1 = stages->Get(1)->coeff_mem()->binary_coeff();
    EXPECT_EQ(table0->start(), table1->start());
    EXPECT_EQ(table0->size(), table1->size());
  }

  // Nets of both files compute what they computed before.
  const std::vector<Bytes> ids{vexo::samples::bytes_of(std::vector<int32_t>{3, 0, 15, 7})};
  const std::vector<Bytes> hidden{vexo::samples::bytes_of(std::vector<int32_t>{5})};
  std::vector<Bytes> embed_before, head_before;
  {
    LoadedModel original(save(vexo::samples::general_sample(), "general.bmodel"));
    embed_before = original.run("embed", 1, ids);
  }
  {
    LoadedModel original(b);
    head_before = original.run("lm_head", 0, hidden);
  }
  LoadedModel combined(out);
  EXPECT_EQ(combined.run("embed", 1, ids), embed_before);
  EXPECT_EQ(combined.run("lm_head", 0, hidden), head_before);
  EXPECT_EQ(embed_before[0].size(), 4 * vexo::samples::kEmbedRowBytes);
  EXPECT_EQ(Bytes(embed_before[0].begin(), embed_before[0].begin() + 8), vexo::samples::embed_row(3));
}

TEST_F(VexoModel, CombineCopiesEveryRangeOfAStage) {
  // Behind another model the rich net's ranges all move.
  const std::string other = save(vexo::samples::llm_sample({}), "llm.bmodel");
  const std::string rich = save(rich_sample(), "rich.bmodel"), out = path("combined.bmodel");
  tooltest::expect_clean_exit(tool({"combine", "-o", out, other, rich}));
  const std::vector<Bytes> before = stage_range_contents(rich, "rich");
  EXPECT_EQ(before.size(), 17u);
  EXPECT_EQ(stage_range_contents(out, "rich"), before);
}

TEST_F(VexoModel, CombineKeepsAddrModeAndTheCascadeOfANetsFirstFile) {
  // The embed net's first stage in a file of its own, with a cascade.
  const std::string general = save(vexo::samples::general_sample(), "general.bmodel");
  const std::string cascaded = path("cascaded.bmodel");
  {
    bmodel::ModelCtx reader(general);
    bmodel::ModelGen gen;
    gen.AddChip(reader.model()->chip()->str());
    const Bytes payload = payload_of(reader);
    gen.WriteBinary(payload.size(), payload.data());  // every range keeps its start
    bmodel::NetParameterT stage;
    reader.model()->net()->Get(0)->parameter()->Get(0)->UnPackTo(&stage);
    const auto packed = bmodel::NetParameter::Pack(gen.Builder(), &stage);
    gen.AddNet("embed", packed, nullptr, nullptr,
               bmodel::CreateCascade(gen.Builder(), 1, 2, gen.Builder().CreateString("main")));
    gen.Finish();
    gen.Save(cascaded);
  }
  const json cascade = {{"device_id", 1}, {"step", 2}, {"main_name", "main"}};
  EXPECT_EQ(info_json(cascaded)["nets"][0]["cascade"], cascade);

  // The other shape of embed, without a cascade, and the io-alone reverse.
  ModelSpec plain = vexo::samples::general_sample();
  plain.nets[0].stages.erase(plain.nets[0].stages.begin());
  const std::string other = save(plain, "plain.bmodel");
  const std::string out = path("out.bmodel"), out_reversed = path("out_reversed.bmodel");
  tooltest::expect_clean_exit(tool({"combine", "-o", out, cascaded, other}));
  tooltest::expect_clean_exit(tool({"combine", "-o", out_reversed, other, cascaded}));
  const json d = info_json(out), reversed = info_json(out_reversed);
  EXPECT_EQ(d["nets"][0]["cascade"], cascade);
  EXPECT_TRUE(reversed["nets"][0]["cascade"].is_null());
  for (const json& combined : {d, reversed}) {
    EXPECT_EQ(net_names(combined), (std::vector<std::string>{"embed", "reverse", "pad"}));
    EXPECT_EQ(combined["nets"][0]["stages"].size(), 2u);
    EXPECT_EQ(combined["nets"][1]["addr_mode"], 1);
  }
}

TEST_F(VexoModel, CombineRefusesModelsOfDifferentChips) {
  ModelSpec other = vexo::samples::general_sample();
  other.chip = "BM1684";
  const std::string a = save(vexo::samples::general_sample(), "a.bmodel"), b = save(other, "b.bmodel");
  const std::string out = path("combined.bmodel");
  expect_tool_error(tool({"combine", "-o", out, a, b}), a + " is for BM1684X, " + b + " is for BM1684");
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(VexoModel, ConflictingMergeEndsInOneLineNamingFilesNetsAndStages) {
  // a holds embed's first shape, each b.* the second one changed so that
  // the writer would refuse it.
  ModelSpec first = vexo::samples::general_sample();
  first.nets[0].stages.resize(1);
  const std::string a = save(first, "a.bmodel");
  const auto variant = [this](const std::string& name,
                              const std::function<void(vexo::samples::NetSpec&)>& edit) {
    ModelSpec spec;
    spec.nets = {vexo::samples::general_sample().nets[0]};
    spec.nets[0].stages.erase(spec.nets[0].stages.begin());
    edit(spec.nets[0]);
    return save(spec, name);
  };
  const std::string b_addr = variant("b_addr.bmodel", [](auto& net) { net.addr_mode = 1; });
  const std::string b_dynamic = variant("b_dynamic.bmodel", [](auto& net) {
    net.stages[0].patch = [](bmodel::NetParameterT& p) { p.is_dynamic = 1; };
  });
  const std::string b_name = variant("b_name.bmodel", [](auto& net) { net.stages[0].inputs[0].name = "x"; });
  const std::string b_type = variant("b_type.bmodel", [](auto& net) { net.stages[0].inputs[0].dtype = 0; });
  const std::string b_outputs =
      variant("b_outputs.bmodel", [](auto& net) { net.stages[0].outputs.resize(1); });
  const std::string prefix = "cannot merge stage 0 of net \"embed\" in " + a + " and stage 0 of that net in ";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{a, a},
       prefix + a + ": their inputs have the same shapes (the stages of a net differ in input shape)"},
      {{a, b_addr}, prefix + b_addr + ": their addr_mode differs (0 and 1), and a net has one"},
      {{a, b_dynamic}, prefix + b_dynamic + ": one is dynamic and the other static"},
      {{a, b_name}, prefix + b_name + ": input 0 is called \"ids\" in one and \"x\" in the other"},
      {{a, b_type}, prefix + b_type + ": input 0 \"ids\" is int32 in one and float32 in the other"},
      {{a, b_outputs}, prefix + b_outputs + ": the later has 1 output, fewer than the 2 of the earlier"},
  };
  const std::string out = path("combined.bmodel");
  for (const auto& [inputs, message] : cases) {
    std::vector<std::string> args{"combine", "-o", out};
    args.insert(args.end(), inputs.begin(), inputs.end());
    const Outcome outcome = tool(args);
    expect_tool_error(outcome, message);
    EXPECT_EQ(tooltest::lines(outcome.err).size(), 1u) << outcome.err;  // the writer never ran
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(std::filesystem::exists(out)) << message;
  }

  // Stages of one file are checked alike: here two nets stored under the
  // name embed, which encrypt would merge; and a net without a name.
  const std::string general = save(vexo::samples::general_sample(), "general.bmodel");
  const std::string twice = path("twice.bmodel"), unnamed = path("unnamed.bmodel");
  rewrite_nets(general, twice, [](Nets& nets) { nets[1] = copy_of(*nets[0]); });
  rewrite_nets(general, unnamed, [](Nets& nets) { nets[2]->name = ""; });
  const std::string encrypted = path("twice.enc");
  expect_tool_error(tool({"encrypt", "--lib", kCipher, "-o", encrypted, twice}, kKey),
                    "cannot merge stage 0 of net \"embed\" in " + twice + " and stage 0 of that net in " +
                        twice + ": their inputs have the same shapes");
  EXPECT_FALSE(std::filesystem::exists(encrypted));
  expect_tool_error(tool({"combine", "-o", out, unnamed}), unnamed + ": net 2 has an empty name (\"\")");
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(VexoModel, ExtractKernelWritesTheModuleImage) {
  ModelSpec spec = vexo::samples::general_sample();
  spec.kernel_module.resize(300);
  for (size_t i = 0; i < spec.kernel_module.size(); ++i) spec.kernel_module[i] = static_cast<uint8_t>(i * 7);
  ModelSpec legacy = spec;
  for (auto& net : legacy.nets) net.legacy = true;
  for (const std::string& file : {save(spec, "general.bmodel"), save(legacy, "legacy.bmodel")}) {
    const std::string image = file + ".kernel";
    tooltest::expect_clean_exit(tool({"extract-kernel", "-o", image, file}));
    std::ifstream in(image, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), spec.kernel_module) << file;
  }
}

TEST_F(VexoModel, NetWithoutStagesIsDescribedButNotCopied) {
  const std::string file = path("hollow.bmodel");
  {
    bmodel::ModelGen gen;
    gen.AddChip("BM1684X");
    flatbuffers::FlatBufferBuilder& builder = gen.Builder();
    gen.AddNet(
        bmodel::CreateNet(builder, builder.CreateString("hollow"), 0, 0,
                          builder.CreateVector(std::vector<flatbuffers::Offset<bmodel::NetParameter>>{})));
    gen.Finish();
    gen.Save(file);
  }
  const json d = info_json(file);
  EXPECT_EQ(d["nets"][0]["stages"], json::array());
  EXPECT_TRUE(d["memory"].is_null());
  expect_tool_error(tool({"combine", "-o", path("out.bmodel"), file}), "net \"hollow\" has no stages");
}

TEST_F(VexoModel, BadInputsEndWithOneLineAndNoCrash) {
  const std::string good = save(vexo::samples::general_sample(), "general.bmodel");
  const std::string missing = path("missing.bmodel");
  Outcome outcome = tool({"info", missing});
  expect_tool_error(outcome, "cannot open " + missing + ": No such file or directory");
  EXPECT_EQ(outcome.out, "");

  const std::string truncated = save(vexo::samples::general_sample(), "truncated.bmodel");
  std::filesystem::resize_file(truncated, std::filesystem::file_size(truncated) - 1);
  outcome = tool({"info", truncated});
  expect_tool_error(outcome, truncated + " is truncated: its header announces");

  const std::string encrypted = encrypt(good);
  expect_tool_error(tool({"info", encrypted, "--decrypt-lib", kCipher}, {{"VEXO_CIPHER_KEY", "another key"}}),
                    "cannot decrypt " + encrypted);
  expect_tool_error(tool({"info", encrypted}), encrypted + " is encrypted");
  unsetenv("VEXO_CIPHER_KEY");
  expect_tool_error(tool({"encrypt", "--lib", kCipher, "-o", path("keyless.enc"), good}), "cannot encrypt");

  ModelSpec without_kernel = vexo::samples::general_sample();
  without_kernel.kernel_module.clear();
  expect_tool_error(tool({"extract-kernel", "-o", path("k"), save(without_kernel, "no_kernel.bmodel")}),
                    "carries no kernel module");

  // A range that claims the whole address space is refused before any
  // memory is taken for it.
  ModelSpec wild = vexo::samples::general_sample();
  wild.nets[2].stages[0].patch = [](bmodel::NetParameterT& stage) {
    stage.coeff_mem->binary_coeff = std::make_unique<bmodel::Binary>(16, UINT64_MAX);
  };
  expect_tool_error(tool({"combine", "-o", path("out.bmodel"), save(wild, "wild.bmodel")}),
                    "lies outside the payload");
}

TEST_F(VexoModel, BadOutputsAndCommandLinesEndWithOneLine) {
  const std::string good = save(vexo::samples::general_sample(), "general.bmodel");
  expect_tool_error(tool({"combine", "-o", path("no/such/folder/out.bmodel"), good}), "no folder");
  expect_tool_error(tool({"decrypt", "--lib", kCipher, "-o", path(""), good}), "it is a folder");
  expect_tool_error(tool({"info", good, "--frobnicate"}), "--frobnicate", 2);
  expect_tool_error(tool({}), "give a command: info, combine, encrypt, decrypt, extract-kernel", 2);
  expect_tool_error(tool({"combine", good}), "--output is required", 2);
  expect_tool_error(tool({"--log-level", "eleven", "info", good}), "--log-level", 2);
}

TEST_F(VexoModel, WritingCommandsPrintWhatTheyWrote) {
  const std::string general = save(vexo::samples::general_sample(), "general.bmodel");
  const std::string llm = save(vexo::samples::llm_sample({}), "llm.bmodel");
  const auto line = [](const std::string& file, const std::string& contents, const std::string& note = "") {
    return "wrote " + file + ": " + contents + ", " +
           vexo::tool::human_size(std::filesystem::file_size(file)) + note + "\n";
  };
  const size_t llm_nets = info_json(llm)["nets"].size();
  const std::string both = path("both.bmodel");
  Outcome outcome = tool({"combine", "-o", both, general, llm});
  tooltest::expect_clean_exit(outcome);
  EXPECT_EQ(outcome.out,
            line(both, std::to_string(3 + llm_nets) + " nets, " + std::to_string(5 + llm_nets) + " stages"));

  const std::string encrypted = path("general.enc"), decrypted = path("decrypted.bmodel");
  outcome = tool({"encrypt", "--lib", kCipher, "-o", encrypted, general}, kKey);
  tooltest::expect_clean_exit(outcome);
  EXPECT_EQ(outcome.out, line(encrypted, "3 nets, 5 stages", ", encrypted"));
  outcome = tool({"decrypt", "--lib", kCipher, "-o", decrypted, encrypted}, kKey);
  tooltest::expect_clean_exit(outcome);
  EXPECT_EQ(outcome.out, line(decrypted, "3 nets, 5 stages"));
  EXPECT_EQ(std::filesystem::file_size(decrypted), std::filesystem::file_size(general));

  const std::string kernel = path("kernel.so");
  outcome = tool({"extract-kernel", "-o", kernel, encrypted, "--decrypt-lib", kCipher}, kKey);
  tooltest::expect_clean_exit(outcome);
  EXPECT_EQ(outcome.out, "wrote " + kernel + ": kernel module sample_kernel.so, 256 B\n");
}

TEST_F(VexoModel, UnreadableModelsAreToldInPlainWords) {
  const std::string good = save(vexo::samples::general_sample(), "general.bmodel");
  std::ifstream in(good, std::ios::binary);
  const Bytes bytes{std::istreambuf_iterator<char>(in), {}};
  const auto file = [this](const std::string& name, const Bytes& content) {
    const std::string made = path(name);
    std::ofstream(made, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), content.size());
    return made;
  };
  const std::string empty = file("empty.bmodel", {});
  const std::string text = file("text.bmodel", Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
  const std::string stub = file("stub.bmodel", Bytes(bytes.begin(), bytes.begin() + 6));
  const std::string header_only = file("header.bmodel", Bytes(bytes.begin(), bytes.begin() + 64));
  const std::string cut = file("cut.bmodel", Bytes(bytes.begin(), bytes.end() - 100));
  Bytes scrambled = bytes;  // the metadata's root offset points nowhere
  std::fill(scrambled.begin() + 64, scrambled.begin() + 68, 0xFF);
  const std::string broken = file("broken.bmodel", scrambled);
  const std::string encrypted = encrypt(good);
  const std::string missing = path("missing.bmodel");
  const std::vector<std::pair<std::string, std::string>> cases{
      {missing, "cannot open " + missing + ": No such file or directory"},
      {empty, empty + " is empty, not a model file"},
      {text, text + " is not a model file: it does not start with the model files' magic number"},
      {stub, stub + " is truncated: 6 bytes, less than a model file's header"},
      {header_only, header_only + " is truncated: 64 bytes, no more than a model file's header"},
      {cut, cut + " is truncated: its header announces " + std::to_string(bytes.size()) +
                " bytes, the file holds " + std::to_string(bytes.size() - 100)},
      {broken, broken + " is not a readable model file: its metadata is broken"},
      {encrypted, encrypted + " is encrypted: give its decryption plug-in with --decrypt-lib"},
  };
  for (const auto& [model, message] : cases) {
    const Outcome outcome = tool({"info", model});
    expect_tool_error(outcome, message);
    EXPECT_EQ(outcome.out, "");
    // Only the broken metadata gets past the checks to the reader's lines.
    if (model != broken) {
      EXPECT_EQ(tooltest::lines(outcome.err).size(), 1u) << outcome.err;
    }
  }
}

TEST_F(VexoModel, PluginsAreCheckedAndAMissingKeyIsNamed) {
  unsetenv("VEXO_CIPHER_KEY");
  const std::string good = save(vexo::samples::general_sample(), "general.bmodel");
  const std::string encrypted = encrypt(good);
  const std::string out = path("out.bmodel");
  const std::string missing = path("none.so");
  // libm loads everywhere and exports neither cipher function.
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"encrypt", "--lib", missing, "-o", out, good},
       "cannot load the encryption plug-in " + missing + ": cannot open shared object file: No such file"},
      {{"encrypt", "--lib", "libm.so.6", "-o", out, good},
       "the encryption plug-in libm.so.6 does not export \"encrypt\""},
      {{"encrypt", "--lib", kCipher, "-o", out, good},
       "the encryption plug-in " + kCipher + " cannot encrypt: VEXO_CIPHER_KEY is not set"},
      {{"decrypt", "--lib", "libm.so.6", "-o", out, encrypted},
       "the decryption plug-in libm.so.6 does not export \"decrypt\""},
      {{"decrypt", "--lib", kCipher, "-o", out, encrypted},
       "cannot decrypt " + encrypted + " with " + kCipher + ": VEXO_CIPHER_KEY is not set"},
      {{"info", encrypted, "--decrypt-lib", kCipher},
       "cannot decrypt " + encrypted + " with " + kCipher + ": VEXO_CIPHER_KEY is not set"},
      {{"extract-kernel", "-o", out, encrypted, "--decrypt-lib", kCipher},
       "cannot decrypt " + encrypted + " with " + kCipher + ": VEXO_CIPHER_KEY is not set"},
      {{"info", good, "--decrypt-lib", kCipher},
       "cannot decrypt " + good + " with " + kCipher + ": it looks like a plain model file"},
  };
  for (const auto& [args, message] : cases) {
    const Outcome outcome = tool(args);
    expect_tool_error(outcome, message);
    EXPECT_EQ(outcome.err.find("Decrypt lib"), npos) << outcome.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << message;
  }
  expect_tool_error(
      tool({"info", encrypted, "--decrypt-lib", kCipher}, {{"VEXO_CIPHER_KEY", "another key"}}),
      "cannot decrypt " + encrypted + " with " + kCipher + ": wrong key, wrong plug-in, or a broken file");
}

TEST_F(VexoModel, NamesThatAreNotUtf8AreEscaped) {
  const std::string general = save(vexo::samples::general_sample(), "general.bmodel");
  const std::string odd = path("odd.bmodel");
  rewrite_nets(general, odd, [](Nets& nets) {
    nets[0]->name = "bad\xFF\xFEname";
    nets[0]->parameter[0]->input_tensor[0]->name = "ids\x1B[31m";
    nets[1]->name = "caf\xC3\xA9";
  });
  const json d = info_json(odd);
  EXPECT_EQ(net_names(d), (std::vector<std::string>{"bad\uFFFD\uFFFDname", "caf\xC3\xA9", "pad"}));
  EXPECT_EQ(d["nets"][0]["stages"][0]["inputs"][0]["name"], "ids\x1B[31m");  // JSON escapes it

  const Outcome text = tool({"info", odd});
  tooltest::expect_clean_exit(text);
  EXPECT_NE(text.out.find("net 0: bad\\xFF\\xFEname (addr_mode 0, 2 stages)\n"), npos) << text.out;
  EXPECT_NE(text.out.find("    input  ids\\x1B[31m: int32 [1], 4 B\n"), npos) << text.out;
  EXPECT_NE(text.out.find("net 1: caf\xC3\xA9 (addr_mode 1, 2 stages)\n"), npos) << text.out;
  EXPECT_EQ(text.out.find_first_of("\x1B\xFF\xFE"), npos);
}

TEST_F(VexoModel, CommandLineMistakesReadLikeTheTool) {
  const std::string good = save(vexo::samples::general_sample(), "general.bmodel");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"frobnicate"},
       "unknown command frobnicate: the commands are info, combine, encrypt, decrypt, extract-kernel"},
      {{"info", good, "extra"}, "unexpected argument extra"},
      {{"info", good, "--frobnicate"}, "unknown option --frobnicate"},
      {{"combine", good, "-o"}, "--output needs a value"},
      {{"--log-level", "11", "info", good},
       "--log-level: 11 is out of range: give a whole number from 0 to 10"},
      {{"info", good, "--log-level", "99999999999999999999"},
       "--log-level: 99999999999999999999 is out of range: give a whole number from 0 to 10"},
      {{"--log-level", "-1", "info", good}, "--log-level: -1 is out of range: give a whole number from 0 to 10"},
      {{"--log-level", "2x", "info", good}, "--log-level: \"2x\" is not an integer"},
  };
  for (const auto& [args, message] : cases) {
    const Outcome outcome = tool(args);
    expect_tool_error(outcome, message + " (see --help)", 2);
    EXPECT_EQ(outcome.out, "");
  }
}

TEST_F(VexoModel, HelpDescribesEveryCommand) {
  const Outcome outcome = tool({"--help"});
  tooltest::expect_clean_exit(outcome);
  for (const char* text :
       {"Usage: vexo-model", "--log-level", "info", "combine", "encrypt", "decrypt", "extract-kernel"}) {
    EXPECT_NE(outcome.out.find(text), npos) << text;
  }
  const Outcome info = tool({"info", "--help"});
  tooltest::expect_clean_exit(info);
  EXPECT_NE(info.out.find("--decrypt-lib"), npos) << info.out;
}

}  // namespace
