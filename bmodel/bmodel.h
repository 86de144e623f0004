// The bmodel container: file header, schema access, the reader (ModelCtx)
// and the writer (ModelGen).
//
// A bmodel file has three regions: a 64-byte header, a FlatBuffers metadata
// buffer whose root is Model, and a payload of raw bytes addressed by Binary
// ranges (start counted from the first payload byte). docs/model-format.md
// describes the format and the behaviour of both classes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bmodel/bmodel_generated.h"
#include "utils/export.h"

namespace bmodel {

constexpr uint32_t BMODEL_MAGIC = 0xFF55AAEE;
inline constexpr char BMODEL_TYPE[] = "B";
inline constexpr char BMODEL_VERSION[] = "2.2";
constexpr uint32_t BMODEL_HEADER_SIZE = 64;

// The file header, byte for byte (little-endian, binary_size unaligned at
// offset 12). In an encrypted file bytes 8 to 63 are stored enciphered.
#pragma pack(push, 1)
struct MODEL_HEADER_T {
  uint32_t magic;
  uint32_t header_size;
  uint32_t flatbuffers_size;
  uint64_t binary_size;
  uint32_t reserved[11];
};
#pragma pack(pop)
static_assert(sizeof(MODEL_HEADER_T) == BMODEL_HEADER_SIZE, "the header is 64 bytes");

// The function type of the cipher plug-ins' "encrypt" and "decrypt": returns
// a malloc'ed output (released with free) and stores its length, or null.
using cipher_func_t = uint8_t* (*)(const uint8_t* input, uint64_t input_bytes, uint64_t* output_bytes);

// SHA-256 of size bytes at data, written to the 32 bytes at digest. Producers
// use it to fill check codes.
VEXO_API void CalcSha256(const uint8_t* data, uint64_t size, uint8_t* digest);

// Memory a model needs, estimated from its metadata alone.
struct bmodel_mem_info_t {
  uint64_t bdc_cmd_size;
  uint64_t gdma_cmd_size;
  uint64_t hau_cmd_size;
  uint64_t sdma_cmd_size;
  uint64_t dynamic_ir_size;
  uint64_t neuron_mem_size;
  uint64_t coeff_size;
  uint64_t middle_buffer_size;
  uint64_t host_neuron_size;
  uint64_t host_coeff_size;
  uint64_t spare;
  uint64_t dynamic_output_number;
};

struct KERNEL_MODULE_T {
  std::string file_name;
  Binary binary;
};

struct CPUOP_MODULE_T {
  std::string file_name;
  Binary binary;
};

struct CASCADE_INFO_T {
  uint64_t device_id = 0;
  uint64_t step = 0;
  std::string main_name;  // empty when the network is not part of a cascade
};

struct NET_INFO_T {
  std::string name;
  CASCADE_INFO_T cascade;
  std::vector<flatbuffers::Offset<NetParameter>> parameters;  // one per stage
  int32_t addr_mode = 0;
};

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
struct VEXO_API LibraryCloser {
  void operator()(void* handle) const;
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;
class ReadAheadFile;

// Writes bmodel files: payload with deduplication, stages merged into
// networks by name, plain or encrypted saving. Failures log a FATAL line and
// end the process with status -1, except in the writer a reader owns to
// convert a file: there they throw the reader's std::runtime_error.
class VEXO_API ModelGen {
 public:
  // Reserves reserve_size payload bytes; loads the encryption library when
  // encrypt_lib is non-empty.
  explicit ModelGen(uint32_t reserve_size = 0, const std::string& encrypt_lib = "");
  virtual ~ModelGen();
  ModelGen(const ModelGen&) = delete;
  ModelGen& operator=(const ModelGen&) = delete;

  flatbuffers::FlatBufferBuilder& Builder();
  // Identical contents are stored once and share one range.
  Binary WriteBinary(uint64_t size, const uint8_t* data);
  void AddChip(const std::string& arch_name);
  void AddBmodelType(uint32_t type);
  void AddNumDevice(int num_device);
  void AddKernelModule(const std::string& file_name, const Binary& binary);
  void AddCpuModule(const std::string& file_name, const Binary& binary);

  // A finished Net table; such networks come first in the file.
  void AddNet(const flatbuffers::Offset<Net>& net);
  // A new network of one stage, never merged, even under an existing name.
  void AddNet(const std::string& net_name, const CASCADE_INFO_T& cascade,
              const flatbuffers::Offset<NetParameter>& parameter, int32_t addr_mode = 0);
  // A new network, or a further stage of the network of that name after the
  // merging checks. parameter (and cascade) must be built in Builder().
  void AddNet(std::string net_name, const flatbuffers::Offset<NetParameter>& parameter,
              uint32_t* net_idx = nullptr, uint32_t* stage_idx = nullptr,
              const flatbuffers::Offset<Cascade>& cascade = 0, int32_t addr_mode = 0);

  // Builds the Model table; returns the file size.
  size_t Finish();
  void Finish(const std::string& filename);
  uint8_t* GetBufferPointer();
  size_t BufferSize();
  void Save(const std::string& filename);
  // dest must hold BufferSize() bytes.
  void Save(void* dest);
  uint8_t* Encrypt(const uint8_t* input, uint64_t input_bytes, uint64_t* output_bytes);
  void SaveEncrypt(const std::string& filename);

  bool IsTensorConflict(const flatbuffers::Vector<flatbuffers::Offset<Tensor>>* tensors,
                        const flatbuffers::Vector<flatbuffers::Offset<Tensor>>* new_tensors);
  bool IsShapeSame(const Shape* left, const Shape* right);

 private:
  friend class ModelCtx;
  // After the FATAL line of `reason`: the end of the process, or the
  // reader's exception.
  [[noreturn]] void Fail(const std::string& reason) const;
  void InitEncrypt();
  void WriteHeaderedFile(const char* function, const std::string& filename, const std::vector<uint8_t>& head,
                         const uint8_t* metadata, size_t metadata_size);
  MODEL_HEADER_T PlainHeader() const;

  std::string chip_;
  uint32_t device_num_ = 0;
  flatbuffers::FlatBufferBuilder builder_;
  std::vector<uint8_t> binary_;
  std::vector<Binary> binary_vector_;
  std::vector<NET_INFO_T> net_vector_;
  std::vector<flatbuffers::Offset<Net>> nets_;
  uint64_t max_neuron_size_ = 0;
  KERNEL_MODULE_T kernel_module_;
  CPUOP_MODULE_T cpuop_module_;
  std::string encrypt_lib_;
  LibraryHandle encrypt_handle_;
  cipher_func_t encrypt_func_ = nullptr;
  uint32_t bmodel_type_ = 0;
  // Set by a reader whose conversion of a file runs through this writer: what
  // its failures then throw, since a file's content must not end the process.
  const char* input_error_ = nullptr;
};

// Reads bmodel files (plain or encrypted) and model images in memory: checks
// the header, keeps a verified copy of the metadata, converts legacy networks
// and serves payload ranges. Broken input (including a file that cannot be
// converted or whose statistics cannot be computed) throws
// std::runtime_error after a FATAL line; misuse by the caller (absent range
// or buffer, a count beyond the range) ends the process with status -1.
class VEXO_API ModelCtx {
 public:
  // The decryption path is taken when decrypt_lib is non-empty or
  // decrypt_func is given.
  explicit ModelCtx(const std::string& filename, const std::string& decrypt_lib = "",
                    cipher_func_t decrypt_func = nullptr);
  // A complete model image of size bytes; not copied, must outlive the
  // reader, and payload writes go into it.
  ModelCtx(void* bmodel_data, size_t size);
  virtual ~ModelCtx();
  ModelCtx(const ModelCtx&) = delete;
  ModelCtx& operator=(const ModelCtx&) = delete;

  explicit operator bool() const { return model_ != nullptr; }
  const Model* model() const { return model_; }
  // The owned copy of the metadata region (deciphered when encrypted).
  const void* data() const { return model_buffer_.get(); }
  const MODEL_HEADER_T& header() const { return header_; }

  void read_binary(const Binary* binary, uint8_t* buffer);
  void read_binary(const Binary* binary, uint64_t offset, uint8_t* buffer, uint64_t size);
  void write_binary(const Binary* binary, const uint8_t* buffer);
  void write_binary(const Binary* binary, uint64_t offset, const uint8_t* buffer, uint64_t size);
  // Asks the kernel to read bytes [offset, offset + size) of the range into
  // the page cache ahead of a read_binary, and returns at once, so that the
  // disk works while the caller does something else. A hint: it reads
  // nothing into the process, has no effect on model images in memory, and
  // requests outside the range are ignored.
  void prefetch_binary(const Binary* binary, uint64_t offset, uint64_t size) const;

  // Deciphered copies, malloc'ed (release with free), or null.
  uint8_t* read_binary_with_decrypt(const Binary* binary, uint64_t* out_size);
  uint8_t* decrypt_file(const std::string& filename, uint64_t* out_size);

  // Whether a named weight of the stage's coefficient image starts at offset;
  // if so, its range and name go to the outputs.
  bool get_weight(const std::string& net_name, int stage_idx, uint64_t offset, Binary& bin,
                  std::string& weight_name) const;
  bmodel_mem_info_t get_bmodel_mem_info() const;

 private:
  void init_decrypt();
  void decrypt_bmodel(const std::string& filename);
  std::unique_ptr<uint8_t, FreeDeleter> decrypt_buffer_from_file(uint64_t position, uint64_t length,
                                                                 uint64_t* out_size);
  // Adopts the metadata copy, verifies it (throwing what after the broken
  // line and the information lines), takes its root and converts it.
  void take_metadata(std::unique_ptr<uint8_t, FreeDeleter> metadata, uint64_t size, const char* function,
                     const std::string& broken, const char* what);
  // The conversion's failures throw what.
  void update_bmodel(const char* what);
  void update_net(const std::string& net_name,
                  const flatbuffers::Vector<flatbuffers::Offset<NetStatic>>* params, const char* what);
  void update_net(const std::string& net_name,
                  const flatbuffers::Vector<flatbuffers::Offset<NetDynamic>>* params, const char* what);
  // Checks a payload request of read_binary or write_binary and returns its
  // position in the file or image.
  uint64_t locate(const char* function, const Binary* binary, uint64_t offset, const void* buffer,
                  uint64_t size) const;

  MODEL_HEADER_T header_{};
  std::unique_ptr<ModelGen> model_gen_;
  const Model* model_ = nullptr;
  std::unique_ptr<uint8_t, FreeDeleter> model_buffer_;
  uint64_t binary_offset_ = 0;
  std::unique_ptr<ReadAheadFile> file_;
  uint8_t* bmodel_data_ = nullptr;
  uint64_t bmodel_data_size_ = 0;
  std::string decrypt_lib_;
  LibraryHandle decrypt_handle_;
  cipher_func_t decrypt_func_ = nullptr;
};

}  // namespace bmodel
