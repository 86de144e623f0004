#include "sim_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim_config.h"

namespace vexosim {

TraceLine::TraceLine(std::string_view op) {
  text_ = "{";
  field("op", op);
}

void TraceLine::begin_field(std::string_view key) {
  if (text_.size() > 1) text_ += ',';
  text_ += '"';
  text_ += key;
  text_ += "\":";
}

TraceLine& TraceLine::field(std::string_view key, std::string_view value) {
  begin_field(key);
  text_ += '"';
  for (const char c : value) {
    if (c == '"' || c == '\\') {
      text_ += '\\';
      text_ += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      text_ += escaped;
    } else {
      text_ += c;
    }
  }
  text_ += '"';
  return *this;
}

TraceLine& TraceLine::hex_field(std::string_view key, const void* data, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  begin_field(key);
  const auto* bytes = static_cast<const unsigned char*>(data);
  text_ += '"';
  text_.reserve(text_.size() + 2 * size + 2);
  for (size_t i = 0; i < size; ++i) {
    text_ += kDigits[bytes[i] >> 4];
    text_ += kDigits[bytes[i] & 0xF];
  }
  text_ += '"';
  return *this;
}

TraceWriter::TraceWriter(const std::string& path) {
  if (path.empty()) return;
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0)
    throw ConfigError("VEXO_SIM_TRACE: cannot open '" + path + "': " + std::strerror(errno));
}

TraceWriter::~TraceWriter() {
  if (fd_ >= 0) ::close(fd_);
}

void TraceWriter::append(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk loses trace lines, never device results
    done += static_cast<size_t>(n);
  }
}

}  // namespace vexosim
