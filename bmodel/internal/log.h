// The model container's own log lines, on standard output and flushed:
//   [BMODEL][<function>:<line>] <level>: <message>
// message is a chain of stream insertions, e.g. "File[" << name << "] ...".
#pragma once

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

namespace bmodel::detail {
// Defined by the library that holds the container (src/utils/logs.cpp), so
// that its lines go wherever the library's own lines go.
void log_line(const char* level, const char* function, int line, const std::string& message);
}

#define BMODEL_LOG(level, function, message)                                      \
  do {                                                                            \
    std::ostringstream bmodel_message_;                                           \
    bmodel_message_ << message;                                                   \
    ::bmodel::detail::log_line(level, function, __LINE__, bmodel_message_.str()); \
  } while (0)
#define BMODEL_FATAL(function, message) BMODEL_LOG("FATAL", function, message)
#define BMODEL_ERROR(function, message) BMODEL_LOG("ERROR", function, message)

// A FATAL line, then the end of the process with status -1.
#define BMODEL_DIE(function, message) \
  do {                                \
    BMODEL_FATAL(function, message);  \
    std::exit(-1);                    \
  } while (0)

// A FATAL line, then std::runtime_error(what).
#define BMODEL_THROW(function, message, what) \
  do {                                        \
    BMODEL_FATAL(function, message);          \
    throw std::runtime_error(what);           \
  } while (0)
