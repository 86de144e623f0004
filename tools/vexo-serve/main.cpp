// vexo-serve: serves language models over HTTP with the OpenAI completions
// and chat API, and any model's nets with the v2 inference protocol, one
// runtime of each model per device it is served on.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/files.h"
#include "common/tool.h"
#include "device.h"
#include "intake.h"
#include "language_models.h"
#include "metrics.h"
#include "served_models.h"
#include "routes.h"
#include "scheduler.h"
#include "v2_models.h"
#include "v2_routes.h"
#include "webui.h"

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
  std::string api_key_file;
  size_t queue = 64;
  size_t max_connections = 0;         // 0: room for every running and waiting request, and a few more
  size_t max_client_connections = 0;  // 0: three quarters of max_connections, at least 8
  double request_timeout = 10;
  std::string chat_template;
  std::vector<std::string> served_names;
  std::vector<std::string> cors_origins;
  bool no_webui = false;
  std::vector<std::string> models;  // NAME=PATH[,key=value...]
  std::string repository;
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

// The API keys: --api-key, VEXO_API_KEY (which, unlike the command line,
// other users of the machine cannot read) and --api-key-file's lines.
std::vector<std::string> api_keys(const Options& options) {
  std::vector<std::string> keys;
  if (!options.api_key.empty()) keys.push_back(options.api_key);
  if (const char* key = std::getenv("VEXO_API_KEY"); key != nullptr && *key != '\0') keys.emplace_back(key);
  if (!options.api_key_file.empty()) {
    std::ifstream file(options.api_key_file);
    if (!file) throw Failure("cannot read the API key file " + options.api_key_file);
    size_t found = 0;
    for (std::string line; std::getline(file, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      keys.push_back(line);
      ++found;
    }
    if (file.bad() || found == 0) throw Failure("the API key file " + options.api_key_file + " holds no key");
  }
  return keys;
}

// waiting: the places of every model's queue.
serve::IntakeLimits intake_limits(const Options& options, size_t devices, size_t waiting, size_t body_limit) {
  serve::IntakeLimits limits;
  limits.body_bytes = body_limit;
  limits.request_time = std::chrono::milliseconds(static_cast<int64_t>(options.request_timeout * 1000));
  limits.connections = options.max_connections ? options.max_connections : devices + waiting + 4;
  limits.connections_per_client = options.max_client_connections
                                      ? options.max_client_connections
                                      : std::max<size_t>(8, limits.connections * 3 / 4);
  return limits;
}

// Every model to serve: the positional one, the --model ones, the
// repository's; their files checked, their names distinct.
std::vector<serve::ModelSpec> models_to_serve(const Options& options) {
  serve::ModelSpec defaults;
  defaults.devices = parse_devices(options.devices);
  defaults.queue = options.queue;
  std::vector<serve::ModelSpec> specs;
  if (!options.model.empty()) {
    if (options.tokenizer.empty()) throw Failure("the model " + options.model + " needs --tokenizer");
    serve::ModelSpec spec = defaults;
    spec.path = options.model;
    spec.tokenizer = options.tokenizer;
    spec.chat_template = options.chat_template;
    if (options.served_names.empty()) {
      spec.name = std::filesystem::path(options.model).stem().string();
    } else {
      spec.name = options.served_names.front();
      spec.aliases.assign(options.served_names.begin() + 1, options.served_names.end());
    }
    specs.push_back(std::move(spec));
  } else if (!options.tokenizer.empty() || !options.chat_template.empty() || !options.served_names.empty()) {
    throw Failure("--tokenizer, --chat-template and --served-model-name belong to a positional MODEL");
  }
  try {
    for (const std::string& text : options.models) specs.push_back(serve::parse_model_spec(text, defaults, parse_devices));
    if (!options.repository.empty()) {
      for (serve::ModelSpec& spec : serve::read_model_repository(options.repository, defaults, parse_devices))
        specs.push_back(std::move(spec));
    }
  } catch (const std::invalid_argument& error) {
    throw Failure(error.what());
  }
  if (specs.empty()) throw Failure("nothing to serve: give a MODEL, --model or --model-repository");
  std::vector<std::string> names;
  for (const serve::ModelSpec& spec : specs) {
    vexo::tool::check_input_file(spec.path);
    if (spec.language_model()) vexo::tool::check_input_path(spec.tokenizer);
    if (!spec.chat_template.empty()) vexo::tool::check_input_file(spec.chat_template);
    names.push_back(spec.name);
    names.insert(names.end(), spec.aliases.begin(), spec.aliases.end());
  }
  std::sort(names.begin(), names.end());
  if (const auto twice = std::adjacent_find(names.begin(), names.end()); twice != names.end())
    throw Failure("two models are called " + *twice);
  return specs;
}

// Every device some model is served on.
size_t device_count(const std::vector<serve::ModelSpec>& specs) {
  std::vector<int> all;
  for (const serve::ModelSpec& spec : specs) all.insert(all.end(), spec.devices.begin(), spec.devices.end());
  std::sort(all.begin(), all.end());
  return static_cast<size_t>(std::unique(all.begin(), all.end()) - all.begin());
}

size_t queue_places(const std::vector<serve::ModelSpec>& specs) {
  size_t places = 0;
  for (const serve::ModelSpec& spec : specs) places += spec.queue;
  return places;
}

void serve_models(const Options& options) {
  const std::vector<serve::ModelSpec> specs = models_to_serve(options);
  const size_t devices = device_count(specs);

  // Signals are taken by sigwait below, so every thread started from here
  // on blocks them; a client gone mid-write is an error return, not SIGPIPE.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  serve::Metrics metrics;
  serve::DeviceTurns turns;
  serve::LanguageModels language_models(specs, turns, metrics);
  serve::ServiceOptions service_options;
  service_options.cors_origins = options.cors_origins;
  service_options.api_keys = api_keys(options);
  serve::Service service(service_options, language_models, metrics);
  serve::V2Models general_models(turns, metrics);
  serve::V2Service v2_service(general_models, language_models, metrics,
                              [&service](const httplib::Request& req) { service.authorize(req); });

  serve::HttpServer http(intake_limits(options, devices, queue_places(specs), service_options.body_limit), service.gate());
  service.install(http);
  v2_service.install(http);
  for (const char* probe : {"/v2/health/live", "/v2/health/ready"}) service.open_path(probe);
  if (!options.no_webui) {
    serve::install_webui(http);
    for (const serve::WebAsset& asset : serve::web_assets()) service.open_path(asset.path);
  }
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

  // Loads every model while the server already answers the probes (with
  // 503 until this is done).
  std::string failure;
  std::thread loader([&] {
    try {
      language_models.load();
      for (const serve::ModelSpec& spec : specs) {
        if (!spec.language_model()) general_models.add(spec);
      }
      for (const auto& model : general_models.models()) {
        if (language_models.find(model->name)) throw Failure("two models are called " + model->name);
      }
      service.ready();
      v2_service.ready();
      std::printf("vexo-serve: ready (%zu device%s)\n", devices, devices == 1 ? "" : "s");
      std::fflush(stdout);
    } catch (const std::exception& error) {
      failure = error.what();
      kill(getpid(), SIGTERM);
    }
  });

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  // Stop accepting; requests that run finish, those waiting are refused.
  language_models.close();
  general_models.close();
  http.stop();
  listener.join();
  loader.join();
  if (!failure.empty()) throw Failure(failure);
}

}  // namespace

int main(int argc, char** argv) {
  vexo::tool::Tool tool("vexo-serve",
                        "Serves models compiled as bmodel files over HTTP: language models with the OpenAI "
                        "completions and chat API, every model with the v2 inference protocol, on one device or "
                        "several.");
  CLI::App& app = tool.app();
  Options options;
  app.add_option("MODEL", options.model, "A language model file (served with --tokenizer)");
  app.add_option("--tokenizer", options.tokenizer,
                 "MODEL's tokenizer: a model folder, a tokenizer.json or a SentencePiece tokenizer.model");
  app.add_option("--devices", options.devices,
                 "The devices to serve on, e.g. 0,1: one runtime of each model on each, unless the model names "
                 "its own (default: 0)");
  app.add_option("--host", options.host, "The address to listen on (default: 127.0.0.1, this machine only)");
  app.add_option("--port", options.port, "The port to listen on; 0 picks a free one (default: 8080)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--api-key", options.api_key,
                 "Require 'Authorization: Bearer KEY' on the API's requests (not on /health and /metrics); "
                 "the environment variable VEXO_API_KEY gives one too, unseen by other users");
  app.add_option("--api-key-file", options.api_key_file,
                 "Accept each line of FILE as an API key as well (several clients, key rotation)");
  app.add_option("--queue", options.queue,
                 "Requests of one model that may wait for a device; more are refused with 429 (default: 64)")
      ->check(CLI::Range(0, 4096));
  app.add_option("--max-connections", options.max_connections,
                 "Connections served at once; more are refused with 503 (default: devices + every model file's queue + 4)")
      ->check(CLI::Range(1, 4096));
  app.add_option("--max-client-connections", options.max_client_connections,
                 "Connections from one address; more are refused with 503 (default: 3/4 of --max-connections, "
                 "at least 8; behind a proxy, raise it to --max-connections)")
      ->check(CLI::Range(1, 4096));
  app.add_option("--request-timeout", options.request_timeout,
                 "Seconds a request's head and body may take to arrive; then 408 (default: 10)")
      ->check(CLI::Range(0.1, 3600.0));
  app.add_option("--chat-template", options.chat_template,
                 "MODEL's chat template for /v1/chat/completions: a model folder, tokenizer_config.json, .jinja or "
                 "line-format file (default: the tokenizer folder's template, else ChatML)");
  app.add_option("--served-model-name", options.served_names,
                 "A name clients use for MODEL (repeatable: the first is reported, the others are aliases; "
                 "default: the model file's stem)");
  app.add_option("--cors-origin", options.cors_origins,
                 "An origin whose web pages may call the API, or * for any (repeatable; default: none)");
  app.add_option("--model", options.models,
                 "Also serve this model file as NAME: with a tokenizer a language model, else its nets over the "
                 "v2 inference protocol as NAME (one net) or NAME.NET; options chat_template=FILE, devices=0,1 "
                 "(default: --devices) and queue=N (default: --queue); repeatable")
      ->type_name("NAME=PATH[,tokenizer=DIR][,devices=0,1]");
  app.add_option("--model-repository", options.repository,
                 "Serve every model of this folder: one subfolder per model, named as the model, holding its "
                 ".bmodel file, for a language model its tokenizer, and optionally model.conf (see docs/serving.md)");
  app.add_flag("--no-webui", options.no_webui, "Do not serve the chat page at /");
  app.callback([&options] { serve_models(options); });
  return tool.run(argc, argv);
}
