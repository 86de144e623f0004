#include "bmodel/internal/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace bmodel::detail {

UniqueFd::~UniqueFd() { close(); }

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool UniqueFd::close() {
  if (fd_ < 0) return true;
  // The descriptor is released even when close reports an error; retrying
  // could close a descriptor that another thread has since been given.
  const bool ok = ::close(fd_) == 0;
  fd_ = -1;
  return ok;
}

UniqueFd open_file(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

bool file_size(int fd, uint64_t* size) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool file_range_fits(uint64_t position, uint64_t size) {
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
  return position <= kMax && size <= kMax - position;
}

int64_t pread_some(int fd, uint64_t position, void* buffer, uint64_t size) {
  if (!file_range_fits(position, size)) return -1;
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool pread_all(int fd, uint64_t position, void* buffer, uint64_t size) {
  return pread_some(fd, position, buffer, size) == static_cast<int64_t>(size);
}

bool pwrite_all(int fd, uint64_t position, const void* buffer, uint64_t size) {
  if (!file_range_fits(position, size)) return false;
  const auto* in = static_cast<const uint8_t*>(buffer);
  uint64_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, in + done, size - done, static_cast<off_t>(position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<uint64_t>(n);
  }
  return true;
}

bool write_all(int fd, const void* buffer, uint64_t size) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  uint64_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, in + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace bmodel::detail

namespace bmodel {

std::unique_ptr<ReadAheadFile> ReadAheadFile::open(const std::string& path, bool read_write) {
  detail::UniqueFd fd;
  if (read_write) fd = detail::open_file(path, O_RDWR);
  if (!fd) fd = detail::open_file(path, O_RDONLY);
  if (!fd) return nullptr;
  return std::unique_ptr<ReadAheadFile>(new ReadAheadFile(std::move(fd)));
}

uint64_t ReadAheadFile::size() const {
  uint64_t size = 0;
  return detail::file_size(fd_.get(), &size) ? size : 0;
}

bool ReadAheadFile::window_holds(uint64_t position, uint64_t size) const {
  if (position < window_position_) return false;
  const uint64_t inner = position - window_position_;
  return inner <= window_length_ && size <= window_length_ - inner;
}

ReadAheadFile::Status ReadAheadFile::read(uint64_t position, void* buffer, uint64_t size) {
  if (!detail::file_range_fits(position, size)) return Status::bad_position;
  if (size == 0) return Status::ok;
  if (window_holds(position, size)) {
    std::memcpy(buffer, window_.data() + (position - window_position_), size);
    return Status::ok;
  }
  if (size >= kWindowSize) {
    return detail::pread_all(fd_.get(), position, buffer, size) ? Status::ok : Status::io_error;
  }
  // No larger than what the file still holds: a small model is opened many
  // times over (tools, servers), and zero-filling a full window each time
  // would cost more than reading the file.
  const uint64_t file_size = this->size();
  const uint64_t remaining = position < file_size ? file_size - position : 0;
  const uint64_t length = std::min(kWindowSize, std::max(remaining, size));
  if (window_.size() < length) window_.resize(length);
  const int64_t got = detail::pread_some(fd_.get(), position, window_.data(), length);
  window_position_ = position;
  window_length_ = got < 0 ? 0 : static_cast<uint64_t>(got);
  if (!window_holds(position, size)) return Status::io_error;
  std::memcpy(buffer, window_.data(), size);
  return Status::ok;
}

void ReadAheadFile::will_need(uint64_t position, uint64_t size) const {
  if (size == 0 || !detail::file_range_fits(position, size)) return;
  posix_fadvise(fd_.get(), static_cast<off_t>(position), static_cast<off_t>(size), POSIX_FADV_WILLNEED);
}

ReadAheadFile::Status ReadAheadFile::write(uint64_t position, const void* buffer, uint64_t size) {
  if (!detail::file_range_fits(position, size)) return Status::bad_position;
  if (!detail::pwrite_all(fd_.get(), position, buffer, size)) {
    window_length_ = 0;  // a partial write may have changed the file under it
    return Status::io_error;
  }
  const uint64_t begin = std::max(position, window_position_);
  const uint64_t end = std::min(position + size, window_position_ + window_length_);
  if (begin < end) {
    std::memcpy(window_.data() + (begin - window_position_),
                static_cast<const uint8_t*>(buffer) + (begin - position), end - begin);
  }
  return Status::ok;
}

}  // namespace bmodel
