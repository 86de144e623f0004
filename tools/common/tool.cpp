#include "common/tool.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "vexo.h"
#include "utils/version.h"

namespace vexo::tool {

namespace {
constexpr char kDefaultLogLevel[] = "2";
constexpr int kLowestLogLevel = 0;
constexpr int kHighestLogLevel = 10;
}  // namespace

Tool::Tool(const std::string& name, const std::string& description) : app_(description, name) {
  // Lets --log-level follow a subcommand too.
  app_.fallthrough();
  app_.set_version_flag("--version", name + " " + VEXO_VERSION);
  CLI::Option* log_level = app_.add_option_function<int>(
      "--log-level", [](const int& level) { setenv("LOG_LEVEL", std::to_string(level).c_str(), 1); },
      "Show the library's log lines up to this level (1 errors, 2 warnings, 3 info, 4 debug, 5-10 more "
      "detail; default 2, or LOG_LEVEL)");
  check_count(log_level, kLowestLogLevel, kHighestLogLevel);
}

std::string library_reason() {
  const char* reason = vexo_get_last_error();
  if (!reason || !*reason) return " (the library's log says why)";
  return std::string(": ") + reason;
}

bool use_colour(int fd) {
  const char* no_colour = std::getenv("NO_COLOR");
  return isatty(fd) == 1 && (!no_colour || !*no_colour);
}

void Tool::report(const std::string& message) const {
  const bool colour = use_colour(STDERR_FILENO);
  std::cerr << app_.get_name() << ": " << (colour ? "\033[1;31merror:\033[0m " : "error: ") << message
            << std::endl;
}

CLI::Option* Tool::add_model_argument(std::string& model) {
  return app_.add_option("MODEL", model, "The model file")->required();
}

CLI::Option* Tool::add_device_option(int& device) {
  CLI::Option* option = app_.add_option("--device", device, "The device to load the model on (default 0)");
  check_count(option, 0, std::numeric_limits<int>::max());
  return option;
}

CLI::Option* Tool::add_decrypt_option(std::string& decrypt_lib) {
  return app_.add_option("--decrypt-lib", decrypt_lib,
                         "Open an encrypted model through this decryption plug-in (a shared library "
                         "exporting \"decrypt\"); the model is deciphered in memory only");
}

void check_count(CLI::Option* option, long long low, long long high) {
  const std::string range =
      high == std::numeric_limits<long long>::max() || high == std::numeric_limits<int>::max()
          ? "a whole number of " + std::to_string(low) + " or more"
          : "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
  option->check(CLI::Validator(
      [low, high, range](std::string& text) -> std::string {
        const size_t digits = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
        if (digits == text.size() || text.find_first_not_of("0123456789", digits) != std::string::npos) {
          return "\"" + text + "\" is not an integer";
        }
        errno = 0;
        const long long value = std::strtoll(text.c_str(), nullptr, 10);
        if (errno == ERANGE || value < low || value > high) return text + " is out of range: give " + range;
        return "";
      },
      "INT"));
}

namespace {

bool is_option(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

std::string joined(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
  return text;
}

// CLI11's wording of the usual mistakes, in the tools' own words.
std::string usage_message(const CLI::App& app, const CLI::ParseError& error) {
  const std::vector<std::string> extras = app.remaining(true);
  std::vector<std::string> commands;
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
    commands.push_back(command->get_name());
  // CLI11 asks for a command when the first word is none of them.
  const bool no_command =
      dynamic_cast<const CLI::RequiredError*>(&error) && !commands.empty() && app.get_subcommands().empty();
  if (no_command && extras.empty()) return "give a command: " + joined(commands, ", ");
  if (no_command && !is_option(extras.front())) {
    return "unknown command " + extras.front() + ": the commands are " + joined(commands, ", ");
  }
  if ((no_command || dynamic_cast<const CLI::ExtrasError*>(&error)) && !extras.empty()) {
    if (extras.size() > 1) return "unexpected arguments: " + joined(extras, " ");
    return (is_option(extras.front()) ? "unknown option " : "unexpected argument ") + extras.front();
  }
  const std::string message = error.what();
  // "NAME: 1 required TEXT missing": an option given without its value.
  const size_t name_end = message.find(": ");
  const std::string missing = " missing";
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) && name_end != std::string::npos &&
      message.size() > missing.size() &&
      message.compare(message.size() - missing.size(), std::string::npos, missing) == 0) {
    return message.substr(0, name_end) + " needs a value";
  }
  // "Could not convert: NAME = VALUE"
  const std::string unconverted = "Could not convert: ";
  const size_t equals = message.find(" = ");
  if (dynamic_cast<const CLI::ConversionError*>(&error) && message.rfind(unconverted, 0) == 0 &&
      equals != std::string::npos) {
    return message.substr(unconverted.size(), equals - unconverted.size()) + ": \"" +
           message.substr(equals + 3) + "\" is not a valid value";
  }
  return message;
}

// The library's lines as plain lines on standard error, so that a tool's
// own results stay alone on standard output. The prefix is the current
// thread's: the server names the request it serves.
void log_to_stderr(int /*level*/, const char* text, void* /*user_data*/) {
  const std::string line = log_prefix() + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

std::string& log_prefix() {
  thread_local std::string prefix;
  return prefix;
}

int Tool::run(int argc, char** argv) {
  setenv("LOG_LEVEL", kDefaultLogLevel, 0);
  vexo_set_log_callback(log_to_stderr, nullptr);
  std::cout << std::unitbuf;
  try {
    app_.parse(argc, argv);
    return 0;
  } catch (const CLI::ParseError& e) {
    // --help arrives as a "parse error" of status 0: print the help.
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app_.exit(e);
    report(usage_message(app_, e) + " (see --help)");
    return kExitUsage;
  } catch (const UsageFailure& e) {
    report(std::string(e.what()) + " (see --help)");
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    report("out of memory");
  } catch (const std::exception& e) {
    report(e.what());
  } catch (...) {
    report("unexpected failure");
  }
  return kExitFailure;
}

}  // namespace vexo::tool
