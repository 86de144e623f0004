// The bmodel writer: payload with deduplication, networks merged by name,
// plain and encrypted saving.
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <limits>

#include "bmodel/bmodel.h"
#include "bmodel/internal/file.h"
#include "bmodel/internal/log.h"
#include "bmodel/internal/plugin.h"

namespace bmodel {
namespace {

using TensorVector = flatbuffers::Vector<flatbuffers::Offset<Tensor>>;

uint32_t count(const TensorVector* tensors) { return tensors ? tensors->size() : 0; }

// Each tensor of the existing stage must have the name of the new stage's
// tensor at the same index; the new stage has at least as many. The
// message of the first mismatch, or nothing.
std::string name_conflict(const std::string& net_name, const char* kind, const TensorVector* old_tensors,
                          const TensorVector* new_tensors) {
  for (uint32_t i = 0; i < count(old_tensors); ++i) {
    const std::string old_name = old_tensors->Get(i)->name()->str();
    const std::string new_name = new_tensors->Get(i)->name()->str();
    if (old_name != new_name) {
      return BMODEL_TEXT("net[" << net_name << "] " << kind << " names is conflict." << kind << " " << i
                                << ": origin name: " << old_name << ". new name " << new_name << ".");
    }
  }
  return {};
}

bool has_several_subnets(const NetParameter* param) {
  return param->sub_net() && param->sub_net()->size() > 1;
}

}  // namespace

// A FATAL line, then the end of the process or the converting reader's
// exception.
#define BMODEL_GEN_FAIL(function, message)                                   \
  do {                                                                       \
    const std::string bmodel_reason_ = BMODEL_TEXT(message);                 \
    ::bmodel::detail::log_line("FATAL", function, __LINE__, bmodel_reason_); \
    Fail(bmodel_reason_);                                                    \
  } while (0)

void ModelGen::Fail(const std::string& reason) const {
  if (input_error_) detail::throw_error(input_error_, reason);
  std::exit(-1);
}

ModelGen::ModelGen(uint32_t reserve_size, const std::string& encrypt_lib)
    : builder_(1024), encrypt_lib_(encrypt_lib) {
  binary_.reserve(reserve_size);
  if (!encrypt_lib_.empty()) InitEncrypt();
}

ModelGen::~ModelGen() = default;

flatbuffers::FlatBufferBuilder& ModelGen::Builder() { return builder_; }

Binary ModelGen::WriteBinary(uint64_t size, const uint8_t* data) {
  for (const Binary& known : binary_vector_) {
    if (known.size() == size && (size == 0 || std::memcmp(binary_.data() + known.start(), data, size) == 0)) {
      return known;
    }
  }
  const uint64_t start = binary_.size();
  binary_.insert(binary_.end(), data, data + size);
  binary_vector_.emplace_back(start, size);
  return binary_vector_.back();
}

void ModelGen::AddChip(const std::string& arch_name) {
  if (arch_name.empty()) BMODEL_GEN_FAIL("AddChip", "!arch_name.empty()");
  chip_ = arch_name;
}

void ModelGen::AddBmodelType(uint32_t type) { bmodel_type_ = type; }

void ModelGen::AddNumDevice(int num_device) { device_num_ = static_cast<uint32_t>(num_device); }

void ModelGen::AddKernelModule(const std::string& file_name, const Binary& binary) {
  kernel_module_ = {file_name, binary};
}

void ModelGen::AddCpuModule(const std::string& file_name, const Binary& binary) {
  cpuop_module_ = {file_name, binary};
}

void ModelGen::AddNet(const flatbuffers::Offset<Net>& net) { nets_.push_back(net); }

void ModelGen::AddNet(const std::string& net_name, const CASCADE_INFO_T& cascade,
                      const flatbuffers::Offset<NetParameter>& parameter, int32_t addr_mode) {
  const NetParameter* param = flatbuffers::GetTemporaryPointer(builder_, parameter);
  max_neuron_size_ = std::max(max_neuron_size_, param->ctx_size());
  net_vector_.push_back({net_name, cascade, {parameter}, addr_mode});
}

void ModelGen::AddNet(std::string net_name, const flatbuffers::Offset<NetParameter>& parameter,
                      uint32_t* net_idx, uint32_t* stage_idx, const flatbuffers::Offset<Cascade>& cascade,
                      int32_t addr_mode) {
  if (net_name.empty()) BMODEL_GEN_FAIL("AddNet", "net_name.empty() == false");
  const NetParameter* param = flatbuffers::GetTemporaryPointer(builder_, parameter);
  max_neuron_size_ = std::max(max_neuron_size_, param->ctx_size());

  size_t idx = 0;
  while (idx < net_vector_.size() && net_vector_[idx].name != net_name) ++idx;
  if (net_idx) *net_idx = static_cast<uint32_t>(idx);
  if (!cascade.IsNull() && idx != net_vector_.size()) BMODEL_GEN_FAIL("AddNet", "idx == net_vector_.size()");

  if (idx == net_vector_.size()) {
    NET_INFO_T info{net_name, {}, {parameter}, addr_mode};
    if (!cascade.IsNull()) {
      const Cascade* c = flatbuffers::GetTemporaryPointer(builder_, cascade);
      info.cascade.main_name = c->main_name() ? c->main_name()->str() : "";
      info.cascade.device_id = c->device_id();
      info.cascade.step = c->step();
    }
    net_vector_.push_back(std::move(info));
    if (stage_idx) *stage_idx = 0;
    return;
  }

  NET_INFO_T& net = net_vector_[idx];
  if (net.addr_mode != addr_mode)
    BMODEL_GEN_FAIL("AddNet", "net[" << net_name << "] addr_mode should be the same");
  for (const auto& old_offset : net.parameters) {
    const NetParameter* old = flatbuffers::GetTemporaryPointer(builder_, old_offset);
    if (old->is_dynamic() != param->is_dynamic()) {
      BMODEL_GEN_FAIL("AddNet", "net[" << net_name << "] cannot has dynamic and static at the same time");
    }
    if (IsTensorConflict(old->input_tensor(), param->input_tensor())) {
      BMODEL_GEN_FAIL("AddNet", "net[" << net_name << "] input tensors is conflict");
    }
    if (old->h_w_dynamic() != param->h_w_dynamic() || old->n_dynamic() != param->n_dynamic()) {
      BMODEL_GEN_FAIL("AddNet", "net[" << net_name << "] dynamic is conflict.");
    }
    const std::string input_conflict = name_conflict(net_name, "input", old->input_tensor(), param->input_tensor());
    if (!input_conflict.empty()) BMODEL_GEN_FAIL("AddNet", input_conflict);
    // Every output of the existing stages must exist in the new one.
    if (count(param->output_tensor()) < count(old->output_tensor())) {
      BMODEL_GEN_FAIL("AddNet", "net[" << net_name << "] output tensors is conflict.");
    }
    const std::string output_conflict = name_conflict(net_name, "output", old->output_tensor(), param->output_tensor());
    if (!output_conflict.empty()) BMODEL_GEN_FAIL("AddNet", output_conflict);
    if (has_several_subnets(old) != has_several_subnets(param)) {
      BMODEL_GEN_FAIL("AddNet", "net[" << net_name << "] sub net is conflict.");
    }
  }
  if (stage_idx) *stage_idx = static_cast<uint32_t>(net.parameters.size());
  net.parameters.push_back(parameter);
}

bool ModelGen::IsShapeSame(const Shape* left, const Shape* right) {
  const auto* a = left->dim();
  const auto* b = right->dim();
  const uint32_t n = a ? a->size() : 0;
  if (n != (b ? b->size() : 0)) return false;
  for (uint32_t i = 0; i < n; ++i) {
    if (a->Get(i) != b->Get(i)) return false;
  }
  return true;
}

bool ModelGen::IsTensorConflict(const TensorVector* tensors, const TensorVector* new_tensors) {
  if (count(tensors) != count(new_tensors)) {
    BMODEL_ERROR("IsTensorConflict",
                 "tensor size is not the same, [" << count(tensors) << "] vs [" << count(new_tensors) << "]");
    return true;
  }
  bool any_shape_differs = false;
  for (uint32_t i = 0; i < count(tensors); ++i) {
    const Tensor* a = tensors->Get(i);
    const Tensor* b = new_tensors->Get(i);
    if (a->name()->str() != b->name()->str()) {
      BMODEL_ERROR("IsTensorConflict", "tensor name is not the same, [" << a->name()->str() << "] vs ["
                                                                        << b->name()->str() << "]");
      return true;
    }
    if (a->data_type() != b->data_type()) {
      BMODEL_ERROR("IsTensorConflict",
                   "tensor type is not the same, [" << a->data_type() << "] vs [" << b->data_type() << "]");
      return true;
    }
    if (a->scale() != b->scale()) {
      BMODEL_ERROR("IsTensorConflict",
                   "tensor scale is not the same, [" << a->scale() << "] vs [" << b->scale() << "]");
      return true;
    }
    if (a->zero_point() != b->zero_point()) {
      BMODEL_ERROR("IsTensorConflict", "tensor zero_point is not the same, [" << a->zero_point() << "] vs ["
                                                                              << b->zero_point() << "]");
      return true;
    }
    const uint32_t shapes = a->shape() ? a->shape()->size() : 0;
    const uint32_t new_shapes = b->shape() ? b->shape()->size() : 0;
    if (shapes != new_shapes) {
      BMODEL_ERROR("IsTensorConflict",
                   "tensor shape count is not the same, [" << shapes << "] vs [" << new_shapes << "]");
      return true;
    }
    for (uint32_t s = 0; s < shapes; ++s) {
      if (!IsShapeSame(a->shape()->Get(s), b->shape()->Get(s))) any_shape_differs = true;
    }
  }
  if (!any_shape_differs) {
    BMODEL_ERROR("IsTensorConflict", "tensor shape should not be the same");
    return true;
  }
  return false;
}

size_t ModelGen::Finish() {
  for (const NET_INFO_T& info : net_vector_) {
    auto parameter = builder_.CreateVector(info.parameters);
    flatbuffers::Offset<Cascade> cascade;
    if (!info.cascade.main_name.empty()) {
      cascade = CreateCascade(builder_, static_cast<uint32_t>(info.cascade.device_id),
                              static_cast<uint32_t>(info.cascade.step),
                              builder_.CreateString(info.cascade.main_name));
    }
    auto name = builder_.CreateString(info.name);
    nets_.push_back(CreateNet(builder_, name, 0, 0, parameter, cascade, info.addr_mode));
  }
  if (nets_.empty()) BMODEL_GEN_FAIL("Finish", "there is no net");

  auto type = builder_.CreateString(BMODEL_TYPE);
  auto version = builder_.CreateString(BMODEL_VERSION);
  auto net = builder_.CreateVector(nets_);
  auto chip = builder_.CreateString(chip_);
  const std::time_t now = std::time(nullptr);
  char time_text[64] = {};
  ctime_r(&now, time_text);
  auto time = builder_.CreateString(time_text);
  auto kernel_module =
      CreateKernelModule(builder_, builder_.CreateString(kernel_module_.file_name), &kernel_module_.binary);
  auto cpuop_module =
      CreateCpuopModule(builder_, builder_.CreateString(cpuop_module_.file_name), &cpuop_module_.binary);
  builder_.Finish(CreateModel(builder_, type, version, time, chip, net, max_neuron_size_, kernel_module,
                              device_num_, cpuop_module, bmodel_type_));
  return BufferSize();
}

void ModelGen::Finish(const std::string& filename) {
  Finish();
  Save(filename);
}

uint8_t* ModelGen::GetBufferPointer() { return builder_.GetBufferPointer(); }

size_t ModelGen::BufferSize() { return BMODEL_HEADER_SIZE + builder_.GetSize() + binary_.size(); }

MODEL_HEADER_T ModelGen::PlainHeader() const {
  MODEL_HEADER_T header{};
  header.magic = BMODEL_MAGIC;
  header.header_size = BMODEL_HEADER_SIZE;
  header.flatbuffers_size = builder_.GetSize();
  header.binary_size = binary_.size();
  return header;
}

// A write error is reported like a failed creation, so that a full disk
// never leaves a silently truncated model file behind a success.
void ModelGen::WriteHeaderedFile(const char* function, const std::string& filename,
                                 const std::vector<uint8_t>& head, const uint8_t* metadata,
                                 size_t metadata_size) {
  detail::UniqueFd fd = detail::open_file(filename, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!fd) BMODEL_GEN_FAIL(function, "Save file[" << filename << "] failed.");
  if (!detail::write_all(fd.get(), head.data(), head.size()) ||
      !detail::write_all(fd.get(), metadata, metadata_size) ||
      !detail::write_all(fd.get(), binary_.data(), binary_.size()) || !fd.close()) {
    BMODEL_GEN_FAIL(function, "Save file[" << filename << "] failed.");
  }
}

void ModelGen::Save(const std::string& filename) {
  if (filename.empty()) BMODEL_GEN_FAIL("Save", "!filename.empty()");
  const MODEL_HEADER_T header = PlainHeader();
  const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
  WriteHeaderedFile("Save", filename, std::vector<uint8_t>(bytes, bytes + sizeof(header)),
                    builder_.GetBufferPointer(), builder_.GetSize());
}

void ModelGen::Save(void* dest) {
  if (dest == nullptr) BMODEL_GEN_FAIL("Save", "buffer != NULL");
  const MODEL_HEADER_T header = PlainHeader();
  auto* out = static_cast<uint8_t*>(dest);
  std::memcpy(out, &header, sizeof(header));
  std::memcpy(out + sizeof(header), builder_.GetBufferPointer(), builder_.GetSize());
  if (!binary_.empty())
    std::memcpy(out + sizeof(header) + builder_.GetSize(), binary_.data(), binary_.size());
}

void ModelGen::InitEncrypt() {
  encrypt_handle_ = detail::open_library(encrypt_lib_);
  if (!encrypt_handle_) BMODEL_GEN_FAIL("InitEncrypt", "Decrypt lib [" << encrypt_lib_ << "] load failed.");
  encrypt_func_ = detail::find_cipher(encrypt_handle_, "encrypt");
  if (!encrypt_func_) BMODEL_GEN_FAIL("InitEncrypt", "Decrypt lib [" << encrypt_lib_ << "] symbol find failed.");
}

uint8_t* ModelGen::Encrypt(const uint8_t* input, uint64_t input_bytes, uint64_t* output_bytes) {
  if (output_bytes == nullptr) BMODEL_GEN_FAIL("Encrypt", "output_bytes != nullptr");
  if (encrypt_func_ == nullptr) BMODEL_GEN_FAIL("Encrypt", "encrypt_func_ != nullptr");
  return encrypt_func_(input, input_bytes, output_bytes);
}

void ModelGen::SaveEncrypt(const std::string& filename) {
  if (filename.empty()) BMODEL_GEN_FAIL("SaveEncrypt", "!filename.empty()");
  // A cipher failure, or an output that the 32-bit header fields cannot
  // describe, would leave an unreadable file.
  constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
  MODEL_HEADER_T header = PlainHeader();
  uint64_t metadata_size = 0;
  std::unique_ptr<uint8_t, FreeDeleter> metadata(
      Encrypt(builder_.GetBufferPointer(), builder_.GetSize(), &metadata_size));
  if (!metadata || metadata_size > kMax32) BMODEL_GEN_FAIL("SaveEncrypt", "Save file[" << filename << "] failed.");
  header.flatbuffers_size = static_cast<uint32_t>(metadata_size);

  uint64_t tail_size = 0;
  std::unique_ptr<uint8_t, FreeDeleter> tail(
      Encrypt(reinterpret_cast<const uint8_t*>(&header) + 8, sizeof(header) - 8, &tail_size));
  if (!tail || tail_size > kMax32 - 8) BMODEL_GEN_FAIL("SaveEncrypt", "Save file[" << filename << "] failed.");
  header.header_size = static_cast<uint32_t>(8 + tail_size);

  std::vector<uint8_t> head(8 + tail_size);
  std::memcpy(head.data(), &header, 8);
  std::memcpy(head.data() + 8, tail.get(), tail_size);
  WriteHeaderedFile("SaveEncrypt", filename, head, metadata.get(), metadata_size);
}

}  // namespace bmodel
