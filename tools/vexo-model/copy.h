// Copies models into the library's writer: every net, every stage through
// the merging AddNet (stages of equal names become shape variants of one
// net), every payload range through WriteBinary (identical contents are
// stored once), the first kernel and host-operator modules found, and the
// file-level fields.
#pragma once

#include <string>
#include <vector>

#include "model_file.h"

namespace vexo::model_tool {

// Copies the files in order into one model and saves it to output, in the
// encrypted variant through the plug-in encrypt_lib when that is not empty,
// then prints the line of print_written. The first file gives the chip and
// the model type; the device count is the largest. Before the writer is
// made, the merge is checked (check_merge) and the plug-in too
// (check_plugin, then a trial of one byte), so that a conflicting stage, a
// net without stages or a plug-in that cannot be loaded or cannot encrypt
// throws vexo::tool::Failure with nothing written; so does a range outside
// its payload. A disk that fills while saving still ends the process inside
// the writer with its FATAL line.
void save_models(const std::vector<const ModelFile*>& files, const std::string& output,
                 const std::string& encrypt_lib = "");

// The line that every writing command prints on success:
//   wrote OUT: CONTENTS, SIZE[NOTE]
// for example "wrote both.bmodel: 5 nets, 7 stages, 10.3 KiB", SIZE that of
// the file as written.
void print_written(const std::string& output, const std::string& contents, const std::string& note = "");

}  // namespace vexo::model_tool
