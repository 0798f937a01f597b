// The command line: every option, its failures with their exact texts, the
// run settings it leaves, and the usage text.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "kovrel.h"
#include "support/kovrel_console.h"
#include "support/kovrel_usage.h"
#include "support/output_capture.h"
#include "support/text.h"

namespace {

using test_support::error_report;
using test_support::OutputCapture;
using test_support::printable;

struct Settings {
  int verbosity = 0;
  int32_t port = 0;
  int32_t baud = 38400;
  bool rx = false;
  bool generation = false;
  std::string uart_job;
  std::string spi_job;
};

struct Outcome {
  int result;
  std::string out;
  std::string err;
};

// Runs `entry` on the argument vector "kovrel" + args, from a fresh state.
Outcome run_with(int (*entry)(int, char**), const std::vector<std::string>& args) {
  kovrel_reset_state();
  std::vector<std::string> words = {"kovrel"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  OutputCapture out(STDOUT_FILENO);
  OutputCapture err(STDERR_FILENO);
  int result = entry(static_cast<int>(words.size()), argv.data());
  std::string err_text = err.take();
  return {result, out.take(), err_text};
}

std::string command_line(const std::vector<std::string>& args) {
  std::string text = "kovrel";
  for (const std::string& arg : args) text += " " + printable(arg);
  return text;
}

struct AcceptedCase {
  std::vector<std::string> args;
  Settings settings;
};

void PrintTo(const AcceptedCase& c, std::ostream* os) { *os << command_line(c.args); }

class OptionsAccepted : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(OptionsAccepted, LeaveTheRunSettings) {
  const AcceptedCase& c = GetParam();
  Outcome run = run_with(options_read, c.args);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(verbosity, c.settings.verbosity);
  EXPECT_EQ(uart_port, c.settings.port);
  EXPECT_EQ(uart_baud, c.settings.baud);
  EXPECT_EQ(uart_rx, c.settings.rx);
  EXPECT_EQ(br_generation, c.settings.generation);
  EXPECT_EQ(uart_job_name, c.settings.uart_job);
  EXPECT_EQ(spi_job_name, c.settings.spi_job);
  EXPECT_EQ(current_phase, PHASE_OPTIONS);
}

Settings with_verbosity(int v) {
  Settings s;
  s.verbosity = v;
  return s;
}
Settings with_baud(int32_t baud) {
  Settings s;
  s.baud = baud;
  return s;
}
Settings with_port(int32_t port) {
  Settings s;
  s.port = port;
  return s;
}
Settings with_jobs(const std::string& uart, const std::string& spi) {
  Settings s;
  s.uart_job = uart;
  s.spi_job = spi;
  return s;
}
Settings uart_options() {
  Settings s;
  s.rx = true;
  s.generation = true;
  s.port = 2;
  s.baud = 9600;
  return s;
}

const std::string NAME_200(200, 'j');

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionsAccepted,
    ::testing::Values(AcceptedCase{{}, Settings{}}, AcceptedCase{{"-v", "3"}, with_verbosity(3)},
                      AcceptedCase{{"-v0"}, with_verbosity(0)},
                      AcceptedCase{{"-v", "abc"}, with_verbosity(0)},  // no digits: 0
                      AcceptedCase{{"-v", "2", "-v", "1"}, with_verbosity(1)},
                      AcceptedCase{{"ignored", "-v", "2"}, with_verbosity(2)},
                      AcceptedCase{{"-b", "56000"}, with_baud(56000)},
                      AcceptedCase{{"-b", "600"}, with_baud(600)},
                      AcceptedCase{{"-b57600"}, with_baud(57600)},
                      AcceptedCase{{"-b", " 19200"}, with_baud(19200)},
                      AcceptedCase{{"-b", "+14400baud"}, with_baud(14400)},
                      AcceptedCase{{"-p", "3"}, with_port(3)},
                      AcceptedCase{{"-p", "999999"}, with_port(999999)},  // "/dev/ttyS999999", 15
                      AcceptedCase{{"-p", "-99999"}, with_port(-99999)},
                      AcceptedCase{{"-r", "-w", "-p", "2", "-b", "9600"}, uart_options()},
                      AcceptedCase{{"-u", "uart_job.txt", "-s", "spi_job.txt"},
                                   with_jobs("uart_job.txt", "spi_job.txt")},
                      AcceptedCase{{"-sa", "-s", "b"}, with_jobs("", "b")},
                      AcceptedCase{{"-u", NAME_200, "-s", NAME_200},
                                   with_jobs(NAME_200, NAME_200)}));

struct RefusedCase {
  std::vector<std::string> args;
  std::string message;  // the log_error text; "" for none
  bool usage;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << command_line(c.args); }

class OptionsRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(OptionsRefused, EndTheRunWithTheirReport) {
  const RefusedCase& c = GetParam();
  Outcome run = run_with(kovrel_main, c.args);
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(run.err, c.message.empty() ? "" : error_report(c.message));
  EXPECT_EQ(run.out, c.usage ? expected_kovrel_usage() : "");
  EXPECT_EQ(current_phase, PHASE_OPTIONS) << "no phase may start";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionsRefused,
    ::testing::Values(
        RefusedCase{{"-h"}, "", true}, RefusedCase{{"-h", "-x"}, "", true},
        RefusedCase{{"-x"}, "unrecognized options -?\n", true},
        RefusedCase{{"-v"}, "unrecognized options -?\n", true},
        RefusedCase{{"-r", "-u"}, "unrecognized options -?\n", true},
        RefusedCase{{"-v", "4"}, "bad -v option value\n", false},
        RefusedCase{{"-v", "-1"}, "bad -v option value\n", false},
        RefusedCase{{"-v", "3", "-v", "9"}, "bad -v option value\n", false},
        RefusedCase{{"-b", "115200"}, "unsupported uart baud rate 115200\n", false},
        RefusedCase{{"-b", "0"}, "unsupported uart baud rate 0\n", false},
        RefusedCase{{"-b", "abc"}, "unsupported uart baud rate 0\n", false},
        RefusedCase{{"-b", "38401"}, "unsupported uart baud rate 38401\n", false},
        // Held to 32 bits, the same on the board as on a 64-bit host.
        RefusedCase{{"-b", "4294986496"}, "unsupported uart baud rate 2147483647\n", false},
        RefusedCase{{"-v", "4294967297"}, "bad -v option value\n", false},
        RefusedCase{{"-p", "1000000"},
                    "-p 1000000 gives a serial device name longer than 15 characters\n",
                    false},
        RefusedCase{{"-p", "-100000"},
                    "-p -100000 gives a serial device name longer than 15 characters\n",
                    false},
        RefusedCase{{"-u", NAME_200 + "x"}, "-u file name longer than 200 characters\n", false},
        RefusedCase{{"-s", NAME_200 + "x"}, "-s file name longer than 200 characters\n", false}));

TEST(OptionsOrder, EachOptionTakesEffectWhenMet) {
  Outcome run = run_with(options_read, {"-b", "19200", "-v", "9", "-b", "600"});
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(run.err, error_report("bad -v option value\n"));
  EXPECT_EQ(uart_baud, 19200) << "accepted before -v ended the run";
}

TEST(OptionsOrder, LongNameLeavesNoJob) {
  Outcome run = run_with(options_read, {"-u", NAME_200 + "x"});
  EXPECT_EQ(run.result, -1);
  EXPECT_STREQ(uart_job_name, "");
}

struct QuietCase {
  std::vector<std::string> args;
};

void PrintTo(const QuietCase& c, std::ostream* os) { *os << command_line(c.args); }

class NothingToDo : public ::testing::TestWithParam<QuietCase> {};

TEST_P(NothingToDo, EndsWithSuccessAndNoOutput) {
  Outcome run = run_with(kovrel_main, GetParam().args);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(current_phase, PHASE_OPTIONS);
}

INSTANTIATE_TEST_SUITE_P(Cases, NothingToDo,
                         ::testing::Values(QuietCase{{}}, QuietCase{{"-v", "3"}},
                                           QuietCase{{"-r", "-w", "-p", "1", "-b", "57600"}}));

TEST(Usage, IsTheThreeBlocksOnStandardOutput) {
  kovrel_reset_state();
  OutputCapture out(STDOUT_FILENO);
  OutputCapture err(STDERR_FILENO);
  print_usage();
  std::string err_text = err.take();
  EXPECT_EQ(out.take(), expected_kovrel_usage());
  EXPECT_EQ(err_text, "");
}

}  // namespace
