// Files of the model container: an owned descriptor, whole reads and writes
// at a position, and the reader's payload file with its read-ahead window.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bmodel::detail {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes now and reports whether the kernel accepted every write.
  bool close();

 private:
  int fd_;
};

UniqueFd open_file(const std::string& path, int flags, mode_t mode = 0);
bool file_size(int fd, uint64_t* size);
// Whether [position, position + size) is addressable in a file.
bool file_range_fits(uint64_t position, uint64_t size);
// Bytes read before the end of the file (at most size), or -1 on an error.
int64_t pread_some(int fd, uint64_t position, void* buffer, uint64_t size);
bool pread_all(int fd, uint64_t position, void* buffer, uint64_t size);
bool pwrite_all(int fd, uint64_t position, const void* buffer, uint64_t size);
bool write_all(int fd, const void* buffer, uint64_t size);

}  // namespace bmodel::detail

namespace bmodel {

// The model file behind a reader. The execution core reads command streams
// a few dozen bytes at a time, so small reads are served from a window
// filled by one pread; writes go through to the file and into the window.
class ReadAheadFile {
 public:
  enum class Status { ok, bad_position, io_error };
  static constexpr uint64_t kWindowSize = uint64_t{1} << 20;

  // Opens read/write when asked, falling back to read-only; null if the file
  // cannot be opened.
  static std::unique_ptr<ReadAheadFile> open(const std::string& path, bool read_write);

  // The current size of the file (0 if it cannot be taken).
  uint64_t size() const;
  // A read that reaches past the end of the file is an io_error.
  Status read(uint64_t position, void* buffer, uint64_t size);
  // Asks the kernel to start reading the bytes into the page cache and
  // returns at once; only a hint, so failures are ignored.
  void will_need(uint64_t position, uint64_t size) const;
  Status write(uint64_t position, const void* buffer, uint64_t size);

 private:
  explicit ReadAheadFile(detail::UniqueFd fd) : fd_(std::move(fd)) {}
  bool window_holds(uint64_t position, uint64_t size) const;

  detail::UniqueFd fd_;
  std::vector<uint8_t> window_;
  uint64_t window_position_ = 0;
  uint64_t window_length_ = 0;
};

}  // namespace bmodel
