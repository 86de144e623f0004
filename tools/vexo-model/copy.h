// Copies models into the library's writer: every net, every stage through
// the merging AddNet (so its conflict checks apply and stages of equal
// names become shape variants of one net), every payload range through
// WriteBinary (identical contents are stored once), the first kernel and
// host-operator modules found, and the file-level fields.
#pragma once

#include <string>
#include <vector>

#include "model_file.h"

namespace vexo::model_tool {

// Copies the files in order into one model and saves it to output, in the
// encrypted variant through the plug-in encrypt_lib when that is not empty.
// The first file gives the chip and the model type; the device count is the
// largest. A net without stages, a range outside its payload or a plug-in
// that cannot encrypt throws vexo::tool::Failure; a conflicting stage or a
// plug-in that cannot be loaded ends the process inside the writer with its
// FATAL line.
void save_models(const std::vector<const ModelFile*>& files, const std::string& output,
                 const std::string& encrypt_lib = "");

}  // namespace vexo::model_tool
