#include "heap_counter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<size_t> allocations{0};
std::atomic<size_t> live_bytes{0};
std::atomic<size_t> peak_bytes{0};
}  // namespace

void* operator new(size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  ++allocations;
  const size_t now = live_bytes += malloc_usable_size(p);
  size_t peak = peak_bytes.load();
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
  }
  return p;
}
// The replacement pairs operator new with malloc on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
  if (!p) return;
  live_bytes -= malloc_usable_size(p);
  std::free(p);
}
#pragma GCC diagnostic pop
void* operator new[](size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }

namespace vexobench {

size_t heap_allocations() { return allocations; }
size_t heap_live_bytes() { return live_bytes; }
size_t heap_peak_bytes() { return peak_bytes; }
void reset_heap_peak() { peak_bytes = live_bytes.load(); }

}  // namespace vexobench
