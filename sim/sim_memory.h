// The global memory of one simulated device: its allocator and the host bytes
// behind its addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

namespace vexosim {

constexpr uint64_t kAllocationAlign = 4096;

// An anonymous read-write mapping made on first use without swap reservation,
// so that untouched device memory costs no host memory.
class LazyMapping {
 public:
  LazyMapping() = default;
  ~LazyMapping();
  LazyMapping(const LazyMapping&) = delete;
  LazyMapping& operator=(const LazyMapping&) = delete;

  // Maps `size` bytes unless already mapped; false when the host refuses.
  bool reserve(size_t size);
  unsigned char* data() const { return data_; }

 private:
  unsigned char* data_ = nullptr;
  size_t size_ = 0;
};

// First-fit allocator over the device's address range, with a map of live
// areas for range checks. Not thread-safe: the device's lock guards it.
class DeviceMemory {
 public:
  // The device owns the addresses [start, start + size); allocations use the
  // whole 4096-byte pages inside that range.
  DeviceMemory(uint64_t start, uint64_t size);

  // The address of a new area of `size` bytes (0 allowed: the area still has
  // an address of its own); nullopt when no free range fits.
  std::optional<uint64_t> allocate(uint64_t size);
  // Frees the area starting at `addr`; false, changing nothing, when no live
  // area starts there.
  bool release(uint64_t addr);

  // Whether [addr, addr + size) lies inside one live area.
  bool contains(uint64_t addr, uint64_t size) const;
  // Whether addr is a byte of a live area, or the address of a 0-byte area.
  bool holds_address(uint64_t addr) const;
  // Host bytes behind a device address that a live area contains.
  unsigned char* host(uint64_t addr) const { return mapping_.data() + (addr - first_); }

  size_t live_allocations() const { return live_.size(); }
  uint64_t live_bytes() const { return live_bytes_; }

 private:
  struct Area {
    uint64_t size;       // bytes requested
    uint64_t footprint;  // bytes reserved: whole pages, at least one
  };
  // The live area with the highest start not above addr, or nullptr.
  const std::pair<const uint64_t, Area>* area_at_or_below(uint64_t addr) const;

  uint64_t first_;   // first usable address (page-aligned)
  uint64_t usable_;  // usable bytes from first_
  std::map<uint64_t, Area> live_;
  std::map<uint64_t, uint64_t> gaps_;  // free ranges: start -> length, never adjacent
  uint64_t live_bytes_ = 0;
  LazyMapping mapping_;
};

}  // namespace vexosim
