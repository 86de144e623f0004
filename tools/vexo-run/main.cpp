// vexo-run: loads a model through the general runtime, lists its nets and
// stages, or runs one stage on inputs from tensor files or generated data,
// then times the runs, saves the outputs and compares them with references.
#include <csignal>
#include <filesystem>
#include <iostream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/format.h"
#include "common/tool.h"
#include "compare.h"
#include "inputs.h"
#include "report.h"
#include "run_model.h"
#include "tensor_files.h"
#include "timing.h"

namespace {

namespace fs = std::filesystem;
using vexo::tool::count_text;
using vexo::tool::Failure;
using vexo::tool::UsageFailure;
using namespace vexo::run_tool;

constexpr double kDefaultTolerance = 1e-3;
constexpr long long kMostLoops = 10000000;

struct Options {
  std::string model;
  std::string net = "0";
  size_t stage = 0;
  int device = 0;
  InputChoice input;
  std::string save_dir;
  std::string compare_dir;
  std::string decrypt_lib;
  double tolerance = kDefaultTolerance;
  size_t warmup = 1;
  size_t loops = 1;
  double duration = 0;  // seconds; 0: count runs by --loops
  std::string json;
  bool list = false;
};

std::string output_role(size_t index, const StageTensor& output) {
  return "output " + std::to_string(index) + " " + output.name;
}

// The files of the outputs in `dir`; two outputs whose names sanitise alike
// would overwrite one another, so they are refused.
std::vector<std::string> output_paths(const std::vector<StageTensor>& outputs, const std::string& dir) {
  std::vector<std::string> paths;
  std::set<std::string> taken;
  for (size_t i = 0; i < outputs.size(); ++i) {
    const std::string file = tensor_file_name(outputs[i].name);
    if (!taken.insert(file).second) {
      throw Failure(output_role(i, outputs[i]) + " would share the file name " + file +
                    " with another output");
    }
    paths.push_back((fs::path(dir) / file).string());
  }
  return paths;
}

std::vector<Record> load_references(const std::vector<StageTensor>& outputs, const std::string& dir) {
  const std::vector<std::string> paths = output_paths(outputs, dir);
  std::vector<Record> references;
  for (size_t i = 0; i < outputs.size(); ++i) {
    const std::string role = output_role(i, outputs[i]);
    std::error_code error;
    if (!fs::exists(paths[i], error)) {
      throw Failure("no reference for " + role + ": " + paths[i] + " does not exist");
    }
    references.push_back(load_tensor_file(paths[i], outputs[i], role));
  }
  return references;
}

std::vector<std::string> prepare_save(const std::vector<StageTensor>& outputs, const std::string& dir) {
  std::error_code error;
  fs::create_directories(dir, error);
  if (error || !fs::is_directory(dir)) throw Failure("cannot create the folder " + dir);
  const std::vector<std::string> paths = output_paths(outputs, dir);
  for (const std::string& path : paths) vexo::tool::check_output_file(path);
  return paths;
}

// Set by SIGINT or SIGTERM: the loop stops before its next run.
volatile std::sig_atomic_t g_stop_signal = 0;

void on_stop_signal(int signal) { g_stop_signal = signal; }

// Installs the stop handler for the runs, and the default again afterwards.
class StopSignals {
 public:
  StopSignals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM}) sigaction(signal, &action, nullptr);
  }
  ~StopSignals() {
    for (int signal : {SIGINT, SIGTERM}) std::signal(signal, SIG_DFL);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
};

struct LoopResult {
  double first = 0;             // the first run of all, warm-up or counted
  size_t warmups = 0;           // warm-up runs done
  std::vector<double> counted;  // the counted runs' times
  int signal = 0;               // the signal that stopped the loop, or 0
};

// Runs the warm-up runs, then runs counted by number or by time; a stop
// signal ends the loop before its next run. The first run's time is printed
// as soon as it is known.
LoopResult run_loops(minirun::vexoruntime runtime, const Options& options) {
  LoopResult result;
  const bool by_time = options.duration > 0;
  // By time too, at most kMostLoops runs are counted: their times are kept.
  const size_t loops = by_time ? static_cast<size_t>(kMostLoops) : options.loops;
  if (!by_time) result.counted.reserve(loops);
  StopSignals signals;
  Progress progress;
  Clock::time_point counted_start = Clock::now();
  double counted_seconds = 0;
  for (size_t run = 0; !g_stop_signal; ++run) {
    const bool warmup = run < options.warmup;
    if (!warmup) {
      if (run == options.warmup) counted_start = Clock::now();
      counted_seconds = seconds_since(counted_start);
      if (result.counted.size() >= loops ||
          (by_time && counted_seconds >= options.duration && !result.counted.empty())) {
        break;
      }
    }
    const Clock::time_point start = Clock::now();
    if (!minirun::vexoruntime_run_checked(runtime, true)) {
      throw Failure("run " + std::to_string(run + 1) + " of the stage failed" + vexo::tool::library_reason());
    }
    const double seconds = seconds_since(start);
    if (run == 0) {
      result.first = seconds;
      std::cout << "first run: " << duration_text(seconds) << "\n";
    }
    if (warmup) {
      ++result.warmups;
    } else {
      result.counted.push_back(seconds);
    }
    const double done = by_time ? counted_seconds / options.duration
                                : static_cast<double>(result.counted.size()) / static_cast<double>(loops);
    progress.update(done, run + 1);
  }
  result.signal = g_stop_signal;
  return result;
}

std::string difference_text(const Difference& d, double tolerance) {
  std::ostringstream text;
  if (d.matches() && d.exact) return "match (exact)";
  if (d.matches()) {
    text << "match within " << tolerance;
    if (d.worst > 0) text << ", worst difference " << d.worst << " at element " << d.worst_index;
    return text.str();
  }
  text << "DIFFERS in " << d.outside << " of " << d.elements << " elements, worst difference " << d.worst
       << " at element " << d.worst_index << ": got " << d.got << ", expected " << d.expected;
  return text.str();
}

std::string signal_name(int signal) { return signal == SIGINT ? "SIGINT" : "SIGTERM"; }

fs::path absolute_folder(const std::string& dir) {
  std::error_code error;
  fs::path path = fs::weakly_canonical(fs::absolute(dir, error), error);
  if (error) path = fs::path(dir).lexically_normal();
  return path.has_filename() ? path : path.parent_path();  // "x/" is "x"
}

// Checks made before the model is loaded, so that nothing is written for a
// command line that cannot be carried out.
void check_options(const Options& options) {
  if (!(options.tolerance >= 0)) throw UsageFailure("--tolerance must be a number of 0 or more");
  if (!options.save_dir.empty() && !options.compare_dir.empty() &&
      absolute_folder(options.save_dir) == absolute_folder(options.compare_dir)) {
    throw UsageFailure("--save and --compare name the same folder " + options.save_dir +
                       ": the references would be overwritten by the outputs they are compared with");
  }
}

void describe_tensors(Report& report, const std::vector<StageTensor>& tensors, const InputData* data) {
  for (size_t i = 0; i < tensors.size(); ++i) {
    report.add_tensor(data ? "inputs" : "outputs", tensors[i], data ? data->sources[i] : "");
  }
}

int run(const Options& options) {
  check_options(options);
  InputData input_data;  // borrowed by the runtime's input records until it is freed
  if (options.list) {
    list_model_file(options.model, options.decrypt_lib, std::cout);
    return 0;
  }
  RunModel model(options.model, options.device, options.decrypt_lib);
  std::cout << "loaded " << options.model << " in " << duration_text(model.load_seconds()) << "\n";
  const size_t net = model.find_net(options.net);
  model.select(net, options.stage);
  std::cout << "net " << net << " " << model.net_name(net) << ", stage " << options.stage << "\n";

  const std::vector<StageTensor> inputs = model.inputs(), outputs = model.outputs();
  input_data = feed_inputs(model.runtime(), inputs, options.input);
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::cout << "  " << input_role(i, inputs[i]) << ": " << describe(inputs[i]) << ", "
              << input_data.sources[i] << "\n";
  }
  for (size_t i = 0; i < outputs.size(); ++i) {
    std::cout << "  " << output_role(i, outputs[i]) << ": " << describe(outputs[i]) << "\n";
  }
  const std::vector<Record> references =
      options.compare_dir.empty() ? std::vector<Record>() : load_references(outputs, options.compare_dir);
  const std::vector<std::string> save_paths =
      options.save_dir.empty() ? std::vector<std::string>() : prepare_save(outputs, options.save_dir);
  if (!options.json.empty()) vexo::tool::check_output_file(options.json);

  const LoopResult loops = run_loops(model.runtime(), options);
  const Statistics figures = statistics(loops.counted);
  if (loops.warmups + figures.count > 0) {
    for (size_t i = 0; i < outputs.size(); ++i) {
      if (!outputs[i].record->is_have_data) {
        throw Failure("the run gave no data for " + output_role(i, outputs[i]) +
                      vexo::tool::library_reason());
      }
    }
  }
  if (loops.warmups) std::cout << "warm-up: " << count_text(loops.warmups, "run") << ", not counted\n";
  if (figures.count) {
    std::cout << "run: " << loop_summary(figures) << "\n";
    std::cout << "  " << spread_summary(figures) << "\n";
  }
  if (!options.json.empty()) {
    Report report;
    report.set_run(options.model, net, model.net_name(net), options.stage, options.device);
    describe_tensors(report, inputs, &input_data);
    describe_tensors(report, outputs, nullptr);
    report.set_times(model.load_seconds(), loops.warmups + figures.count ? loops.first : -1, loops.warmups,
                     figures, loops.signal ? signal_name(loops.signal) : "");
    report.write(options.json);
  }
  if (loops.signal) {
    std::cout << "interrupted by " << signal_name(loops.signal) << " after "
              << count_text(figures.count, "counted run") << "\n";
    return 128 + loops.signal;
  }

  for (size_t i = 0; i < save_paths.size(); ++i) {
    if (!minitensor::vexotensor_save_data(outputs[i].record, save_paths[i].c_str())) {
      throw Failure("cannot write " + save_paths[i] + vexo::tool::library_reason());
    }
    std::cout << "saved " << output_role(i, outputs[i]) << " to " << save_paths[i] << "\n";
  }
  size_t differing = 0;
  for (size_t i = 0; i < references.size(); ++i) {
    const Difference difference = compare(*outputs[i].record, *references[i], options.tolerance);
    if (!difference.matches()) ++differing;
    std::cout << "compared " << output_role(i, outputs[i]) << ": "
              << difference_text(difference, options.tolerance) << "\n";
  }
  if (differing) {
    throw Failure(std::to_string(differing) + " of " + std::to_string(references.size()) +
                  " outputs differ from the references in " + options.compare_dir);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  vexo::tool::Tool tool("vexo-run",
                        "Runs a stage of a bmodel file through the general runtime: inputs from tensor files "
                        "or generated, outputs saved as tensor files and compared with references, run "
                        "times measured.");
  CLI::App& app = tool.app();
  Options options;
  tool.add_model_argument(options.model);
  CLI::Option* list = app.add_flag("--list", options.list,
                                   "List every net and stage with their inputs and outputs, and run nothing");
  CLI::Option* net = app.add_option("--net", options.net, "The net to run, by name or index (default 0)");
  CLI::Option* stage = app.add_option("--stage", options.stage, "The stage of the net to run (default 0)");
  tool.add_device_option(options.device);
  tool.add_decrypt_option(options.decrypt_lib);
  CLI::Option* inputs = app.add_option("--inputs", options.input.files,
                                       "Tensor files for the inputs: one per input in input order, or "
                                       "NAME=FILE for some inputs while the others are generated (each file "
                                       "must match its input's element type, shape and size)");
  CLI::Option* random =
      app.add_option("--random", options.input.seed,
                     "Fill the generated inputs with pseudo-random values from this seed (the default, "
                     "with seed 0)");
  std::vector<std::string> ranges;
  CLI::Option* random_range =
      app.add_option("--random-range", ranges,
                     "[NAME:]LO,HI: random values from LO to HI for the input NAME, or for every generated "
                     "input without a range of its own (integer inputs take the whole numbers in the "
                     "range); may be repeated")
          ->each([&options](const std::string& text) {
            options.input.ranges.push_back(parse_random_range(text));
          });
  CLI::Option* zeros = app.add_flag("--zeros", options.input.zeros, "Fill the generated inputs with zeros");
  CLI::Option* save = app.add_option("--save", options.save_dir,
                                     "Save every output as <output name>.tensor in this folder (created when "
                                     "missing; characters that cannot be in a file name become _)");
  CLI::Option* compare =
      app.add_option("--compare", options.compare_dir,
                     "Compare every output with <output name>.tensor in this folder: integers "
                     "exactly, floating types within the tolerance; fails on any difference");
  CLI::Option* tolerance =
      app.add_option(
             "--tolerance", options.tolerance,
             "Floating outputs match when |got - expected| <= T * (1 + |expected|), that is T absolute "
             "plus T relative (default 0.001)")
          ->needs(compare);
  CLI::Option* warmup = app.add_option("--warmup", options.warmup,
                                       "Run the stage N times first without counting them (default 1)");
  CLI::Option* loops = app.add_option("--loops", options.loops,
                                      "Count N runs (default 1); each run includes downloading the outputs");
  CLI::Option* duration =
      app.add_option("--duration", options.duration,
                     "Count runs for this many seconds instead of --loops (at most 10000000 runs)");
  CLI::Option* json = app.add_option("--json", options.json,
                                     "Write the whole report (model, stage, device, version, every time) "
                                     "to this file as one JSON document");
  vexo::tool::check_count(warmup, 0, kMostLoops);
  vexo::tool::check_count(loops, 1, kMostLoops);
  vexo::tool::check_count(stage, 0, std::numeric_limits<int>::max());
  duration->check(CLI::Range(1e-3, 1e6))->excludes(loops);
  random->excludes(zeros);
  random_range->excludes(zeros);
  for (CLI::Option* option : {net, stage, inputs, random, random_range, zeros, save, compare, tolerance,
                              warmup, loops, duration, json}) {
    list->excludes(option);
  }
  int status = 0;
  app.callback([&options, &status, random] {
    options.input.seeded = random->count() > 0;
    status = run(options);
  });
  const int parsed = tool.run(argc, argv);
  return parsed ? parsed : status;
}
