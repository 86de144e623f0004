// The reader: round trips through files and memory, broken files, payload
// ranges and their failures.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "bmodel_test_support.h"

using namespace bmodel_test;
using bmodel::Binary;
using bmodel::ModelCtx;

namespace {

void expect_ranges_read_back(ModelCtx& ctx, const SampleModel& sample) {
  for (const auto& [range, bytes] : sample.ranges) {
    Bytes whole(range.size());
    ctx.read_binary(&range, whole.data());
    EXPECT_EQ(whole, bytes) << "range at " << range.start();
    Bytes part(10);
    ctx.read_binary(&range, 7, part.data(), part.size());
    EXPECT_EQ(part, Bytes(bytes.begin() + 7, bytes.begin() + 17));
  }
}

bmodel::MODEL_HEADER_T header_of(const Bytes& image) {
  bmodel::MODEL_HEADER_T header;
  std::memcpy(&header, image.data(), sizeof(header));
  return header;
}

void set_header(Bytes& image, const bmodel::MODEL_HEADER_T& header) {
  std::memcpy(image.data(), &header, sizeof(header));
}

// Opens the image as a file; returns the printed lines of a failure.
std::string open_broken(const TempDir& dir, const Bytes& image, const std::string& what) {
  const std::string path = dir.path("broken.bmodel");
  write_file(path, image);
  return expect_runtime_error([&] { ModelCtx ctx(path); }, what);
}

}  // namespace

TEST(BmodelReader, FileRoundTripGivesBackNetworksStagesTensorsAndRanges) {
  TempDir dir;
  const SampleModel sample = sample_model();
  write_file(dir.path("m.bmodel"), sample.image);
  ModelCtx ctx(dir.path("m.bmodel"));
  ASSERT_TRUE(ctx);
  EXPECT_EQ(describe(ctx.model()),
            "net alpha\n"
            "  stage ctx 1000 dynamic 0: in data[1,3,4,4,] out prob\n"
            "  stage ctx 2000 dynamic 0: in data[2,3,4,4,] out prob\n"
            "net beta\n"
            "  stage ctx 500 dynamic 0: in x[1,8,] out y\n");
  EXPECT_EQ(ctx.model()->chip()->str(), "BM1684X");
  EXPECT_EQ(ctx.model()->kernel_module()->file_name()->str(), "kernel.so");
  EXPECT_EQ(ctx.header().header_size, 64u);
  expect_ranges_read_back(ctx, sample);
  // The metadata copy is the file's own metadata region.
  EXPECT_EQ(0, std::memcmp(ctx.data(), sample.image.data() + 64, ctx.header().flatbuffers_size));
}

TEST(BmodelReader, MemoryRoundTripReadsAndWritesTheCallersImage) {
  SampleModel sample = sample_model();
  ModelCtx ctx(sample.image.data(), sample.image.size());
  EXPECT_NE(describe(ctx.model()).find("net beta"), std::string::npos);
  expect_ranges_read_back(ctx, sample);

  const Binary& range = sample.ranges[0].first;
  const Bytes update = pattern(range.size(), 99);
  ctx.write_binary(&range, update.data());
  const uint64_t position = 64 + ctx.header().flatbuffers_size + range.start();
  EXPECT_EQ(0, std::memcmp(sample.image.data() + position, update.data(), update.size()));
}

TEST(BmodelReader, FileWritesAreSeenByLaterReadsAndByTheFile) {
  TempDir dir;
  const SampleModel sample = sample_model();
  const std::string path = dir.path("m.bmodel");
  write_file(path, sample.image);
  ModelCtx ctx(path);
  const Binary& range = sample.ranges[1].first;
  Bytes before(range.size());
  ctx.read_binary(&range, before.data());  // fills the read-ahead window
  const Bytes update = pattern(16, 7);
  ctx.write_binary(&range, 8, update.data(), update.size());
  Bytes after(range.size());
  ctx.read_binary(&range, after.data());
  std::copy(update.begin(), update.end(), before.begin() + 8);
  EXPECT_EQ(after, before);
  const Bytes file = read_file(path);
  EXPECT_EQ(
      0, std::memcmp(file.data() + ctx.header().header_size + ctx.header().flatbuffers_size + range.start(),
                     after.data(), after.size()));
}

TEST(BmodelReader, ZeroByteReadAtTheEndOfARangeIsAccepted) {
  SampleModel sample = sample_model();
  ModelCtx ctx(sample.image.data(), sample.image.size());
  const Binary& range = sample.ranges.back().first;
  uint8_t byte = 0;
  ctx.read_binary(&range, range.size(), &byte, 0);
  const Binary empty_at_end(ctx.header().binary_size, 0);
  ctx.read_binary(&empty_at_end, &byte);
}

TEST(BmodelReader, TruncatedFilesAreRejectedAtEveryBoundary) {
  TempDir dir;
  const Bytes image = sample_model().image;
  const auto header = header_of(image);
  const size_t full = 64 + header.flatbuffers_size + header.binary_size;
  ASSERT_EQ(full, image.size());

  for (size_t size : {size_t{0}, size_t{10}, size_t{64}}) {
    const std::string out =
        open_broken(dir, Bytes(image.begin(), image.begin() + size), "failed to construct");
    EXPECT_TRUE(has_line(out, "ModelCtx", "File[" + dir.path("broken.bmodel") + "] is broken .")) << size;
  }
  for (size_t size : {size_t{65}, size_t{64} + header.flatbuffers_size / 2, full - 1}) {
    const std::string out =
        open_broken(dir, Bytes(image.begin(), image.begin() + size), "failed to construct");
    EXPECT_TRUE(has_line(out, "ModelCtx", "File[" + dir.path("broken.bmodel") + "] is broken ...")) << size;
  }
  Bytes longer = image;
  longer.resize(image.size() + 100, 0xAB);
  write_file(dir.path("longer.bmodel"), longer);
  ModelCtx ctx(dir.path("longer.bmodel"));
  EXPECT_TRUE(ctx);
}

TEST(BmodelReader, MissingFileFailsToOpen) {
  TempDir dir;
  const std::string path = dir.path("absent.bmodel");
  const std::string out = expect_runtime_error([&] { ModelCtx ctx(path); }, "failed to construct");
  EXPECT_TRUE(has_line(out, "ModelCtx", "File[" + path + "] open failed."));
}

TEST(BmodelReader, WrongHeaderFieldsAreRejected) {
  TempDir dir;
  const Bytes image = sample_model().image;
  const std::string broken = "File[" + dir.path("broken.bmodel") + "] is broken";
  const auto original = header_of(image);

  Bytes wrong = image;
  auto header = original;
  header.magic = 0xFF55AAEF;
  set_header(wrong, header);
  EXPECT_TRUE(has_line(open_broken(dir, wrong, "failed to construct"), "ModelCtx", broken + " .."));

  // Sizes whose sum wraps around 2^64 must not pass for a short file.
  for (uint64_t binary_size : {original.binary_size + 1, ~uint64_t{0}, ~uint64_t{0} - 100}) {
    header = original;
    header.binary_size = binary_size;
    set_header(wrong, header);
    EXPECT_TRUE(has_line(open_broken(dir, wrong, "failed to construct"), "ModelCtx", broken + " ..."));
  }
  for (uint32_t flatbuffers_size : {original.flatbuffers_size + 100, ~uint32_t{0}}) {
    header = original;
    header.flatbuffers_size = flatbuffers_size;
    set_header(wrong, header);
    EXPECT_TRUE(has_line(open_broken(dir, wrong, "failed to construct"), "ModelCtx", broken + " ..."));
  }
  header = original;
  header.header_size = ~uint32_t{0};
  set_header(wrong, header);
  EXPECT_TRUE(has_line(open_broken(dir, wrong, "failed to construct"), "ModelCtx", broken + " ..."));

  // A shifted metadata region fails verification.
  for (uint32_t header_size : {0u, 8u, 65u}) {
    header = original;
    header.header_size = header_size;
    header.binary_size = 0;
    set_header(wrong, header);
    EXPECT_TRUE(has_line(open_broken(dir, wrong, "failed to construct"), "ModelCtx",
                         "Model file[" + dir.path("broken.bmodel") + "] is broken."))
        << header_size;
  }
}

TEST(BmodelReader, BrokenMetadataPrintsItsVersionChipAndDateWhenReadable) {
  TempDir dir;
  Bytes image = sample_model().image;
  // Make the length of the tensor name "prob" absurd: the root and its
  // strings stay intact, so the information lines can be printed.
  const Bytes needle = {4, 0, 0, 0, 'p', 'r', 'o', 'b'};
  auto at = std::search(image.begin(), image.end(), needle.begin(), needle.end());
  ASSERT_NE(at, image.end());
  at[3] = 0x70;
  std::string out = open_broken(dir, image, "failed to construct");
  EXPECT_TRUE(has_line(out, "ModelCtx", "Model file[" + dir.path("broken.bmodel") + "] is broken."));
  EXPECT_TRUE(has_line(out, "ModelCtx", "=========== More Information ==========="));
  EXPECT_TRUE(has_line(out, "ModelCtx", "Version: B.2.2"));
  EXPECT_TRUE(has_line(out, "ModelCtx", "Chip: BM1684X"));
  EXPECT_NE(out.find("FATAL: Date: "), std::string::npos);

  out = expect_runtime_error([&] { ModelCtx ctx(image.data(), image.size()); }, "failed to construct");
  EXPECT_TRUE(has_line(out, "ModelCtx", "Model data is broken ...."));
  EXPECT_TRUE(has_line(out, "ModelCtx", "Chip: BM1684X"));

  // A root offset outside the metadata leaves nothing readable.
  Bytes no_root = sample_model().image;
  no_root[64 + 2] = 0x7F;
  out = open_broken(dir, no_root, "failed to construct");
  EXPECT_TRUE(has_line(out, "ModelCtx", "Model file[" + dir.path("broken.bmodel") + "] is broken."));
  EXPECT_EQ(out.find("More Information"), std::string::npos);

  // 8-byte dimensions that start 4 bytes past an 8-byte boundary pass the
  // FlatBuffers verifier but are refused as broken metadata.
  const Bytes misaligned = with_misaligned_dims(sample_model().image);
  out = open_broken(dir, misaligned, "failed to construct");
  EXPECT_TRUE(has_line(out, "ModelCtx", "Model file[" + dir.path("broken.bmodel") + "] is broken."));
  EXPECT_TRUE(has_line(out, "ModelCtx", "Chip: BM1684X"));
  out = expect_runtime_error([&] { ModelCtx ctx(const_cast<uint8_t*>(misaligned.data()), misaligned.size()); },
                             "failed to construct");
  EXPECT_TRUE(has_line(out, "ModelCtx", "Model data is broken ...."));
  EXPECT_TRUE(has_line(out, "ModelCtx", "Version: B.2.2"));
}

TEST(BmodelReader, MemoryImagesAreCheckedLikeFiles) {
  Bytes image = sample_model().image;
  std::string out = expect_runtime_error([&] { ModelCtx ctx(image.data(), 64); }, "failed to construct");
  EXPECT_TRUE(has_line(out, "ModelCtx", "Bmodel data is broken ."));
  out = expect_runtime_error([&] { ModelCtx ctx(image.data(), image.size() - 1); }, "failed to construct");
  EXPECT_TRUE(has_line(out, "ModelCtx", "Bmodel data is broken ..."));
  image[0] ^= 1;
  out = expect_runtime_error([&] { ModelCtx ctx(image.data(), image.size()); }, "failed to construct");
  EXPECT_TRUE(has_line(out, "ModelCtx", "Bmodel data is broken .."));
}

TEST(BmodelReader, NullImageEndsTheProcess) {
  EXPECT_BMODEL_EXIT(ModelCtx(nullptr, 100), "ModelCtx", "bmodel_data != NULL");
}

TEST(BmodelReader, RangesBeyondTheImageOrFileAreRefused) {
  TempDir dir;
  SampleModel sample = sample_model();
  const std::string path = dir.path("m.bmodel");
  write_file(path, sample.image);
  ModelCtx file_ctx(path);
  ModelCtx memory_ctx(sample.image.data(), sample.image.size());
  const uint64_t payload = file_ctx.header().binary_size;
  Bytes buffer(64);

  for (const Binary& range : {Binary(payload - 10, 64), Binary(payload, 1), Binary(~uint64_t{0} - 5, 64),
                              Binary(~uint64_t{0}, 1)}) {
    std::string out =
        expect_runtime_error([&] { memory_ctx.read_binary(&range, 0, buffer.data(), range.size()); },
                             "Failed to read in read_binary");
    EXPECT_TRUE(has_line(out, "read_binary", "range ends beyond the bmodel data"));
    out = expect_runtime_error([&] { memory_ctx.write_binary(&range, 0, buffer.data(), range.size()); },
                               "Failed to read in write_binary");
    EXPECT_TRUE(has_line(out, "write_binary", "range ends beyond the bmodel data"));
  }
  const Binary past_end(payload - 10, 64);
  std::string out = expect_runtime_error([&] { file_ctx.read_binary(&past_end, buffer.data()); },
                                         "Failed to read in read_binary");
  EXPECT_TRUE(has_line(out, "read_binary", "Failed to read in read_binary"));
  const Binary unaddressable(~uint64_t{0} - 5, 64);
  out = expect_runtime_error([&] { file_ctx.read_binary(&unaddressable, buffer.data()); },
                             "Failed to seek in read_binary");
  EXPECT_TRUE(has_line(out, "read_binary", "Failed to seek in read_binary"));
  out = expect_runtime_error([&] { file_ctx.write_binary(&unaddressable, buffer.data()); },
                             "Failed to seek in write_binary");
  EXPECT_TRUE(has_line(out, "write_binary", "Failed to seek in write_binary"));
  // Nothing was written into the image by the refused writes.
  EXPECT_EQ(sample.image, read_file(path));
}

TEST(BmodelReader, ReadOnlyFileReadsButRefusesWrites) {
  TempDir dir;
  const SampleModel sample = sample_model();
  const std::string path = dir.path("m.bmodel");
  write_file(path, sample.image);
  ASSERT_EQ(0, chmod(path.c_str(), 0444));
  ASSERT_EQ(0, chmod(dir.path("").c_str(), 0755));
  // Root may open any file for writing: the check runs as an ordinary user
  // in a child process.
  EXPECT_EXIT(
      {
        route_stdout_to_stderr();
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) std::exit(3);
        ModelCtx ctx(path);
        expect_ranges_read_back(ctx, sample);
        const Binary& range = sample.ranges[0].first;
        try {
          ctx.write_binary(&range, sample.ranges[0].second.data());
        } catch (const std::runtime_error& e) {
          std::exit(std::string(e.what()) == "Failed to read in write_binary" && !testing::Test::HasFailure()
                        ? 0
                        : 2);
        }
        std::exit(1);
      },
      testing::ExitedWithCode(0), line_pattern("write_binary", "Failed to read in write_binary"));
}

TEST(BmodelReader, MisuseOfReadAndWriteEndsTheProcess) {
  SampleModel sample = sample_model();
  ModelCtx ctx(sample.image.data(), sample.image.size());
  const Binary& range = sample.ranges[0].first;
  Bytes buffer(range.size() + 1);
  EXPECT_BMODEL_EXIT(ctx.read_binary(nullptr, buffer.data()), "read_binary", "binary != NULL");
  EXPECT_BMODEL_EXIT(ctx.read_binary(&range, nullptr), "read_binary", "buffer != NULL");
  EXPECT_BMODEL_EXIT(ctx.read_binary(&range, 1, buffer.data(), range.size()), "read_binary",
                     "size + offset <= binary->size()");
  EXPECT_BMODEL_EXIT(ctx.read_binary(&range, ~uint64_t{0}, buffer.data(), 2), "read_binary",
                     "size + offset <= binary->size()");
  EXPECT_BMODEL_EXIT(ctx.write_binary(nullptr, buffer.data()), "write_binary", "binary != NULL");
  EXPECT_BMODEL_EXIT(ctx.write_binary(&range, nullptr), "write_binary", "buffer != NULL");
  EXPECT_BMODEL_EXIT(ctx.write_binary(&range, 2, buffer.data(), range.size() - 1), "write_binary",
                     "size + offset <= binary->size()");
}

TEST(BmodelReader, GetWeightFindsNamedWeightsOfAStage) {
  SampleModel sample = sample_model();
  ModelCtx ctx(sample.image.data(), sample.image.size());
  const Binary coeff = *ctx.model()->net()->Get(0)->parameter()->Get(1)->coeff_mem()->binary_coeff();
  Binary range(1, 2);
  std::string name = "untouched";
  ASSERT_TRUE(ctx.get_weight("alpha", 1, 128, range, name));
  EXPECT_EQ(name, "w1");
  EXPECT_EQ(range.start(), coeff.start() + 128);
  EXPECT_EQ(range.size(), 384u);

  range = Binary(1, 2);
  name = "untouched";
  EXPECT_FALSE(ctx.get_weight("alpha", -1, 0, range, name));
  EXPECT_FALSE(ctx.get_weight("alpha", 2, 0, range, name));
  EXPECT_FALSE(ctx.get_weight("alpha", 0, 5, range, name));
  EXPECT_FALSE(ctx.get_weight("gamma", 0, 0, range, name));
  EXPECT_EQ(name, "untouched");
  EXPECT_EQ(range.start(), 1u);
}

// Random byte changes of a valid file: opening and reading must throw, succeed
// or end in an orderly way (status 255), never crash or read out of bounds.
TEST(BmodelReader, MutatedFilesNeverCrashTheReader) {
  const Bytes image = sample_model().image;
  std::mt19937 random(12345);
  int opened = 0;
  for (int round = 0; round < 400; ++round) {
    Bytes mutated = image;
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int c = 0; c < changes; ++c) {
      // Mostly the header and metadata, where the checks are.
      const size_t limit = round % 4 == 0 ? mutated.size() : 64 + header_of(image).flatbuffers_size;
      mutated[random() % limit] ^= static_cast<uint8_t>(1 + random() % 255);
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::freopen("/dev/null", "w", stdout);
      try {
        ModelCtx ctx(mutated.data(), mutated.size());
        Bytes buffer(4096);
        for (const bmodel::Net* net : *ctx.model()->net()) {
          for (uint32_t s = 0; net->parameter() && s < net->parameter()->size(); ++s) {
            const bmodel::NetParameter* stage = net->parameter()->Get(s);
            const bmodel::CoeffMem* coeff = stage->coeff_mem();
            if (coeff && coeff->binary_coeff()) {
              const Binary* range = coeff->binary_coeff();
              try {
                ctx.read_binary(range, 0, buffer.data(), std::min<uint64_t>(range->size(), buffer.size()));
              } catch (const std::runtime_error&) {
              }
            }
          }
        }
        ctx.get_bmodel_mem_info();
        _exit(10);
      } catch (const std::runtime_error&) {
        _exit(11);
      }
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "round " << round << " died of signal " << WTERMSIG(status);
    const int code = WEXITSTATUS(status);
    // Nothing a file holds ends the process.
    ASSERT_TRUE(code == 10 || code == 11) << "round " << round << " exit " << code;
    opened += code == 10;
  }
  EXPECT_GT(opened, 0);
}
