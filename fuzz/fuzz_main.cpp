// A libFuzzer target around one entry function (VEXO_FUZZ_ENTRY).
#include <cstdio>

#include "entries.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The library's log lines would drown libFuzzer's own, which go to
  // standard error with every sanitizer report.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return VEXO_FUZZ_ENTRY(data, size); }
