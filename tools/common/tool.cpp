#include "common/tool.h"

#include <cstdlib>
#include <iostream>
#include <limits>
#include <new>

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
  app_.add_option_function<int>(
          "--log-level", [](const int& level) { setenv("LOG_LEVEL", std::to_string(level).c_str(), 1); },
          "Show the library's log lines up to this level (1 errors, 2 warnings, 3 info, 4 debug, 5-10 more "
          "detail; default 2, or LOG_LEVEL)")
      ->check(CLI::Range(kLowestLogLevel, kHighestLogLevel));
}

void Tool::report(const std::string& message) const {
  std::cerr << app_.get_name() << ": error: " << message << std::endl;
}

CLI::Option* Tool::add_model_argument(std::string& model) {
  return app_.add_option("MODEL", model, "The model file")->required();
}

CLI::Option* Tool::add_device_option(int& device) {
  return app_.add_option("--device", device, "The device to load the model on (default 0)")
      ->check(CLI::Range(0, std::numeric_limits<int>::max()));
}

int Tool::run(int argc, char** argv) {
  setenv("LOG_LEVEL", kDefaultLogLevel, 0);
  try {
    app_.parse(argc, argv);
    return 0;
  } catch (const CLI::ParseError& e) {
    // --help arrives as a "parse error" of status 0: print the help.
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app_.exit(e);
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
