// The writer's merging rules, checked before any stage reaches it: the
// merging AddNet of bmodel::ModelGen ends the process on a conflict, so
// every conflict it would find is found here first and told in one line.
#pragma once

#include <cstddef>
#include <vector>

#include "model_file.h"

namespace vexo::model_tool {

struct MergeCounts {
  size_t nets = 0;
  size_t stages = 0;
};

// Checks that the nets of the files, in order, merge by name as the writer
// merges them: every net has a name and at least one stage, and a stage of
// a name already seen agrees with every earlier stage of that net (the same
// addr_mode, both static or both dynamic, the same dynamic flags, the same
// inputs by count, name, element type, scale, zero point and number of
// shapes, some input shape different, at least the earlier outputs under
// the same names, the same "several subnets" or not). Also checks what the
// writer needs of the whole: a chip name and a net. Throws
// vexo::tool::Failure naming the files, nets and stages involved; returns
// the nets and stages of the merged model.
MergeCounts check_merge(const std::vector<const ModelFile*>& files);

}  // namespace vexo::model_tool
