// vexo-samples and vexo-run run as child processes: the sample files and
// their bytes, listing, running every stage against its reference,
// comparison failures and tolerance, saving, generated inputs, timing, and
// how every error ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "child_process.h"
#include "samples/general_reference.h"
#include "samples/samples.h"
#include "test_support.h"
#include "tool_outcome.h"
#include "utils/datagen.h"

namespace {

namespace fs = std::filesystem;
using tooltest::Outcome;
using vexo::samples::ReferenceCase;
using vexo::samples::TensorData;
using vexotest::Bytes;

const std::string kRun = VEXO_RUN_PATH;
const std::string kSamples = VEXO_SAMPLES_PATH;
constexpr size_t kHeader = 84;

Bytes read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Overwrites bytes of a file in place.
void patch(const std::string& path, size_t offset, const Bytes& bytes) {
  Bytes contents = read_bytes(path);
  std::copy(bytes.begin(), bytes.end(), contents.begin() + offset);
  write_bytes(path, contents);
}

template <typename T>
void put(Bytes& bytes, T value) {
  const auto* first = reinterpret_cast<const uint8_t*>(&value);
  bytes.insert(bytes.end(), first, first + sizeof(T));
}

// A tensor file as the format lays it out: 84-byte header, then the data.
Bytes tensor_file(const TensorData& tensor) {
  Bytes bytes;
  put<int32_t>(bytes, static_cast<int32_t>(tensor.spec.dtype));
  put<uint64_t>(bytes, tensor.spec.shape.size());
  for (size_t i = 0; i < 8; ++i)
    put<uint64_t>(bytes, i < tensor.spec.shape.size() ? tensor.spec.shape[i] : 0);
  put<uint64_t>(bytes, tensor.bytes.size());
  bytes.insert(bytes.end(), tensor.bytes.begin(), tensor.bytes.end());
  return bytes;
}

Bytes data_of(const std::string& tensor_path) {
  const Bytes file = read_bytes(tensor_path);
  return file.size() < kHeader ? Bytes() : Bytes(file.begin() + kHeader, file.end());
}

bool has_line(const Outcome& outcome, const std::string& line) {
  const std::vector<std::string> lines = tooltest::lines(outcome.out);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class VexoRun : public testing::Test {
 protected:
  void SetUp() override { tooltest::expect_clean_exit(samples({"--out", samples_})); }

  Outcome run(const std::vector<std::string>& args) const { return tooltest::run(dir_, kRun, args); }
  Outcome samples(const std::vector<std::string>& args) const { return tooltest::run(dir_, kSamples, args); }
  std::string path(const std::string& name) const { return dir_.path(name); }
  const vexotest::TempDir& dir() const { return dir_; }
  std::string sample(const std::string& name) const { return samples_ + "/" + name; }
  std::string model() const { return sample("general.bmodel"); }
  std::string case_dir(const std::string& name) const { return sample("general/" + name); }
  // A copy of a stage's expected outputs, to be altered.
  std::string copy_expected(const std::string& name) const {
    const std::string copy = path("expected-" + name);
    fs::copy(case_dir(name) + "/expected", copy);
    return copy;
  }
  // The general sample with changes, written beside the samples.
  template <typename Change>
  std::string changed_model(Change change) const {
    vexo::samples::ModelSpec spec = vexo::samples::general_sample();
    change(spec);
    const std::string file = path("changed.bmodel");
    vexo::samples::save_model(spec, file);
    return file;
  }

 private:
  vexotest::TempDir dir_;
  std::string samples_ = dir_.path("samples");
};

TEST_F(VexoRun, SamplesWriteBothModelsAndEveryStagesReferenceFiles) {
  EXPECT_TRUE(fs::is_regular_file(sample("general.bmodel")));
  EXPECT_TRUE(fs::is_regular_file(sample("llm.bmodel")));
  const std::vector<ReferenceCase> cases = vexo::samples::general_reference_cases();
  ASSERT_EQ(cases.size(), 5u);  // embed 0 and 1, reverse 0 and 1, pad 0
  for (const ReferenceCase& c : cases) {
    const std::string dir = case_dir(c.net + "-" + std::to_string(c.stage));
    for (const TensorData& input : c.inputs) {
      EXPECT_EQ(read_bytes(dir + "/inputs/" + input.spec.name + ".tensor"), tensor_file(input)) << dir;
    }
    for (const TensorData& output : c.expected) {
      EXPECT_EQ(read_bytes(dir + "/expected/" + output.spec.name + ".tensor"), tensor_file(output)) << dir;
    }
  }
  // The references follow the sample's definition: embedding rows of the
  // ids, rows reversed, bytes padded with 0xEE.
  const ReferenceCase& embed = cases[1];
  int32_t second_id = 0;
  std::memcpy(&second_id, embed.inputs[0].bytes.data() + 4, 4);
  const Bytes row = vexo::samples::embed_row(static_cast<uint32_t>(second_id));
  EXPECT_EQ(Bytes(embed.expected[0].bytes.begin() + 8, embed.expected[0].bytes.begin() + 16), row);
  const Bytes& rows = cases[3].inputs[0].bytes;  // reverse stage 1: two rows of 8 bytes
  Bytes reversed(rows.begin() + 8, rows.end());
  reversed.insert(reversed.end(), rows.begin(), rows.begin() + 8);
  EXPECT_EQ(cases[3].expected[0].bytes, reversed);
  EXPECT_EQ(cases[4].expected[0].bytes, (Bytes{0x11, 0x22, 0x33, 0x44, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(VexoRun, SamplesEndWithOneLineOnBadCommandLinesAndFolders) {
  write_bytes(path("taken"), Bytes{1});
  tooltest::expect_one_error(samples({"--out", path("taken")}), "vexo-samples", "cannot create the folder");
  tooltest::expect_one_error(samples({}), "vexo-samples", "--out is required", 2);
  tooltest::expect_one_error(samples({"--out", path("small"), "--llm-vocab", "1"}), "vexo-samples", "--llm-vocab", 2);
}

// A real tokenizer's vocabulary: the logits sample of 151,936 ids and 512
// positions is the generator's (the tests run it on the device).
TEST_F(VexoRun, SamplesWriteTheLogitsSampleOfAGivenVocabulary) {
  tooltest::expect_clean_exit(samples({"--out", path("big"), "--llm-vocab", "151936", "--llm-seq-len", "512"}));
  vexo::samples::LlmOptions options;
  options.logits_head = true;
  options.vocab = 151936;
  options.seq_len = 512;
  vexo::samples::save_model(vexo::samples::llm_sample(options), path("expected.bmodel"));
  const Bytes written = read_bytes(path("big/llm-logits.bmodel")), expected = read_bytes(path("expected.bmodel"));
  ASSERT_EQ(written.size(), expected.size());
  size_t differing = 0;  // the header's time of writing only
  for (size_t i = 0; i < written.size(); ++i) differing += written[i] != expected[i];
  EXPECT_LE(differing, 24u);
  EXPECT_LT(written.size(), 4u << 20);  // weights in proportion to the vocabulary, not its square
}

// Listing reads the file only: a device that does not exist is not opened.
TEST_F(VexoRun, ListShowsEveryNetStageAndTensor) {
  const Outcome outcome = run({model(), "--list", "--device", "7"});
  tooltest::expect_clean_exit(outcome);
  EXPECT_EQ(tooltest::lines(outcome.out), (std::vector<std::string>{
                       "net 0: embed (2 stages)",
                       "  stage 0: 1 input, 2 outputs",
                       "    input  0 ids: int32 [1], 4 B",
                       "    output 0 rows: float16 [1, 4], 8 B",
                       "    output 1 valid: int32 [1], 4 B",
                       "  stage 1: 1 input, 2 outputs",
                       "    input  0 ids: int32 [4], 16 B",
                       "    output 0 rows: float16 [4, 4], 32 B",
                       "    output 1 valid: int32 [4], 16 B",
                       "net 1: reverse (2 stages)",
                       "  stage 0: 1 input, 1 output",
                       "    input  0 rows: float16 [4, 4], 32 B",
                       "    output 0 reversed: float16 [4, 4], 32 B",
                       "  stage 1: 1 input, 1 output",
                       "    input  0 rows: float16 [2, 4], 16 B",
                       "    output 0 reversed: float16 [2, 4], 16 B",
                       "net 2: pad (1 stage)",
                       "  stage 0: 1 input, 1 output",
                       "    input  0 data: uint8 [4], 4 B",
                       "    output 0 padded: uint8 [8], 8 B",
                   }));
}

// A 200-character input name, 70 inputs and a 9-dimension output: beyond
// what fixed-capacity records hold, listed, fed by name and run whole.
TEST_F(VexoRun, AWideModelIsListedFedByNameAndRun) {
  const std::string wide = sample("wide.bmodel");
  const std::string long_name = vexo::samples::wide_input_name(0);
  ASSERT_EQ(long_name.size(), 200u);
  const Outcome listed = run({wide, "--list"});
  tooltest::expect_clean_exit(listed);
  EXPECT_TRUE(has_line(listed, "  stage 0: 70 inputs, 1 output")) << listed.out;
  EXPECT_TRUE(has_line(listed, "    input  0 " + long_name + ": uint8 [1], 1 B")) << listed.out;
  EXPECT_TRUE(has_line(listed, "    output 0 gathered: uint8 [1, 1, 1, 1, 1, 1, 1, 2, 35], 70 B")) << listed.out;

  write_bytes(path("first.tensor"), tensor_file({{long_name, BM_UINT8, {1}}, Bytes{7}}));
  const Outcome ran = run({wide, "--inputs", long_name + "=" + path("first.tensor"), "--random-range", "0,0",
                           "--random-range", "in_5:9,9", "--save", path("out"), "--json", path("wide.json")});
  tooltest::expect_clean_exit(ran);
  EXPECT_TRUE(has_line(ran, "  input 0 " + long_name + ": uint8 [1], 1 B, from " + path("first.tensor")))
      << ran.out;
  EXPECT_TRUE(has_line(ran, "  output 0 gathered: uint8 [1, 1, 1, 1, 1, 1, 1, 2, 35], 70 B")) << ran.out;
  Bytes expected(vexo::samples::kWideInputs, 0);
  expected[0] = 7;
  expected[5] = 9;
  EXPECT_EQ(data_of(path("out/gathered.tensor")), expected);

  std::ifstream report(path("wide.json"));
  const nlohmann::json document = nlohmann::json::parse(report);
  ASSERT_EQ(document["inputs"].size(), vexo::samples::kWideInputs);
  EXPECT_EQ(document["inputs"][0]["name"], long_name);
  EXPECT_EQ(document["outputs"][0]["shape"], nlohmann::json({1, 1, 1, 1, 1, 1, 1, 2, 35}));
}

TEST_F(VexoRun, EveryStageMatchesItsReference) {
  for (const ReferenceCase& c : vexo::samples::general_reference_cases()) {
    const std::string dir = case_dir(c.net + "-" + std::to_string(c.stage));
    std::vector<std::string> args{model(), "--net", c.net, "--stage", std::to_string(c.stage), "--inputs"};
    for (const TensorData& input : c.inputs) args.push_back(dir + "/inputs/" + input.spec.name + ".tensor");
    args.insert(args.end(), {"--compare", dir + "/expected"});
    const Outcome outcome = run(args);
    tooltest::expect_clean_exit(outcome);
    for (size_t i = 0; i < c.expected.size(); ++i) {
      const std::string compared =
          "compared output " + std::to_string(i) + " " + c.expected[i].spec.name + ": match";
      EXPECT_NE(outcome.out.find(compared), std::string::npos) << outcome.out;
    }
  }
}

TEST_F(VexoRun, NetIsChosenByNameOrIndex) {
  const Outcome by_index = run({model(), "--net", "1", "--stage", "1"});
  tooltest::expect_clean_exit(by_index);
  EXPECT_TRUE(has_line(by_index, "net 1 reverse, stage 1")) << by_index.out;
  const Outcome by_name = run({model(), "--net", "pad"});
  tooltest::expect_clean_exit(by_name);
  EXPECT_TRUE(has_line(by_name, "net 2 pad, stage 0")) << by_name.out;
  EXPECT_TRUE(has_line(by_name, "  input 0 data: uint8 [4], 4 B, random, seed 0")) << by_name.out;
}

TEST_F(VexoRun, ACorruptedReferenceFailsAndShowsTheWorstDifference) {
  const std::string expected = copy_expected("embed-1");
  patch(expected + "/rows.tensor", kHeader + 5 * 2, Bytes{0x00, 0x3C});  // element 5 becomes 1.0
  patch(expected + "/valid.tensor", kHeader + 2 * 4, Bytes{7});          // element 2 becomes 7
  const Outcome outcome = run({model(), "--net", "embed", "--stage", "1", "--inputs",
                               case_dir("embed-1") + "/inputs/ids.tensor", "--compare", expected});
  tooltest::expect_one_error(outcome, "vexo-run", "2 of 2 outputs differ from the references in " + expected);
  // Element 5 is the second half of the row of id 12: 0x40C1, 2.376953125.
  EXPECT_TRUE(
      has_line(outcome,
               "compared output 0 rows: DIFFERS in 1 of 16 elements, worst difference 1.37695 at element 5: "
               "got 2.37695, expected 1"))
      << outcome.out;
  EXPECT_TRUE(
      has_line(outcome,
               "compared output 1 valid: DIFFERS in 1 of 4 elements, worst difference 6 at element 2: got 1, "
               "expected 7"))
      << outcome.out;
}

TEST_F(VexoRun, ToleranceIsAbsolutePlusRelative) {
  // Element 0 is 0x4050, 2.15625; one step of half precision there is
  // 2^-9, and the default tolerance allows 0.001 * (1 + 2.15625).
  const std::string expected = copy_expected("embed-0");
  const std::vector<std::string> args{
      model(), "--stage", "0", "--inputs", case_dir("embed-0") + "/inputs/ids.tensor", "--compare", expected};
  patch(expected + "/rows.tensor", kHeader, Bytes{0x51, 0x40});
  Outcome outcome = run(args);
  tooltest::expect_clean_exit(outcome);
  EXPECT_TRUE(has_line(
      outcome, "compared output 0 rows: match within 0.001, worst difference 0.00195312 at element 0"))
      << outcome.out;
  EXPECT_TRUE(has_line(outcome, "compared output 1 valid: match (exact)")) << outcome.out;

  patch(expected + "/rows.tensor", kHeader, Bytes{0x52, 0x40});  // two steps: 0.0039 > 0.00316
  tooltest::expect_one_error(run(args), "vexo-run", "1 of 2 outputs differ");
  std::vector<std::string> wider = args;
  wider.insert(wider.end(), {"--tolerance", "0.01"});
  tooltest::expect_clean_exit(run(wider));
}

TEST_F(VexoRun, SavedOutputsCompareEqualAndRandomDataFollowsTheSeed) {
  const std::vector<std::string> reverse{model(), "--net", "reverse"};
  const auto with = [&reverse](std::vector<std::string> extra) {
    extra.insert(extra.begin(), reverse.begin(), reverse.end());
    return extra;
  };
  const Outcome saved = run(with({"--random", "5", "--save", path("a")}));
  tooltest::expect_clean_exit(saved);
  EXPECT_TRUE(has_line(saved, "saved output 0 reversed to " + path("a") + "/reversed.tensor")) << saved.out;
  tooltest::expect_clean_exit(run(with({"--random", "5", "--save", path("b")})));
  tooltest::expect_clean_exit(run(with({"--random", "6", "--save", path("c")})));
  const Bytes a = read_bytes(path("a/reversed.tensor"));
  ASSERT_EQ(a.size(), kHeader + 32);
  EXPECT_EQ(a, read_bytes(path("b/reversed.tensor")));
  EXPECT_NE(a, read_bytes(path("c/reversed.tensor")));

  const Outcome same = run(with({"--random", "5", "--compare", path("a")}));
  tooltest::expect_clean_exit(same);
  EXPECT_TRUE(has_line(same, "compared output 0 reversed: match within 0.001")) << same.out;
  tooltest::expect_one_error(run(with({"--random", "6", "--compare", path("a")})), "vexo-run",
                             "1 of 1 outputs differ");
}

TEST_F(VexoRun, ZerosFillEveryInput) {
  const Outcome outcome = run({model(), "--net", "embed", "--stage", "1", "--zeros", "--save", path("z")});
  tooltest::expect_clean_exit(outcome);
  EXPECT_TRUE(has_line(outcome, "  input 0 ids: int32 [4], 16 B, zeros")) << outcome.out;
  Bytes rows;
  for (int k = 0; k < 4; ++k) {
    const Bytes row = vexo::samples::embed_row(0);
    rows.insert(rows.end(), row.begin(), row.end());
  }
  EXPECT_EQ(data_of(path("z/rows.tensor")), rows);
  EXPECT_EQ(data_of(path("z/valid.tensor")), vexo::samples::bytes_of(std::vector<int32_t>{1, 1, 1, 1}));
}

TEST_F(VexoRun, LoopsReportMinimumMedianAndMaximum) {
  const Outcome once = run({model(), "--net", "pad"});
  tooltest::expect_clean_exit(once);
  const Outcome many = run({model(), "--net", "pad", "--loops", "5"});
  tooltest::expect_clean_exit(many);
  const auto line_matching = [](const Outcome& outcome, const std::regex& pattern) {
    const std::vector<std::string> lines = tooltest::lines(outcome.out);
    return std::count_if(lines.begin(), lines.end(),
                         [&pattern](const std::string& line) { return std::regex_match(line, pattern); });
  };
  const std::string t = "[0-9]+\\.[0-9]+ (us|ms|s)";
  EXPECT_EQ(line_matching(once, std::regex("run: 1 loop: " + t)), 1) << once.out;
  EXPECT_EQ(line_matching(many, std::regex("run: 5 loops: min " + t + ", median " + t + ", max " + t)), 1)
      << many.out;
  EXPECT_EQ(many.err, "");  // no progress bar off a terminal
}

TEST_F(VexoRun, OutputFileNamesAreSanitisedAndMayNotCollide) {
  const std::string odd = changed_model(
      [](vexo::samples::ModelSpec& spec) { spec.nets[2].stages[0].outputs[0].name = "pad/out:1"; });
  const Outcome saved = run({odd, "--net", "pad", "--save", path("s")});
  tooltest::expect_clean_exit(saved);
  EXPECT_TRUE(fs::is_regular_file(path("s/pad_out_1.tensor")));
  tooltest::expect_clean_exit(run({odd, "--net", "pad", "--compare", path("s")}));

  const std::string clash = changed_model([](vexo::samples::ModelSpec& spec) {
    for (vexo::samples::StageSpec& stage : spec.nets[0].stages) {
      stage.outputs[0].name = "a/b";
      stage.outputs[1].name = "a_b";
    }
  });
  tooltest::expect_one_error(run({clash, "--zeros", "--save", path("t")}), "vexo-run",
                             "output 1 a_b would share the file name a_b.tensor with another output");
}

TEST_F(VexoRun, FourBitInputsAreRefusedRandomDataButTakeZeros) {
  // The generator would end the process for 4-bit types.
  const std::string int4 =
      changed_model([](vexo::samples::ModelSpec& spec) { spec.nets[2].stages[0].inputs[0].dtype = BM_INT4; });
  tooltest::expect_one_error(
      run({int4, "--net", "pad"}), "vexo-run",
      "cannot generate random int4 data for input 0 data: give it with --inputs, or use --zeros");
  tooltest::expect_clean_exit(run({int4, "--net", "pad", "--zeros"}));
}

TEST_F(VexoRun, ErrorsEndWithOneLine) {
  const std::string ids = case_dir("embed-1") + "/inputs/ids.tensor";
  const std::string rows = case_dir("reverse-0") + "/inputs/rows.tensor";
  Bytes cut = read_bytes(ids);
  cut.pop_back();
  write_bytes(path("short.tensor"), cut);
  write_bytes(path("tiny.tensor"), Bytes(10, 0));
  const std::string partial = copy_expected("embed-1");
  fs::remove(partial + "/valid.tensor");
  struct Case {
    std::vector<std::string> args;
    std::string text;
    int status = 1;
  };
  const std::vector<Case> cases{
      {{path("missing.bmodel")}, "cannot open " + path("missing.bmodel")},
      {{ids}, ids + " is not a model file: it does not start with the model files' magic number"},
      {{model(), "--net", "nope"}, "the model has no net called \"nope\" (its nets: embed, reverse, pad)"},
      {{model(), "--net", ""}, "the model has no net called \"\" (its nets: embed, reverse, pad)"},
      {{model(), "--net", "3"}, "net index 3 is out of range: the model has 3 nets (0 to 2)"},
      {{model(), "--net", "184467440737095516160"}, "net index 184467440737095516160 is out of range"},
      {{model(), "--net", "embed", "--stage", "2"},
       "stage 2 is out of range: net embed has 2 stages (0 to 1)"},
      {{model(), "--net", "pad", "--stage", "1"}, "stage 1 is out of range: net pad has 1 stage (0 to 0)"},
      {{model(), "--stage", "-1"}, "--stage", 2},
      {{model(), "--stage", "1", "--inputs", rows},
       rows + " does not hold a tensor that fits input 0 ids (int32 [4], 16 B)"},
      {{model(), "--stage", "1", "--inputs", ids, ids},
       "2 input files given, but the stage takes 1 (ids): one file per input, in input order"},
      {{model(), "--stage", "1", "--inputs", path("short.tensor")},
       "does not hold a tensor that fits input 0 ids"},
      {{model(), "--stage", "1", "--inputs", path("tiny.tensor")},
       "does not hold a tensor that fits input 0 ids"},
      {{model(), "--stage", "1", "--inputs", path("none.tensor")}, "cannot open " + path("none.tensor")},
      {{model(), "--stage", "1", "--compare", partial},
       "no reference for output 1 valid: " + partial + "/valid.tensor does not exist"},
      {{model(), "--random", "1", "--zeros"}, "excludes", 2},
      {{model(), "--inputs", ids, "--zeros"}, "excludes", 2},
      {{model(), "--list", "--net", "pad"}, "excludes", 2},
      {{model(), "--tolerance", "0.1"}, "requires --compare", 2},
      {{model(), "--loops", "0"}, "--loops", 2},
      {{model(), "--device", "7"}, "cannot load " + model() + " on device 7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    tooltest::expect_one_error(run(c.args), "vexo-run", c.text, c.status);
  }
}

// An id beyond the 16-row embedding table makes the device refuse the run.
TEST_F(VexoRun, ARefusedRunEndsWithOneLine) {
  const std::string ids = path("beyond.tensor");
  fs::copy(case_dir("embed-1") + "/inputs/ids.tensor", ids);
  patch(ids, kHeader + 4, Bytes{16, 0, 0, 0});
  tooltest::expect_one_error(run({model(), "--stage", "1", "--inputs", ids}), "vexo-run",
                             "run 1 of the stage failed");
}

size_t lines_matching(const Outcome& outcome, const std::string& pattern) {
  const std::regex re(pattern);
  const std::vector<std::string> lines = tooltest::lines(outcome.out);
  return static_cast<size_t>(std::count_if(
      lines.begin(), lines.end(), [&re](const std::string& line) { return std::regex_match(line, re); }));
}

nlohmann::json read_json(const std::string& path) {
  std::ifstream in(path);
  return nlohmann::json::parse(in);
}

const std::string kTime = "[0-9]+\\.[0-9]+ (us|ms|s)";

void expect_ordered_figures(const nlohmann::json& runs) {
  const double min = runs["min_seconds"], median = runs["median_seconds"], p90 = runs["p90_seconds"],
               p99 = runs["p99_seconds"], max = runs["max_seconds"], mean = runs["mean_seconds"];
  EXPECT_LE(min, median);
  EXPECT_LE(median, p90);
  EXPECT_LE(p90, p99);
  EXPECT_LE(p99, max);
  EXPECT_LE(min, mean);
  EXPECT_LE(mean, max);
  EXPECT_GE(runs["stddev_seconds"].get<double>(), 0);
  EXPECT_GT(runs["runs_per_second"].get<double>(), 0);
}

TEST_F(VexoRun, BenchmarkReportsWarmUpFirstRunStatisticsAndJson) {
  const std::string report = path("report.json");
  const Outcome counted = run({model(), "--net", "pad", "--warmup", "2", "--loops", "7", "--json", report});
  tooltest::expect_clean_exit(counted);
  EXPECT_EQ(lines_matching(counted, "first run: " + kTime), 1u) << counted.out;
  EXPECT_TRUE(has_line(counted, "warm-up: 2 runs, not counted")) << counted.out;
  EXPECT_EQ(lines_matching(counted, "run: 7 loops: min " + kTime + ", median " + kTime + ", max " + kTime),
            1u);
  EXPECT_EQ(lines_matching(counted, "  mean " + kTime + ", standard deviation " + kTime + ", p90 " + kTime +
                                        ", p99 " + kTime + ", [0-9]+\\.[0-9] runs per second"),
            1u)
      << counted.out;

  const nlohmann::json d = read_json(report);
  EXPECT_EQ(d["schema"], 1);
  EXPECT_EQ(d["tool"], "vexo-run");
  EXPECT_FALSE(d["version"].get<std::string>().empty());
  EXPECT_EQ(d["model"], model());
  EXPECT_EQ(d["net"], (nlohmann::json{{"index", 2}, {"name", "pad"}}));
  EXPECT_EQ(d["stage"], 0);
  EXPECT_EQ(d["device"], 0);
  EXPECT_EQ(d["inputs"],
            nlohmann::json::parse(R"([{"name": "data", "dtype": "uint8", "shape": [4], "bytes": 4,
                                                    "source": "random, seed 0"}])"));
  EXPECT_EQ(d["outputs"],
            nlohmann::json::parse(R"([{"name": "padded", "dtype": "uint8", "shape": [8], "bytes": 8}])"));
  EXPECT_GT(d["load_seconds"].get<double>(), 0);
  EXPECT_GT(d["first_run_seconds"].get<double>(), 0);
  EXPECT_EQ(d["warmup_runs"], 2);
  EXPECT_EQ(d["runs"]["count"], 7);
  expect_ordered_figures(d["runs"]);
  EXPECT_EQ(d["interrupted"], false);
  EXPECT_TRUE(d["signal"].is_null());

  // By time, without warm-up: at least one counted run.
  const Outcome timed =
      run({model(), "--net", "pad", "--warmup", "0", "--duration", "0.05", "--json", report});
  tooltest::expect_clean_exit(timed);
  EXPECT_EQ(lines_matching(timed, "warm-up: .*"), 0u) << timed.out;
  const nlohmann::json t = read_json(report);
  EXPECT_EQ(t["warmup_runs"], 0);
  EXPECT_GE(t["runs"]["count"].get<size_t>(), 1u);
  expect_ordered_figures(t["runs"]);

  tooltest::expect_one_error(run({model(), "--loops", "3", "--duration", "1"}), "vexo-run", "excludes", 2);
  tooltest::expect_one_error(run({model(), "--warmup", "-1"}), "vexo-run",
                             "--warmup: -1 is out of range: give a whole number from 0 to 10000000", 2);
  tooltest::expect_one_error(run({model(), "--loops", "2x"}), "vexo-run", "--loops: \"2x\" is not an integer",
                             2);
  tooltest::expect_one_error(run({model(), "--device", "4294967296"}), "vexo-run",
                             "--device: 4294967296 is out of range: give a whole number of 0 or more", 2);
}

TEST_F(VexoRun, AStopSignalEndsTheLoopWithTheStatisticsOfTheRunsDone) {
  const std::string report = path("stopped.json");
  for (const int signal : {SIGINT, SIGTERM}) {
    const std::string name = signal == SIGINT ? "SIGINT" : "SIGTERM";
    SCOPED_TRACE(name);
    // Standard output is a file: "first run" must be there while the loop
    // still runs.
    const Outcome outcome = tooltest::run_until(
        dir(), kRun, {model(), "--net", "pad", "--duration", "60", "--json", report, "--save", path("s")},
        "first run:", signal);
    ASSERT_TRUE(outcome.exited) << "ended by signal " << outcome.signal;
    EXPECT_EQ(outcome.status, 128 + signal);
    EXPECT_EQ(outcome.err, "");
    const nlohmann::json d = read_json(report);
    const size_t runs = d["runs"]["count"];
    EXPECT_TRUE(has_line(outcome, "interrupted by " + name + " after " + std::to_string(runs) +
                                      (runs == 1 ? " counted run" : " counted runs")))
        << outcome.out;
    EXPECT_EQ(lines_matching(outcome, "run: [0-9]+ loops?: .*"), runs ? 1u : 0u) << outcome.out;
    EXPECT_EQ(d["interrupted"], true);
    EXPECT_EQ(d["signal"], name);
    EXPECT_FALSE(fs::exists(path("s/padded.tensor")));  // an interrupted run saves nothing
  }
}

TEST_F(VexoRun, GeneratedInputsTakeRangesAndNamedFilesFillSomeInputs) {
  // Every id 5: four rows of embedding row 5.
  const Outcome fives =
      run({model(), "--net", "embed", "--stage", "1", "--random-range", "5,5", "--save", path("a")});
  tooltest::expect_clean_exit(fives);
  EXPECT_TRUE(has_line(fives, "  input 0 ids: int32 [4], 16 B, random, seed 0, range 5,5")) << fives.out;
  Bytes rows;
  for (int k = 0; k < 4; ++k) {
    const Bytes row = vexo::samples::embed_row(5);
    rows.insert(rows.end(), row.begin(), row.end());
  }
  EXPECT_EQ(data_of(path("a/rows.tensor")), rows);
  // Ids from 0 to 3, the input's own range winning over the one for all.
  tooltest::expect_clean_exit(
      run({model(), "--net", "embed", "--stage", "1", "--random", "9", "--random-range", "100,200",
           "--random-range", "ids:0.5,3.9", "--save", path("b")}));
  const Bytes got = data_of(path("b/rows.tensor"));
  ASSERT_EQ(got.size(), 32u);
  for (size_t k = 0; k < 4; ++k) {
    const Bytes row(got.begin() + k * 8, got.begin() + k * 8 + 8);
    EXPECT_TRUE(row == vexo::samples::embed_row(1) || row == vexo::samples::embed_row(2) ||
                row == vexo::samples::embed_row(3))
        << k;
  }
  // Half-precision values within the range; 2.5 exactly when it is all.
  tooltest::expect_clean_exit(
      run({model(), "--net", "reverse", "--random-range", "-0.5,0.5", "--save", path("c")}));
  Bytes halves = data_of(path("c/reversed.tensor"));
  std::vector<float> values(16);
  data_convert_to_fp32(halves.data(), values.data(), BM_FLOAT16, values.size());
  for (float v : values) EXPECT_TRUE(v >= -0.5f && v <= 0.5f) << v;
  tooltest::expect_clean_exit(
      run({model(), "--net", "reverse", "--random-range", "rows:2.5,2.5", "--save", path("d")}));
  EXPECT_EQ(data_of(path("d/reversed.tensor")), vexo::samples::bytes_of(std::vector<uint16_t>(16, 0x4100)));

  // A second input that the stage does not read: one input from a file by
  // name, the other generated.
  const std::string two = changed_model([](vexo::samples::ModelSpec& spec) {
    vexo::samples::StageSpec& pad = spec.nets[2].stages[0];
    pad.inputs.push_back(pad.inputs[0]);
    pad.inputs[1].name = "extra";
    pad.inputs[1].addr += 0x18;
  });
  const std::string data = case_dir("pad-0") + "/inputs/data.tensor";
  const Outcome named = run(
      {two, "--net", "pad", "--inputs", "data=" + data, "--random-range", "extra:7,7", "--save", path("e")});
  tooltest::expect_clean_exit(named);
  EXPECT_TRUE(has_line(named, "  input 0 data: uint8 [4], 4 B, from " + data)) << named.out;
  EXPECT_TRUE(has_line(named, "  input 1 extra: uint8 [4], 4 B, random, seed 0, range 7,7")) << named.out;
  EXPECT_EQ(data_of(path("e/padded.tensor")), (Bytes{0x11, 0x22, 0x33, 0x44, 0xEE, 0xEE, 0xEE, 0xEE}));

  struct Case {
    std::vector<std::string> args;
    std::string text;
    int status;
  };
  const std::vector<Case> cases{
      {{model(), "--net", "pad", "--random-range", "0,256"},
       "the range 0,256 does not fit uint8 input 0 data",
       1},
      {{model(), "--net", "pad", "--random-range", "1.2,1.8"},
       "the range 1.2,1.8 holds no integer for input 0 data",
       1},
      {{model(), "--net", "pad", "--random-range", "nope:1,2"},
       "--random-range names nope, which is not an input",
       2},
      {{model(), "--random-range", "3,1"}, "--random-range 3,1: the low end is above the high end", 2},
      {{model(), "--random-range", "1"}, "--random-range 1 is not [NAME:]LO,HI with two numbers", 2},
      {{model(), "--random-range", "1,2", "--zeros"}, "excludes", 2},
      {{two, "--net", "pad", "--inputs", "data=" + data, data}, "--inputs mixes NAME=FILE entries", 2},
      {{two, "--net", "pad", "--inputs", "data=" + data, "data=" + data}, "--inputs names data twice", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    tooltest::expect_one_error(run(c.args), "vexo-run", c.text, c.status);
  }
}

TEST_F(VexoRun, SaveAndCompareOfOneFolderAreRefusedBeforeAnythingIsWritten) {
  const std::string references = copy_expected("pad-0");
  const Bytes before = read_bytes(references + "/padded.tensor");
  for (const std::string& same :
       {references, references + "/", references + "/../" + fs::path(references).filename().string()}) {
    tooltest::expect_one_error(run({model(), "--net", "pad", "--save", same, "--compare", references}),
                               "vexo-run", "--save and --compare name the same folder " + same, 2);
  }
  EXPECT_EQ(read_bytes(references + "/padded.tensor"), before);
  const std::string fresh = path("fresh");
  tooltest::expect_one_error(run({model(), "--net", "pad", "--save", fresh, "--compare", fresh + "/."}),
                             "vexo-run", "name the same folder", 2);
  EXPECT_FALSE(fs::exists(fresh));
}

}  // namespace
