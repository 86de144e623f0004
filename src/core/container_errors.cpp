// Where the model container's lines and failures go: the container declares
// these two functions (bmodel/internal/log.h) and the library that holds it
// defines them, so that bmodel/ needs nothing of the library.
#include <sstream>
#include <string>

#include "bmodel/internal/log.h"
#include "src/utils/guard.h"
#include "src/utils/logs.h"

namespace bmodel::detail {

void log_line(const char* level, const char* function, int line, const std::string& message) {
  std::ostringstream text;
  text << "[BMODEL][" << function << ":" << line << "] " << level << ": " << message;
  minilog::write_line(1, text.str(), text.str() + "\n");
  // Every line the container writes is an error or fatal one.
  minilog::remember_error(message);
}

void throw_error(const std::string& what, const std::string& reason) {
  throw minilog::ContainerError(what, reason);
}

}  // namespace bmodel::detail
