#include "sim_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <iterator>

namespace vexosim {
namespace {

// Rounded up to a whole number of pages; x must be far below 2^64.
uint64_t round_up_to_page(uint64_t x) { return (x + kAllocationAlign - 1) & ~(kAllocationAlign - 1); }
uint64_t round_down_to_page(uint64_t x) { return x & ~(kAllocationAlign - 1); }

}  // namespace

LazyMapping::~LazyMapping() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

bool LazyMapping::reserve(size_t size) {
  if (data_ != nullptr) return true;
  void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapped == MAP_FAILED) return false;
  data_ = static_cast<unsigned char*>(mapped);
  size_ = size;
  return true;
}

DeviceMemory::DeviceMemory(uint64_t start, uint64_t size) : first_(round_up_to_page(start)) {
  const uint64_t end = round_down_to_page(start + size);
  usable_ = end > first_ ? end - first_ : 0;
  if (usable_ > 0) gaps_.emplace(first_, usable_);
}

std::optional<uint64_t> DeviceMemory::allocate(uint64_t size) {
  const uint64_t wanted = std::max<uint64_t>(size, 1);
  if (wanted > usable_) return std::nullopt;
  const uint64_t footprint = round_up_to_page(wanted);
  const auto gap = std::find_if(gaps_.begin(), gaps_.end(), [&](const auto& g) { return g.second >= footprint; });
  if (gap == gaps_.end() || !mapping_.reserve(usable_)) return std::nullopt;

  const uint64_t addr = gap->first;
  live_.emplace(addr, Area{size, footprint});
  if (gap->second == footprint) {
    gaps_.erase(gap);
  } else {
    auto rest = gaps_.extract(gap);  // reuses the node: cannot fail after live_ changed
    rest.key() += footprint;
    rest.mapped() -= footprint;
    gaps_.insert(std::move(rest));
  }
  live_bytes_ += size;
  return addr;
}

bool DeviceMemory::release(uint64_t addr) {
  const auto area = live_.find(addr);
  if (area == live_.end()) return false;
  const uint64_t footprint = area->second.footprint;

  // Merge the freed range with its free neighbours so that gaps never touch.
  const auto after = gaps_.upper_bound(addr);
  const auto before = after == gaps_.begin() ? gaps_.end() : std::prev(after);
  const bool joins_before = before != gaps_.end() && before->first + before->second == addr;
  const bool joins_after = after != gaps_.end() && after->first == addr + footprint;
  if (joins_before) {
    before->second += footprint + (joins_after ? after->second : 0);
    if (joins_after) gaps_.erase(after);
  } else if (joins_after) {
    auto merged = gaps_.extract(after);
    merged.key() = addr;
    merged.mapped() += footprint;
    gaps_.insert(std::move(merged));
  } else {
    gaps_.emplace(addr, footprint);  // the only step that may throw, before anything changed
  }
  live_bytes_ -= area->second.size;
  live_.erase(area);
  return true;
}

const std::pair<const uint64_t, DeviceMemory::Area>* DeviceMemory::area_at_or_below(uint64_t addr) const {
  const auto above = live_.upper_bound(addr);
  return above == live_.begin() ? nullptr : &*std::prev(above);
}

bool DeviceMemory::contains(uint64_t addr, uint64_t size) const {
  const auto* area = area_at_or_below(addr);
  if (area == nullptr) return false;
  const uint64_t offset = addr - area->first;
  return offset <= area->second.size && size <= area->second.size - offset;
}

bool DeviceMemory::holds_address(uint64_t addr) const {
  const auto* area = area_at_or_below(addr);
  if (area == nullptr) return false;
  const uint64_t offset = addr - area->first;
  return offset == 0 || offset < area->second.size;
}

}  // namespace vexosim
