// vexo-run: loads a model through the general runtime, lists its nets and
// stages, or runs one stage on inputs from tensor files or generated data,
// then times the runs, saves the outputs and compares them with references.
#include <filesystem>
#include <iostream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/tool.h"
#include "compare.h"
#include "inputs.h"
#include "run_model.h"
#include "tensor_files.h"
#include "timing.h"

namespace {

namespace fs = std::filesystem;
using minitensor::VexoTensor;
using vexo::tool::Failure;
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
  double tolerance = kDefaultTolerance;
  size_t loops = 1;
  bool list = false;
};

std::string output_role(size_t index, const VexoTensor& output) {
  return "output " + std::to_string(index) + " " + output.name;
}

// The files of the outputs in `dir`; two outputs whose names sanitise alike
// would overwrite one another, so they are refused.
std::vector<std::string> output_paths(const std::vector<VexoTensor*>& outputs, const std::string& dir) {
  std::vector<std::string> paths;
  std::set<std::string> taken;
  for (size_t i = 0; i < outputs.size(); ++i) {
    const std::string file = tensor_file_name(outputs[i]->name);
    if (!taken.insert(file).second) {
      throw Failure(output_role(i, *outputs[i]) + " would share the file name " + file +
                    " with another output");
    }
    paths.push_back((fs::path(dir) / file).string());
  }
  return paths;
}

std::vector<Record> load_references(const std::vector<VexoTensor*>& outputs, const std::string& dir) {
  const std::vector<std::string> paths = output_paths(outputs, dir);
  std::vector<Record> references;
  for (size_t i = 0; i < outputs.size(); ++i) {
    const std::string role = output_role(i, *outputs[i]);
    std::error_code error;
    if (!fs::exists(paths[i], error)) {
      throw Failure("no reference for " + role + ": " + paths[i] + " does not exist");
    }
    references.push_back(load_tensor_file(paths[i], *outputs[i], role));
  }
  return references;
}

std::vector<std::string> prepare_save(const std::vector<VexoTensor*>& outputs, const std::string& dir) {
  std::error_code error;
  fs::create_directories(dir, error);
  if (error || !fs::is_directory(dir)) throw Failure("cannot create the folder " + dir);
  const std::vector<std::string> paths = output_paths(outputs, dir);
  for (const std::string& path : paths) vexo::tool::check_output_file(path);
  return paths;
}

std::vector<double> run_loops(minirun::vexoruntime runtime, size_t loops) {
  std::vector<double> seconds;
  seconds.reserve(loops);
  Progress progress(loops);
  for (size_t loop = 0; loop < loops; ++loop) {
    const Clock::time_point start = Clock::now();
    if (!minirun::vexoruntime_run_checked(runtime, true)) {
      throw Failure("run " + std::to_string(loop + 1) + " of the stage failed (the library's log says why)");
    }
    seconds.push_back(seconds_since(start));
    progress.update(loop + 1);
  }
  return seconds;
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

void run(const Options& options) {
  if (!(options.tolerance >= 0)) throw Failure("--tolerance must be a number of 0 or more");
  InputData input_data;  // borrowed by the runtime's input records until it is freed
  RunModel model(options.model, options.device);
  std::cout << "loaded " << options.model << " in " << duration_text(model.load_seconds()) << "\n";
  if (options.list) {
    model.list(std::cout);
    return;
  }
  const size_t net = model.find_net(options.net);
  model.select(net, options.stage);
  std::cout << "net " << net << " " << model.net_name(net) << ", stage " << options.stage << "\n";

  const std::vector<VexoTensor*> inputs = model.inputs(), outputs = model.outputs();
  input_data = feed_inputs(model.runtime(), inputs, options.input);
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::cout << "  " << input_role(i, *inputs[i]) << ": " << describe(*inputs[i]) << ", "
              << input_data.sources[i] << "\n";
  }
  for (size_t i = 0; i < outputs.size(); ++i) {
    std::cout << "  " << output_role(i, *outputs[i]) << ": " << describe(*outputs[i]) << "\n";
  }
  const std::vector<Record> references =
      options.compare_dir.empty() ? std::vector<Record>() : load_references(outputs, options.compare_dir);
  const std::vector<std::string> save_paths =
      options.save_dir.empty() ? std::vector<std::string>() : prepare_save(outputs, options.save_dir);

  const std::vector<double> seconds = run_loops(model.runtime(), options.loops);
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (!outputs[i]->is_have_data) {
      throw Failure("the run gave no data for " + output_role(i, *outputs[i]) +
                    " (the library's log says why)");
    }
  }
  std::cout << "run: " << loop_summary(seconds) << "\n";

  for (size_t i = 0; i < save_paths.size(); ++i) {
    if (!minitensor::vexotensor_save_data(outputs[i], save_paths[i].c_str())) {
      throw Failure("cannot write " + save_paths[i] + " (the library's log says why)");
    }
    std::cout << "saved " << output_role(i, *outputs[i]) << " to " << save_paths[i] << "\n";
  }
  size_t differing = 0;
  for (size_t i = 0; i < references.size(); ++i) {
    const Difference difference = compare(*outputs[i], *references[i], options.tolerance);
    if (!difference.matches()) ++differing;
    std::cout << "compared " << output_role(i, *outputs[i]) << ": "
              << difference_text(difference, options.tolerance) << "\n";
  }
  if (differing) {
    throw Failure(std::to_string(differing) + " of " + std::to_string(references.size()) +
                  " outputs differ from the references in " + options.compare_dir);
  }
}

}  // namespace

int main(int argc, char** argv) {
  vexo::tool::Tool tool("vexo-run",
                        "Runs a stage of a bmodel file through the general runtime: inputs from tensor files "
                        "or generated, outputs saved as tensor files and compared with references.");
  CLI::App& app = tool.app();
  Options options;
  tool.add_model_argument(options.model);
  CLI::Option* list = app.add_flag("--list", options.list,
                                   "List every net and stage with their inputs and outputs, and run nothing");
  CLI::Option* net = app.add_option("--net", options.net, "The net to run, by name or index (default 0)");
  CLI::Option* stage = app.add_option("--stage", options.stage, "The stage of the net to run (default 0)")
                           ->check(CLI::Range(0LL, std::numeric_limits<long long>::max()));
  tool.add_device_option(options.device);
  CLI::Option* inputs = app.add_option("--inputs", options.input.files,
                                       "One tensor file per input, in input order (each must match its "
                                       "input's element type, shape and size)");
  CLI::Option* random =
      app.add_option("--random", options.input.seed,
                     "Fill the inputs with pseudo-random values from this seed (the default, "
                     "with seed 0)");
  CLI::Option* zeros = app.add_flag("--zeros", options.input.zeros, "Fill the inputs with zeros");
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
  CLI::Option* loops = app.add_option("--loops", options.loops,
                                      "Run the stage N times and report the minimum, median and maximum run "
                                      "time (default 1); each run includes downloading the outputs")
                           ->check(CLI::Range(1LL, kMostLoops));
  inputs->excludes(random)->excludes(zeros);
  random->excludes(zeros);
  for (CLI::Option* option : {net, stage, inputs, random, zeros, save, compare, tolerance, loops}) {
    list->excludes(option);
  }
  app.callback([&options] { run(options); });
  return tool.run(argc, argv);
}
