// vexo-model: inspects, merges, encrypts and decrypts bmodel files through
// the library's reader and writer.
#include "commands.h"
#include "common/tool.h"

int main(int argc, char** argv) {
  vexo::tool::Tool tool("vexo-model", "Inspects and edits bmodel files.");
  CLI::App& app = tool.app();
  app.require_subcommand(1);
  vexo::model_tool::add_info_command(app);
  vexo::model_tool::add_combine_command(app);
  vexo::model_tool::add_cipher_commands(app);
  vexo::model_tool::add_extract_kernel_command(app);
  return tool.run(argc, argv);
}
