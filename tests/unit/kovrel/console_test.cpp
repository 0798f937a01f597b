// Console reports and device I/O: exact report texts, the device released by
// every error report (and never twice), verbosity gating, transfers that
// complete across partial moves and EAGAIN, and the bound on a silent device.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "kovrel.h"
#include "support/kovrel_console.h"
#include "support/output_capture.h"
#include "support/text.h"

namespace {

using test_support::error_report;
using test_support::OutputCapture;
using test_support::printable;
using test_support::rule_80;

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Two connected ends; `ours` becomes current_device, non-blocking like the
// board's devices.
struct Link {
  int ours = -1;
  int theirs = -1;
  Link() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      ours = fds[0];
      theirs = fds[1];
      set_nonblocking(ours);
    }
    current_device = ours;
  }
  ~Link() {
    close_current_device();
    if (theirs >= 0) close(theirs);
  }
};

struct Pipe {
  int read_end = -1;
  int write_end = -1;
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      read_end = fds[0];
      write_end = fds[1];
    }
  }
  ~Pipe() {
    for (int fd : {read_end, write_end}) {
      if (fd >= 0) close(fd);
    }
  }
};

// Makes `end` the current device, which the code under test then owns.
void hand_over(int& end) {
  current_device = end;
  end = -1;
}

class Console : public ::testing::Test {
 protected:
  void SetUp() override { kovrel_reset_state(); }
  void TearDown() override { kovrel_reset_state(); }
};

TEST_F(Console, ErrorReportIsPrefixedEndedAndReleasesTheDevice) {
  Pipe first;
  int old_number = first.read_end;
  hand_over(first.read_end);
  errno = EAGAIN;
  OutputCapture err(STDERR_FILENO);
  log_error("cannot open <%s>\n", "/dev/ttyS0");
  int errno_after = errno;
  std::string text = err.take();
  EXPECT_EQ(text, "\nERROR : cannot open </dev/ttyS0>\n\n");
  EXPECT_EQ(current_device, -1);
  EXPECT_FALSE(is_open(old_number));
  EXPECT_EQ(errno_after, EAGAIN) << "the report keeps errno for its caller";

  // A second report must not close whatever now has the old number.
  Pipe second;
  OutputCapture again(STDERR_FILENO);
  log_error("sync char write failed\n");
  EXPECT_EQ(again.take(), "\nERROR : sync char write failed\n\n");
  EXPECT_TRUE(is_open(second.read_end));
  EXPECT_TRUE(is_open(second.write_end));
}

TEST_F(Console, SyntaxReportShowsTheLineAsReadAndTheToken) {
  snprintf(line, sizeof line, "WAIT 100 ; pause\r\n");
  snprintf(token, sizeof token, ";");
  OutputCapture err(STDERR_FILENO);
  int result = log_syntax_error();
  std::string text = err.take();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(text,
            "\nERROR : \n" + rule_80() + "\nWAIT 100 ; pause\r\n\n" + "\nERROR : token --> ;\n\n");
}

struct GateCase {
  int phase;
  int verbosity;
  bool shown;
};

void PrintTo(const GateCase& c, std::ostream* os) {
  *os << "phase " << c.phase << " verbosity " << c.verbosity;
}

class VerboseGate : public ::testing::TestWithParam<GateCase> {};

TEST_P(VerboseGate, ProgressOnlyWhenPhaseAndVerbosityShareABit) {
  const GateCase& c = GetParam();
  kovrel_reset_state();
  current_phase = c.phase;
  verbosity = c.verbosity;
  OutputCapture err(STDERR_FILENO);
  log_verbose("<%s> opened (%d 8-N-1)\n\n", "/dev/ttyS0", 38400);
  log_debug("    %d    %d   OK   --", 1, 2);
  std::string text = err.take();
  std::string debug = "DEBUG :     1    2   OK   --\n";
  EXPECT_EQ(text, (c.shown ? std::string("</dev/ttyS0> opened (38400 8-N-1)\n\n") : "") + debug);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, VerboseGate,
    ::testing::Values(GateCase{PHASE_OPTIONS, 3, false}, GateCase{PHASE_UART, 0, false},
                      GateCase{PHASE_UART, 1, true}, GateCase{PHASE_UART, 2, false},
                      GateCase{PHASE_UART, 3, true}, GateCase{PHASE_SPI, 0, false},
                      GateCase{PHASE_SPI, 1, false}, GateCase{PHASE_SPI, 2, true},
                      GateCase{PHASE_SPI, 3, true}));

TEST_F(Console, ReadAllGathersBytesThatArriveInPieces) {
  current_phase = PHASE_UART;
  Link link;
  const std::string sent = "0123456789abcdefghij";
  std::thread sender([&] {
    for (size_t at = 0; at < sent.size(); at += 3) {
      size_t piece = std::min<size_t>(3, sent.size() - at);
      if (write(link.theirs, sent.data() + at, piece) != static_cast<ssize_t>(piece)) return;
    }
  });
  char got[20] = {};
  int result = read_all(got, sizeof got);
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(std::string(got, sizeof got), sent);
}

TEST_F(Console, WriteAllMovesMoreThanTheDeviceTakesAtOnce) {
  current_phase = PHASE_SPI;
  Pipe pipe_;
  set_nonblocking(pipe_.write_end);
  hand_over(pipe_.write_end);
  std::vector<uint8_t> sent(256 * 1024);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 + i / 251);
  std::vector<uint8_t> got;
  std::thread receiver([&] {
    uint8_t chunk[4096];
    while (got.size() < sent.size()) {
      ssize_t n = read(pipe_.read_end, chunk, sizeof chunk);
      if (n <= 0) return;
      got.insert(got.end(), chunk, chunk + n);
    }
  });
  int result = write_all(sent.data(), sent.size());
  receiver.join();
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(got == sent);
}

TEST_F(Console, ReadOnceReturnsWhatOneReadDelivers) {
  current_phase = PHASE_UART;
  Link link;
  ASSERT_EQ(write(link.theirs, "001122FCC4", 10), 10);
  char got[11] = {};
  OutputCapture err(STDERR_FILENO);
  long count = read_once(got, sizeof got);
  EXPECT_EQ(err.take(), "");
  EXPECT_EQ(count, 10);
  EXPECT_EQ(std::string(got, 10), "001122FCC4");
}

TEST_F(Console, ReadOnceWaitsForTheFirstBytes) {
  current_phase = PHASE_UART;
  Link link;
  std::thread sender([&] { (void)!write(link.theirs, "*", 1); });
  char got[4] = {};
  long count = read_once(got, sizeof got);
  sender.join();
  EXPECT_EQ(count, 1);
  EXPECT_EQ(got[0], '*');
}

TEST_F(Console, ReadOnceLeavesAHardErrorToItsCaller) {
  current_phase = PHASE_UART;
  Pipe pipe_;
  hand_over(pipe_.write_end);  // reading it fails with EBADF
  char got[4];
  OutputCapture err(STDERR_FILENO);
  long count = read_once(got, sizeof got);
  int error = errno;
  EXPECT_EQ(err.take(), "");
  EXPECT_EQ(count, -1);
  EXPECT_EQ(error, EBADF);
}

// Pauses of the serial protocol: each lasts at least its length, counted
// from the transfer that starts it, and pauses in a row add up; a signal in
// the middle does not cut one short. Only lower bounds: a loaded machine can
// make a pause longer, never shorter.
struct PauseCase {
  const char* name;
  bool after_read;                 // the pause starts with a read, else a write
  std::vector<int64_t> pauses_us;  // made one after the other
  int64_t signal_after_us;         // 0: no signal
};

void PrintTo(const PauseCase& c, std::ostream* os) { *os << c.name; }

void ignore_signal(int) {}

class PauseFloor : public ::testing::TestWithParam<PauseCase> {};

TEST_P(PauseFloor, LastsAtLeastItsLengthFromTheTransfer) {
  const PauseCase& c = GetParam();
  kovrel_reset_state();
  current_phase = PHASE_UART;
  Link link;
  ASSERT_EQ(write(link.theirs, "x", 1), 1);
  struct sigaction quiet = {};
  struct sigaction saved = {};
  quiet.sa_handler = ignore_signal;  // no SA_RESTART: the sleep sees EINTR
  sigaction(SIGALRM, &quiet, &saved);
  const auto before = std::chrono::steady_clock::now();
  char byte = 'x';
  ASSERT_EQ(c.after_read ? read_all(&byte, 1) : write_all(&byte, 1), 0);
  if (c.signal_after_us > 0) {
    struct itimerval once = {{0, 0}, {0, static_cast<suseconds_t>(c.signal_after_us)}};
    setitimer(ITIMER_REAL, &once, nullptr);
  }
  int64_t total_us = 0;
  for (int64_t pause_us : c.pauses_us) {
    link_pause_us(pause_us);
    total_us += pause_us;
  }
  const auto lasted = std::chrono::steady_clock::now() - before;
  sigaction(SIGALRM, &saved, nullptr);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(lasted).count(), total_us);
}

INSTANTIATE_TEST_SUITE_P(Lengths, PauseFloor,
                         ::testing::Values(PauseCase{"AfterAWrite", false, {3000}, 0},
                                           PauseCase{"AfterARead", true, {3000}, 0},
                                           PauseCase{"InARow", false, {2000, 3000, 1000}, 0},
                                           PauseCase{"AcrossASignal", false, {20000}, 5000}),
                         [](const ::testing::TestParamInfo<PauseCase>& row) {
                           return std::string(row.param.name);
                         });

// Hard failures: worded by phase with errno, and the device released.
enum class Op { READ, WRITE };

struct FailureCase {
  int phase;
  Op op;
  const char* wording;  // the message with errno still to be filled in
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << printable(c.wording); }

class TransferFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(TransferFailure, IsReportedByPhaseWithErrno) {
  const FailureCase& c = GetParam();
  kovrel_reset_state();
  current_phase = c.phase;
  Pipe pipe_;
  // Each end refuses the other direction with EBADF.
  hand_over(c.op == Op::READ ? pipe_.write_end : pipe_.read_end);
  char buffer[4] = {1, 2, 3, 4};
  OutputCapture err(STDERR_FILENO);
  int result =
      c.op == Op::READ ? read_all(buffer, sizeof buffer) : write_all(buffer, sizeof buffer);
  std::string text = err.take();
  char expected[64];
  snprintf(expected, sizeof expected, c.wording, EBADF);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(text, error_report(expected));
  EXPECT_EQ(current_device, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Wording, TransferFailure,
    ::testing::Values(FailureCase{PHASE_UART, Op::READ, "UART read failed (%d)\n"},
                      FailureCase{PHASE_UART, Op::WRITE, "UART write failed (%d)\n"},
                      FailureCase{PHASE_SPI, Op::READ, "SPI read failed (%d)\n"},
                      FailureCase{PHASE_SPI, Op::WRITE, "SPI write failed (%d)\n"}));

// A device that stops moving bytes: the transfer gives up with a report
// instead of waiting forever. Each case waits out the whole bound.
enum class Stall { READ_ALL_SILENT, READ_ALL_AT_END, WRITE_ALL_FULL, READ_ONCE_SILENT };

struct StallCase {
  int phase;
  Stall kind;
  const char* message;
};

void PrintTo(const StallCase& c, std::ostream* os) {
  *os << "case " << static_cast<int>(c.kind) << " " << printable(c.message);
}

class StalledDevice : public ::testing::TestWithParam<StallCase> {};

TEST_P(StalledDevice, GivesUpWithAReport) {
  const StallCase& c = GetParam();
  kovrel_reset_state();
  current_phase = c.phase;
  Link link;
  Pipe pipe_;
  char buffer[8] = {};
  long result = 0;
  OutputCapture err(STDERR_FILENO);
  switch (c.kind) {
    case Stall::READ_ALL_SILENT: result = read_all(buffer, sizeof buffer); break;
    case Stall::READ_ALL_AT_END:
      // Three bytes, then the far end is gone: every further read returns 0.
      (void)!write(link.theirs, "abc", 3);
      shutdown(link.theirs, SHUT_WR);
      result = read_all(buffer, sizeof buffer);
      break;
    case Stall::WRITE_ALL_FULL:
      set_nonblocking(pipe_.write_end);
      while (write(pipe_.write_end, buffer, sizeof buffer) > 0) {
      }
      close_current_device();
      hand_over(pipe_.write_end);
      result = write_all(buffer, sizeof buffer);
      break;
    case Stall::READ_ONCE_SILENT: result = read_once(buffer, sizeof buffer); break;
  }
  int error = errno;
  std::string text = err.take();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(text, error_report(c.message));
  EXPECT_EQ(current_device, -1);
  if (c.kind == Stall::READ_ONCE_SILENT) {
    EXPECT_EQ(error, ETIMEDOUT);
  }
  if (c.kind == Stall::READ_ALL_AT_END) {
    EXPECT_EQ(std::string(buffer, 3), "abc");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bound, StalledDevice,
    ::testing::Values(StallCase{PHASE_UART, Stall::READ_ALL_SILENT,
                                "UART read stalled (no progress for 2000 ms)\n"},
                      StallCase{PHASE_SPI, Stall::READ_ALL_AT_END,
                                "SPI read stalled (no progress for 2000 ms)\n"},
                      StallCase{PHASE_SPI, Stall::WRITE_ALL_FULL,
                                "SPI write stalled (no progress for 2000 ms)\n"},
                      StallCase{PHASE_UART, Stall::READ_ONCE_SILENT,
                                "UART read stalled (no progress for 2000 ms)\n"}));

}  // namespace
