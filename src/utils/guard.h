// Failures at the library's C boundary: exported functions run their bodies
// through guarded(), so that no exception reaches a C caller, and the
// library's internal steps throw LoggedError after logging their own line.
#pragma once

#include <exception>
#include <sstream>
#include <stdexcept>

#include "src/utils/logs.h"

namespace minilog {

// A failure whose error line is already logged where it was thrown.
class LoggedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure of the model container, logged on its own line: what() is the
// container's fixed text (such as "failed to construct"), reason() the
// message of that line (such as "File[a.bmodel] is broken .").
class ContainerError : public LoggedError {
 public:
  ContainerError(const std::string& what, const std::string& reason) : LoggedError(what), reason_(reason) {}
  const char* reason() const noexcept { return reason_.what(); }

 private:
  std::runtime_error reason_;  // copied without throwing, as exceptions must be
};

// Logs one error line made of the pieces and throws it as an Error (a
// LoggedError).
template <typename Error = LoggedError, typename... Pieces>
[[noreturn]] void fail_with(const Pieces&... pieces) {
  std::ostringstream text;
  (text << ... << pieces);
  log_error(text.str());
  throw Error(text.str());
}

// The rule for the pointers that an exported function needs (handles
// first): a null one is refused with the line "<function>: no <what>".
// False after that line; the caller returns its failure value.
bool present(const void* pointer, const char* function, const char* what) noexcept;

// Logs "<function>: <what>" at the error level; never throws.
void log_exception(const char* function, const char* what) noexcept;

// Runs the body of an exported C function: an exception becomes one error
// line (none more for a LoggedError) and the failure value (nothing for a
// void function).
template <typename Body, typename... Failure>
auto guarded(const char* function, Body&& body, Failure... failure) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const LoggedError&) {
  } catch (const std::exception& e) {
    log_exception(function, e.what());
  } catch (...) {
    log_exception(function, "unknown exception");
  }
  return decltype(body())(failure...);
}

}  // namespace minilog
