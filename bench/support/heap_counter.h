// Heap accounting for benchmarks: linking heap_counter.cpp replaces the
// process's operator new and delete with ones that count.
#pragma once

#include <cstddef>

namespace vexobench {

// Calls of operator new so far.
size_t heap_allocations();
// Bytes live on the heap now, and the most live at once since the last reset.
size_t heap_live_bytes();
size_t heap_peak_bytes();
// Starts a new peak from what is live now.
void reset_heap_peak();

}  // namespace vexobench
