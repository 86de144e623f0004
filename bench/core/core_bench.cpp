// The execution core against what the same work costs done directly:
//   - loading a model with 1 GiB of coefficients, beside reading the file
//     into memory and copying it into device memory;
//   - the same load from a cold page cache, beside a cold sequential read of
//     the file and a copy of its coefficient bytes into device memory;
//   - uploading and relocating a stage of 1,000,000 GDMA commands, beside
//     reading the same bytes in one read and relocating them in memory;
//   - run_model of a one-command stage, beside tpu_kernel_launch of the same
//     record.
// The load also reports its peak heap (every operator new of the process).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bmodel/bmodel.h"
#include "heap_counter.h"
#include "src/core/model_steps.h"
#include "samples/model_builder.h"
#include "utils/device.h"

namespace {

using namespace vexo::samples;

const std::string kDir = "/tmp";

std::string temp_path(const std::string& name) { return kDir + "/vexo-core-bench-" + name + ".bmodel"; }

// One net of one static stage; `coeff` bytes of coefficients and the given
// GDMA commands, which copy inside the activation area.
StageSpec stage_with(Bytes coeff, std::vector<Gdma> commands) {
  StageSpec s;
  s.inputs = {TensorSpec{"in", 3, {64}, 0x100000}};
  s.outputs = {TensorSpec{"out", 3, {64}, 0x100040}};
  s.ctx_addr = 0x100000;
  s.ctx_sizes = {0x1000};
  s.coeff_addr = 0x1000;
  s.coeff = std::move(coeff);
  s.groups = {GroupSpec{{Bdc{}}, std::move(commands)}};
  return s;
}

Bytes random_bytes(size_t size, uint32_t seed) {
  Bytes bytes(size);
  std::mt19937_64 random(seed);
  for (size_t i = 0; i + 8 <= size; i += 8) {
    const uint64_t v = random();
    std::memcpy(bytes.data() + i, &v, 8);
  }
  return bytes;
}

// 8 nets of 128 MiB of coefficients each.
const std::string& huge_model() {
  static const std::string path = [] {
    ModelSpec spec;
    for (uint32_t n = 0; n < 8; ++n) {
      spec.nets.push_back(NetSpec{"net" + std::to_string(n), 0,
                                  {stage_with(random_bytes(128u << 20, n), {gdma_copy(0x100000, 0x100040, 1, 64)})}});
    }
    save_model(spec, temp_path("huge"));
    return temp_path("huge");
  }();
  return path;
}

void BM_LoadHugeModel(benchmark::State& state) {
  const std::string& path = huge_model();
  size_t peak = 0;
  for (auto _ : state) {
    vexobench::reset_heap_peak();
    const size_t before = vexobench::heap_live_bytes();
    divudida::ModelInfo model = divudida::load_model(path.c_str(), 0);
    peak = std::max(peak, vexobench::heap_peak_bytes() - before);
    state.PauseTiming();
    divudida::free_model(model);
    state.ResumeTiming();
  }
  state.counters["peak_heap_MiB"] = static_cast<double>(peak) / (1 << 20);
  state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

// Drops the file's pages from the page cache: written back first, so that
// the kernel may release them all, then released; needs no privileges.
// Returns the bytes still resident afterwards, to show whether it worked.
size_t drop_from_page_cache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) std::abort();
  struct stat st {};
  fstat(fd, &st);
  const size_t size = static_cast<size_t>(st.st_size);
  fsync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  size_t resident = 0;
  if (void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0); map != MAP_FAILED) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> pages((size + page - 1) / page);
    if (mincore(map, size, pages.data()) == 0) {
      for (unsigned char p : pages) resident += (p & 1) ? page : 0;
    }
    munmap(map, size);
  }
  close(fd);
  return resident;
}

constexpr size_t kBlock = 32u << 20;

// What is left in the page cache after the drops, over all repetitions.
void count_resident(benchmark::State& state, size_t resident) {
  state.counters["resident_after_drop_MiB"] = static_cast<double>(resident) / (1 << 20);
}

void BM_ColdLoadHugeModel(benchmark::State& state) {
  const std::string& path = huge_model();
  size_t resident = 0;
  for (auto _ : state) {
    state.PauseTiming();
    resident = std::max(resident, drop_from_page_cache(path));
    state.ResumeTiming();
    divudida::ModelInfo model = divudida::load_model(path.c_str(), 0);
    state.PauseTiming();
    divudida::free_model(model);
    state.ResumeTiming();
  }
  count_resident(state, resident);
  state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

// The whole file read cold, in blocks of the load's size, into one buffer.
void BM_ColdReadHugeFile(benchmark::State& state) {
  const std::string& path = huge_model();
  const std::unique_ptr<char[]> buffer(new char[kBlock]());
  size_t resident = 0;
  for (auto _ : state) {
    state.PauseTiming();
    resident = std::max(resident, drop_from_page_cache(path));
    state.ResumeTiming();
    const int fd = open(path.c_str(), O_RDONLY);
    while (read(fd, buffer.get(), kBlock) > 0) {
    }
    close(fd);
  }
  count_resident(state, resident);
  state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

// The load's device side alone: 1 GiB copied into one device area in blocks
// from one host buffer, as the load copies it.
void BM_CopyHugeToDevice(benchmark::State& state) {
  bm_handle_t handle = get_handle(0);
  const std::unique_ptr<char[]> buffer(new char[kBlock]());
  constexpr size_t kSize = size_t{1} << 30;
  sg_device_mem_t mem{};
  sg_malloc_device_byte(handle, &mem, kSize);
  for (auto _ : state) {
    for (size_t done = 0; done < kSize; done += kBlock) {
      sg_device_mem_t part = mem;
      part.u.device.device_addr += done;
      part.size -= done;
      sg_memcpy_s2d_partial(handle, part, buffer.get(), kBlock);
    }
  }
  sg_free_device(handle, mem);
  free_handle(handle);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kSize));
}

// The file read whole into a host buffer and copied into one device area;
// both are obtained, and their pages touched, before the timing.
void BM_LoadHugeBaseline(benchmark::State& state) {
  const std::string& path = huge_model();
  bm_handle_t handle = get_handle(0);
  const size_t size = static_cast<size_t>(std::ifstream(path, std::ios::binary | std::ios::ate).tellg());
  const std::unique_ptr<char[]> buffer(new char[size]());
  sg_device_mem_t mem{};
  sg_malloc_device_byte(handle, &mem, size);
  sg_memcpy_s2d_partial(handle, mem, buffer.get(), size);
  for (auto _ : state) {
    std::ifstream in(path, std::ios::binary);
    in.read(buffer.get(), static_cast<std::streamsize>(size));
    sg_memcpy_s2d_partial(handle, mem, buffer.get(), size);
  }
  sg_free_device(handle, mem);
  free_handle(handle);
  state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

constexpr uint32_t kCommands = 1000000;

const std::string& command_model() {
  static const std::string path = [] {
    std::vector<Gdma> commands;
    for (uint32_t i = 0; i < kCommands - 1; ++i) commands.push_back(gdma_copy(0x100000 + i % 64, 0x100800, 1, 4));
    ModelSpec spec;
    spec.nets.push_back(NetSpec{"net", 0, {stage_with({}, std::move(commands))}});
    save_model(spec, temp_path("commands"));
    return temp_path("commands");
  }();
  return path;
}

// A parsed model with its areas and offsets, ready for the command upload.
divudida::ModelInfo placed_model(const std::string& path) {
  divudida::ModelInfo model = divudida::read_bmodel(path.c_str(), 0);
  divudida::malloc_coeff_neuron_on_device_and_set_offset(&model);
  return model;
}

void BM_UploadMillionCommands(benchmark::State& state) {
  divudida::ModelInfo model = placed_model(command_model());
  auto& stage = model.nets[0].stages[0];
  for (auto _ : state) {
    divudida::bdc_gdma_to_device(&model);
    state.PauseTiming();
    bm_free_device(model.bm_handle, stage.bdc_cmd_device);
    bm_free_device(model.bm_handle, stage.gdma_cmd_device);
    stage.bdc_cmd_device = stage.gdma_cmd_device = bm_device_mem_t{};
    state.ResumeTiming();
  }
  divudida::free_model(model);
  state.SetItemsProcessed(state.iterations() * kCommands);
}

// The same bytes read in one read and relocated in memory. With `warm`, the
// host buffer is allocated and touched once, before the timing; otherwise it
// is allocated per upload, as the upload itself does.
void upload_baseline(benchmark::State& state, bool warm) {
  divudida::ModelInfo model = placed_model(command_model());
  const auto& group = model.nets[0].stages[0].cmd_group[0];
  const bmodel::Binary range(group.gdma_cmd.start, group.gdma_cmd.size);
  std::unique_ptr<uint8_t[]> buffer;
  if (warm) buffer.reset(new uint8_t[range.size()]());
  for (auto _ : state) {
    if (!warm) buffer.reset(new uint8_t[range.size()]);
    model.model_ctx->read_binary(&range, buffer.get());
    for (uint32_t k = 0; k < group.gdma_num; ++k) {
      divudida::convert_gdma_cmd(&model.nets[0], reinterpret_cast<uint32_t*>(buffer.get() + 96 * k),
                                 k + 1 == group.gdma_num, 0);
    }
    benchmark::DoNotOptimize(buffer.get());
  }
  divudida::free_model(model);
  state.SetItemsProcessed(state.iterations() * kCommands);
}

void BM_UploadMillionCommandsBaseline(benchmark::State& state) { upload_baseline(state, false); }
void BM_UploadMillionCommandsWarmBaseline(benchmark::State& state) { upload_baseline(state, true); }

const std::string& one_command_model() {
  static const std::string path = [] {
    ModelSpec spec;
    spec.nets.push_back(NetSpec{"net", 0, {stage_with({}, {gdma_copy(0x100000, 0x100040, 1, 64)})}});
    save_model(spec, temp_path("one"));
    return temp_path("one");
  }();
  return path;
}

void BM_RunModel(benchmark::State& state) {
  divudida::ModelInfo model = divudida::load_model(one_command_model().c_str(), 0);
  for (auto _ : state) divudida::run_model(model, 0, 0);
  divudida::free_model(model);
}

void BM_RunModelBaseline(benchmark::State& state) {
  divudida::ModelInfo model = divudida::load_model(one_command_model().c_str(), 0);
  auto& api = model.nets[0].stages[0].api_info;
  for (auto _ : state) {
    tpu_kernel_launch(model.bm_handle, api.api_id, api.api_data[0].data(), api.api_data[0].size());
  }
  divudida::free_model(model);
}

}  // namespace

BENCHMARK(BM_LoadHugeBaseline)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LoadHugeModel)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LoadHugeBaseline)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ColdReadHugeFile)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CopyHugeToDevice)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ColdLoadHugeModel)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ColdReadHugeFile)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_UploadMillionCommandsBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UploadMillionCommands)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UploadMillionCommandsWarmBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RunModelBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RunModel)->Unit(benchmark::kMicrosecond);
