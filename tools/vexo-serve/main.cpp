// vexo-serve: serves a language model over HTTP with the OpenAI completions
// and chat API, one language-model runtime per listed device.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/files.h"
#include "common/tool.h"
#include "device.h"
#include "metrics.h"
#include "routes.h"
#include "scheduler.h"

namespace {

using vexo::tool::Failure;
namespace serve = vexo::serve;

struct Options {
  std::string model;
  std::string tokenizer;
  std::string devices = "0";
  std::string host = "127.0.0.1";
  int port = 8080;
  std::string api_key;
  size_t queue = 64;
  std::string chat_template;
};

std::vector<int> parse_devices(const std::string& text) {
  std::vector<int> ids;
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, end - start);
    int id = -1;
    const auto [stop, error] = std::from_chars(item.data(), item.data() + item.size(), id);
    if (item.empty() || error != std::errc() || stop != item.data() + item.size() || id < 0)
      throw Failure("bad device list " + text + ": '" + item + "' is not a device number");
    if (std::find(ids.begin(), ids.end(), id) != ids.end())
      throw Failure("bad device list " + text + ": device " + item + " is listed twice");
    ids.push_back(id);
    start = end + 1;
  }
  return ids;
}

// The HTTP server with room for bursts of connections: the library listens
// with a backlog of 5, and the kernel drops or resets connections beyond it
// that a burst of clients opens before they are accepted.
class HttpServer : public httplib::Server {
 public:
  void widen_backlog() { ::listen(svr_sock_, SOMAXCONN); }
};

// Loads the tokenizer, the chat template and one runtime per device while
// the server already answers /health (with 503 until this is done).
struct Loaded {
  std::unique_ptr<serve::Tokenizer> tokenizer;
  std::unique_ptr<serve::ChatTemplate> chat_template;
};

void load(const Options& options, const std::vector<int>& devices, serve::DevicePool& pool, Loaded& loaded) {
  loaded.chat_template = std::make_unique<serve::ChatTemplate>(options.chat_template, options.tokenizer);
  loaded.tokenizer = std::make_unique<serve::Tokenizer>(options.tokenizer);
  for (const int id : devices) pool.add(std::make_unique<serve::Device>(options.model, id, *loaded.tokenizer));
}

void serve_model(const Options& options) {
  const std::vector<int> devices = parse_devices(options.devices);
  vexo::tool::check_input_file(options.model);
  vexo::tool::check_input_file(options.tokenizer);
  if (!options.chat_template.empty()) vexo::tool::check_input_file(options.chat_template);

  // Signals are taken by sigwait below, so every thread started from here
  // on blocks them; a client gone mid-write is an error return, not SIGPIPE.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  serve::Metrics metrics;
  serve::DevicePool pool(options.queue, metrics);
  Loaded loaded;
  serve::ServiceOptions service_options;
  service_options.model = std::filesystem::path(options.model).stem().string();
  service_options.api_key = options.api_key;
  serve::Service service(service_options, pool, metrics);

  HttpServer http;
  service.install(http);
  // Threads for every running and waiting request, and a few to answer
  // the rest (429, health, metrics) at once.
  const size_t threads = devices.size() + options.queue + 8;
  http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  const int port = options.port == 0 ? http.bind_to_any_port(options.host) : options.port;
  if (port < 0 || (options.port != 0 && !http.bind_to_port(options.host, options.port)))
    throw Failure("cannot listen on " + options.host + ":" + std::to_string(options.port));
  http.widen_backlog();
  std::printf("vexo-serve: listening on http://%s:%d\n", options.host.c_str(), port);
  std::fflush(stdout);
  std::atomic<bool> listened{false};
  std::thread listener([&http, &listened] {
    http.listen_after_bind();
    listened = true;
  });
  // A stop before the listener runs would be lost, and the join below wait
  // forever.
  while (!http.is_running() && !listened) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  std::string failure;
  std::thread loader([&] {
    try {
      load(options, devices, pool, loaded);
      service.ready(*loaded.tokenizer, *loaded.chat_template);
      std::printf("vexo-serve: ready (%zu device%s)\n", devices.size(), devices.size() == 1 ? "" : "s");
      std::fflush(stdout);
    } catch (const std::exception& error) {
      failure = error.what();
      kill(getpid(), SIGTERM);
    }
  });

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  // Stop accepting; requests that run finish, those waiting are refused.
  pool.close();
  http.stop();
  listener.join();
  loader.join();
  if (!failure.empty()) throw Failure(failure);
}

}  // namespace

int main(int argc, char** argv) {
  vexo::tool::Tool tool("vexo-serve",
                        "Serves a language model compiled as a bmodel file over HTTP with the OpenAI completions "
                        "and chat API, on one device or several.");
  CLI::App& app = tool.app();
  Options options;
  tool.add_model_argument(options.model);
  app.add_option("--tokenizer", options.tokenizer, "The model's tokenizer (a SentencePiece model file)")
      ->required();
  app.add_option("--devices", options.devices,
                 "The devices to serve on, e.g. 0,1: one runtime of the model on each (default: 0)");
  app.add_option("--host", options.host, "The address to listen on (default: 127.0.0.1, this machine only)");
  app.add_option("--port", options.port, "The port to listen on; 0 picks a free one (default: 8080)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--api-key", options.api_key,
                 "Require 'Authorization: Bearer KEY' on the API's requests (not on /health and /metrics)");
  app.add_option("--queue", options.queue,
                 "Requests that may wait for a device; more are refused with 429 (default: 64)")
      ->check(CLI::Range(0, 4096));
  app.add_option("--chat-template", options.chat_template,
                 "The chat template of /v1/chat/completions: a model folder, tokenizer_config.json, .jinja or "
                 "line-format file (default: the tokenizer folder's template, else ChatML)");
  app.callback([&options] { serve_model(options); });
  return tool.run(argc, argv);
}
