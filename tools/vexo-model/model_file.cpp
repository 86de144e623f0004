#include "model_file.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "common/files.h"
#include "common/format.h"
#include "common/tool.h"
#include "plugin.h"

namespace vexo::model_tool {

using vexo::tool::Failure;

namespace {

// Cheap checks of the file before the reader sees it, so that the common
// ways a file is not a model are told in plain words. Returns whether the
// file is of the encrypted variant, which keeps a longer header.
bool check_header(const std::string& path) {
  vexo::tool::check_input_file(path);
  std::error_code error;
  const uint64_t size = std::filesystem::file_size(path, error);
  if (error) throw Failure("cannot open " + path + ": " + error.message());
  if (size == 0) throw Failure(path + " is empty, not a model file");
  bmodel::MODEL_HEADER_T header{};
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(&header), sizeof(header));
  const auto got = static_cast<uint64_t>(in.gcount());
  if (got < sizeof(header.magic) || header.magic != bmodel::BMODEL_MAGIC) {
    throw Failure(path + " is not a model file: it does not start with the model files' magic number");
  }
  const std::string bytes = vexo::tool::count_text(size, "byte");
  if (got < 8) throw Failure(path + " is truncated: " + bytes + ", less than a model file's header");
  if (header.header_size != bmodel::BMODEL_HEADER_SIZE) return true;
  // The reader wants more than the header: at least some metadata.
  if (size <= bmodel::BMODEL_HEADER_SIZE) {
    throw Failure(path + " is truncated: " + bytes + ", no more than a model file's header");
  }
  // Copies: the header is packed, and std::min takes references.
  const uint64_t regions = uint64_t{header.header_size} + header.flatbuffers_size;
  const uint64_t payload = header.binary_size;
  const uint64_t announced = regions + std::min(payload, UINT64_MAX - regions);  // saturates
  if (announced > size) {
    throw Failure(path + " is truncated: its header announces " + std::to_string(announced) +
                  " bytes, the file holds " + std::to_string(size));
  }
  return false;
}

Failure open_failure(const std::string& path, const std::string& decrypt_lib, bool encrypted) {
  if (decrypt_lib.empty()) return Failure(path + " is not a readable model file: its metadata is broken");
  const std::string why = encrypted ? cipher_hint("wrong key, wrong plug-in, or a broken file")
                                    : "it looks like a plain model file: leave out --decrypt-lib";
  return Failure("cannot decrypt " + path + " with " + decrypt_lib + ": " + why);
}

template <typename Module>
const Module* module_with_image(const Module* module) {
  return module && module->binary()->size() > 0 ? module : nullptr;
}

}  // namespace

ModelFile::ModelFile(const std::string& path, const std::string& decrypt_lib) : path_(path) {
  const bool encrypted = check_header(path);
  if (decrypt_lib.empty() && encrypted) {
    throw Failure(path + " is encrypted: give its decryption plug-in with --decrypt-lib");
  }
  if (!decrypt_lib.empty()) check_plugin(decrypt_lib, false);
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
