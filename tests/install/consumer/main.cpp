#include <cstdio>

#include "runtime/miniruntime.h"
#include "utils/device.h"
#include "utils/version.h"

int main() {
  // A model that does not exist: the runtime reports it and returns null.
  if (minirun::vexoruntime_init("/nonexistent.bmodel", 0) != nullptr) return 1;
  std::printf("vexo %s, device 0 status %d\n", VEXO_VERSION, get_device_status(0));
  return 0;
}
