#include <cstdio>

// The C header and the C++ headers declare the same functions and records;
// one program includes them all.
#include "vexo.h"
#include "externc/model_api.h"
#include "externc/model_info_c.h"
#include "llm/llmruntime.h"
#include "runtime/miniruntime.h"
#include "utils/datagen.h"
#include "utils/device.h"
#include "utils/version.h"

int main() {
  // A model that does not exist: the runtime reports it and returns null.
  if (minirun::vexoruntime_init("/nonexistent.bmodel", 0) != nullptr) return 1;
  // Either declaration names the same function.
  vexoruntime (*c_init)(const char*, int) = &vexoruntime_init;
  if (c_init != &minirun::vexoruntime_init) return 1;
  std::printf("vexo %s, device 0 status %d\n", VEXO_VERSION, get_device_status(0));
  return 0;
}
