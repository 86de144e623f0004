// The writer: payload deduplication, merging of stages by network name and
// its conflicts, the finished metadata.
#include "bmodel_test_support.h"

using namespace bmodel_test;
using bmodel::Binary;
using bmodel::ModelCtx;
using bmodel::ModelGen;

namespace {

const TensorSpec kData{"data", {1, 3, 4, 4}};
const TensorSpec kOut{"out", {1, 10}};

// Opens what gen finished through the memory reader.
struct Finished {
  explicit Finished(ModelGen& gen) : image(gen.Finish()) {
    gen.Save(image.data());
    ctx = std::make_unique<ModelCtx>(image.data(), image.size());
  }
  Bytes image;
  std::unique_ptr<ModelCtx> ctx;
};

void add(ModelGen& gen, const std::string& name, const StageSpec& spec, int32_t addr_mode = 0) {
  gen.AddNet(name, pack(gen, stage_of(spec)), nullptr, nullptr, 0, addr_mode);
}

}  // namespace

TEST(BmodelWriter, IdenticalPayloadIsStoredOnce) {
  ModelGen gen;
  const Bytes a = pattern(100, 1), b = pattern(100, 2), c = pattern(50, 3);
  const Binary ra = gen.WriteBinary(a.size(), a.data());
  const Binary rb = gen.WriteBinary(b.size(), b.data());
  const Binary rc = gen.WriteBinary(c.size(), c.data());
  const Binary again = gen.WriteBinary(a.size(), a.data());
  EXPECT_EQ(ra.start(), 0u);
  EXPECT_EQ(rb.start(), 100u);
  EXPECT_EQ(rc.start(), 200u);
  EXPECT_EQ(again.start(), ra.start());
  EXPECT_EQ(again.size(), ra.size());
  // The same bytes at a different length are other contents.
  const Binary prefix = gen.WriteBinary(50, a.data());
  EXPECT_EQ(prefix.start(), 250u);
  const Binary empty = gen.WriteBinary(0, nullptr);
  EXPECT_EQ(empty.start(), 300u);
  EXPECT_EQ(gen.WriteBinary(0, a.data()).start(), 300u);

  add(gen, "net", {{kData}, {kOut}});
  const size_t size = gen.Finish();
  EXPECT_EQ(size, gen.BufferSize());
  Bytes image(gen.BufferSize());
  gen.Save(image.data());
  bmodel::MODEL_HEADER_T header;
  std::memcpy(&header, image.data(), sizeof(header));
  const uint64_t binary_size = header.binary_size;
  EXPECT_EQ(binary_size, 300u);
}

TEST(BmodelWriter, StagesMergeUnderOneNameWithIndexOuts) {
  ModelGen gen;
  uint32_t net_idx = 99, stage_idx = 99;
  gen.AddNet("first", pack(gen, stage_of({{kData}, {kOut}, 100})), &net_idx, &stage_idx);
  EXPECT_EQ(net_idx, 0u);
  EXPECT_EQ(stage_idx, 0u);
  gen.AddNet("second", pack(gen, stage_of({{kData}, {kOut}, 300})), &net_idx, &stage_idx);
  EXPECT_EQ(net_idx, 1u);
  EXPECT_EQ(stage_idx, 0u);
  gen.AddNet("first", pack(gen, stage_of({{{"data", {2, 3, 4, 4}}}, {kOut}, 200})), &net_idx, &stage_idx);
  EXPECT_EQ(net_idx, 0u);
  EXPECT_EQ(stage_idx, 1u);
  // The new-network form never merges, even under an existing name.
  gen.AddNet("first", bmodel::CASCADE_INFO_T{}, pack(gen, stage_of({{kData}, {kOut}, 50})));

  Finished model(gen);
  EXPECT_EQ(describe(model.ctx->model()),
            "net first\n"
            "  stage ctx 100 dynamic 0: in data[1,3,4,4,] out out\n"
            "  stage ctx 200 dynamic 0: in data[2,3,4,4,] out out\n"
            "net second\n"
            "  stage ctx 300 dynamic 0: in data[1,3,4,4,] out out\n"
            "net first\n"
            "  stage ctx 50 dynamic 0: in data[1,3,4,4,] out out\n");
  EXPECT_EQ(model.ctx->model()->neuron_size(), 300u);
}

TEST(BmodelWriter, CascadesAreStoredAndFinishedNetsComeFirst) {
  ModelGen gen;
  gen.AddChip("BM1684X");
  auto main_name = gen.Builder().CreateString("main");
  gen.AddNet("by_name", pack(gen, stage_of({{kData}, {kOut}})), nullptr, nullptr,
             bmodel::CreateCascade(gen.Builder(), 2, 3, main_name), 1);
  auto stage = pack(gen, stage_of({{kData}, {kOut}}));
  auto parameters = gen.Builder().CreateVector(&stage, 1);
  gen.AddNet(bmodel::CreateNet(gen.Builder(), gen.Builder().CreateString("finished"), 0, 0, parameters));

  Finished model(gen);
  const auto* nets = model.ctx->model()->net();
  ASSERT_EQ(nets->size(), 2u);
  EXPECT_EQ(nets->Get(0)->name()->str(), "finished");
  EXPECT_EQ(nets->Get(0)->cascade(), nullptr);
  const bmodel::Net* by_name = nets->Get(1);
  EXPECT_EQ(by_name->name()->str(), "by_name");
  EXPECT_EQ(by_name->addr_mode(), 1);
  ASSERT_NE(by_name->cascade(), nullptr);
  EXPECT_EQ(by_name->cascade()->device_id(), 2u);
  EXPECT_EQ(by_name->cascade()->step(), 3u);
  EXPECT_EQ(by_name->cascade()->main_name()->str(), "main");
}

TEST(BmodelWriter, FinishWritesTheModelFields) {
  ModelGen gen;
  gen.AddNumDevice(2);
  gen.AddBmodelType(7);
  const Bytes cpu = pattern(30, 4);
  gen.AddCpuModule("cpu.so", gen.WriteBinary(cpu.size(), cpu.data()));
  add(gen, "net", {{kData}, {kOut}});
  Finished model(gen);
  const bmodel::Model* m = model.ctx->model();
  EXPECT_EQ(m->type()->str(), "B");
  EXPECT_EQ(m->version()->str(), "2.2");
  EXPECT_EQ(m->chip()->str(), "");
  const std::string time = m->time()->str();
  ASSERT_FALSE(time.empty());
  EXPECT_EQ(time.back(), '\n');
  ASSERT_NE(m->kernel_module(), nullptr);
  EXPECT_EQ(m->kernel_module()->file_name()->str(), "");
  EXPECT_EQ(m->kernel_module()->binary()->size(), 0u);
  EXPECT_EQ(m->cpuop_module()->file_name()->str(), "cpu.so");
  EXPECT_EQ(m->cpuop_module()->binary()->size(), 30u);
  EXPECT_EQ(m->device_num(), 2u);
  EXPECT_EQ(m->bmodel_type(), 7u);
}

TEST(BmodelWriter, SaveWritesTheSameBytesToFileAndMemory) {
  TempDir dir;
  ModelGen gen;
  const SampleModel sample = build_sample(gen);
  gen.Save(dir.path("m.bmodel"));
  EXPECT_EQ(read_file(dir.path("m.bmodel")), sample.image);
}

TEST(BmodelWriter, MergingConflictsEndTheProcess) {
  const TensorSpec batch2{"data", {2, 3, 4, 4}};
  auto conflict = [](const StageSpec& second, int32_t addr_mode = 0) {
    ModelGen gen;
    add(gen, "net", {{kData}, {kOut}});
    add(gen, "net", second, addr_mode);
  };
  EXPECT_BMODEL_EXIT(conflict({{batch2}, {kOut}}, 1), "AddNet", "net[net] addr_mode should be the same");
  EXPECT_BMODEL_EXIT(conflict({{batch2}, {kOut}, 0, 1}), "AddNet",
                     "net[net] cannot has dynamic and static at the same time");
  EXPECT_BMODEL_EXIT(conflict({{kData}, {kOut}}), "AddNet", "net[net] input tensors is conflict");
  EXPECT_BMODEL_EXIT(conflict({{batch2, kData}, {kOut}}), "AddNet", "net[net] input tensors is conflict");
  EXPECT_BMODEL_EXIT(conflict({{{"data", {2, 3, 4, 4}, 2}}, {kOut}}), "AddNet",
                     "net[net] input tensors is conflict");
  EXPECT_BMODEL_EXIT(conflict({{batch2}, {{"other", {1, 10}}}}), "AddNet",
                     "net[net] output names is conflict.output 0: origin name: out. new name other.");
  EXPECT_BMODEL_EXIT(conflict({{batch2}, {}}), "AddNet", "net[net] output tensors is conflict.");
  EXPECT_BMODEL_EXIT(conflict({{batch2}, {kOut}, 0, 0, 2}), "AddNet", "net[net] sub net is conflict.");
  EXPECT_BMODEL_EXIT(
      {
        ModelGen gen;
        add(gen, "", {{kData}, {kOut}});
      },
      "AddNet", "net_name.empty() == false");
  EXPECT_BMODEL_EXIT(
      {
        ModelGen gen;
        add(gen, "net", {{kData}, {kOut}});
        gen.AddNet("net", pack(gen, stage_of({{batch2}, {kOut}})), nullptr, nullptr,
                   bmodel::CreateCascade(gen.Builder(), 0u, 0u));
      },
      "AddNet", "idx == net_vector_.size()");
}

TEST(BmodelWriter, DynamicAndInputNameConflicts) {
  auto conflict = [](bmodel::NetParameterT second) {
    ModelGen gen;
    add(gen, "net", {{kData}, {kOut}});
    gen.AddNet("net", pack(gen, second));
  };
  bmodel::NetParameterT dynamic = stage_of({{{"data", {2, 3, 4, 4}}}, {kOut}});
  dynamic.n_dynamic = 1;
  EXPECT_BMODEL_EXIT(conflict(std::move(dynamic)), "AddNet", "net[net] dynamic is conflict.");
  // Names are compared after the input tensors, which also compare names;
  // IsTensorConflict reports the difference first.
  EXPECT_EXIT(
      {
        route_stdout_to_stderr();
        conflict(stage_of({{{"image", {2, 3, 4, 4}}}, {kOut}}));
      },
      testing::ExitedWithCode(255),
      line_pattern("IsTensorConflict", "tensor name is not the same, [data] vs [image]", "ERROR") + ".*" +
          line_pattern("AddNet", "net[net] input tensors is conflict"));
}

TEST(BmodelWriter, TensorConflictReportsTheFirstDifference) {
  ModelGen gen;
  const auto one = pack(gen, stage_of({{kData}, {}}));
  const auto other_shape = pack(gen, stage_of({{{"data", {1, 3, 4, 5}}}, {}}));
  const auto two = pack(gen, stage_of({{kData, kData}, {}}));
  // Pointers into the builder stay valid while nothing more is built.
  auto inputs_of = [&](flatbuffers::Offset<bmodel::NetParameter> stage) {
    return flatbuffers::GetTemporaryPointer(gen.Builder(), stage)->input_tensor();
  };
  testing::internal::CaptureStdout();
  EXPECT_TRUE(gen.IsTensorConflict(inputs_of(one), inputs_of(one)));
  EXPECT_FALSE(gen.IsTensorConflict(inputs_of(one), inputs_of(other_shape)));
  EXPECT_TRUE(gen.IsTensorConflict(inputs_of(one), inputs_of(two)));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(has_line(out, "IsTensorConflict", "tensor shape should not be the same", "ERROR"));
  EXPECT_TRUE(has_line(out, "IsTensorConflict", "tensor size is not the same, [1] vs [2]", "ERROR"));
}

TEST(BmodelWriter, FinishAndSaveFailuresEndTheProcess) {
  EXPECT_BMODEL_EXIT(ModelGen().Finish(), "Finish", "there is no net");
  EXPECT_BMODEL_EXIT(ModelGen().AddChip(""), "AddChip", "!arch_name.empty()");
  ModelGen gen;
  add(gen, "net", {{kData}, {kOut}});
  gen.Finish();
  EXPECT_BMODEL_EXIT(gen.Save(std::string()), "Save", "!filename.empty()");
  EXPECT_BMODEL_EXIT(gen.Save("/nonexistent-dir/m.bmodel"), "Save",
                     "Save file[/nonexistent-dir/m.bmodel] failed.");
  // A full disk is a failed save, not a truncated file behind a success.
  EXPECT_BMODEL_EXIT(gen.Save("/dev/full"), "Save", "Save file[/dev/full] failed.");
  EXPECT_BMODEL_EXIT(gen.Save(static_cast<void*>(nullptr)), "Save", "buffer != NULL");
  uint64_t size = 0;
  EXPECT_BMODEL_EXIT(gen.Encrypt(nullptr, 0, nullptr), "Encrypt", "output_bytes != nullptr");
  EXPECT_BMODEL_EXIT(gen.Encrypt(nullptr, 0, &size), "Encrypt", "encrypt_func_ != nullptr");
  EXPECT_BMODEL_EXIT(gen.SaveEncrypt(""), "SaveEncrypt", "!filename.empty()");
}
