#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log_lines.h"
#include "src/utils/logs.h"

using testlog::captured_stdout;
using testlog::parse_lines;

namespace {

struct LevelLook {
  const char* colour;
  const char* tag;
};

const LevelLook kLevels[] = {
    {"\x1b[31m", "[ERROR]  "},  {"\x1b[33m", "[WARNING]"}, {"\x1b[32m", "[INFO]   "}, {"\x1b[34m", "[DEBUG]  "},
    {"\x1b[35m", "[level5] "},  {"\x1b[36m", "[level6] "}, {"\x1b[37m", "[level7] "}, {"\x1b[38m", "[level8] "},
    {"\x1b[39m", "[level9] "},  {"\x1b[40m", "[level10]"}};

template <int Level>
std::string one_message_at() {
  return captured_stdout([] { minilog::log_at<Level>("text ", Level); });
}

// The levels that print under the current LOG_LEVEL, e.g. "1234"; each line
// printed must carry its level's colour and tag.
template <int... Levels>
std::string printed_levels(std::integer_sequence<int, Levels...>) {
  std::string printed;
  const std::string outputs[] = {one_message_at<Levels + 1>()...};
  for (int level = 1; level <= 10; ++level) {
    if (outputs[level - 1].empty()) continue;
    const auto texts = testlog::texts_at(outputs[level - 1], kLevels[level - 1].colour, kLevels[level - 1].tag);
    EXPECT_EQ(texts, std::vector<std::string>{"text " + std::to_string(level)});
    printed += std::to_string(level);
  }
  return printed;
}

std::string printed_levels() { return printed_levels(std::make_integer_sequence<int, 10>{}); }

}  // namespace

TEST(UtilsLogger, MessageBytesAreColourTimeTagTextResetNewline) {
  unsetenv("LOG_LEVEL");
  const std::string out = captured_stdout([] {
    auto& log = minilog::Logger::getInstance().getErrorLogger();
    log << "bm_dev_request failed, status: " << 3 << log.endl();
  });
  ASSERT_GT(out.size(), 24u);
  EXPECT_EQ(out.substr(0, 5), "\x1b[31m");
  EXPECT_TRUE(std::regex_match(out.substr(5, 19), std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
      << out.substr(5, 19);
  EXPECT_EQ(out.substr(24), " [ERROR]   bm_dev_request failed, status: 3\x1b[0m\n");
}

TEST(UtilsLogger, ThresholdComesFromLogLevelAtEachInsertion) {
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, "12345678910"}, {"0", ""}, {"abc", ""}, {"-2", ""},        {"1", "1"},
      {"2", "12"},              {"4", "1234"}, {"7", "1234567"}, {"11", "12345678910"}};
  for (const auto& [setting, expected] : cases) {
    if (setting) setenv("LOG_LEVEL", setting, 1);
    else unsetenv("LOG_LEVEL");
    EXPECT_EQ(printed_levels(), expected) << "LOG_LEVEL=" << (setting ? setting : "(unset)");
  }
}

TEST(UtilsLogger, SuppressedMessageLeavesTheLoggerReadyForTheNext) {
  setenv("LOG_LEVEL", "0", 1);
  EXPECT_EQ(captured_stdout([] { minilog::log_error("hidden"); }), "");
  setenv("LOG_LEVEL", "1", 1);
  EXPECT_EQ(testlog::error_texts(captured_stdout([] { minilog::log_error("shown"); })),
            std::vector<std::string>{"shown"});
}

TEST(UtilsLogger, ConsecutiveMessagesEachHaveTheirPrefix) {
  unsetenv("LOG_LEVEL");
  const std::string out = captured_stdout([] {
    minilog::log_info("first");
    minilog::log_info("second ", 2UL);
  });
  EXPECT_EQ(testlog::texts_at(out, "\x1b[32m", "[INFO]   "), (std::vector<std::string>{"first", "second 2"}));
}

TEST(UtilsLogger, NumbersUseDefaultStreamFormatting) {
  unsetenv("LOG_LEVEL");
  const std::string out = captured_stdout([] { minilog::log_debug(1.0f / 3, " ", 2.5, " ", -7); });
  EXPECT_EQ(testlog::texts_at(out, "\x1b[34m", "[DEBUG]  "), std::vector<std::string>{"0.333333 2.5 -7"});
}

TEST(UtilsLogger, ElapsedFormLogsTheStatementTextAtLevel5) {
  unsetenv("LOG_LEVEL");
  int value = 0;
  const std::string out = captured_stdout([&] { LOG_ELAPSED({ value = 42; }); });
  EXPECT_EQ(value, 42);
  const auto texts = testlog::texts_at(out, "\x1b[35m", "[level5] ");
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_TRUE(std::regex_match(texts[0], std::regex(R"(\{ value = 42; \} elapsed time: [0-9.e+-]+s)"))) << texts[0];
}

namespace {

struct Received {
  std::mutex lock;
  std::vector<std::pair<int, std::string>> lines;
};

void receive(int level, const char* text, void* user_data) {
  auto* received = static_cast<Received*>(user_data);
  std::lock_guard<std::mutex> hold(received->lock);
  received->lines.emplace_back(level, text);
}

}  // namespace

// Messages that several threads write piece by piece at once reach the
// callback as whole lines, plain and in each thread's order, and nothing
// reaches standard output meanwhile.
TEST(UtilsLogger, CallbackReceivesWholeLinesFromConcurrentThreads) {
  unsetenv("LOG_LEVEL");
  constexpr int kThreads = 4;
  constexpr int kMessages = 200;
  Received received;
  const std::string out = captured_stdout([&] {
    vexo_set_log_callback(receive, &received);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        auto& log = minilog::Logger::getInstance().getInfoLogger();
        for (int m = 0; m < kMessages; ++m) log << "thread " << t << " message " << m << log.endl();
      });
    }
    for (std::thread& thread : threads) thread.join();
    vexo_set_log_callback(nullptr, nullptr);
  });
  EXPECT_EQ(out, "");
  ASSERT_EQ(received.lines.size(), size_t{kThreads * kMessages});
  const std::regex line("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \\[INFO\\]    thread ([0-9]) message ([0-9]+)");
  int next[kThreads] = {};
  for (const auto& [level, text] : received.lines) {
    EXPECT_EQ(level, 3);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, line)) << text;
    const int thread = std::stoi(match[1]);
    EXPECT_EQ(std::stoi(match[2]), next[thread]++) << text;
  }
  // With the callback gone, lines are written again as before.
  EXPECT_EQ(parse_lines(one_message_at<3>()).size(), 1u);
}
