// Opening a model of 1,000 networks of 4 stages and reading every payload
// range, against reading the whole file sequentially in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bmodel/bmodel.h"

namespace {

constexpr int kNets = 1000;
constexpr int kStages = 4;
constexpr uint64_t kGdmaCommand = 96;
constexpr uint64_t kGdmaCommands = 32;

std::vector<uint8_t> bytes_for(uint64_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

std::unique_ptr<bmodel::Binary> write(bmodel::ModelGen& gen, uint64_t size, uint32_t seed) {
  const std::vector<uint8_t> bytes = bytes_for(size, seed);
  return std::make_unique<bmodel::Binary>(gen.WriteBinary(bytes.size(), bytes.data()));
}

std::unique_ptr<bmodel::TensorT> tensor(const std::string& name, uint64_t batch) {
  auto t = std::make_unique<bmodel::TensorT>();
  t->name = name;
  auto shape = std::make_unique<bmodel::ShapeT>();
  shape->dim = {batch, 3, 224, 224};
  t->shape.push_back(std::move(shape));
  return t;
}

// The model file, written once per run and removed at exit.
class ModelFile {
 public:
  ModelFile() {
    char name[] = "/tmp/bmodel_bench_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    path_ = name;
    bmodel::ModelGen gen(64u << 20);
    gen.AddChip("BM1684X");
    uint32_t seed = 0;
    for (int n = 0; n < kNets; ++n) {
      for (int s = 0; s < kStages; ++s) {
        bmodel::NetParameterT stage;
        stage.input_tensor.push_back(tensor("input", s + 1));
        stage.output_tensor.push_back(tensor("output", s + 1));
        for (int g = 0; g < 2; ++g) {
          auto group = std::make_unique<bmodel::CmdGroupT>();
          group->binary_bdc = write(gen, 1024, ++seed);
          group->binary_gdma = write(gen, kGdmaCommand * kGdmaCommands, ++seed);
          stage.cmd_group.push_back(std::move(group));
        }
        stage.coeff_mem = std::make_unique<bmodel::CoeffMemT>();
        stage.coeff_mem->binary_coeff = write(gen, 8192, ++seed);
        gen.AddNet("net" + std::to_string(n), bmodel::NetParameter::Pack(gen.Builder(), &stage));
      }
    }
    gen.Finish(path_);
  }
  ~ModelFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const ModelFile& model_file() {
  static const ModelFile file;
  return file;
}

// Visits every range of the model: command groups, then coefficients.
template <typename F>
void for_each_range(const bmodel::Model* model, F&& f) {
  for (const bmodel::Net* net : *model->net()) {
    for (const bmodel::NetParameter* stage : *net->parameter()) {
      for (const bmodel::CmdGroup* group : *stage->cmd_group()) {
        f(group->binary_bdc(), false);
        f(group->binary_gdma(), true);
      }
      f(stage->coeff_mem()->binary_coeff(), false);
    }
  }
}

void BM_ReadWholeFileSequentially(benchmark::State& state) {
  const std::string& path = model_file().path();
  std::vector<uint8_t> buffer(1 << 20);
  int64_t bytes = 0;
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_RDONLY);
    ssize_t n;
    while ((n = read(fd, buffer.data(), buffer.size())) > 0) bytes += n;
    close(fd);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_ReadWholeFileSequentially)->Unit(benchmark::kMillisecond);

// Opens the model and reads every range. With by_command set, GDMA streams
// are read one 96-byte command at a time, as the execution core reads them
// for relocation; other ranges are read whole.
void BM_OpenAndReadEveryRange(benchmark::State& state) {
  const bool by_command = state.range(0) != 0;
  const std::string& path = model_file().path();
  std::vector<uint8_t> buffer(1 << 20);
  int64_t bytes = 0;
  for (auto _ : state) {
    bmodel::ModelCtx ctx(path);
    for_each_range(ctx.model(), [&](const bmodel::Binary* range, bool gdma) {
      const uint64_t step = gdma && by_command ? kGdmaCommand : range->size();
      for (uint64_t offset = 0; offset < range->size(); offset += step) {
        ctx.read_binary(range, offset, buffer.data() + offset, step);
      }
      bytes += static_cast<int64_t>(range->size());
    });
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_OpenAndReadEveryRange)
    ->ArgName("gdma_by_command")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

// The same reads with one pread per command: the cost that the reader's
// read-ahead window avoids.
void BM_GdmaByCommandOnePreadEach(benchmark::State& state) {
  const std::string& path = model_file().path();
  bmodel::ModelCtx ctx(path);
  const uint64_t payload = uint64_t{ctx.header().header_size} + ctx.header().flatbuffers_size;
  std::vector<uint8_t> buffer(1 << 20);
  int64_t bytes = 0;
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_RDONLY);
    for_each_range(ctx.model(), [&](const bmodel::Binary* range, bool gdma) {
      const uint64_t step = gdma ? kGdmaCommand : range->size();
      for (uint64_t offset = 0; offset < range->size(); offset += step) {
        if (pread(fd, buffer.data() + offset, step, static_cast<off_t>(payload + range->start() + offset)) !=
            static_cast<ssize_t>(step)) {
          state.SkipWithError("short read");
        }
      }
      bytes += static_cast<int64_t>(range->size());
    });
    close(fd);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_GdmaByCommandOnePreadEach)->Unit(benchmark::kMillisecond);

}  // namespace
