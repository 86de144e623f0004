// Crafted models that probe the execution core's load checks and the
// corners of placement and relocation: files that must be refused at load,
// and valid files that earlier versions refused or ran wrongly. The tests
// load them, the fuzz targets take them as seeds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model_builder.h"

namespace vexo::samples {

struct CraftedModel {
  std::string name;  // file name stem
  ModelSpec spec;
  // For a file the load must refuse: a piece of its error line; empty for
  // a valid model.
  std::string refusal;
};

// Files the load must refuse:
//   "subnet-ir-past-range", "subnet-ir-into-neighbour": a dynamic subnet's IR
//     window leaves its stage's IR range (past its end, or from inside it into
//     what follows);
//   "static-subnet-in-dynamic-stage": a static subnet where there are no
//     command buffers to run it on;
//   "static-subnet-beyond-buffers": a static subnet with more commands than
//     its stage's command buffers hold;
//   "byte-count-beyond-range": a group recording 2^31 - 1 BDC bytes in a
//     range of a few hundred.
// Valid models, each computing known bytes (see the tests):
//   "io-alone-activations-below-io": an io-alone net whose activations lie
//     below its io region;
//   "shared-coeff-shrinking": two stages sharing a coefficient start, the
//     first with 32 bytes, the second with 16;
//   "legacy-beside-current": a legacy net beside a current-form net that
//     needs more activations than any legacy stage.
std::vector<CraftedModel> crafted_models();

// One static stage whose `groups` command groups (every other one without
// BDC commands) all name the same BDC and GDMA ranges of `range_bytes`
// bytes; the stage copies its 4-byte input to its output, once per group.
ModelSpec repeated_groups_model(uint32_t groups, uint64_t range_bytes);

// Writes every crafted model (and a small repeated-groups model) into
// `folder` as <name>.bmodel; returns the paths.
std::vector<std::string> write_crafted_models(const std::string& folder);

}  // namespace vexo::samples
