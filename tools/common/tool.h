// The frame of a Vexo command-line tool: a CLI11 command line with --help
// and --log-level, and a run that turns every failure into one line
//   <tool>: error: <message>
// on standard error and a non-zero exit status. The library's log lines go
// to standard error too, as plain lines (no colour), so that standard output
// holds only results, each written through at once (nothing waits in a
// buffer when it is a file or a pipe).
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
#include <utility>

namespace vexo::tool {

// Exit statuses of run().
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A failure whose message is written for the user as it is.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command line that cannot be carried out as given: exits kExitUsage.
class UsageFailure : public Failure {
 public:
  using Failure::Failure;
};

// Refuses, before conversion, a value of `option` that is not a whole number
// from low to high, with "<value> is not an integer" or a range in words: a
// number too large for its type is refused, never wrapped.
void check_count(CLI::Option* option, long long low, long long high);

// The library's reason for its latest failure on this thread, as the end of
// a message: " (the library's log says why)" until a reason is recorded.
std::string library_reason();

// What the calling thread puts before the library's log lines on standard
// error ("" unless set; the server sets the request it serves).
std::string& log_prefix();

// Sets log_prefix() for the calling thread while it lives.
class ScopedLogPrefix {
 public:
  explicit ScopedLogPrefix(std::string prefix) : saved_(std::exchange(log_prefix(), std::move(prefix))) {}
  ~ScopedLogPrefix() { log_prefix() = std::move(saved_); }
  ScopedLogPrefix(const ScopedLogPrefix&) = delete;
  ScopedLogPrefix& operator=(const ScopedLogPrefix&) = delete;

 private:
  std::string saved_;
};

// Whether the tool's own lines on descriptor fd may carry
// colour: the descriptor is a terminal and NO_COLOR is unset or empty.
bool use_colour(int fd);

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
  // --decrypt-lib: the decryption plug-in that opens an encrypted model.
  CLI::Option* add_decrypt_option(std::string& decrypt_lib);

  // Parses the command line and runs the chosen callbacks. The library's log
  // threshold is LOG_LEVEL=2 (warnings and errors) unless the user set
  // LOG_LEVEL or gave --log-level. Returns 0, kExitUsage for a command line
  // that cannot be parsed or kExitFailure for any other failure; never
  // throws. The usual command-line mistakes are reported in the tools' words:
  // "unknown command x: the commands are ...", "give a command: ...",
  // "unknown option --x", "unexpected argument x", "--output needs a value".
  int run(int argc, char** argv);

 private:
  void report(const std::string& message) const;

  CLI::App app_;
};

}  // namespace vexo::tool
