// The commands of vexo-model, each added to the tool's command line as a
// subcommand whose callback does the work.
#pragma once

#include <CLI/CLI.hpp>

namespace vexo::model_tool {

// info FILE [--json] [--decrypt-lib PLUGIN]
void add_info_command(CLI::App& app);
// extract-kernel -o OUT FILE [--decrypt-lib PLUGIN]
void add_extract_kernel_command(CLI::App& app);
// combine -o OUT IN...
void add_combine_command(CLI::App& app);
// encrypt --lib PLUGIN -o OUT IN and decrypt --lib PLUGIN -o OUT IN
void add_cipher_commands(CLI::App& app);

}  // namespace vexo::model_tool
