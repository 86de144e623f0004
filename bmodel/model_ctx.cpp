// The bmodel reader: plain and encrypted files, images in memory, payload
// ranges.
#include <fcntl.h>

#include <cstring>
#include <iostream>

#include "bmodel/bmodel.h"
#include "bmodel/internal/alignment.h"
#include "bmodel/internal/file.h"
#include "bmodel/internal/log.h"
#include "bmodel/internal/plugin.h"

namespace bmodel {
namespace {

using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

// Bounds-checked little-endian loads from a buffer that has not been
// verified: each fails instead of reading outside [0, size).
template <typename T>
bool load(const uint8_t* buf, uint64_t size, uint64_t pos, T* value) {
  if (sizeof(T) > size || pos > size - sizeof(T)) return false;
  std::memcpy(value, buf + pos, sizeof(T));
  return true;
}

// The string that field field_id of the root table points at, when the
// field's slot, its offset and the whole string lie inside the buffer.
bool load_root_string(const uint8_t* buf, uint64_t size, uint64_t table, uint64_t vtable,
                      uint16_t vtable_size, int field_id, std::string* out) {
  const uint64_t slot = 4 + 2 * static_cast<uint64_t>(field_id);
  uint16_t field = 0;
  if (slot + 2 > vtable_size || !load(buf, size, vtable + slot, &field) || field == 0) return false;
  uint32_t relative = 0;
  if (!load(buf, size, table + field, &relative)) return false;
  const uint64_t text = table + field + relative;
  uint32_t length = 0;
  if (!load(buf, size, text, &length) || length > size - text - 4) return false;
  out->assign(reinterpret_cast<const char*>(buf + text + 4), length);
  return true;
}

// After a failed verification, the version, chip and date of the metadata
// help to tell what produced the file. They are printed only when the root
// table and the four strings lie inside the buffer.
void log_model_information(const char* function, const uint8_t* buf, uint64_t size) {
  uint32_t root = 0;
  int32_t to_vtable = 0;
  uint16_t vtable_size = 0;
  uint16_t table_size = 0;
  if (!load(buf, size, 0, &root) || !load(buf, size, root, &to_vtable)) return;
  const int64_t vtable_position = int64_t{root} - to_vtable;
  if (vtable_position < 0) return;
  const uint64_t vtable = static_cast<uint64_t>(vtable_position);
  if (vtable >= size || !load(buf, size, vtable, &vtable_size) || !load(buf, size, vtable + 2, &table_size) ||
      vtable_size > size - vtable || table_size > size - root) {
    return;
  }
  std::string type, version, time, chip;
  if (!load_root_string(buf, size, root, vtable, vtable_size, 0, &type) ||
      !load_root_string(buf, size, root, vtable, vtable_size, 1, &version) ||
      !load_root_string(buf, size, root, vtable, vtable_size, 2, &time) ||
      !load_root_string(buf, size, root, vtable, vtable_size, 3, &chip)) {
    return;
  }
  BMODEL_FATAL(function, "=========== More Information ===========");
  BMODEL_FATAL(function, "Version: " << type << "." << version);
  BMODEL_FATAL(function, "Chip: " << chip);
  BMODEL_FATAL(function, "Date: " << time);
}

// header_size + flatbuffers_size + binary_size, without wrapping.
bool model_fits(const MODEL_HEADER_T& header, uint64_t available) {
  const uint64_t regions = uint64_t{header.header_size} + header.flatbuffers_size;
  return regions <= available && header.binary_size <= available - regions;
}

// Never null for 0 bytes, so that only a real shortage reads as a failure.
Buffer allocate(uint64_t size) { return Buffer(static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size))); }

// start + offset, checked that it does not wrap.
bool add_checked(uint64_t a, uint64_t b, uint64_t* sum) {
  if (b > UINT64_MAX - a) return false;
  *sum = a + b;
  return true;
}

// Throws the exception of a failed payload access.
void check_file_access(const char* function, ReadAheadFile::Status status) {
  if (status == ReadAheadFile::Status::bad_position) {
    BMODEL_THROW(function, "Failed to seek in " << function, std::string("Failed to seek in ") + function);
  }
  if (status != ReadAheadFile::Status::ok) {
    BMODEL_THROW(function, "Failed to read in " << function, std::string("Failed to read in ") + function);
  }
}

}  // namespace

ModelCtx::ModelCtx(const std::string& filename, const std::string& decrypt_lib, cipher_func_t decrypt_func)
    : decrypt_lib_(decrypt_lib), decrypt_func_(decrypt_func) {
  const bool decrypting = !decrypt_lib_.empty() || decrypt_func_ != nullptr;
  file_ = ReadAheadFile::open(filename, !decrypting);
  if (!file_) BMODEL_THROW("ModelCtx", "File[" << filename << "] open failed.", "failed to construct");
  if (file_->size() <= BMODEL_HEADER_SIZE) {
    BMODEL_THROW("ModelCtx", "File[" << filename << "] is broken .", "failed to construct");
  }
  if (decrypting) {
    init_decrypt();
    decrypt_bmodel(filename);
    return;
  }

  if (file_->read(0, &header_, sizeof(header_)) != ReadAheadFile::Status::ok ||
      header_.magic != BMODEL_MAGIC) {
    BMODEL_THROW("ModelCtx", "File[" << filename << "] is broken ..", "failed to construct");
  }
  if (!model_fits(header_, file_->size())) {
    BMODEL_THROW("ModelCtx", "File[" << filename << "] is broken ...", "failed to construct");
  }
  binary_offset_ = uint64_t{header_.header_size} + header_.flatbuffers_size;
  Buffer metadata = allocate(header_.flatbuffers_size);
  if (!metadata) BMODEL_DIE("ModelCtx", "model_buffer_ != NULL");
  if (file_->read(header_.header_size, metadata.get(), header_.flatbuffers_size) !=
      ReadAheadFile::Status::ok) {
    BMODEL_THROW("ModelCtx", "File[" << filename << "] is broken ...", "failed to construct");
  }
  take_metadata(std::move(metadata), header_.flatbuffers_size, "ModelCtx",
                "Model file[" + filename + "] is broken.", "failed to construct");
}

ModelCtx::ModelCtx(void* bmodel_data, size_t size) {
  if (bmodel_data == nullptr) BMODEL_DIE("ModelCtx", "bmodel_data != NULL");
  const auto* image = static_cast<const uint8_t*>(bmodel_data);
  if (size <= BMODEL_HEADER_SIZE) BMODEL_THROW("ModelCtx", "Bmodel data is broken .", "failed to construct");
  std::memcpy(&header_, image, sizeof(header_));
  if (header_.magic != BMODEL_MAGIC)
    BMODEL_THROW("ModelCtx", "Bmodel data is broken ..", "failed to construct");
  if (!model_fits(header_, size))
    BMODEL_THROW("ModelCtx", "Bmodel data is broken ...", "failed to construct");
  binary_offset_ = uint64_t{header_.header_size} + header_.flatbuffers_size;
  Buffer metadata = allocate(header_.flatbuffers_size);
  if (!metadata) BMODEL_DIE("ModelCtx", "model_buffer_ != NULL");
  std::memcpy(metadata.get(), image + header_.header_size, header_.flatbuffers_size);
  take_metadata(std::move(metadata), header_.flatbuffers_size, "ModelCtx", "Model data is broken ....",
                "failed to construct");
  bmodel_data_ = static_cast<uint8_t*>(bmodel_data);
  bmodel_data_size_ = size;
}

ModelCtx::~ModelCtx() = default;

void ModelCtx::take_metadata(Buffer metadata, uint64_t size, const char* function, const std::string& broken,
                             const char* what) {
  model_buffer_ = std::move(metadata);
  // The verifier asserts on buffers of FLATBUFFERS_MAX_BUFFER_SIZE bytes or
  // more; none of them is valid.
  bool valid = size < FLATBUFFERS_MAX_BUFFER_SIZE;
  if (valid) {
    flatbuffers::Verifier verifier(model_buffer_.get(), size, 64, 1000000, true);
    valid = VerifyModelBuffer(verifier) && detail::wide_vectors_aligned(GetModel(model_buffer_.get()));
  }
  if (!valid) {
    BMODEL_FATAL(function, broken);
    log_model_information(function, model_buffer_.get(), size);
    detail::throw_error(what, broken);
  }
  model_ = GetModel(model_buffer_.get());
  update_bmodel(what);
}

void ModelCtx::init_decrypt() {
  if (decrypt_func_) return;
  decrypt_handle_ = detail::open_library(decrypt_lib_);
  if (!decrypt_handle_)
    BMODEL_THROW("init_decrypt", "Decrypt lib [" << decrypt_lib_ << "] load failed.", "failed to decrypt");
  decrypt_func_ = detail::find_cipher(decrypt_handle_, "decrypt");
  if (!decrypt_func_) {
    BMODEL_THROW("init_decrypt", "Decrypt lib [" << decrypt_lib_ << "] symbol find failed.",
                 "failed to decrypt");
  }
}

Buffer ModelCtx::decrypt_buffer_from_file(uint64_t position, uint64_t length, uint64_t* out_size) {
  if (out_size == nullptr) {
    BMODEL_FATAL("decrypt_buffer_from_file", "out_size is null");
    return nullptr;
  }
  if (!file_ || !detail::file_range_fits(position, length)) {
    BMODEL_FATAL("decrypt_buffer_from_file", "Failed to seek to the specified position.");
    return nullptr;
  }
  // A length taken from a broken header must not allocate more than the
  // file could ever give.
  const uint64_t file_size = file_->size();
  if (position > file_size || length > file_size - position) {
    BMODEL_FATAL("decrypt_buffer_from_file", "Failed to read from the file.");
    return nullptr;
  }
  Buffer input = allocate(length);
  if (!input) {
    BMODEL_FATAL("decrypt_buffer_from_file", "Memory allocation failed");
    return nullptr;
  }
  if (file_->read(position, input.get(), length) != ReadAheadFile::Status::ok) {
    BMODEL_FATAL("decrypt_buffer_from_file", "Failed to read from the file.");
    return nullptr;
  }
  Buffer output(decrypt_func_ ? decrypt_func_(input.get(), length, out_size) : nullptr);
  if (!output) {
    BMODEL_THROW("decrypt_buffer_from_file",
                 "Decryption failed: the result returned by decrypt_func_ is null.", "failed to decrypt");
  }
  return output;
}

void ModelCtx::decrypt_bmodel(const std::string& filename) {
  if (file_->read(0, &header_, sizeof(header_)) != ReadAheadFile::Status::ok ||
      header_.magic != BMODEL_MAGIC) {
    BMODEL_THROW("decrypt_bmodel", "File[" << filename << "] is broken ..", "failed to load bmodel");
  }
  constexpr uint64_t kTailSize = sizeof(header_) - 8;
  uint64_t tail_size = 0;
  Buffer tail;
  if (header_.header_size >= 8) tail = decrypt_buffer_from_file(8, header_.header_size - 8, &tail_size);
  if (!tail || tail_size != kTailSize) {
    BMODEL_THROW("decrypt_bmodel", "File[" << filename << "] is broken ..", "failed to decrypt");
  }
  std::memcpy(reinterpret_cast<uint8_t*>(&header_) + 8, tail.get(), kTailSize);
  for (uint32_t word : header_.reserved) {
    if (word != 0) BMODEL_THROW("decrypt_bmodel", "your decrypt key is broken.", "failed to decrypt");
  }

  uint64_t metadata_size = 0;
  Buffer metadata = decrypt_buffer_from_file(header_.header_size, header_.flatbuffers_size, &metadata_size);
  if (!metadata) BMODEL_THROW("decrypt_bmodel", "File[" << filename << "] is broken ..", "failed to decrypt");
  binary_offset_ = uint64_t{header_.header_size} + header_.flatbuffers_size;
  if (!model_fits(header_, file_->size())) {
    BMODEL_THROW("decrypt_bmodel", "Bmodel data is broken .", "failed to construct");
  }
  // The cipher's output is malloc'ed and so suitably aligned: it becomes
  // the metadata copy as it is.
  take_metadata(std::move(metadata), metadata_size, "decrypt_bmodel",
                "Model file[" + filename + "] is broken.", "failed to load bmodel");
}

uint8_t* ModelCtx::read_binary_with_decrypt(const Binary* binary, uint64_t* out_size) {
  if (binary == nullptr || binary->size() == 0) {
    BMODEL_FATAL("read_binary_with_decrypt", "binary is null");
    return nullptr;
  }
  uint64_t position = 0;
  if (!add_checked(binary_offset_, binary->start(), &position)) position = UINT64_MAX;
  return decrypt_buffer_from_file(position, binary->size(), out_size).release();
}

uint8_t* ModelCtx::decrypt_file(const std::string& filename, uint64_t* out_size) {
  detail::UniqueFd fd = detail::open_file(filename, O_RDONLY);
  uint64_t size = 0;
  if (!fd || !detail::file_size(fd.get(), &size)) {
    std::cerr << "Failed to open file: " << filename << std::endl;
    return nullptr;
  }
  if (size == 0) {
    std::cerr << "Failed as file empty: " << filename << std::endl;
    return nullptr;
  }
  std::vector<uint8_t> content(size);
  if (!detail::pread_all(fd.get(), 0, content.data(), size)) {
    std::cerr << "Failed to read file: " << filename << std::endl;
    return nullptr;
  }
  fd.close();
  uint8_t* output = decrypt_func_ && out_size ? decrypt_func_(content.data(), size, out_size) : nullptr;
  if (output == nullptr) std::cerr << "Decryption failed for file: " << filename << std::endl;
  return output;
}

uint64_t ModelCtx::locate(const char* function, const Binary* binary, uint64_t offset, const void* buffer,
                          uint64_t size) const {
  if (binary == nullptr) BMODEL_DIE(function, "binary != NULL");
  if (buffer == nullptr) BMODEL_DIE(function, "buffer != NULL");
  if (size > binary->size() || offset > binary->size() - size) {
    BMODEL_DIE(function, "size + offset <= binary->size()");
  }
  uint64_t position = 0;
  const bool addressable =
      add_checked(binary_offset_, binary->start(), &position) && add_checked(position, offset, &position);
  const bool in_image = addressable && size <= bmodel_data_size_ && position <= bmodel_data_size_ - size;
  if (bmodel_data_ && !in_image) {
    BMODEL_THROW(function, "range ends beyond the bmodel data", std::string("Failed to read in ") + function);
  }
  if (!addressable) {
    BMODEL_THROW(function, "Failed to seek in " << function, std::string("Failed to seek in ") + function);
  }
  return position;
}

void ModelCtx::read_binary(const Binary* binary, uint8_t* buffer) {
  if (binary == nullptr) BMODEL_DIE("read_binary", "binary != NULL");
  read_binary(binary, 0, buffer, binary->size());
}

void ModelCtx::read_binary(const Binary* binary, uint64_t offset, uint8_t* buffer, uint64_t size) {
  const uint64_t position = locate("read_binary", binary, offset, buffer, size);
  if (!bmodel_data_) {
    check_file_access("read_binary", file_->read(position, buffer, size));
  } else if (size != 0) {
    std::memcpy(buffer, bmodel_data_ + position, size);
  }
}

void ModelCtx::prefetch_binary(const Binary* binary, uint64_t offset, uint64_t size) const {
  if (bmodel_data_ || !file_ || binary == nullptr || size > binary->size() || offset > binary->size() - size) return;
  uint64_t position = 0;
  if (add_checked(binary_offset_, binary->start(), &position) && add_checked(position, offset, &position)) {
    file_->will_need(position, size);
  }
}

void ModelCtx::write_binary(const Binary* binary, const uint8_t* buffer) {
  if (binary == nullptr) BMODEL_DIE("write_binary", "binary != NULL");
  write_binary(binary, 0, buffer, binary->size());
}

void ModelCtx::write_binary(const Binary* binary, uint64_t offset, const uint8_t* buffer, uint64_t size) {
  const uint64_t position = locate("write_binary", binary, offset, buffer, size);
  if (!bmodel_data_) {
    check_file_access("write_binary", file_->write(position, buffer, size));
  } else if (size != 0) {
    std::memcpy(bmodel_data_ + position, buffer, size);
  }
}

bool ModelCtx::get_weight(const std::string& net_name, int stage_idx, uint64_t offset, Binary& bin,
                          std::string& weight_name) const {
  const Net* net = nullptr;
  for (const Net* candidate : *model_->net()) {
    if (candidate->name()->str() == net_name) {
      net = candidate;
      break;
    }
  }
  if (net == nullptr || net->parameter() == nullptr || stage_idx < 0 ||
      static_cast<uint32_t>(stage_idx) >= net->parameter()->size()) {
    return false;
  }
  const CoeffMem* coeff = net->parameter()->Get(static_cast<uint32_t>(stage_idx))->coeff_mem();
  if (coeff == nullptr || coeff->location() == nullptr || coeff->binary_coeff() == nullptr) return false;
  for (const Location* location : *coeff->location()) {
    if (location->offset() != offset) continue;
    uint64_t start = 0;
    if (!add_checked(coeff->binary_coeff()->start(), offset, &start)) return false;
    weight_name = location->name()->str();
    bin = Binary(start, location->size());
    return true;
  }
  return false;
}

}  // namespace bmodel
