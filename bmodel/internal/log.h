// The model container's own log lines, on standard output and flushed:
//   [BMODEL][<function>:<line>] <level>: <message>
// message is a chain of stream insertions, e.g. "File[" << name << "] ...".
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>

namespace bmodel::detail {
// Defined by the library that holds the container
// (src/core/container_errors.cpp), so that its lines go wherever the
// library's own lines go.
void log_line(const char* level, const char* function, int line, const std::string& message);
// Defined there too: throws the library's logged-error type, a
// std::runtime_error whose what() is `what` and which carries `reason`, the
// message of the FATAL line already written, for callers that name the cause.
[[noreturn]] void throw_error(const std::string& what, const std::string& reason);
}

// The text of a chain of stream insertions.
#define BMODEL_TEXT(message) static_cast<const std::ostringstream&>(std::ostringstream() << message).str()

#define BMODEL_LOG(level, function, message) ::bmodel::detail::log_line(level, function, __LINE__, BMODEL_TEXT(message))
#define BMODEL_FATAL(function, message) BMODEL_LOG("FATAL", function, message)
#define BMODEL_ERROR(function, message) BMODEL_LOG("ERROR", function, message)

// A FATAL line, then the end of the process with status -1.
#define BMODEL_DIE(function, message) \
  do {                                \
    BMODEL_FATAL(function, message);  \
    std::exit(-1);                    \
  } while (0)

// A FATAL line, then the runtime error `what` carrying that line's message.
#define BMODEL_THROW(function, message, what)                                \
  do {                                                                       \
    const std::string bmodel_reason_ = BMODEL_TEXT(message);                 \
    ::bmodel::detail::log_line("FATAL", function, __LINE__, bmodel_reason_); \
    ::bmodel::detail::throw_error(what, bmodel_reason_);                     \
  } while (0)
