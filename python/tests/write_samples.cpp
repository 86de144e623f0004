// Writes the sample models the Python tests run: general.bmodel and
// llm.bmodel (default options) into the folder named on the command line.
#include <exception>
#include <filesystem>
#include <iostream>

#include "samples/samples.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " OUT_DIR\n";
    return 2;
  }
  try {
    const std::filesystem::path out(argv[1]);
    std::filesystem::create_directories(out);
    vexo::samples::save_model(vexo::samples::general_sample(), (out / "general.bmodel").string());
    vexo::samples::save_model(vexo::samples::llm_sample(vexo::samples::LlmOptions{}), (out / "llm.bmodel").string());
  } catch (const std::exception& e) {
    std::cerr << "write_samples: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
