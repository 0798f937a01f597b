// kovrel's command line on the board: exact texts on each stream, exit
// statuses, and no device touched when the options alone end the run.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "support/kovrel_console.h"
#include "support/kovrel_usage.h"

namespace {

using boardsim::Board;
using boardsim::RunResult;
using test_support::error_report;

constexpr int FAILURE_STATUS = 255;

RunResult run_kovrel(Board& board, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"kovrel"};
  argv.insert(argv.end(), args.begin(), args.end());
  boardsim::Command command;
  command.argv = argv;
  return board.run(command);
}

struct OptionCase {
  std::vector<std::string> args;
  int status;
  std::string err;  // exact standard error
  bool usage;       // standard output is the usage text, else empty
};

void PrintTo(const OptionCase& c, std::ostream* os) {
  *os << "kovrel";
  for (const std::string& arg : c.args) {
    *os << " " << (arg.size() > 40 ? "<" + std::to_string(arg.size()) + " chars>" : arg);
  }
}

class KovrelOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(KovrelOptions, PrintExactlyAndEndWithTheirStatus) {
  const OptionCase& c = GetParam();
  Board board;
  RunResult r = run_kovrel(board, c.args);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.out, c.usage ? expected_kovrel_usage() : "");
  EXPECT_TRUE(board.journal().events().empty()) << "the options alone touch no device";
}

const std::string UNRECOGNIZED = error_report("unrecognized options -?\n");

INSTANTIATE_TEST_SUITE_P(
    CommandLine, KovrelOptions,
    ::testing::Values(
        OptionCase{{}, 0, "", false}, OptionCase{{"-h"}, FAILURE_STATUS, "", true},
        OptionCase{{"-x"}, FAILURE_STATUS, UNRECOGNIZED, true},
        OptionCase{{"-v", "1", "-v"}, FAILURE_STATUS, UNRECOGNIZED, true},
        OptionCase{{"-v", "3"}, 0, "", false},
        OptionCase{{"-v", "4"}, FAILURE_STATUS, error_report("bad -v option value\n"), false},
        OptionCase{{"-v", "-1"}, FAILURE_STATUS, error_report("bad -v option value\n"), false},
        OptionCase{{"-b", "115200"},
                   FAILURE_STATUS,
                   error_report("unsupported uart baud rate 115200\n"),
                   false},
        OptionCase{
            {"-b", "0"}, FAILURE_STATUS, error_report("unsupported uart baud rate 0\n"), false},
        OptionCase{
            {"-b", "abc"}, FAILURE_STATUS, error_report("unsupported uart baud rate 0\n"), false},
        OptionCase{{"-b", "56000"}, 0, "", false},
        OptionCase{{"-b", "19200", "-v", "9"},
                   FAILURE_STATUS,
                   error_report("bad -v option value\n"),
                   false},
        // The UART settings without a UART job are accepted and do nothing.
        OptionCase{{"-r", "-w", "-p", "1", "-b", "9600"}, 0, "", false},
        OptionCase{{"-u", std::string(201, 'u')},
                   FAILURE_STATUS,
                   error_report("-u file name longer than 200 characters\n"),
                   false},
        OptionCase{
            {"-p", "1000000"},
            FAILURE_STATUS,
            error_report("-p 1000000 gives a serial device name longer than 15 characters\n"),
            false}));

}  // namespace
