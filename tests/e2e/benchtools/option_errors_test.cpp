// Every tool's failure paths before it touches a device: -h, an unknown
// option, an option without its argument, a missing mandatory option, a
// device number beyond the path buffer, and a device that cannot be opened.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench_e2e.h"

namespace {

using bench_e2e::run_tool;
using bench_e2e::usage_of;
using boardsim::EventKind;

struct ToolCase {
  std::string tool;
  // Arguments of a run that would go ahead, apart from -s.
  std::vector<std::string> arguments;
  // Runs missing one mandatory option.
  std::vector<std::vector<std::string>> missing;
};

std::vector<ToolCase> tool_cases() {
  return {
      {"yalmet", {}, {{}, {"-m", "1", "-w", "8", "-f", "1000"}, {"-s", "-3"}}},
      {"dasmo",
       {"-i", "/tmp/in.bin"},
       {{"-s", "0"}, {"-i", "/tmp/in.bin"}, {"-s", "-1", "-i", "/tmp/in.bin"}}},
      // A block of 0 counts as a missing -n.
      {"fenwix", {"-n", "8"}, {{"-s", "0"}, {"-s", "0", "-n", "0"}, {"-n", "8"}}},
      {"quorla", {"-n", "4"}, {{"-n", "5", "-l", "2"}, {"-s", "-2"}}},
      {"brevik",
       {"-w", "2", "-r", "2", "-l", "1"},
       {{"-s", "0", "-r", "0", "-l", "1"},
        {"-s", "0", "-w", "0", "-l", "1"},
        {"-w", "2", "-r", "2"},
        {"-s", "0", "-w", "-1", "-r", "0"}}},
  };
}

std::vector<std::string> command(const std::string& tool, std::vector<std::string> args) {
  args.insert(args.begin(), tool);
  return args;
}

class OptionErrors : public ::testing::TestWithParam<ToolCase> {
 protected:
  void SetUp() override { board_.write_file("/tmp/in.bin", "abcd"); }

  void expect_refused(const boardsim::RunResult& r, const std::string& out) {
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(board_.journal().of(EventKind::SpiOpen).empty()) << board_.journal().to_text();
  }

  boardsim::Board board_;
};

TEST_P(OptionErrors, HelpPrintsTheUsage) {
  const ToolCase& c = GetParam();
  expect_refused(run_tool(board_, {c.tool, "-h"}), usage_of(c.tool));
}

TEST_P(OptionErrors, UnknownOptionIsNamed) {
  const ToolCase& c = GetParam();
  // yalmet's usage lists -dD, yet -d is not one of its options.
  const std::string option = c.tool == "yalmet" ? "-d" : "-x";
  expect_refused(run_tool(board_, command(c.tool, {"-s", "0", option, "5"})),
                 "\nUnrecognized options " + option + "\n" + usage_of(c.tool));
}

TEST_P(OptionErrors, OptionWithoutArgumentIsNamed) {
  const ToolCase& c = GetParam();
  std::vector<std::string> args = c.arguments;
  args.push_back("-s");
  expect_refused(run_tool(board_, command(c.tool, args)),
                 "\nUnrecognized options -s\n" + usage_of(c.tool));
}

TEST_P(OptionErrors, MissingMandatoryOption) {
  const ToolCase& c = GetParam();
  for (const auto& args : c.missing) {
    SCOPED_TRACE(::testing::PrintToString(args));
    expect_refused(run_tool(board_, command(c.tool, args)),
                   "\nMissing not optional parameter\n" + usage_of(c.tool));
  }
}

TEST_P(OptionErrors, DeviceNumberBeyondThePathIsRefused) {
  const ToolCase& c = GetParam();
  std::vector<std::string> args = c.arguments;
  args.insert(args.begin(), {"-s", "100"});
  expect_refused(run_tool(board_, command(c.tool, args)),
                 "\nDevice number 100 out of range (0..99)\n");
}

TEST_P(OptionErrors, DeviceThatCannotBeOpened) {
  const ToolCase& c = GetParam();
  board_.spi(3).present = false;
  std::vector<std::string> args = c.arguments;
  args.insert(args.begin(), {"-s", "3"});
  const auto r = run_tool(board_, command(c.tool, args));
  EXPECT_EQ(r.out, "\nCould not open /dev/spidev2.3 (O_RDWR)\n");
  EXPECT_EQ(r.status, 255);
  const auto opens = board_.journal().of(EventKind::SpiOpen, 3);
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_LT(opens[0].result, 0);
}

INSTANTIATE_TEST_SUITE_P(Tools, OptionErrors, ::testing::ValuesIn(tool_cases()),
                         [](const ::testing::TestParamInfo<ToolCase>& param_info) {
                           return param_info.param.tool;
                         });

}  // namespace
