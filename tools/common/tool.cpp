#include "common/tool.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <new>

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

int Tool::run(int argc, char** argv) {
  setenv("LOG_LEVEL", kDefaultLogLevel, 0);
  vexo_set_log_fd(STDERR_FILENO);
  std::cout << std::unitbuf;
  try {
    app_.parse(argc, argv);
    return 0;
  } catch (const CLI::ParseError& e) {
    // --help arrives as a "parse error" of status 0: print the help.
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app_.exit(e);
    report(std::string(e.what()) + " (see --help)");
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
