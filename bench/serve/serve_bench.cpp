// vexo-serve over loopback with 1 and 2 simulated devices, beside the same
// generations made by direct calls of the generation sessions in the same
// run. One iteration is a batch of streamed completions sent by one client
// thread per device; the figures are requests per second and percentiles
// of the time to the first token (for the server: from sending the request
// to the first event; for the direct calls: from the start of the prompt).
// Then v2 inference of a general net over loopback, with JSON and with
// binary bodies, beside direct runs of the same stage in the same run.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "llm/generation.h"
#include "llm/llmruntime.h"
#include "runtime/miniruntime.h"
#include "samples/samples.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBatch = 32;     // requests per iteration
constexpr size_t kMaxTokens = 16;  // tokens per request
constexpr int kIterations = 20;

// The model and tokenizer, written once per run.
struct Files {
  std::string dir, model, tokenizer, general;
  Files() {
    setenv("LOG_LEVEL", "2", 0);  // warnings and errors only, as the server logs
    char name[] = "/tmp/vexo-serve-bench-XXXXXX";
    if (!mkdtemp(name)) throw std::runtime_error("cannot make a scratch folder");
    dir = name;
    model = dir + "/llm.bmodel";
    tokenizer = dir + "/tokenizer.model";
    vexo::samples::LlmOptions options;
    options.logits_head = true;
    options.seq_len = 128;
    vexo::samples::save_model(vexo::samples::llm_sample(options), model);
    vexo::samples::write_llm_tokenizer(tokenizer);
    general = dir + "/general.bmodel";
    vexo::samples::save_model(vexo::samples::general_sample(), general);
  }
  ~Files() {
    std::remove(model.c_str());
    std::remove(tokenizer.c_str());
    std::remove(general.c_str());
    rmdir(dir.c_str());
  }
};
const Files& files() {
  static const Files instance;
  return instance;
}

// The prompt of request i: none extends another's, so every request feeds
// its whole prompt, on the server as in the direct calls.
std::vector<int> prompt(size_t i) {
  return {static_cast<int>(7 * i % 61 + 3), static_cast<int>(3 * i % 59 + 1), 5, 9};
}

// One vexo-serve process, ended with SIGTERM when the run ends.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& devices) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("no pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args{VEXO_SERVE_PATH, files().model, "--tokenizer", files().tokenizer,
                                  "--devices", devices, "--port", "0", "--model", "general=" + files().general};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    setenv("VEXO_SIM_DEVICES", "2", 1);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
      throw std::runtime_error("cannot start vexo-serve");
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    FILE* lines = fdopen(out[0], "r");
    char line[256];
    while (std::fgets(line, sizeof line, lines)) {
      std::sscanf(line, "vexo-serve: listening on http://127.0.0.1:%d", &port_);
      if (std::string(line).rfind("vexo-serve: ready", 0) == 0) break;
    }
    std::fclose(lines);
    if (port_ <= 0) throw std::runtime_error("vexo-serve did not start");
  }
  ~ServerProcess() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

ServerProcess& server(int devices) {
  static std::map<int, std::unique_ptr<ServerProcess>> servers;
  auto& slot = servers[devices];
  if (!slot) slot = std::make_unique<ServerProcess>(devices == 1 ? "0" : "0,1");
  return *slot;
}

// Requests per second, and percentiles of the times measured (named `what`).
void report(benchmark::State& state, std::vector<double>& first_token_ms, const std::string& what) {
  std::sort(first_token_ms.begin(), first_token_ms.end());
  const auto at = [&](double q) { return first_token_ms[static_cast<size_t>(q * (first_token_ms.size() - 1))]; };
  state.counters["requests_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kBatch), benchmark::Counter::kIsRate);
  state.counters[what + "_p50_ms"] = at(0.5);
  state.counters[what + "_p90_ms"] = at(0.9);
  state.counters[what + "_p99_ms"] = at(0.99);
}

double millis_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Runs the batch with one thread per device, each taking the next request.
template <typename Run>
void batch(int threads, std::vector<double>& first_token_ms, Run run) {
  std::atomic<size_t> next{0};
  std::mutex mutex;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      for (size_t i; (i = next++) < kBatch;) {
        const double ms = run(t, i);
        std::lock_guard<std::mutex> lock(mutex);
        first_token_ms.push_back(ms);
      }
    });
  }
  for (std::thread& thread : pool) thread.join();
}

// Warms both ends with one batch, then measures a batch per iteration.
template <typename Run>
void measure(benchmark::State& state, int threads, Run run, const std::string& what) {
  std::vector<double> ms;
  batch(threads, ms, run);
  ms.clear();
  for (auto _ : state) batch(threads, ms, run);
  report(state, ms, what);
}

void BM_Server(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  const int port = server(devices).port();
  std::vector<std::unique_ptr<httplib::Client>> clients;
  for (int t = 0; t < devices; ++t) {
    clients.push_back(std::make_unique<httplib::Client>("127.0.0.1", port));
    clients.back()->set_tcp_nodelay(true);
  }
  const auto run = [&](int t, size_t i) {
      std::string body = "{\"prompt\": [";
      for (const int id : prompt(i)) body += std::to_string(id) + ",";
      body.back() = ']';
      body += ", \"max_tokens\": " + std::to_string(kMaxTokens) + ", \"temperature\": 0, \"stream\": true}";
      httplib::Request request;
      request.method = "POST";
      request.path = "/v1/completions";
      request.body = body;
      request.set_header("Content-Type", "application/json");
      double first = -1;
      const Clock::time_point start = Clock::now();
      request.content_receiver = [&](const char*, size_t, uint64_t, uint64_t) {
        if (first < 0) first = millis_since(start);
        return true;
      };
      const httplib::Result result = clients[t]->send(request);
      if (!result || result->status != 200) throw std::runtime_error("a request failed");
      return first;
  };
  measure(state, devices, run, "ttft");
}

// The same generations, each device's session driven directly.
void BM_Direct(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  files();
  setenv("VEXO_SIM_DEVICES", "2", 1);
  llm_tokenizer* tokenizer = llm_tokenizer_load(files().tokenizer.c_str());
  std::vector<llmbase> models;
  std::vector<llm_session*> sessions;
  for (int d = 0; d < devices; ++d) {
    models.push_back(llmrun::llm_init(files().model.c_str(), d));
    sessions.push_back(llm_session_create(models.back(), tokenizer));
  }
  const auto run = [&](int t, size_t i) {
      const std::vector<int> ids = prompt(i);
      llm_request request;
      llm_request_defaults(&request);
      request.max_new = kMaxTokens;
      const Clock::time_point start = Clock::now();
      if (!llm_session_start(sessions[t], ids.data(), ids.size(), &request))
        throw std::runtime_error("a generation failed");
      llm_piece piece;
      double first = -1;
      while (llm_session_step(sessions[t], &piece) == 1) {
        if (first < 0) first = millis_since(start);
        benchmark::DoNotOptimize(piece.text);
      }
      return first < 0 ? millis_since(start) : first;
  };
  measure(state, devices, run, "ttft");
  for (int d = 0; d < devices; ++d) {
    llm_session_free(sessions[d]);
    llmrun::llm_free(models[d]);
  }
  llm_tokenizer_free(tokenizer);
}

// v2 inference: net "embed", stage 1 (4 INT32 ids in; 4 rows of 4 FP16 and
// 4 INT32 out), one client thread per device; the time per request goes in
// the percentile counters.
const char kIdsJson[] =
    R"({"inputs": [{"name": "ids", "shape": [4], "datatype": "INT32", "data": [1, 2, 3, 4]}]})";
const int32_t kIds[4] = {1, 2, 3, 4};

void BM_V2Server(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  const bool binary = state.range(1) != 0;
  const int port = server(devices).port();
  std::vector<std::unique_ptr<httplib::Client>> clients;
  for (int t = 0; t < devices; ++t) {
    clients.push_back(std::make_unique<httplib::Client>("127.0.0.1", port));
    clients.back()->set_tcp_nodelay(true);
  }
  std::string body = kIdsJson;
  httplib::Headers headers;
  if (binary) {
    const std::string head =
        R"({"inputs": [{"name": "ids", "shape": [4], "datatype": "INT32", "parameters": {"binary_data_size": 16}}],)"
        R"( "parameters": {"binary_data_output": true}})";
    headers.emplace("Inference-Header-Content-Length", std::to_string(head.size()));
    body = head + std::string(reinterpret_cast<const char*>(kIds), sizeof kIds);
  }
  const auto run = [&](int t, size_t) {
    const Clock::time_point start = Clock::now();
    const httplib::Result result =
        clients[t]->Post("/v2/models/general.embed/infer", headers, body, "application/octet-stream");
    if (!result || result->status != 200) throw std::runtime_error("an inference failed");
    return millis_since(start);
  };
  measure(state, devices, run, "request");
}

void BM_V2Direct(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  files();
  setenv("VEXO_SIM_DEVICES", "2", 1);
  std::vector<minirun::vexoruntime> runtimes;
  for (int d = 0; d < devices; ++d) {
    runtimes.push_back(minirun::vexoruntime_init(files().general.c_str(), d));
    minirun::vexoruntime_set_net_stage(runtimes.back(), 0, 1);
  }
  const auto run = [&](int t, size_t) {
    int32_t ids[4] = {1, 2, 3, 4};
    const Clock::time_point start = Clock::now();
    minirun::vexoruntime_set_input_s2d(runtimes[t], 0, ids, sizeof ids);
    if (!minirun::vexoruntime_run_checked(runtimes[t], true)) throw std::runtime_error("a run failed");
    benchmark::DoNotOptimize(minirun::vexoruntime_get_io_tensor(runtimes[t], 'o', 0)->data);
    return millis_since(start);
  };
  measure(state, devices, run, "request");
  for (minirun::vexoruntime runtime : runtimes) minirun::vexoruntime_free(runtime);
}

BENCHMARK(BM_Direct)->Arg(1)->Arg(2)->Iterations(kIterations)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Server)->Arg(1)->Arg(2)->Iterations(kIterations)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_V2Direct)->Arg(1)->Arg(2)->Iterations(kIterations)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_V2Server)
    ->ArgsProduct({{1, 2}, {0, 1}})
    ->ArgNames({"devices", "binary"})
    ->Iterations(kIterations)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
