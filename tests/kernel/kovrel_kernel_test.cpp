// kovrel of the board's package on a real ARM kernel: the real PL011 driver,
// its termios2 speeds and TIOCSERGETLSR. Each bring-up on the virtual board
// must print what the host build prints on the simulated board, byte for
// byte, and put the same bytes on the lines; the texts that matter are also
// checked as written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "vm_results.h"

namespace {

using kernel_test::bring_ups;
using kernel_test::on_simulated_board;
using kernel_test::result;
using kernel_test::result_number;
using kernel_test::slurp;

struct BringUp {
  const char* name;                // the case on the virtual board
  std::vector<std::string> args;   // kovrel's arguments
  int port;                        // the serial port it runs on
  std::vector<const char*> lines;  // whole lines of its standard error
  const char* br_input;            // the br file it replays: a result file ("" none)
};

// In the order the board ran them: the n-th is the n-th reset in the journal
// after the power-on's.
const std::vector<BringUp> BRING_UPS = {
    {"uart_38400_w",
     {"-v", "1", "-w", "-u", "examples/uart_job.txt"},
     0,
     {"</dev/ttyS0> opened (38400 8-N-1)", "UART byte trasmission time = 260 usec",
      "\tBRECORD = 00001000 C0 ", "... DONE"},
     ""},
    {"uart_57600",
     {"-v", "1", "-b", "57600", "-u", "examples/uart_job.txt"},
     0,
     {"\tBRECORD = 002060A8 C4 0000013D", "baud rate changed to 57600",
      "UART byte trasmission time = 174 usec", "... DONE"},
     ""},
    {"uart_56000_w",
     {"-v", "1", "-w", "-b", "56000", "-u", "examples/uart_job.txt"},
     0,
     {"\tBRECORD = 002060A8 C4 00000134", "baud rate changed to 56000",
      "UART byte trasmission time = 179 usec", "... DONE"},
     ""},
    {"uart_14400_r_w",
     {"-v", "1", "-r", "-w", "-b", "14400", "-u", "examples/uart_job.txt"},
     0,
     {"\tA - :", "\tBRECORD = 002060A8 C4 0000004F", "baud rate changed to 14400",
      "\tBRECORD = 001122FC C4 CAFEDECA>", "\tBRECORD = 001122FC E4 001122FCE4CAFEDECA>",
      "... DONE"},
     ""},
    {"br_replay_56000",
     {"-v", "1", "-b", "56000", "-u", "replay_job.txt"},
     0,
     {"baud rate changed to 56000",
      "0000101CDCB5AF5C95FE5312322C23D193E94CED457D0D99C93001DCFF632C5551", "... DONE"},
     "uart_14400_r_w/br"},
    {"silent_slave",
     {"-v", "1", "-r", "-p", "1", "-u", "examples/uart_job.txt"},
     1,
     {"\tA", "ERROR : UART read stalled (no progress for 2000 ms)",
      "ERROR : sync char response read failed"},
     ""},
};

bool has_line(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(KernelBringUps, EveryBringUpBeganWithTheSlavesReset) {
  EXPECT_EQ(bring_ups(slurp(result("boardsim.jsonl"))).size(),
            kernel_test::POWER_ON_BRING_UPS + BRING_UPS.size());
}

class KernelBringUp : public ::testing::TestWithParam<size_t> {};

TEST_P(KernelBringUp, PrintsAndSendsWhatItDoesOnTheSimulatedBoard) {
  const BringUp& c = BRING_UPS[GetParam()];
  const std::string name = c.name;
  const std::string err = slurp(result(name + "/err"));
  for (const char* line : c.lines)
    EXPECT_TRUE(has_line(err, line)) << "no line '" << line << "' in\n" << err;

  std::vector<std::string> argv = {"kovrel"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const std::string br_before = *c.br_input != '\0' ? slurp(result(c.br_input)) : "";
  const kernel_test::Reference ref = on_simulated_board(argv, br_before);
  EXPECT_EQ(result_number(name + "/status"), ref.result.status);
  EXPECT_EQ(err, ref.result.err);
  EXPECT_EQ(slurp(result(name + "/out")), ref.result.out);

  const auto board = bring_ups(slurp(result("boardsim.jsonl")));
  const size_t reset = kernel_test::POWER_ON_BRING_UPS + GetParam();
  ASSERT_GT(board.size(), reset);
  kernel_test::Traffic seen = board[reset];
  kernel_test::Traffic expected = ref.traffic;
  EXPECT_EQ(seen.gpio, expected.gpio);
  EXPECT_EQ(seen.gpio.size(), 36u) << "three 12-byte requests";
  EXPECT_EQ(seen.to_slave[c.port], expected.to_slave[c.port]);
  EXPECT_EQ(seen.from_slave[c.port], expected.from_slave[c.port]);
  EXPECT_EQ(seen.to_slave.size(), 1u) << "bytes on another line";
  if (std::find(c.args.begin(), c.args.end(), "-w") != c.args.end()) {
    EXPECT_FALSE(ref.br.empty());
    EXPECT_EQ(slurp(result(name + "/br")), ref.br);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelBringUp, ::testing::Range<size_t>(0, BRING_UPS.size()),
                         [](const auto& param_info) {
                           return std::string(BRING_UPS[param_info.param].name);
                         });

TEST(KernelBringUps, SilentSlaveEndsTheRunAtItsBound) {
  // The stall bound is 2 s; the board gives up after it, not before, and
  // soon after it.
  const int elapsed_cs = result_number("silent_slave/elapsed_cs");
  EXPECT_GE(elapsed_cs, 200);
  EXPECT_LT(elapsed_cs, 200 + 800);
  EXPECT_EQ(result_number("silent_slave/status"), 255);
}

// The divisor the kernel's PL011 driver wrote for each speed (24 MHz UART
// clock: 64 times the divisor is 4 x 24000000 / baud, rounded), as qemu saw
// the registers written.
struct Divisor {
  int baud;
  int ibrd;
  int fbrd;
};

void PrintTo(const Divisor& d, std::ostream* os) { *os << d.baud << " baud"; }

class KernelUartDivisor : public ::testing::TestWithParam<Divisor> {};

TEST_P(KernelUartDivisor, DriverProgrammedTheSpeed) {
  const Divisor d = GetParam();
  const std::string pair =
      "ibrd: " + std::to_string(d.ibrd) + ", fbrd: " + std::to_string(d.fbrd) + ")";
  EXPECT_NE(slurp(result("qemu-uart.log")).find(pair), std::string::npos) << d.baud << " baud";
}

INSTANTIATE_TEST_SUITE_P(Speeds, KernelUartDivisor,
                         ::testing::Values(Divisor{38400, 39, 4}, Divisor{57600, 26, 3},
                                           Divisor{56000, 26, 50}, Divisor{14400, 104, 11}),
                         [](const auto& param_info) {
                           return std::to_string(param_info.param.baud);
                         });

// One traced system call of kovrel: "sys_ioctl(fd: 3, cmd: 5459, arg: ...)"
// and its "sys_ioctl -> 0x0", or "sys_write(fd: 3, buf: ..., count: 8)".
struct Call {
  bool ioctl = false;
  int fd = -1;
  unsigned long cmd = 0;  // ioctl
  long count = 0;         // write
  std::string result;     // ioctl: what it returned ("0x0")
};

long field_after(const std::string& line, const std::string& key, int base) {
  const size_t at = line.find(key);
  return at == std::string::npos ? -1 : strtol(line.c_str() + at + key.size(), nullptr, base);
}

std::vector<Call> calls(const std::string& trace) {
  std::vector<Call> found;
  std::istringstream in(trace);
  for (std::string line; std::getline(in, line);) {
    if (line.find("sys_ioctl -> ") != std::string::npos) {
      if (!found.empty() && found.back().ioctl)
        found.back().result = line.substr(line.find("-> ") + 3);
    } else if (line.find("sys_ioctl(") != std::string::npos ||
               line.find("sys_write(") != std::string::npos) {
      Call c;
      c.ioctl = line.find("sys_ioctl(") != std::string::npos;
      c.fd = static_cast<int>(field_after(line, "(fd: ", 16));
      if (c.ioctl) {
        c.cmd = static_cast<unsigned long>(field_after(line, "cmd: ", 16));
      } else {
        c.count = field_after(line, "count: ", 16);
      }
      found.push_back(c);
    }
  }
  return found;
}

constexpr unsigned long TIOCSERGETLSR_REQUEST = 0x5459;
bool sets_speed(const Call& c) {
  // TCSETS, TCSETSW, TCSETSF, and TCSETS2 for a speed without a constant.
  return c.ioctl && (c.cmd == 0x5402 || c.cmd == 0x5403 || c.cmd == 0x5404 || c.cmd == 0x402C542B);
}

struct TransmitterWait {
  const char* name;
  bool speed_change;
};

void PrintTo(const TransmitterWait& w, std::ostream* os) { *os << w.name; }

class KernelTransmitterWait : public ::testing::TestWithParam<TransmitterWait> {};

// Before the speed changes, kovrel asks the driver whether the transmitter
// is empty: TIOCSERGETLSR answered on the port, after the speed-change
// record's last write and before the new speed is set (and, in a BR_FILE
// replay, after each record).
TEST_P(KernelTransmitterWait, DriverAnswersBeforeTheSpeedChanges) {
  const std::string trace = slurp(result(std::string(GetParam().name) + "/syscalls"));
  const std::vector<Call> seen = calls(trace);
  ASSERT_FALSE(seen.empty()) << "no system calls traced";
  size_t asked = seen.size();
  // The first one: a BR_FILE replay asks again after each of its records.
  for (size_t i = 0; i < seen.size() && asked == seen.size(); ++i) {
    if (seen[i].ioctl && seen[i].cmd == TIOCSERGETLSR_REQUEST) asked = i;
  }
  if (!GetParam().speed_change) {
    EXPECT_EQ(asked, seen.size()) << "TIOCSERGETLSR without a speed change\n" << trace;
    return;
  }
  ASSERT_LT(asked, seen.size()) << "no TIOCSERGETLSR\n" << trace;
  const int port = seen[asked].fd;
  EXPECT_EQ(seen[asked].result, "0x0") << "the driver did not answer TIOCSERGETLSR";
  // The last write on the port before it: the record's 8 data characters.
  size_t record = asked;
  while (record > 0 && !(!seen[record - 1].ioctl && seen[record - 1].fd == port)) --record;
  ASSERT_GT(record, 0u) << "no write on the port before TIOCSERGETLSR";
  EXPECT_EQ(seen[record - 1].count, 8);
  size_t change = asked + 1;
  while (change < seen.size() && !sets_speed(seen[change]) &&
         (seen[change].ioctl || seen[change].fd != port))
    ++change;
  ASSERT_LT(change, seen.size()) << "no speed set after TIOCSERGETLSR";
  EXPECT_EQ(seen[change].fd, port);
  EXPECT_TRUE(sets_speed(seen[change])) << "a write on the port before the speed was set";
  EXPECT_EQ(seen[change].result, "0x0");
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelTransmitterWait,
                         ::testing::Values(TransmitterWait{"uart_38400_w", false},
                                           TransmitterWait{"uart_57600", true},
                                           TransmitterWait{"uart_56000_w", true},
                                           TransmitterWait{"uart_14400_r_w", true},
                                           TransmitterWait{"br_replay_56000", true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
