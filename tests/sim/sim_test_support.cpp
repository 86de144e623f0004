#include "sim_test_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace simtest {

void set_env(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

std::string fresh_temp_path(const std::string& stem) {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string path = ::testing::TempDir() + "vexo_sim_" + test->test_suite_name() + "_" + test->name() + "_" +
                           std::to_string(::getpid()) + "_" + stem;
  std::remove(path.c_str());
  return path;
}

std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

Handle::Handle(int devid) { EXPECT_EQ(bm_dev_request(&handle_, devid), BM_SUCCESS); }

Handle::~Handle() {
  if (handle_ != nullptr) bm_dev_free(handle_);
}

bm_device_mem_t alloc(bm_handle_t handle, unsigned size) {
  bm_device_mem_t mem{};
  EXPECT_EQ(bm_malloc_device_byte(handle, &mem, size), BM_SUCCESS);
  return mem;
}

bm_device_mem_t desc(uint64_t addr, unsigned size) {
  bm_device_mem_t mem{};
  mem.u.device.device_addr = addr;
  mem.size = size;
  return mem;
}

void upload(bm_handle_t handle, uint64_t addr, const Bytes& bytes) {
  Bytes copy = bytes;
  ASSERT_EQ(bm_memcpy_s2d_partial(handle, desc(addr), copy.data(), static_cast<unsigned>(copy.size())), BM_SUCCESS);
}

Bytes download(bm_handle_t handle, uint64_t addr, size_t size) {
  Bytes bytes(size);
  EXPECT_EQ(bm_memcpy_d2s_partial(handle, bytes.data(), desc(addr), static_cast<unsigned>(size)), BM_SUCCESS);
  return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes sequence(size_t size, uint8_t first) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

Record& Record::u32(uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return *this;
}

Record& Record::u64(uint64_t value) { return u32(static_cast<uint32_t>(value)).u32(static_cast<uint32_t>(value >> 32)); }

Bytes Gdma::encode() const {
  std::vector<uint32_t> words(24, 0);
  words[1] = (type & 0xF) | (const_fill ? 0x80u : 0) | 0xABCD0000u;  // high bits: other fields
  words[2] = count;
  words[3] = unit;
  words[4] = limit;
  const uint64_t addrs[] = {src, dst, index};
  for (int i = 0; i < 3; ++i) {
    words[16 + 2 * i] = static_cast<uint32_t>(addrs[i]);
    words[17 + 2 * i] = static_cast<uint32_t>(addrs[i] >> 32) | 0x5A5A5A00u;  // bits 8-31 belong to other fields
  }
  Record record;
  for (const uint32_t word : words) record.u32(word);
  return record.bytes;
}

// Fields in declaration order: type, const_fill, count, unit, limit, src, dst, index.
Gdma copy_cmd(uint64_t src, uint64_t dst, uint32_t bytes) { return {0, false, 1, bytes, 0, src, dst, 0}; }

Gdma fill_cmd(uint32_t pattern, uint64_t dst, uint32_t count, uint32_t unit) {
  return {0, true, count, unit, 0, pattern, dst, 0};
}

Gdma gather_cmd(uint64_t table, uint64_t dst, uint64_t index, uint32_t count, uint32_t unit, uint32_t limit) {
  return {2, false, count, unit, limit, table, dst, index};
}

Gdma scatter_cmd(uint64_t src, uint64_t table, uint64_t index, uint32_t count, uint32_t unit, uint32_t limit) {
  return {7, false, count, unit, limit, src, table, index};
}

Bytes invalid_bdc_filler(size_t len) {
  Record record;
  while (record.bytes.size() < len) record.u32(1).u32(7u << 9);  // short form, task type 7
  record.bytes.resize(len);
  return record.bytes;
}

Bytes bdc_cmd(bool is_short, uint32_t tsk_type, uint32_t eu_type, size_t len) {
  Bytes bytes = invalid_bdc_filler(len);
  Record head;
  head.u32(is_short ? 1u : 0u).u32((tsk_type << 9) | (eu_type << 13));
  std::copy(head.bytes.begin(), head.bytes.end(), bytes.begin());
  return bytes;
}

Bytes static_record(const std::vector<uint64_t>& inputs, const std::vector<uint64_t>& outputs, uint64_t bdc_addr,
                    uint64_t gdma_addr, const std::vector<GroupCounts>& groups) {
  Record record;
  for (const auto* list : {&inputs, &outputs}) {
    record.u32(static_cast<uint32_t>(list->size()));
    for (const uint64_t addr : *list) record.u64(addr).u64(addr).u32(64);
  }
  record.u64(bdc_addr).u64(gdma_addr).u32(static_cast<uint32_t>(groups.size()));
  for (const GroupCounts& group : groups) record.u32(group.bdc_num).u32(group.gdma_num).u32(0).u32(0);
  return record.bytes;
}

Bytes gdma_group(const std::vector<Gdma>& commands) {
  Bytes stream;
  for (const Gdma& cmd : commands) {
    const Bytes encoded = cmd.encode();
    stream.insert(stream.end(), encoded.begin(), encoded.end());
  }
  const size_t end_command = (stream.size() + 16 + 127) / 128 * 128 - stream.size();
  stream.resize(stream.size() + end_command, 0);
  return stream;
}

bm_status_t run_gdma(bm_handle_t handle, const std::vector<Gdma>& commands) {
  Bytes stream = gdma_group(commands);
  const bm_device_mem_t buffer = alloc(handle, static_cast<unsigned>(stream.size()));
  upload(handle, buffer.u.device.device_addr, stream);
  Bytes record = static_record({}, {}, 0, buffer.u.device.device_addr,
                               {{0, static_cast<uint32_t>(commands.size() + 1)}});
  const bm_status_t status = tpu_kernel_launch(handle, kStaticFullnet, record.data(), record.size());
  EXPECT_EQ(bm_free_device(handle, buffer), BM_SUCCESS);
  return status;
}

Bytes dynamic_record(uint64_t ir_addr, uint32_t ir_words, const std::vector<DynamicInput>& inputs,
                     const std::vector<uint64_t>& outputs, uint32_t contexts) {
  Record record;
  record.u64(ir_addr).u32(ir_words).u32(static_cast<uint32_t>(inputs.size()));
  for (const DynamicInput& input : inputs) {
    record.u64(input.addr).u32(static_cast<uint32_t>(input.dims.size()) | (1u << 16));
    uint32_t elements = 1;
    for (const uint32_t dim : input.dims) {
      record.u32(dim);
      elements *= dim;
    }
    record.u32(elements);
  }
  record.u32(static_cast<uint32_t>(outputs.size()));
  for (const uint64_t addr : outputs) record.u64(addr);
  record.u32(0).u64(0).u64(0x1000).u32(contexts);
  for (uint32_t k = 0; k < contexts; ++k) record.u64(0x1000 * (k + 1)).u64(0x10000);
  record.u64(0x20000).u64(0x2000).u64(0x10000);
  return record.bytes;
}

}  // namespace simtest
