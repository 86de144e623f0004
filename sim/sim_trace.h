// The JSON-lines trace of device operations (VEXO_SIM_TRACE).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

namespace vexosim {

// One trace record, built field by field in the order given:
// {"op":"malloc","device":0,"addr":4294967296,...}
class TraceLine {
 public:
  explicit TraceLine(std::string_view op);

  template <typename Number,
            typename = std::enable_if_t<std::is_integral_v<Number> || std::is_enum_v<Number>>>
  TraceLine& field(std::string_view key, Number value) {
    begin_field(key);
    if constexpr (std::is_enum_v<Number>)
      text_ += std::to_string(static_cast<std::underlying_type_t<Number>>(value));
    else
      text_ += std::to_string(value);
    return *this;
  }
  TraceLine& field(std::string_view key, std::string_view value);
  // The bytes as one lowercase hexadecimal string.
  TraceLine& hex_field(std::string_view key, const void* data, size_t size);

  // The finished line, newline included.
  std::string finish() const { return text_ + "}\n"; }

 private:
  void begin_field(std::string_view key);
  std::string text_;
};

// Appends lines to the trace file; each line goes out in one write, so it is
// on disk when the operation returns.
class TraceWriter {
 public:
  TraceWriter() = default;
  // Opens `path` for appending; an empty path leaves the trace off. Throws
  // ConfigError when the file cannot be opened.
  explicit TraceWriter(const std::string& path);
  ~TraceWriter();
  TraceWriter(const TraceWriter&) = delete;
  TraceWriter& operator=(const TraceWriter&) = delete;

  bool enabled() const { return fd_ >= 0; }

  // Builds the line only when the trace is on: make_line() returns a TraceLine.
  template <typename MakeLine>
  void write(MakeLine&& make_line) {
    if (fd_ < 0) return;
    try {
      append(make_line().finish());
    } catch (...) {
      // A line that cannot be built (out of memory) is dropped; the operation
      // it describes has already happened and keeps its result.
    }
  }

 private:
  void append(const std::string& line);
  int fd_ = -1;
  std::mutex mutex_;
};

}  // namespace vexosim
