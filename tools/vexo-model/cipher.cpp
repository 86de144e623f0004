// encrypt and decrypt: a model rewritten whole, every net, stage, range and
// module kept, into the encrypted variant or back into a plain file.
#include <memory>
#include <string>

#include "commands.h"
#include "common/files.h"
#include "copy.h"

namespace vexo::model_tool {

namespace {

struct CipherOptions {
  std::string lib;
  std::string output;
  std::string input;
};

void add_cipher_command(CLI::App& app, const std::string& name, const std::string& description,
                        bool encrypt) {
  auto options = std::make_shared<CipherOptions>();
  CLI::App* command = app.add_subcommand(name, description);
  command->add_option("--lib", options->lib, "The cipher plug-in (exports \"encrypt\" and \"decrypt\")")
      ->required();
  command->add_option("-o,--output", options->output, "The file to write")->required();
  command->add_option("IN", options->input, "The model file to read")->required();
  command->callback([options, encrypt] {
    vexo::tool::check_output_file(options->output);
    const ModelFile file(options->input, encrypt ? "" : options->lib);
    save_models({&file}, options->output, encrypt ? options->lib : "");
  });
}

}  // namespace

void add_cipher_commands(CLI::App& app) {
  add_cipher_command(app, "encrypt", "Write an encrypted copy of a plain model file", true);
  add_cipher_command(app, "decrypt", "Write a plain copy of an encrypted model file", false);
}

}  // namespace vexo::model_tool
