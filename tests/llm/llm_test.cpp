// The language-model runtime on the sample language model: its tokens are
// right only when every cache holds the right rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "llm/llmruntime.h"
#include "samples/samples.h"
#include "test_support.h"
#include "utils/datagen.h"

namespace {

using llmrun::llmbase;
using vexotest::Bytes;
using namespace vexo::samples;

class LlmRuntime : public ::testing::Test {
 protected:
  std::string save(const ModelSpec& spec) {
    const std::string path = dir.path("llm.bmodel");
    save_model(spec, path);
    return path;
  }
  llmbase open(const LlmOptions& options) {
    llmbase llm = llmrun::llm_init(save(llm_sample(options)).c_str(), 0);
    EXPECT_NE(llm, nullptr);
    return llm;
  }
  // The device bytes of input `i` of the named net.
  Bytes device_input(llmbase llm, const std::string& net, size_t i) {
    const auto* record = llm->input_tensors.at(llm->model_info.net_name_to_index.at(net)).at(i);
    return vexotest::read_device(llm->bm_handle, record->addr, record->size);
  }

  vexotest::TempDir dir;
};

// Generates until the caches are full and checks every token.
void expect_generates(llmbase llm, const LlmOptions& options, std::vector<int32_t> prompt) {
  const auto expected = llm_expected_tokens(prompt, options.seq_len + 1, options);
  std::vector<int32_t> got = prompt;
  got.push_back(llmrun::llm_forward_first(llm, prompt.data(), prompt.size()));
  EXPECT_EQ(llmrun::llm_get_token_len(llm), prompt.size() + 1);
  while (llmrun::llm_get_token_len(llm) <= llmrun::llm_get_seq_len(llm)) {
    got.push_back(llmrun::llm_forward_next(llm));
  }
  EXPECT_EQ(got, expected);
}

TEST_F(LlmRuntime, GeneratesTheSequenceTheCachesDetermine) {
  for (const bool greedy : {false, true}) {
    LlmOptions options;
    options.layers = 3;
    options.greedy_head = greedy;
    llmbase llm = open(options);
    ASSERT_NE(llm, nullptr);
    EXPECT_EQ(llm->num_layers, 3u);
    EXPECT_EQ(llmrun::llm_get_seq_len(llm), 16u);
    EXPECT_EQ(llm->has_greedy_head, greedy);
    expect_generates(llm, options, {5, 17, 42, 9, 33});
    // A new first pass starts a new sequence over every cache.
    expect_generates(llm, options, {60, 1});
    llmrun::llm_free(llm);
  }
}

TEST_F(LlmRuntime, TokenLengthCountsThePrompt) {
  llmbase llm = open(LlmOptions{});
  int prompt[] = {1, 2, 3, 4, 5};
  llmrun::llm_forward_first(llm, prompt, 5);
  EXPECT_EQ(llmrun::llm_get_token_len(llm), 6u);
  llmrun::llm_forward_next(llm);
  EXPECT_EQ(llmrun::llm_get_token_len(llm), 7u);
  llmrun::llm_forward_first(llm, prompt, 3);
  EXPECT_EQ(llmrun::llm_get_token_len(llm), 4u);
  llmrun::llm_free(llm);
}

TEST_F(LlmRuntime, MasksAndIdentifiersReachTheDevice) {
  LlmOptions options;
  options.seq_len = 4;
  llmbase llm = open(options);
  const uint16_t m = llm->mask;
  EXPECT_EQ(m, 0xF0E2);
  int prompt[] = {7, 11};
  llmrun::llm_forward_first(llm, prompt, 2);
  EXPECT_EQ(device_input(llm, "embedding", 0), bytes_of(std::vector<int32_t>{7, 11, 0, 0}));
  EXPECT_EQ(device_input(llm, "block_0", 1), bytes_of(std::vector<int32_t>{0, 1, 0, 0}));
  EXPECT_EQ(device_input(llm, "block_0", 2),
            bytes_of(std::vector<uint16_t>{0, m, m, m, 0, 0, m, m, m, m, m, m, m, m, m, m}));

  llmrun::llm_forward_next(llm);  // the new token sits at position 2
  EXPECT_EQ(device_input(llm, "block_cache_0", 1), bytes_of(std::vector<int32_t>{2}));
  EXPECT_EQ(device_input(llm, "block_cache_0", 2), bytes_of(std::vector<uint16_t>{0, 0, m, m, 0}));
  EXPECT_EQ(device_input(llm, "block_cache_1", 2), device_input(llm, "block_cache_0", 2));
  llmrun::llm_free(llm);
}

TEST_F(LlmRuntime, BfloatEmbeddingSelectsTheBfloatMask) {
  ModelSpec spec = llm_sample(LlmOptions{});
  spec.nets[0].stages[0].outputs[0].dtype = BM_BFLOAT16;
  llmbase llm = llmrun::llm_init(save(spec).c_str(), 0);
  ASSERT_NE(llm, nullptr);
  EXPECT_EQ(llm->mask, 0xC61C);
  llmrun::llm_free(llm);
}

// A next pass moves 4 + 2 x (seq_len + 1) bytes up and the token down, and
// allocates nothing on the device.
TEST_F(LlmRuntime, NextPassMovesOnlyWhatItMust) {
  vexotest::SimTrace trace(dir);
  llmbase llm = open(LlmOptions{});
  int prompt[] = {3, 4, 5};
  llmrun::llm_forward_first(llm, prompt, 3);
  const size_t before = trace.size();
  llmrun::llm_forward_next(llm);
  const auto uploads = trace.events_since(before, "s2d");
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_EQ(uploads[0]["size"].get<int>() + uploads[1]["size"].get<int>(), 4 + 2 * (16 + 1));
  const auto downloads = trace.events_since(before, "d2s");
  ASSERT_EQ(downloads.size(), 1u);
  EXPECT_EQ(downloads[0]["size"], 4);
  EXPECT_TRUE(trace.events_since(before, "malloc").empty());
  llmrun::llm_free(llm);
}

// Corrupting a cached row changes the next token: the passes read the caches.
TEST_F(LlmRuntime, TheNextTokenComesFromTheCaches) {
  LlmOptions options;
  options.layers = 1;
  llmbase llm = open(options);
  std::vector<int32_t> prompt{8, 9, 10};
  llmrun::llm_forward_first(llm, prompt.data(), prompt.size());
  const auto* cache = llm->input_tensors[llm->block_cache_ids[0]][3];
  const size_t row = 4;  // the layer's input at position 2 sits in row 2
  vexotest::write_device(llm->bm_handle, cache->addr + 2 * row, bytes_of(std::vector<int32_t>{llm_embed(1, options.vocab)}));
  EXPECT_EQ(llmrun::llm_forward_next(llm), llm_next(llm_embed(1, options.vocab), options.vocab));
  llmrun::llm_free(llm);
}

TEST_F(LlmRuntime, PassesRefuseWhatDoesNotFit) {
  LlmOptions options;
  options.seq_len = 4;
  llmbase llm = open(options);
  int prompt[] = {1, 2, 3, 4, 5};
  testing::internal::CaptureStdout();
  EXPECT_EQ(llmrun::llm_forward_next(llm), -1);  // before any first pass
  EXPECT_EQ(llmrun::llm_forward_first(llm, prompt, 0), -1);
  EXPECT_EQ(llmrun::llm_forward_first(llm, prompt, 5), -1);
  EXPECT_EQ(llmrun::llm_forward_first(llm, nullptr, 2), -1);
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("A next pass needs a first pass"), std::string::npos) << log;
  EXPECT_NE(log.find("A prompt takes 1 to 4 tokens, not 5"), std::string::npos);

  EXPECT_GE(llmrun::llm_forward_first(llm, prompt, 4), 0);  // token_len 5: the caches are full
  testing::internal::CaptureStdout();
  EXPECT_EQ(llmrun::llm_forward_next(llm), -1);
  log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("The caches are full: 4 positions"), std::string::npos) << log;
  EXPECT_EQ(llmrun::llm_get_token_len(llm), 5u);
  llmrun::llm_free(llm);

  EXPECT_EQ(llmrun::llm_forward_first(nullptr, prompt, 1), -1);
  EXPECT_EQ(llmrun::llm_forward_next(nullptr), -1);
  EXPECT_EQ(llmrun::llm_get_seq_len(nullptr), 0u);
  llmrun::llm_free(nullptr);
}

TEST_F(LlmRuntime, WithoutLayersTheHeadReadsTheEmbedding) {
  LlmOptions options;
  options.layers = 0;
  llmbase llm = open(options);
  int prompt[] = {12, 13};
  EXPECT_EQ(llmrun::llm_forward_first(llm, prompt, 2), llm_next(llm_embed(13, options.vocab), options.vocab));
  testing::internal::CaptureStdout();
  EXPECT_EQ(llmrun::llm_forward_next(llm), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("A next pass needs at least one layer"), std::string::npos);
  llmrun::llm_free(llm);
}

// Models the passes cannot drive are refused at load, with nothing left on
// the device.
TEST_F(LlmRuntime, InitRefusesOtherModels) {
  vexotest::SimTrace trace(dir);
  const auto refused = [&](ModelSpec spec, const std::string& message) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(llmrun::llm_init(save(spec).c_str(), 0), nullptr);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find(message), std::string::npos) << log;
    EXPECT_EQ(trace.events("close").back()["live_allocations"], 0);
  };
  const auto without = [](ModelSpec spec, const std::string& net) {
    for (auto it = spec.nets.begin(); it != spec.nets.end(); ++it) {
      if (it->name == net) {
        spec.nets.erase(it);
        break;
      }
    }
    return spec;
  };
  const ModelSpec sample = llm_sample(LlmOptions{});
  refused(without(sample, "lm_head"), "The model has no net \"lm_head\"");
  refused(without(sample, "embedding_cache"), "The model has no net \"embedding_cache\"");
  refused(without(sample, "block_1"), "The model has no net \"block_1\"");

  ModelSpec spec = sample;
  spec.nets[1].stages[0].inputs[2].shape = {1, 1, 16, 8};  // a mask of half the size
  refused(spec, "Input 2 of net \"block_0\" holds 256 bytes; the passes upload 512 bytes into it");
  spec = sample;
  spec.nets[1].stages[0].outputs.pop_back();
  refused(spec, "Net \"block_0\" has 3 inputs and 2 outputs; the passes use 3 and 3");
  // The token record reaches 2 bytes past the activation area (the head's
  // commands still write inside it).
  spec = sample;
  TensorSpec& token =
      std::find_if(spec.nets.begin(), spec.nets.end(), [](const NetSpec& n) { return n.name == "lm_head"; })
          ->stages[0]
          .outputs[0];
  const uint64_t area = spec.nets[0].stages[0].ctx_sizes[0];
  token.addr = spec.nets[0].stages[0].ctx_addr + area - 2;
  refused(spec, "Output 0 of net \"lm_head\" (4 bytes at offset " + std::to_string(area - 2) +
                    ") leaves its device block of " + std::to_string(area) + " bytes");

  testing::internal::CaptureStdout();
  EXPECT_EQ(llmrun::llm_init(dir.path("absent.bmodel").c_str(), 0), nullptr);
  testing::internal::GetCapturedStdout();
}

// A pass whose launch the device refuses (the fourth launch of a next pass
// here, then a prompt token beyond the vocabulary) returns -1, never an
// earlier pass's token, and ends the sequence; a new first pass then
// generates as before.
TEST_F(LlmRuntime, ARefusedLaunchFailsThePassAndEndsTheSequence) {
  vexotest::set_env("VEXO_SIM_FAIL_LAUNCH", "8");
  LlmOptions options;
  llmbase llm = open(options);
  std::vector<int32_t> prompt{5, 17, 42};
  EXPECT_EQ(llmrun::llm_forward_first(llm, prompt.data(), prompt.size()),
            llm_expected_tokens(prompt, 4, options).back());
  testing::internal::CaptureStdout();
  EXPECT_EQ(llmrun::llm_forward_next(llm), -1);
  EXPECT_EQ(llmrun::llm_get_token_len(llm), 0u);
  EXPECT_EQ(llmrun::llm_forward_next(llm), -1);
  int beyond[] = {5, 64};
  EXPECT_EQ(llmrun::llm_forward_first(llm, beyond, 2), -1);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("funcid   1   tpu_kernel_launch failed"), std::string::npos) << log;
  EXPECT_NE(log.find("A next pass needs a first pass"), std::string::npos);
  EXPECT_EQ(llmrun::llm_get_token_len(llm), 0u);
  expect_generates(llm, options, prompt);
  llmrun::llm_free(llm);
}

// Copies of the sample (2 layers): its load, a first pass over 3 tokens and
// a next pass.
constexpr int kLoadCopies = 19, kFirstPassCopies = 11, kNextPassCopies = 13;

TEST_F(LlmRuntime, SampleCopiesPerLoadAndPass) {
  vexotest::SimTrace trace(dir);
  const auto copies = [&] {
    return trace.events("s2d").size() + trace.events("d2s").size() + trace.events("d2d").size();
  };
  llmbase llm = open(LlmOptions{});
  EXPECT_EQ(copies(), size_t{kLoadCopies});
  int prompt[] = {5, 17, 42};
  llmrun::llm_forward_first(llm, prompt, 3);
  EXPECT_EQ(copies(), size_t{kLoadCopies + kFirstPassCopies});
  llmrun::llm_forward_next(llm);
  EXPECT_EQ(copies(), size_t{kLoadCopies + kFirstPassCopies + kNextPassCopies});
  llmrun::llm_free(llm);
}

// Each copy of the load fails in turn: the model is refused and nothing
// stays on the device.
class FailingLoadCopy : public LlmRuntime, public ::testing::WithParamInterface<int> {};

TEST_P(FailingLoadCopy, LeavesNothingBehind) {
  vexotest::SimTrace trace(dir);
  vexotest::set_env("VEXO_SIM_FAIL_COPY", std::to_string(GetParam()));
  const std::string path = save(llm_sample(LlmOptions{}));
  testing::internal::CaptureStdout();
  EXPECT_EQ(llmrun::llm_init(path.c_str(), 0), nullptr);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("status: 2"), std::string::npos) << log;
  EXPECT_EQ(trace.events("close").back()["live_allocations"], 0);
}

INSTANTIATE_TEST_SUITE_P(EveryCopy, FailingLoadCopy, ::testing::Range(1, kLoadCopies + 1));

// Each copy of a first and a next pass fails in turn (counted after the
// load): that pass returns -1 with the copy's error line, never an earlier
// token, and ends the sequence; a new first pass then generates as before.
class FailingPassCopy : public LlmRuntime, public ::testing::WithParamInterface<int> {};

TEST_P(FailingPassCopy, FailsThatPassOnly) {
  vexotest::set_env("VEXO_SIM_FAIL_COPY", std::to_string(kLoadCopies + GetParam()));
  LlmOptions options;
  llmbase llm = open(options);
  std::vector<int32_t> prompt{5, 17, 42};
  const bool in_first = GetParam() <= kFirstPassCopies;
  testing::internal::CaptureStdout();
  const int first = llmrun::llm_forward_first(llm, prompt.data(), prompt.size());
  const int next = in_first ? -1 : llmrun::llm_forward_next(llm);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("status: 2"), std::string::npos) << log;
  EXPECT_EQ(first, in_first ? -1 : llm_expected_tokens(prompt, 4, options).back());
  EXPECT_EQ(next, -1);
  EXPECT_EQ(llmrun::llm_get_token_len(llm), 0u);
  expect_generates(llm, options, prompt);
  llmrun::llm_free(llm);
}

INSTANTIATE_TEST_SUITE_P(EveryCopy, FailingPassCopy, ::testing::Range(1, kFirstPassCopies + kNextPassCopies + 1));

}  // namespace
