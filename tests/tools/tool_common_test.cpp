// The layer every tool shares: the log threshold it sets, how it reports
// failures and usage errors, and the names and units it prints.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/tool.h"

namespace {

using vexo::tool::Tool;

struct ToolRun {
  int status = -1;
  std::string err;
  std::string log_level;  // LOG_LEVEL as the command saw it
};

// A tool with one command "go" whose callback records LOG_LEVEL and then
// runs `body`.
template <typename Body>
ToolRun run_tool(std::vector<std::string> args, Body body) {
  Tool tool("t", "A test tool");
  ToolRun result;
  tool.app().add_subcommand("go", "Goes")->callback([&] {
    const char* level = std::getenv("LOG_LEVEL");
    result.log_level = level ? level : "(unset)";
    body();
  });
  args.insert(args.begin(), "t");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  testing::internal::CaptureStderr();
  result.status = tool.run(static_cast<int>(argv.size()), argv.data());
  result.err = testing::internal::GetCapturedStderr();
  return result;
}

ToolRun run_tool(std::vector<std::string> args) {
  return run_tool(std::move(args), [] {});
}

TEST(ToolCommon, ShowsWarningsAndErrorsUnlessTheUserChoseALevel) {
  unsetenv("LOG_LEVEL");
  EXPECT_EQ(run_tool({"go"}).log_level, "2");
  setenv("LOG_LEVEL", "7", 1);
  EXPECT_EQ(run_tool({"go"}).log_level, "7");
  EXPECT_EQ(run_tool({"--log-level", "4", "go"}).log_level, "4");
  // Also after the command.
  const ToolRun after = run_tool({"go", "--log-level", "0"});
  EXPECT_EQ(after.status, 0);
  EXPECT_EQ(after.log_level, "0");
}

TEST(ToolCommon, ReportsAFailureOnOneLine) {
  const ToolRun failed = run_tool({"go"}, [] { throw vexo::tool::Failure("the model is gone"); });
  EXPECT_EQ(failed.status, vexo::tool::kExitFailure);
  EXPECT_EQ(failed.err, "t: error: the model is gone\n");

  const ToolRun odd = run_tool({"go"}, [] { throw 42; });
  EXPECT_EQ(odd.status, vexo::tool::kExitFailure);
  EXPECT_EQ(odd.err, "t: error: unexpected failure\n");
}

TEST(ToolCommon, ReportsUsageErrorsOnOneLine) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"go", "--frobnicate"}, {"--log-level", "11", "go"}, {"--log-level", "lots", "go"}}) {
    const ToolRun run = run_tool(args);
    EXPECT_EQ(run.status, vexo::tool::kExitUsage);
    EXPECT_EQ(run.log_level, "");  // the command never ran
    ASSERT_EQ(run.err.find("t: error: "), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  }
}

TEST(ToolCommon, NamesElementTypes) {
  const std::vector<std::string> names{"float32", "float16", "int8",     "uint8", "int16", "uint16",
                                       "int32",   "uint32",  "bfloat16", "int4",  "uint4"};
  for (uint32_t code = 0; code < names.size(); ++code)
    EXPECT_EQ(vexo::tool::element_type_name(code), names[code]);
  EXPECT_EQ(vexo::tool::element_type_name(11), "type 11");
}

TEST(ToolCommon, PrintsSizesInBinaryUnits) {
  using vexo::tool::human_size;
  EXPECT_EQ(human_size(0), "0 B");
  EXPECT_EQ(human_size(1023), "1023 B");
  EXPECT_EQ(human_size(1024), "1.0 KiB");
  EXPECT_EQ(human_size(1536 * 1024), "1.5 MiB");
  // Just below a unit rounds up into it rather than to "1024.0 KiB".
  EXPECT_EQ(human_size(1024 * 1024 - 20), "1.0 MiB");
  EXPECT_EQ(human_size(std::numeric_limits<uint64_t>::max()), "16.0 EiB");
}

}  // namespace
