#include "src/utils/logs.h"

#include "src/utils/guard.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "vexo.h"

namespace minilog {

namespace {

// An unbuffered stream buffer over a file descriptor: every piece is written
// at once, as the logger's flush after each insertion expects.
class DescriptorBuffer : public std::streambuf {
 public:
  std::atomic<int> fd{STDOUT_FILENO};

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }

  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::streamsize done = 0;
    while (done < n) {
      const ssize_t written = ::write(fd.load(), s + done, static_cast<size_t>(n - done));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) break;  // a failed write is lost, as on standard output
      done += written;
    }
    return done;
  }
};

struct DescriptorStream {
  DescriptorBuffer buffer;
  std::ostream stream{&buffer};
};

DescriptorStream& descriptor_stream() {
  static DescriptorStream instance;
  return instance;
}

// Per thread, so that a caller reads the reason of its own failure.
struct ErrorRecord {
  std::string pending;  // pieces of the error message being written
  std::string last;     // the newest whole line
  bool ending = false;  // endl() was called: the next piece is the line's end
};

ErrorRecord& error_record() {
  thread_local ErrorRecord record;
  return record;
}

}  // namespace

std::ostream& log_stream() {
  DescriptorStream& chosen = descriptor_stream();
  return chosen.buffer.fd.load() == STDOUT_FILENO ? std::cout : chosen.stream;
}

void note_error_piece(const std::string& piece) {
  ErrorRecord& record = error_record();
  if (record.ending) {
    record.ending = false;  // the "\n" that endl() returned
    return;
  }
  record.pending += piece;
}

void end_error_message() {
  ErrorRecord& record = error_record();
  record.last.swap(record.pending);
  record.pending.clear();
  record.ending = true;
}

void remember_error(const std::string& text) { error_record().last = text; }

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

bool vexo_set_log_fd(int fd) {
  if (fd < 0) return false;
  std::cout.flush();  // what is already logged keeps its place
  minilog::descriptor_stream().buffer.fd.store(fd);
  return true;
}

extern "C" const char* vexo_get_last_error(void) { return minilog::error_record().last.c_str(); }
