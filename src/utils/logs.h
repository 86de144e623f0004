// Logging: ten numbered levels, each served by its own logger, a threshold
// taken from LOG_LEVEL, and coloured, time-stamped lines on standard output
// (or on the file descriptor that vexo_set_log_fd chose, or handed to the
// callback that vexo_set_log_callback set).
//
// Safe from several threads: each thread gathers its own message and the
// whole line is written at once, so lines of different threads never mix.
//
// A message is one chain of insertions on one logger ended by inserting that
// logger's endl():
//   auto& log = minilog::Logger::getInstance().getErrorLogger();
//   log << "bm_dev_request failed, status: " << status << log.endl();
// minilog::log_error(...) and its siblings write such a chain in one call.
#pragma once

#include <chrono>
#include <iostream>
#include <sstream>
#include <string>

#include "vexo.h"

namespace minilog {

// Tags (nine characters) and colours, indexed by level; 0 and 11 are never
// selected by a logger.
extern const std::string log_level_string_map[12];
extern const std::string log_level_color_map[12];
extern const char* const kResetSequence;

// The current local time as "%Y-%m-%d %H:%M:%S".
std::string get_current_time_string();

// The calling thread's record of its newest error line (vexo_get_last_error):
// every piece inserted into the error logger, whatever the threshold, until
// the message's endl(). remember_error() records a whole line at once (the
// model container's lines).
void note_error_piece(const std::string& piece);
void end_error_message();
void remember_error(const std::string& text);

// The threshold: atoi(LOG_LEVEL), or 10 when it is unset. Read on every
// insertion so that a change of the environment takes effect at once.
int get_min_log_level();

// Where log lines go: std::cout unless vexo_set_log_fd chose another
// descriptor.
std::ostream& log_stream();

// The calling thread's message in progress at one level: the logger's state
// (first: the next insertion opens a message; last: endl() was inserted)
// and the text gathered so far.
struct PendingMessage {
  bool first = true;
  bool last = false;
  std::string text;
  std::ostringstream messageStream;  // formats one piece; reused
};
PendingMessage& pending_message(int level);

// Writes one whole message at once: to the log callback when one is set
// (the line without colour codes), otherwise colour, time, tag, text, the
// reset sequence and `closing` (normally "\n") to the log descriptor.
void emit_message(int level, const std::string& text, const std::string& closing);

// One line, whole: `plain` (no colour, no newline) to the log callback when
// one is set, otherwise `written` as it is to the log descriptor.
void write_line(int level, const std::string& plain, const std::string& written);

template <int LogLevel>
class LoggerBase {
 public:
  virtual ~LoggerBase() = default;

  // Pieces gather on the calling thread; the insertion after endl() (normally
  // its "\n") writes the whole line.
  template <typename T>
  LoggerBase& operator<<(const T& value) {
    if constexpr (LogLevel == 1) {
      std::ostringstream piece;
      piece << value;
      note_error_piece(piece.str());
    }
    if (get_min_log_level() < LogLevel) return *this;
    PendingMessage& message = pending_message(LogLevel);
    if (message.first) {
      message.first = false;
      message.last = false;
      message.text.clear();
    }
    message.messageStream << value;
    if (message.last) {
      message.first = true;
      message.last = false;
      emit_message(LogLevel, message.text, message.messageStream.str());
    } else {
      message.text += message.messageStream.str();
    }
    message.messageStream.str(std::string());
    return *this;
  }

  // Marks the message as ending: the next insertion writes the line, with
  // its piece (normally the "\n" returned here) after the reset sequence.
  std::string endl() {
    if constexpr (LogLevel == 1) end_error_message();
    pending_message(LogLevel).last = true;
    return "\n";
  }
};

typedef LoggerBase<1> ErrorLogger;
typedef LoggerBase<2> WarningLogger;
typedef LoggerBase<3> InfoLogger;
typedef LoggerBase<4> DebugLogger;
typedef LoggerBase<5> Level5Logger;
typedef LoggerBase<6> Level6Logger;
typedef LoggerBase<7> Level7Logger;
typedef LoggerBase<8> Level8Logger;
typedef LoggerBase<9> Level9Logger;
typedef LoggerBase<10> Level10Logger;

class Logger {
 public:
  static Logger& getInstance();

  ErrorLogger& getErrorLogger() { return errorLogger; }
  WarningLogger& getWarningLogger() { return warningLogger; }
  InfoLogger& getInfoLogger() { return infoLogger; }
  DebugLogger& getDebugLogger() { return debugLogger; }
  Level5Logger& getLevel5Logger() { return level5Logger; }
  Level6Logger& getLevel6Logger() { return level6Logger; }
  Level7Logger& getLevel7Logger() { return level7Logger; }
  Level8Logger& getLevel8Logger() { return level8Logger; }
  Level9Logger& getLevel9Logger() { return level9Logger; }
  Level10Logger& getLevel10Logger() { return level10Logger; }

  template <int Level>
  LoggerBase<Level>& get() {
    static_assert(Level >= 1 && Level <= 10, "levels run from 1 to 10");
    if constexpr (Level == 1) return errorLogger;
    else if constexpr (Level == 2) return warningLogger;
    else if constexpr (Level == 3) return infoLogger;
    else if constexpr (Level == 4) return debugLogger;
    else if constexpr (Level == 5) return level5Logger;
    else if constexpr (Level == 6) return level6Logger;
    else if constexpr (Level == 7) return level7Logger;
    else if constexpr (Level == 8) return level8Logger;
    else if constexpr (Level == 9) return level9Logger;
    else return level10Logger;
  }

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

 private:
  Logger() = default;

  InfoLogger infoLogger;
  WarningLogger warningLogger;
  ErrorLogger errorLogger;
  DebugLogger debugLogger;
  Level5Logger level5Logger;
  Level6Logger level6Logger;
  Level7Logger level7Logger;
  Level8Logger level8Logger;
  Level9Logger level9Logger;
  Level10Logger level10Logger;
};

// One whole message at a level: the pieces in order, then endl().
template <int Level, typename... Pieces>
void log_at(const Pieces&... pieces) {
  auto& logger = Logger::getInstance().get<Level>();
  (logger << ... << pieces) << logger.endl();
}

template <typename... Pieces>
void log_error(const Pieces&... pieces) { log_at<1>(pieces...); }
template <typename... Pieces>
void log_info(const Pieces&... pieces) { log_at<3>(pieces...); }
template <typename... Pieces>
void log_debug(const Pieces&... pieces) { log_at<4>(pieces...); }

}  // namespace minilog

// Runs `statement` and logs at level 5 its own source text, then
// " elapsed time: ", the wall-clock seconds it took and "s".
#define LOG_ELAPSED(statement)                                                                 \
  do {                                                                                         \
    const auto command_start = std::chrono::system_clock::now();                               \
    statement                                                                                  \
    const auto command_end = std::chrono::system_clock::now();                                 \
    const std::chrono::duration<double> elapsed_seconds = command_end - command_start;         \
    minilog::log_at<5>(#statement, " elapsed time: ", elapsed_seconds.count(), "s");           \
  } while (0)
