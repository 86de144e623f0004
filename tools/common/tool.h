// The frame of a Vexo command-line tool: a CLI11 command line with --help
// and --log-level, and a run that turns every failure into one line
//   <tool>: error: <message>
// on standard error and a non-zero exit status.
//
//   vexo::tool::Tool tool("vexo-x", "Does x with bmodel files");
//   tool.app().add_subcommand("y", "...")->callback([&] { ... });
//   return tool.run(argc, argv);
//
// The commands' callbacks run inside run(), after the whole command line is
// parsed and LOG_LEVEL is set; they report failures by throwing.
#pragma once

#include <CLI/CLI.hpp>
#include <stdexcept>
#include <string>

namespace vexo::tool {

// Exit statuses of run().
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A failure whose message is written for the user as it is.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Tool {
 public:
  Tool(const std::string& name, const std::string& description);
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  CLI::App& app() { return app_; }

  // The MODEL argument (a model file) and the --device option that the
  // tools which load a model share.
  CLI::Option* add_model_argument(std::string& model);
  CLI::Option* add_device_option(int& device);

  // Parses the command line and runs the chosen callbacks. The library's log
  // threshold is LOG_LEVEL=2 (warnings and errors) unless the user set
  // LOG_LEVEL or gave --log-level. Returns 0, kExitUsage for a command line
  // that cannot be parsed or kExitFailure for any other failure; never
  // throws.
  int run(int argc, char** argv);

 private:
  void report(const std::string& message) const;

  CLI::App app_;
};

}  // namespace vexo::tool
