// A model file opened through the library's reader, with what every command
// of vexo-model needs: the networks in the current form, the file-level
// fields as stored, and bound-checked payload reads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bmodel/bmodel.h"

namespace vexo::model_tool {

class ModelFile {
 public:
  // Opens path, through the decryption plug-in when decrypt_lib is not
  // empty. Failures throw vexo::tool::Failure naming the file and why in
  // plain words: not found, empty, not a model file, truncated, encrypted
  // (without a plug-in), metadata broken, or not decrypted (naming
  // VEXO_CIPHER_KEY when it is unset); a plug-in that does not load or does
  // not export "decrypt" is refused before the file is read.
  explicit ModelFile(const std::string& path, const std::string& decrypt_lib = "");

  const std::string& path() const { return path_; }
  // The networks as the reader gives them: legacy networks converted.
  const bmodel::Model& model() const { return *reader_->model(); }
  // The metadata as the file stores it. The legacy conversion rebuilds the
  // model without its device count, model type and time, so these are taken
  // from here.
  const bmodel::Model& stored() const { return *bmodel::GetModel(reader_->data()); }
  // The stored form of a network of model(): the legacy conversion keeps
  // neither addr_mode nor cascade, so a converted network answers with its
  // legacy entry in stored().
  const bmodel::Net& stored_net(const bmodel::Net& net) const;
  // Whether every network has at least one stage, which the memory
  // statistics require.
  bool every_net_has_stages() const;

  uint64_t payload_size() const;
  // The bytes of a payload range; a range outside the payload throws.
  std::vector<uint8_t> read(const bmodel::Binary& range) const;
  bmodel::bmodel_mem_info_t memory_info() const { return reader_->get_bmodel_mem_info(); }

 private:
  std::string path_;
  std::unique_ptr<bmodel::ModelCtx> reader_;
};

// The kernel module the file carries, or null when it carries none (no
// table, or an empty image).
const bmodel::KernelModule* kernel_module_of(const ModelFile& file);
// The same for the host-operator module.
const bmodel::CpuopModule* cpuop_module_of(const ModelFile& file);

}  // namespace vexo::model_tool
