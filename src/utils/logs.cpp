#include "src/utils/logs.h"

#include "src/utils/guard.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>

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

// Where whole lines go. The lock makes one line one write, and a callback
// replaced while another thread logs is never called after its replacement.
struct Sink {
  std::mutex lock;
  vexo_log_callback callback = nullptr;
  void* user_data = nullptr;
};

Sink& sink() {
  static Sink instance;
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

PendingMessage& pending_message(int level) {
  thread_local std::array<PendingMessage, 11> messages;  // indexed by level, 1 to 10
  return messages[static_cast<size_t>(level)];
}

void write_line(int level, const std::string& plain, const std::string& written) {
  Sink& out = sink();
  std::lock_guard<std::mutex> hold(out.lock);
  if (out.callback) {
    out.callback(level, plain.c_str(), out.user_data);
    return;
  }
  log_stream() << written << std::flush;
}

void emit_message(int level, const std::string& text, const std::string& closing) {
  const std::string plain = get_current_time_string() + " " + log_level_string_map[level] + " " + text;
  write_line(level, plain, log_level_color_map[level] + plain + kResetSequence + closing);
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

bool present(const void* pointer, const char* function, const char* what) noexcept {
  if (!pointer) log_exception(function, (std::string("no ") + what).c_str());
  return pointer != nullptr;
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
  std::lock_guard<std::mutex> hold(minilog::sink().lock);
  std::cout.flush();  // what is already logged keeps its place
  minilog::descriptor_stream().buffer.fd.store(fd);
  return true;
}

void vexo_set_log_callback(vexo_log_callback callback, void* user_data) {
  minilog::Sink& out = minilog::sink();
  std::lock_guard<std::mutex> hold(out.lock);
  out.callback = callback;
  out.user_data = user_data;
}

extern "C" const char* vexo_get_last_error(void) { return minilog::error_record().last.c_str(); }
