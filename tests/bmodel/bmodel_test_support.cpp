#include "bmodel_test_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace bmodel_test {

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "bmodel_test_XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = templ;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes pattern(size_t size, uint32_t seed) {
  Bytes bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

namespace {

std::vector<std::unique_ptr<bmodel::TensorT>> tensors_of(const std::vector<TensorSpec>& specs) {
  std::vector<std::unique_ptr<bmodel::TensorT>> tensors;
  for (const TensorSpec& spec : specs) {
    auto tensor = std::make_unique<bmodel::TensorT>();
    tensor->name = spec.name;
    tensor->data_type = spec.data_type;
    auto shape = std::make_unique<bmodel::ShapeT>();
    shape->dim = spec.dims;
    tensor->shape.push_back(std::move(shape));
    tensors.push_back(std::move(tensor));
  }
  return tensors;
}

void add_location(bmodel::CoeffMemT& coeff, const std::string& name, uint64_t offset, uint64_t size) {
  auto location = std::make_unique<bmodel::LocationT>();
  location->name = name;
  location->offset = offset;
  location->size = size;
  coeff.location.push_back(std::move(location));
}

}  // namespace

bmodel::NetParameterT stage_of(const StageSpec& spec) {
  bmodel::NetParameterT stage;
  stage.input_tensor = tensors_of(spec.inputs);
  stage.output_tensor = tensors_of(spec.outputs);
  stage.ctx_size = spec.ctx_size;
  stage.ctx_sizes = {spec.ctx_size};
  stage.is_dynamic = spec.is_dynamic;
  for (int i = 0; i < spec.subnets; ++i) stage.sub_net.push_back(std::make_unique<bmodel::SubNetT>());
  return stage;
}

flatbuffers::Offset<bmodel::NetParameter> pack(bmodel::ModelGen& gen, const bmodel::NetParameterT& stage) {
  return bmodel::NetParameter::Pack(gen.Builder(), &stage);
}

SampleModel build_sample(bmodel::ModelGen& gen) {
  SampleModel sample;
  uint32_t seed = 1;
  auto write = [&](size_t size) {
    Bytes bytes = pattern(size, seed++);
    const bmodel::Binary range = gen.WriteBinary(bytes.size(), bytes.data());
    sample.ranges.emplace_back(range, bytes);
    return std::make_unique<bmodel::Binary>(range);
  };
  auto add_stage = [&](const std::string& net, StageSpec spec) {
    bmodel::NetParameterT stage = stage_of(spec);
    auto group = std::make_unique<bmodel::CmdGroupT>();
    group->bdc_num = 2;
    group->gdma_num = 4;
    group->binary_bdc = write(256);
    group->binary_gdma = write(4 * 96);
    stage.cmd_group.push_back(std::move(group));
    stage.coeff_mem = std::make_unique<bmodel::CoeffMemT>();
    stage.coeff_mem->binary_coeff = write(512);
    stage.coeff_mem->check_code.resize(32);
    const Bytes& coeff = sample.ranges.back().second;
    bmodel::CalcSha256(coeff.data(), coeff.size(), stage.coeff_mem->check_code.data());
    add_location(*stage.coeff_mem, "w0", 0, 128);
    add_location(*stage.coeff_mem, "w1", 128, 384);
    gen.AddNet(net, pack(gen, stage));
  };
  gen.AddChip("BM1684X");
  add_stage("alpha", {{{"data", {1, 3, 4, 4}}}, {{"prob", {1, 10}}}, 1000});
  add_stage("alpha", {{{"data", {2, 3, 4, 4}}}, {{"prob", {2, 10}}}, 2000});
  add_stage("beta", {{{"x", {1, 8}}}, {{"y", {1, 8}}}, 500});
  gen.AddKernelModule("kernel.so", *write(300));
  gen.Finish();
  sample.image.resize(gen.BufferSize());
  gen.Save(sample.image.data());
  return sample;
}

SampleModel sample_model() {
  bmodel::ModelGen gen;
  return build_sample(gen);
}

std::string describe(const bmodel::Model* model) {
  std::ostringstream out;
  for (const bmodel::Net* net : *model->net()) {
    out << "net " << net->name()->str() << "\n";
    if (!net->parameter()) continue;
    for (const bmodel::NetParameter* stage : *net->parameter()) {
      out << "  stage ctx " << stage->ctx_size() << " dynamic " << stage->is_dynamic() << ":";
      for (const bmodel::Tensor* t : *stage->input_tensor()) {
        out << " in " << t->name()->str() << "[";
        for (uint64_t d : *t->shape()->Get(0)->dim()) out << d << ",";
        out << "]";
      }
      for (const bmodel::Tensor* t : *stage->output_tensor()) out << " out " << t->name()->str();
      out << "\n";
    }
  }
  return out.str();
}

namespace {

std::string escape_regex(const std::string& text) {
  static const std::string special = "\\.^$|()[]{}*+?";
  std::string escaped;
  for (char c : text) {
    if (special.find(c) != std::string::npos) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace

std::string line_pattern(const std::string& function, const std::string& message, const char* level) {
  return "\\[BMODEL\\]\\[" + escape_regex(function) + ":[0-9]+\\] " + level + ": " + escape_regex(message) +
         "\n";
}

bool has_line(const std::string& output, const std::string& function, const std::string& message,
              const char* level) {
  return std::regex_search(output, std::regex("(^|\n)" + line_pattern(function, message, level)));
}

std::string expect_runtime_error(const std::function<void()>& f, const std::string& what) {
  testing::internal::CaptureStdout();
  try {
    f();
    ADD_FAILURE() << "no exception; expected " << what;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), what);
  }
  return testing::internal::GetCapturedStdout();
}

Bytes with_misaligned_dims(const Bytes& image) {
  bmodel::MODEL_HEADER_T header;
  std::memcpy(&header, image.data(), sizeof header);
  const auto metadata_begin = image.begin() + header.header_size;
  Bytes metadata(metadata_begin, metadata_begin + header.flatbuffers_size);
  const Bytes payload(metadata_begin + header.flatbuffers_size, image.end());

  const bmodel::Shape* shape = nullptr;
  for (const bmodel::Net* net : *bmodel::GetModel(metadata.data())->net()) {
    for (const bmodel::NetParameter* stage : *net->parameter()) {
      for (const bmodel::Tensor* tensor : *stage->input_tensor()) {
        for (const bmodel::Shape* candidate : *tensor->shape()) {
          if (shape == nullptr && candidate->dim() && candidate->dim()->size() > 0) shape = candidate;
        }
      }
    }
  }
  EXPECT_NE(shape, nullptr) << "no shape with dimensions";
  if (shape == nullptr) return image;
  const size_t field =
      reinterpret_cast<const flatbuffers::Table*>(shape)->GetAddressOf(bmodel::Shape::VT_DIM) - metadata.data();
  std::vector<uint64_t> dims(shape->dim()->begin(), shape->dim()->end());

  // The length word on an 8-byte boundary puts the elements 4 bytes past one.
  metadata.resize((metadata.size() + 7) / 8 * 8);
  const uint32_t vector = static_cast<uint32_t>(metadata.size());
  const uint32_t count = static_cast<uint32_t>(dims.size());
  metadata.resize(vector + 4 + 8 * dims.size());
  std::memcpy(metadata.data() + vector, &count, 4);
  std::memcpy(metadata.data() + vector + 4, dims.data(), 8 * dims.size());
  const uint32_t relative = vector - static_cast<uint32_t>(field);
  std::memcpy(metadata.data() + field, &relative, 4);

  header.flatbuffers_size = static_cast<uint32_t>(metadata.size());
  Bytes out(reinterpret_cast<const uint8_t*>(&header), reinterpret_cast<const uint8_t*>(&header) + sizeof header);
  out.insert(out.end(), metadata.begin(), metadata.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

void route_stdout_to_stderr() {
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
}

}  // namespace bmodel_test
