/* A C99 program on the C interface alone: lists the general sample model,
   reads its flat description, runs the "pad" net and checks its bytes. */
#include <stdio.h>
#include <string.h>

#include "vexo.h"

static int fail(const char* what) {
  fprintf(stderr, "%s: %s\n", what, vexo_get_last_error());
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  if (vexoruntime_init("/nonexistent.bmodel", 0) != NULL || vexo_get_last_error()[0] == '\0') {
    return fail("a missing model must fail with a reason");
  }
  vexoruntime runtime = vexoruntime_init(argv[1], 0);
  if (!runtime) return fail("vexoruntime_init");

  size_t pad = (size_t)-1;
  for (size_t n = 0; n < vexoruntime_get_net_count(runtime); ++n) {
    const char* name = vexoruntime_get_net_name(runtime, n);
    if (strcmp(name, "pad") == 0) pad = n;
    for (size_t s = 0; s < vexoruntime_get_stage_count(runtime, n); ++s) {
      printf("%s stage %zu:", name, s);
      const char io[2] = {'i', 'o'};
      for (int side = 0; side < 2; ++side) {
        for (size_t t = 0; t < vexoruntime_get_tensor_count(runtime, n, s, io[side]); ++t) {
          vexo_tensor_desc desc;
          if (!vexoruntime_get_tensor_desc(runtime, n, s, io[side], t, &desc)) return fail("get_tensor_desc");
          printf(" %c:%s[", io[side], desc.name);
          for (size_t d = 0; d < desc.dims; ++d) printf(d ? "x%llu" : "%llu", (unsigned long long)desc.shape[d]);
          printf("] dtype %d, %llu bytes;", desc.dtype, (unsigned long long)desc.size);
        }
      }
      printf("\n");
    }
  }
  if (pad == (size_t)-1) return fail("no net pad");

  /* Out of range: null, and the reason on this thread. */
  if (vexoruntime_get_net_name(runtime, 99) != NULL || !strstr(vexo_get_last_error(), "out of range")) {
    return fail("net 99");
  }

  const C_ModelInfo* flat = convert_model_info(vexoruntime_get_model_info(runtime));
  if (!flat || flat->net_num != 3 || strcmp(flat->nets[pad].name, "pad") != 0) return fail("convert_model_info");

  vexoruntime_set_net_stage(runtime, pad, 0);
  unsigned char data[4] = {1, 2, 3, 4};
  vexoruntime_set_input_s2d(runtime, 0, data, sizeof data);
  vexoruntime_run(runtime, true);
  const VexoTensor* padded = vexoruntime_get_io_tensor(runtime, 'o', 0);
  const unsigned char expected[8] = {1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE};
  if (!padded || padded->size != 8 || !padded->data || memcmp(padded->data, expected, 8) != 0) {
    return fail("pad output");
  }
  printf("%s: as expected\n", padded->name);
  vexoruntime_free(runtime);
  return 0;
}
