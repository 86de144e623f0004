#include "utils/logs.h"

#include "utils/guard.h"

#include <cstdlib>
#include <ctime>

namespace minilog {

const std::string log_level_string_map[12] = {
    "[ERROR]  ", "[ERROR]  ", "[WARNING]", "[INFO]   ", "[DEBUG]  ", "[level5] ",
    "[level6] ", "[level7] ", "[level8] ", "[level9] ", "[level10]", ""};

const std::string log_level_color_map[12] = {
    "\033[31m", "\033[31m", "\033[33m", "\033[32m", "\033[34m", "\033[35m",
    "\033[36m", "\033[37m", "\033[38m", "\033[39m", "\033[40m", "\033[41m"};

const char* const kResetSequence = "\033[0m";

std::string get_current_time_string() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[80];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
  return buffer;
}

int get_min_log_level() {
  const char* level = std::getenv("LOG_LEVEL");
  return level ? std::atoi(level) : 10;
}

void log_exception(const char* function, const char* what) noexcept {
  try {
    log_error(function, ": ", what);
  } catch (...) {
    // Nothing is left to report with.
  }
}

Logger& Logger::getInstance() {
  static Logger instance;
  return instance;
}

}  // namespace minilog
