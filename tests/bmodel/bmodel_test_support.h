// Helpers of the bmodel tests: temporary files, small models built with the
// writer, and checks of the container's log lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bmodel/bmodel.h"

namespace bmodel_test {

using Bytes = std::vector<uint8_t>;

// A private folder removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);
// Bytes whose content depends on seed, so that the writer never merges them.
Bytes pattern(size_t size, uint32_t seed);

struct TensorSpec {
  std::string name;
  std::vector<uint64_t> dims;
  uint32_t data_type = 0;
};

struct StageSpec {
  std::vector<TensorSpec> inputs;
  std::vector<TensorSpec> outputs;
  uint64_t ctx_size = 0;
  int32_t is_dynamic = 0;
  int subnets = 1;
};

bmodel::NetParameterT stage_of(const StageSpec& spec);
flatbuffers::Offset<bmodel::NetParameter> pack(bmodel::ModelGen& gen, const bmodel::NetParameterT& stage);

// A model of two networks: "alpha" with two stages (input "data" of batch 1
// and 2) and "beta" with one, each stage with a command group and a
// coefficient image with two named weights, and a kernel module. Every range
// and the bytes written to it are listed in ranges.
struct SampleModel {
  std::vector<std::pair<bmodel::Binary, Bytes>> ranges;
  Bytes image;  // the file as Save writes it
};
SampleModel build_sample(bmodel::ModelGen& gen);
SampleModel sample_model();

// The image with the dimensions of its first non-empty Shape moved to the
// end of the metadata, where they start 4 bytes past an 8-byte boundary. The
// FlatBuffers verifier, which checks vectors to 4 bytes only, accepts it.
Bytes with_misaligned_dims(const Bytes& image);

// The networks, stages and tensor names of a model, one line each.
std::string describe(const bmodel::Model* model);

// Matches one FATAL (or ERROR) line of the container, whatever its line number.
std::string line_pattern(const std::string& function, const std::string& message,
                         const char* level = "FATAL");
bool has_line(const std::string& output, const std::string& function, const std::string& message,
              const char* level = "FATAL");

// Runs f, which must throw std::runtime_error with text what; returns what
// the container printed meanwhile.
std::string expect_runtime_error(const std::function<void()>& f, const std::string& what);

// Death tests read standard error; the container logs on standard output.
void route_stdout_to_stderr();

}  // namespace bmodel_test

// The statement ends the process with status 255 after the FATAL line.
#define EXPECT_BMODEL_EXIT(statement, function, message) \
  EXPECT_EXIT(                                           \
      {                                                  \
        ::bmodel_test::route_stdout_to_stderr();         \
        statement;                                       \
      },                                                 \
      ::testing::ExitedWithCode(255), ::bmodel_test::line_pattern(function, message))
