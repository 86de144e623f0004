// Placeholder until the simulated device lands.
#include "bmlib_runtime.h"
