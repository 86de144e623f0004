#include "model_file.h"

#include <stdexcept>

#include "common/model_checks.h"
#include "common/tool.h"

namespace vexo::model_tool {

using vexo::tool::Failure;

namespace {

Failure open_failure(const std::string& path, const std::string& decrypt_lib, bool encrypted) {
  if (decrypt_lib.empty()) return Failure(path + " is not a readable model file: its metadata is broken");
  const std::string why = encrypted ? vexo::tool::cipher_hint("wrong key, wrong plug-in, or a broken file")
                                    : "it looks like a plain model file: leave out --decrypt-lib";
  return Failure("cannot decrypt " + path + " with " + decrypt_lib + ": " + why);
}

template <typename Module>
const Module* module_with_image(const Module* module) {
  return module && module->binary()->size() > 0 ? module : nullptr;
}

}  // namespace

ModelFile::ModelFile(const std::string& path, const std::string& decrypt_lib) : path_(path) {
  const bool encrypted = vexo::tool::check_model_file(path, decrypt_lib);
  try {
    reader_ = std::make_unique<bmodel::ModelCtx>(path, decrypt_lib);
  } catch (const std::runtime_error&) {
    throw open_failure(path, decrypt_lib, encrypted);
  }
}

const bmodel::Net& ModelFile::stored_net(const bmodel::Net& net) const {
  if (&model() == &stored()) return net;
  for (const bmodel::Net* candidate : *stored().net()) {
    if (!candidate->parameter() && candidate->name()->str() == net.name()->str()) return *candidate;
  }
  return net;
}

bool ModelFile::every_net_has_stages() const {
  for (const bmodel::Net* net : *model().net()) {
    if (!net->parameter() || net->parameter()->size() == 0) return false;
  }
  return true;
}

uint64_t ModelFile::payload_size() const { return reader_->header().binary_size; }

std::vector<uint8_t> ModelFile::read(const bmodel::Binary& range) const {
  const uint64_t payload = payload_size();
  if (!(range.size() <= payload && range.start() <= payload - range.size())) {
    throw Failure(path_ + ": payload range (start " + std::to_string(range.start()) + ", size " +
                  std::to_string(range.size()) + ") lies outside the payload of " + std::to_string(payload) +
                  " bytes");
  }
  std::vector<uint8_t> bytes(range.size());
  // The reader refuses a null buffer, which an empty vector may have.
  if (!bytes.empty()) {
    try {
      reader_->read_binary(&range, bytes.data());
    } catch (const std::runtime_error& error) {
      throw Failure("cannot read " + path_ + ": " + error.what());
    }
  }
  return bytes;
}

const bmodel::KernelModule* kernel_module_of(const ModelFile& file) {
  return module_with_image(file.model().kernel_module());
}

const bmodel::CpuopModule* cpuop_module_of(const ModelFile& file) {
  return module_with_image(file.model().cpuop_module());
}

}  // namespace vexo::model_tool
