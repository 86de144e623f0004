// Layout of the launch records that the kernel module's full-network
// functions receive: packed little-endian fields, each right after the
// previous one, so 64-bit fields may sit at any offset.
//
// The one description of the records: the library's launch-record builder
// encodes them and the simulated device decodes them, both through the
// functions below, which keep each field's encoding beside its decoding.
// Internal to the library and the simulated device; not installed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace vexofmt {
namespace launch {

// The kernel module's functions, in the order the library resolves them.
constexpr std::string_view kStaticFullnet = "sg_api_multi_fullnet";
constexpr std::string_view kDynamicFullnet = "sg_api_dynamic_fullnet";
constexpr std::string_view kSetProfile = "sg_api_set_profile";
constexpr std::string_view kGetProfileData = "sg_api_get_profile_data";
constexpr std::array<std::string_view, 4> kFunctionNames = {kStaticFullnet, kDynamicFullnet, kSetProfile,
                                                            kGetProfileData};

// Dimensions per input that a dynamic record has room for.
constexpr size_t kMaxDims = 8;
// Largest dynamic record that keeps the room for kMaxDims dimensions.
constexpr size_t kMaxRecordSize = 4064;

// Static record: input count, per input its address twice and its size,
// output count, per output the same, the BDC and GDMA buffer addresses,
// group count, per group its counts and range sizes.
constexpr size_t kStaticTensorBytes = 20;
constexpr size_t kStaticGroupBytes = 16;
inline size_t static_record_size(size_t inputs, size_t outputs, size_t groups) {
  return 28 + kStaticTensorBytes * (inputs + outputs) + kStaticGroupBytes * groups;
}

// Dynamic record: with room for kMaxDims dimensions per input, or, when that
// exceeds kMaxRecordSize, exactly the bytes written for `dims` dimensions in all.
inline size_t dynamic_record_size(size_t inputs, size_t dims, size_t outputs, size_t contexts) {
  const size_t roomy = 68 + (16 + 4 * kMaxDims) * inputs + 8 * outputs + 16 * contexts;
  return roomy <= kMaxRecordSize ? roomy : 68 + 16 * inputs + 4 * dims + 8 * outputs + 16 * contexts;
}
// The IR length field counts 32-bit words, rounded up.
inline uint32_t ir_words(uint32_t ir_len) { return static_cast<uint32_t>((uint64_t{ir_len} + 3) / 4); }
// The dtype-and-dims word of a dynamic input.
inline uint32_t dtype_and_dims(uint32_t data_type, uint32_t dims) { return dims | (data_type << 16); }
inline uint32_t dims_of(uint32_t dtype_and_dims_word) { return dtype_and_dims_word & 0xFFFFu; }

// Writes fields in order into a record of fixed size. A write that would pass
// the end writes nothing and marks the record as overflowed.
class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& record) : record_(record) {}
  size_t position() const { return pos_; }
  bool overflowed() const { return overflowed_; }
  void u32(uint32_t value) { put(&value, sizeof value); }
  void u64(uint64_t value) { put(&value, sizeof value); }

 private:
  void put(const void* value, size_t n) {
    if (overflowed_ || n > record_.size() - pos_) {
      overflowed_ = true;
      return;
    }
    std::memcpy(record_.data() + pos_, value, n);
    pos_ += n;
  }

  std::vector<uint8_t>& record_;
  size_t pos_ = 0;
  bool overflowed_ = false;
};

// Reads fields in order. A read that would pass the end fails and consumes nothing.
class Reader {
 public:
  Reader(const unsigned char* data, size_t size) : data_(data), size_(size) {}
  bool u32(uint32_t& value) { return take(&value, sizeof value); }
  bool u64(uint64_t& value) { return take(&value, sizeof value); }
  bool skip(uint64_t bytes) {
    if (bytes > remaining()) return false;
    pos_ += bytes;
    return true;
  }
  uint64_t remaining() const { return size_ - pos_; }

 private:
  bool take(void* value, size_t bytes) {
    if (bytes > remaining()) return false;
    std::memcpy(value, data_ + pos_, bytes);
    pos_ += bytes;
    return true;
  }

  const unsigned char* data_;
  size_t size_;
  size_t pos_ = 0;
};

// ---- Static record fields ----

// One tensor entry: its address twice, then the low 32 bits of its size.
inline void write_static_tensor(Writer& w, uint64_t addr, uint64_t size) {
  w.u64(addr);
  w.u64(addr);
  w.u32(static_cast<uint32_t>(size));
}
inline bool skip_static_tensors(Reader& r, uint32_t count) { return r.skip(uint64_t{kStaticTensorBytes} * count); }

struct StaticGroup {
  uint32_t bdc_num = 0;
  uint32_t gdma_num = 0;
  uint32_t bdc_bytes = 0;   // low 32 bits of the group's BDC range size
  uint32_t gdma_bytes = 0;  // the same for GDMA
};
inline void write_static_group(Writer& w, const StaticGroup& g) {
  w.u32(g.bdc_num);
  w.u32(g.gdma_num);
  w.u32(g.bdc_bytes);
  w.u32(g.gdma_bytes);
}
inline bool read_static_group(Reader& r, StaticGroup& g) {
  return r.u32(g.bdc_num) && r.u32(g.gdma_num) && r.u32(g.bdc_bytes) && r.u32(g.gdma_bytes);
}

// The part between the tensor entries and the groups.
struct StaticBuffers {
  uint64_t bdc_addr = 0;
  uint64_t gdma_addr = 0;
  uint32_t groups = 0;
};
inline void write_static_buffers(Writer& w, const StaticBuffers& b) {
  w.u64(b.bdc_addr);
  w.u64(b.gdma_addr);
  w.u32(b.groups);
}
inline bool read_static_buffers(Reader& r, StaticBuffers& b) {
  return r.u64(b.bdc_addr) && r.u64(b.gdma_addr) && r.u32(b.groups);
}

// ---- Dynamic record fields ----

inline void write_dynamic_ir(Writer& w, uint64_t ir_addr, uint32_t ir_len) {
  w.u64(ir_addr);
  w.u32(ir_words(ir_len));
}
inline bool read_dynamic_ir(Reader& r, uint64_t& ir_addr, uint32_t& words) { return r.u64(ir_addr) && r.u32(words); }

// One input: address, dtype-and-dims word, the dimensions' low 32 bits and
// the element count (their product in 32-bit arithmetic).
template <typename Dims>
void write_dynamic_input(Writer& w, uint64_t addr, uint32_t data_type, const Dims& dims) {
  w.u64(addr);
  w.u32(dtype_and_dims(data_type, static_cast<uint32_t>(dims.size())));
  uint32_t elements = 1;
  for (const auto dim : dims) {
    w.u32(static_cast<uint32_t>(dim));
    elements *= static_cast<uint32_t>(dim);
  }
  w.u32(elements);
}
// Reads an input's address and skips its dimensions and element count.
inline bool read_dynamic_input(Reader& r, uint64_t& addr) {
  uint32_t word = 0;
  return r.u64(addr) && r.u32(word) && r.skip(uint64_t{4} * dims_of(word) + 4);
}

// The fields after the output addresses: get_output_shape and
// output_shape_global_addr (both 0), neuron_addr, the contexts as border and
// offset pairs, coeff_offset, io_addr, and neuron_offset again.
inline void write_dynamic_tail(Writer& w, uint64_t neuron_addr, const std::vector<uint64_t>& ctx_borders,
                               uint64_t neuron_offset, uint64_t coeff_offset, uint64_t io_addr) {
  w.u32(0);
  w.u64(0);
  w.u64(neuron_addr);
  w.u32(static_cast<uint32_t>(ctx_borders.size()));
  for (const uint64_t border : ctx_borders) {
    w.u64(border);
    w.u64(neuron_offset);
  }
  w.u64(coeff_offset);
  w.u64(io_addr);
  w.u64(neuron_offset);
}
// Walks the tail without keeping it: true when the record holds all of it.
inline bool skip_dynamic_tail(Reader& r) {
  uint32_t contexts = 0;
  return r.skip(4 + 8 + 8) && r.u32(contexts) && r.skip(uint64_t{16} * contexts) && r.skip(8 + 8 + 8);
}

}  // namespace launch
}  // namespace vexofmt
