// The simulated board seen from a program: its sandboxed files, serial
// ports, GPIO and frame-buffer devices, the date and hwclock stand-ins, time
// limits, PID namespaces with the Panel stand-in, and what a run returns.
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board_client.h"
#include "boardsim/board.h"
#include "support/board_env.h"

namespace {

using board_test::client;
using boardsim::Board;
using boardsim::Command;
using boardsim::EventKind;
using boardsim::RunResult;
using test_support::programs_emulated;

bool host_exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// ------------------------------------------------------------ sandbox

class SandboxFiles : public ::testing::TestWithParam<const char*> {};

TEST_P(SandboxFiles, FileWrittenOnTheBoardLandsInTheSandboxOnly) {
  Board board;
  const std::string path = std::string(GetParam()) + "/boardsim_probe_" + std::to_string(getpid());
  const RunResult r = board.run(client({"file", path, "written on the board"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(board.read_file(path), "written on the board");
  EXPECT_TRUE(host_exists(board.host_path(path)));
  EXPECT_FALSE(host_exists(path)) << path << " leaked to the host";
}

INSTANTIATE_TEST_SUITE_P(BoardDirectories, SandboxFiles, ::testing::Values("/tmp", "/home/organ"));

struct SeededFile {
  const char* board_path;
  const char* content;
};

class SandboxSeed : public ::testing::TestWithParam<SeededFile> {};

TEST_P(SandboxSeed, FileWrittenByTheTestIsSeenByTheProgram) {
  Board board;
  board.write_file(GetParam().board_path, GetParam().content);
  const RunResult r = board.run(client({"cat", GetParam().board_path}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, GetParam().content);
}

INSTANTIATE_TEST_SUITE_P(
    BoardPaths, SandboxSeed,
    ::testing::Values(SeededFile{"/sys/class/rtc/rtc0/since_epoch", "1000000000\n"},
                      SeededFile{"/home/organ/epoch_offset", "3600\n"},
                      SeededFile{"/home/organ/actual_state/global_set", "settings"},
                      SeededFile{"/tmp/messages", "kernel: 50 over-current\n"}));

TEST(Sandbox, RtcAttributeIsAbsentUntilWritten) {
  Board board;
  const RunResult r = board.run(client({"cat", "/sys/class/rtc/rtc0/since_epoch"}));
  EXPECT_EQ(r.out, "missing /sys/class/rtc/rtc0/since_epoch\n");
}

struct RemovedNode {
  const char* path;
  std::vector<std::string> steps;  // a client run that opens it
};

class SandboxRemovedNode : public ::testing::TestWithParam<RemovedNode> {};

TEST_P(SandboxRemovedNode, NodeRemovedByTheTestCannotBeOpened) {
  Board board;
  board.remove_file(GetParam().path);
  const RunResult r = board.run(client(GetParam().steps));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("failed errno 2\n"), std::string::npos) << r.err;
  // The next command finds the same board: the node stays absent.
  EXPECT_EQ(board.run(client(GetParam().steps)).status, 1);
}

INSTANTIATE_TEST_SUITE_P(Devices, SandboxRemovedNode,
                         ::testing::Values(RemovedNode{"/dev/ttyS1", {"tty", "/dev/ttyS1"}},
                                           RemovedNode{"/dev/gpio0", {"gpio", "1", "1", "1"}},
                                           RemovedNode{"/dev/fb0", {"fb", "5"}}));

TEST(Sandbox, BoardPathsOutsideTheSandboxAreRefused) {
  Board board;
  EXPECT_THROW(board.host_path("/etc/passwd"), std::invalid_argument);
  EXPECT_THROW(board.host_path("/tmp/../etc/passwd"), std::invalid_argument);
  EXPECT_THROW(board.host_path("/tmpfoo"), std::invalid_argument);
}

class SandboxHiddenWorkdir : public ::testing::TestWithParam<const char*> {};

TEST_P(SandboxHiddenWorkdir, WorkdirThatARunOvermountsIsRefused) {
  boardsim::BoardConfig config;
  config.workdir = GetParam();
  EXPECT_THROW(Board board(config), std::runtime_error);
}

INSTANTIATE_TEST_SUITE_P(Overmounted, SandboxHiddenWorkdir,
                         ::testing::Values("/tmp", "/home", "/tmp/."));

// A checkout or build tree under the host's /tmp (as a CI clone may be) must
// stay reachable at its own path although the board's /tmp covers it.
TEST(Sandbox, HostTreeUnderTmpStaysVisibleAtItsPath) {
  char dir[] = "/tmp/boardsim-tree-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/job.txt";
  FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("WAIT 1\n", f);
  std::fclose(f);
  RunResult r;
  {
    Board board;
    Command cat;
    cat.argv = {"cat", file};
    r = board.run(cat);
    EXPECT_FALSE(host_exists(board.host_path("/tmp") + "/job.txt"));
  }
  std::remove(file.c_str());
  rmdir(dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "WAIT 1\n");
}

TEST(Sandbox, DirectoryIsRemovedWithTheBoardUnlessKept) {
  std::string kept;
  std::string removed;
  {
    Board board;
    removed = board.host_path("/tmp");
    boardsim::BoardConfig config;
    config.keep_sandbox = true;
    Board keeper(config);
    kept = keeper.host_path("/tmp");
  }
  EXPECT_FALSE(host_exists(removed));
  EXPECT_TRUE(host_exists(kept));
  const std::string root = kept.substr(0, kept.rfind('/'));
  ASSERT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
}

// An ordinary user gets the same board through a user namespace.
class Unprivileged : public ::testing::Test {
 protected:
  static constexpr uid_t NOBODY = 65534;

  // Runs body in a child process that has given up root; its exit status.
  static int as_nobody(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(100);
      int status = 101;
      try {
        status = body();
      } catch (const std::exception& e) {
        fprintf(stderr, "%s\n", e.what());
      }
      _exit(status);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
  }
};

TEST_F(Unprivileged, BoardRunsForAnOrdinaryUser) {
  if (geteuid() != 0) GTEST_SKIP() << "the whole suite runs unprivileged already";
  if (as_nobody([] { return unshare(CLONE_NEWUSER) == 0 ? 0 : 1; }) != 0) {
    GTEST_SKIP() << "this kernel gives ordinary users no user namespace";
  }
  const std::string probe = "/tmp/boardsim_nobody_probe_" + std::to_string(getpid());
  const int status = as_nobody([&] {
    Board board;
    const RunResult r = board.run(client({"file", probe, "x", "tty", "/dev/ttyS0", "raw", "57600",
                                          "gpio", "1", "1", "1", "system", "date 0101"}));
    if (r.status != 0 || r.out != "system 0\n") {
      fprintf(stderr, "status %d out '%s' err '%s'\n", r.status, r.out.c_str(), r.err.c_str());
      return 1;
    }
    if (board.read_file(probe) != "x" || host_exists(probe)) return 2;
    if (board.journal().of(EventKind::SerialSpeed, 0).size() != 1) return 3;
    if (board.journal().of(EventKind::GpioWrite).size() != 1) return 4;
    if (board.standin_calls() != std::vector<std::string>{"date 0101"}) return 5;
    return 0;
  });
  EXPECT_EQ(status, 0);
}

// ------------------------------------------------------------ serial ports

// A far end that answers every byte in upper case and records what it saw.
class UpperCaseEcho : public boardsim::SerialFarEnd {
 public:
  explicit UpperCaseEcho(uint64_t delay_us = 0) : delay_us_(delay_us) {}
  void on_bytes(boardsim::SerialLink& link, const uint8_t* data, size_t n) override {
    std::string answer;
    for (size_t i = 0; i < n; ++i) {
      received += static_cast<char>(data[i]);
      answer += static_cast<char>(toupper(data[i]));
    }
    link.send(answer.data(), answer.size(), delay_us_);
  }
  void on_gpio(boardsim::SerialLink&, const boardsim::GpioRequest& request) override {
    gpio.push_back(request);
  }
  void on_board_speed(boardsim::SerialLink& link, uint32_t baud) override {
    speeds.push_back(baud);
    seen_by_link.push_back(link.board_speed());
  }
  std::string received;
  std::vector<boardsim::GpioRequest> gpio;
  std::vector<uint32_t> speeds;
  std::vector<uint32_t> seen_by_link;

 private:
  uint64_t delay_us_;
};

class SerialPorts : public ::testing::TestWithParam<int> {};

TEST_P(SerialPorts, FarEndSeesTheBoardsBytesAndAnswers) {
  const int port = GetParam();
  Board board;
  auto far = std::make_shared<UpperCaseEcho>();
  board.attach_serial(port, far);
  const std::string tty = "/dev/ttyS" + std::to_string(port);
  const RunResult r =
      board.run(client({"tty", tty, "raw", "38400", "write", "sync:A", "read", "6"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "read SYNC:A\n");
  EXPECT_EQ(far->received, "sync:A");
  EXPECT_EQ(board.journal().bytes_text(EventKind::SerialToSlave, port), "sync:A");
  EXPECT_EQ(board.journal().bytes_text(EventKind::SerialFromSlave, port), "SYNC:A");
}

INSTANTIATE_TEST_SUITE_P(EveryPort, SerialPorts, ::testing::Values(0, 1, 2));

TEST(SerialTiming, DelayedAnswerReachesTheBoardNoEarlierThanItsDelay) {
  constexpr uint64_t DELAY_US = 30000;
  Board board;
  board.attach_serial(0, std::make_shared<UpperCaseEcho>(DELAY_US));
  const RunResult r =
      board.run(client({"tty", "/dev/ttyS0", "raw", "38400", "write", "a", "read", "1"}));
  ASSERT_EQ(r.out, "read A\n") << r.err;
  const auto sent = board.journal().of(EventKind::SerialToSlave, 0);
  const auto answered = board.journal().of(EventKind::SerialFromSlave, 0);
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(answered.size(), 1u);
  EXPECT_GE(answered[0].t_ns - sent[0].t_ns, DELAY_US * 1000);
}

// Each byte event says how early its bytes can have reached the simulator
// (t_min_ns). Bytes that waited on the line while the simulator's thread
// slept outside its loop must not be dated after they were written: the
// simulator cannot tell when they came, and says so (0) or gives an earlier
// moment. In a plain run every event after the first has its moment, never
// after its read.
TEST(SerialTiming, EarliestArrivalIsNeverAfterTheWrite) {
  Board board;
  board.attach_serial(0, std::make_shared<UpperCaseEcho>());
  const RunResult r = board.run(client(
      {"tty", "/dev/ttyS0", "raw", "38400", "write", "a", "read", "1", "write", "b", "read", "1"}));
  ASSERT_EQ(r.out, "read A\nread B\n") << r.err;
  const auto sent = board.journal().of(EventKind::SerialToSlave, 0);
  ASSERT_EQ(sent.size(), 2u);
  // b is dated no earlier than the last look that found the line empty: when
  // the simulator reads b in the same round as a, that look came just before
  // a's read, so the bound may precede a's timestamp; it must exist.
  EXPECT_GT(sent[1].t_min_ns, 0u) << "b has an earliest moment";
  EXPECT_LE(sent[1].t_min_ns, sent[1].t_ns);

  board.journal().clear();
  auto process = board.start(
      client({"tty", "/dev/ttyS0", "write", "c", "file", "/tmp/written", "x", "sleep"}));
  for (int waited_ms = 0; !board.file_exists("/tmp/written") && waited_ms < 30000; ++waited_ms) {
    usleep(1000);
  }
  const uint64_t written_ns = boardsim::monotonic_ns();
  usleep(50000);  // the loop does not run: "c" waits on the line
  ASSERT_TRUE(process->wait_until(
      [&] { return !board.journal().of(EventKind::SerialToSlave, 0).empty(); }, 30));
  const auto late = board.journal().of(EventKind::SerialToSlave, 0);
  ASSERT_EQ(board.journal().bytes_text(EventKind::SerialToSlave, 0), "c");
  EXPECT_GE(late[0].t_ns, written_ns + 50000000u);
  EXPECT_LE(late[0].t_min_ns, written_ns);
  process->kill();
}

// The line takes real time: the board's characters leave its port one
// character time after the other, the port's output queue shows what is not
// sent yet beyond the UART's transmitter, the line status says whether the
// transmitter is empty, tcdrain waits for it, and the far end's answer comes back one
// character time apart.
struct WireTimeCase {
  const char* name;
  long baud;
  size_t chars;
};

class SerialWireTime : public ::testing::TestWithParam<WireTimeCase> {};

TEST_P(SerialWireTime, CharactersTakeTheirTimeBothWays) {
  const WireTimeCase& c = GetParam();
  Board board;
  auto far = std::make_shared<UpperCaseEcho>();
  board.attach_serial(0, far);
  const std::string text(c.chars, 'a');
  const RunResult r =
      board.run(client({"tty", "/dev/ttyS0", "raw", std::to_string(c.baud), "write", text, "outq",
                        "lsr", "drain", "outq", "lsr", "read", std::to_string(c.chars)}));
  ASSERT_EQ(r.status, 0) << r.err;
  const uint64_t char_ns =
      (10000000000ull + static_cast<uint64_t>(c.baud) / 2) / static_cast<uint64_t>(c.baud);
  long queued = -1;
  long drained_us = -1;
  long queued_after = -1;
  ASSERT_EQ(std::sscanf(r.out.c_str(), "outq %ld\nlsr sending\ndrained %ld us\noutq %ld\nlsr empty",
                        &queued, &drained_us, &queued_after),
            3)
      << r.out;
  // Right after the write the transmitter is still sending, and the kernel's
  // queue holds what does not fit into the UART's 32-character FIFO and shift
  // register (how much depends on how fast the question came; a pty's own
  // queue would say 0); after tcdrain nothing waits, and the drain cannot
  // have returned before the last character's time.
  const long transmitter = 33;
  if (static_cast<long>(c.chars) > 2 * transmitter) {
    EXPECT_GT(queued, 0) << r.out;
  }
  EXPECT_LE(queued, std::max(0L, static_cast<long>(c.chars) - transmitter)) << r.out;
  EXPECT_EQ(queued_after, 0) << r.out;
  EXPECT_GE(static_cast<uint64_t>(drained_us) * 1000, (c.chars - 1) * char_ns) << r.out;
  EXPECT_EQ(r.out.substr(r.out.find("read ")), "read " + std::string(c.chars, 'A') + "\n");
  uint64_t sent_start = 0;
  uint64_t sent_end = 0;
  for (const auto& e : board.journal().of(EventKind::SerialToSlave, 0)) {
    if (sent_start == 0) sent_start = e.wire_start_ns;
    sent_end = e.wire_end_ns;
  }
  EXPECT_EQ(sent_end - sent_start, c.chars * char_ns);
  const auto answered = board.journal().of(EventKind::SerialFromSlave, 0);
  ASSERT_FALSE(answered.empty());
  // Each answer character starts once the character it answers has ended.
  EXPECT_GE(answered.front().wire_start_ns, sent_start + char_ns);
  EXPECT_GE(answered.back().wire_end_ns - answered.front().wire_start_ns, c.chars * char_ns);
}

INSTANTIATE_TEST_SUITE_P(Speeds, SerialWireTime,
                         ::testing::Values(WireTimeCase{"Slow1200", 1200, 12},
                                           WireTimeCase{"Mid9600", 9600, 40},
                                           WireTimeCase{"Default38400", 38400, 100}),
                         [](const ::testing::TestParamInfo<WireTimeCase>& p) {
                           return p.param.name;
                         });

TEST(Serial, PortCountFollowsTheConfiguration) {
  boardsim::BoardConfig config;
  config.serial_ports = 4;
  Board board(config);
  EXPECT_EQ(board.run(client({"tty", "/dev/ttyS3"})).status, 0);
  EXPECT_NE(board.run(client({"tty", "/dev/ttyS4"})).status, 0);
  EXPECT_THROW(board.attach_serial(4, std::make_shared<UpperCaseEcho>()), std::out_of_range);
}

class SerialSpeeds : public ::testing::TestWithParam<int> {};

TEST_P(SerialSpeeds, SpeedSetOnTheBoardIsSeenByTheSimulator) {
  const int baud = GetParam();
  Board board;
  auto far = std::make_shared<UpperCaseEcho>();
  board.attach_serial(0, far);
  const RunResult r =
      board.run(client({"tty", "/dev/ttyS0", "raw", std::to_string(baud), "getspeed"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "speed " + std::to_string(baud) + "\n");
  const auto events = board.journal().of(EventKind::SerialSpeed, 0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].value, baud);
  ASSERT_EQ(far->speeds, std::vector<uint32_t>{static_cast<uint32_t>(baud)});
  EXPECT_EQ(far->seen_by_link, far->speeds);
}

// 38400 is where a pseudo-terminal starts: no change, no event.
INSTANTIATE_TEST_SUITE_P(StandardSpeeds, SerialSpeeds,
                         ::testing::Values(9600, 19200, 57600, 115200));

TEST(Serial, UnchangedSpeedGivesNoEvent) {
  Board board;
  ASSERT_EQ(board.run(client({"tty", "/dev/ttyS0", "raw", "38400"})).status, 0);
  EXPECT_TRUE(board.journal().of(EventKind::SerialSpeed).empty());
}

TEST(Serial, SpeedWithoutAConstantThroughTermios2) {
  Board board;
  const RunResult r =
      board.run(client({"tty", "/dev/ttyS0", "raw", "38400", "speed2", "56000", "getspeed"}));
  if (programs_emulated()) {
    // qemu-arm does not translate the termios2 requests: the program sees
    // the failure and the line keeps its speed.
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("speed2 failed"), std::string::npos) << r.err;
    EXPECT_TRUE(board.journal().of(EventKind::SerialSpeed).empty());
    return;
  }
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "speed 56000\n");
  const auto events = board.journal().of(EventKind::SerialSpeed, 0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].value, 56000);
}

// ------------------------------------------------------------ GPIO

TEST(Gpio, EveryRequestIsJournalledAndReachesEverySerialFarEnd) {
  Board board;
  auto far = std::make_shared<UpperCaseEcho>();
  board.attach_serial(0, far);
  board.attach_serial(1, far);  // one model on two ports hears each request once
  auto other = std::make_shared<UpperCaseEcho>();
  board.attach_serial(2, other);
  struct Row {
    uint8_t op;
    uint32_t mask;
    uint32_t value;
  };
  const std::vector<Row> rows{{1, 0x00100000, 0}, {0, 0x00100000, 0}, {1, 0x00100000, 0x00100000}};
  std::vector<std::string> steps;
  for (const auto& row : rows) {
    steps.push_back("gpio");
    steps.push_back(std::to_string(row.op));
    steps.push_back(std::to_string(row.mask));
    steps.push_back(std::to_string(row.value));
  }
  ASSERT_EQ(board.run(client(steps)).status, 0);
  const auto events = board.journal().of(EventKind::GpioWrite);
  ASSERT_EQ(events.size(), rows.size());
  ASSERT_EQ(far->gpio.size(), rows.size());
  ASSERT_EQ(other->gpio.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(events[i].data.size(), 12u);
    boardsim::GpioRequest journalled{};
    std::memcpy(&journalled, events[i].data.data(), 12);
    for (const auto& r : {journalled, far->gpio[i], other->gpio[i]}) {
      EXPECT_EQ(r.op, rows[i].op) << i;
      EXPECT_EQ(r.mask, rows[i].mask) << i;
      EXPECT_EQ(r.value, rows[i].value) << i;
    }
  }
}

// An injected fault stands in for the driver's answer to one write: the
// program sees it, the journal shows it, and the request does not reach the
// reset line. The count starts again with every command.
struct GpioFaultCase {
  const char* name;
  boardsim::GpioFault fault;
  int result;         // of the faulty write, as the program and the journal see it
  size_t journalled;  // bytes of it the journal shows
};

class GpioFaults : public ::testing::TestWithParam<GpioFaultCase> {};

TEST_P(GpioFaults, StandInForTheDriversAnswer) {
  const GpioFaultCase& c = GetParam();
  Board board;
  auto far = std::make_shared<UpperCaseEcho>();
  board.attach_serial(0, far);
  board.add_gpio_fault(c.fault);
  const std::vector<std::string> request{"gpio", "1", "0x00100000", "0"};
  std::vector<std::string> steps;
  for (int i = 0; i < 3; ++i) steps.insert(steps.end(), request.begin(), request.end());
  const RunResult r = board.run(client(steps));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("gpio failed"), std::string::npos) << r.err;
  const auto events = board.journal().of(EventKind::GpioWrite);
  ASSERT_EQ(events.size(), static_cast<size_t>(c.fault.nth));
  EXPECT_EQ(events.back().result, c.result);
  EXPECT_EQ(events.back().data.size(), c.journalled);
  EXPECT_EQ(far->gpio.size(), static_cast<size_t>(c.fault.nth - 1));
  board.clear_faults();
  EXPECT_EQ(board.run(client(steps)).status, 0);
  EXPECT_EQ(far->gpio.size(), static_cast<size_t>(c.fault.nth + 2));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, GpioFaults,
    ::testing::Values(GpioFaultCase{"eio_first", {1, boardsim::FaultKind::Eio, 0}, -1, 0},
                      GpioFaultCase{"short_second", {2, boardsim::FaultKind::Short, 0}, 6, 6},
                      GpioFaultCase{"short_third_by_4", {3, boardsim::FaultKind::Short, 4}, 4, 4}),
    [](const ::testing::TestParamInfo<GpioFaultCase>& param_info) {
      return param_info.param.name;
    });

// ------------------------------------------------------------ frame buffer

TEST(FrameBuffer, RequestsAndPictureAreJournalled) {
  Board board;
  const RunResult r = board.run(client({"fb", "7"}));
  ASSERT_EQ(r.status, 0) << r.err;
  const auto requests = board.journal().of(EventKind::FbIoctl);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].request, 0x40046706u);
  EXPECT_TRUE(requests[0].has_value);
  EXPECT_EQ(requests[0].value, 7);
  EXPECT_EQ(requests[1].request, 0x6704u);
  EXPECT_FALSE(requests[1].has_value);
  const auto picture = board.journal().bytes(EventKind::FbWrite);
  ASSERT_EQ(picture.size(), 1024u);
  for (size_t i = 0; i < picture.size(); ++i)
    ASSERT_EQ(picture[i], static_cast<uint8_t>(i * 7)) << i;
  EXPECT_EQ(board.read_file("/dev/fb0"), std::string(picture.begin(), picture.end()));
}

// ------------------------------------------------------------ stand-ins

struct StandinCase {
  const char* command;  // run through the shell by the program
  int status;           // set for the stand-in
  const char* recorded;
  int answered = -1;  // what the call returned, when not the chosen status
};

class Standins : public ::testing::TestWithParam<StandinCase> {};

TEST_P(Standins, CallIsRecordedAndAnsweredWithTheChosenStatus) {
  const auto& c = GetParam();
  Board board;
  const std::string name = std::string(c.recorded).substr(0, std::string(c.recorded).find(' '));
  board.set_standin_status(name, c.status);
  const RunResult r = board.run(client({"system", c.command}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "system " + std::to_string(c.answered < 0 ? c.status : c.answered) + "\n");
  EXPECT_EQ(board.standin_calls(), std::vector<std::string>{c.recorded});
}

INSTANTIATE_TEST_SUITE_P(
    DateAndHwclock, Standins,
    ::testing::Values(StandinCase{"date 090902462001.40", 0, "date 090902462001.40"},
                      StandinCase{"date 090902462001.40", 1, "date 090902462001.40"},
                      // The kernel sets no time before 1970.
                      StandinCase{"date 123123591969.59", 0, "date 123123591969.59", 1},
                      StandinCase{"date 010100001970.00", 0, "date 010100001970.00"},
                      StandinCase{"hwclock -w", 0, "hwclock -w"},
                      StandinCase{"hwclock -w", 3, "hwclock -w"},
                      StandinCase{"/bin/date -s 2001-09-09", 0, "date -s 2001-09-09"},
                      StandinCase{"/usr/bin/date 010100002000", 0, "date 010100002000"},
                      StandinCase{"/sbin/hwclock --systohc", 0, "hwclock --systohc"}));

TEST(Standins, UnknownNameIsRefused) {
  Board board;
  EXPECT_THROW(board.set_standin_status("ntpdate", 0), std::invalid_argument);
}

// ------------------------------------------------------------ time limits

// The program must have printed its first line within the half second: the
// ctest label timing runs this one at a time.
class TimeLimitTiming : public ::testing::TestWithParam<bool> {};

TEST_P(TimeLimitTiming, HungProgramIsKilledAndReportedAsTimedOut) {
  Board board;
  Command c = client({"out", "started", "sleep"});
  c.timeout_s = 0.5;
  c.pid_namespace = GetParam();
  const RunResult r = board.run(c);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(r.status, 128 + SIGKILL);
  EXPECT_EQ(r.out, "started\n");
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutPidNamespace, TimeLimitTiming, ::testing::Bool());

TEST(TimeLimit, ProgramEndingInTimeIsNotTimedOut) {
  Board board;
  Command c = client({"exit", "0"});
  c.timeout_s = 30;
  const RunResult r = board.run(c);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
}

// ------------------------------------------------------------ shared state

TEST(SharedState, SecondCommandFindsWhatTheFirstLeft) {
  Board board;
  ASSERT_EQ(board
                .run(client({"tty", "/dev/ttyS1", "raw", "57600", "file", "/tmp/left",
                             "by the first", "gpio", "1", "1", "1"}))
                .status,
            0);
  const RunResult second = board.run(
      client({"tty", "/dev/ttyS1", "getspeed", "cat", "/tmp/left", "gpio", "0", "1", "0"}));
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out, "speed 57600\nby the first");
  EXPECT_EQ(board.journal().of(EventKind::GpioWrite).size(), 2u);
  EXPECT_EQ(board.journal().of(EventKind::SerialSpeed, 1).size(), 1u);
}

// ------------------------------------------------------------ PID namespace and Panel

TEST(Panel, StandInCountsSignalsFromTheProgramInItsNamespace) {
  constexpr int SIGNALS = 3;
  Board board;
  Command c = client({"pid", "usr2", std::to_string(SIGNALS), "sleep"});
  c.pid_namespace = true;
  c.panel = boardsim::Panel::WithMarker;
  auto p = board.start(c);
  const pid_t panel = p->panel_pid();
  ASSERT_GT(panel, 1);  // PID 1 is the namespace's init
  EXPECT_EQ(board.read_file("/tmp/Panel_init_done"), "Panel " + std::to_string(panel) + "\n");
  EXPECT_TRUE(p->wait_until([&] { return p->panel_signals() == SIGNALS; }, 30));
  // The program reports once the Panel has taken its last signal.
  EXPECT_TRUE(p->wait_until(
      [&] {
        return p->out_so_far().find("sent " + std::to_string(SIGNALS) + "\n") != std::string::npos;
      },
      30));
  EXPECT_TRUE(p->running());
  const RunResult r = p->kill(SIGTERM);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(r.status, 128 + SIGTERM);
  // The program's own PID is one of its namespace too: small, not the host's.
  const std::string first_line = r.out.substr(0, r.out.find('\n'));
  ASSERT_EQ(first_line.compare(0, 4, "pid "), 0) << r.out;
  const long inner = std::stol(first_line.substr(4));
  EXPECT_GT(inner, 1);
  EXPECT_LT(inner, 10);
}

TEST(Panel, WithoutMarkerTheTestWritesItItself) {
  Board board;
  Command c = client({"cat", "/tmp/Panel_init_done"});
  c.pid_namespace = true;
  c.panel = boardsim::Panel::NoMarker;
  const RunResult r = board.run(c);
  EXPECT_EQ(r.out, "missing /tmp/Panel_init_done\n");
  EXPECT_EQ(r.status, 0);
}

TEST(Panel, StandInWithoutPidNamespaceHasAHostPid) {
  Board board;
  Command c = client({"sleep"});
  c.panel = boardsim::Panel::WithMarker;
  auto p = board.start(c);
  const pid_t panel = p->panel_pid();
  ASSERT_GT(panel, 1);
  ASSERT_EQ(kill(panel, SIGUSR2), 0);
  EXPECT_TRUE(p->wait_until([&] { return p->panel_signals() == 1; }, 30));
  EXPECT_NE(p->pid(), panel);
  EXPECT_EQ(p->kill(SIGKILL).signal, SIGKILL);
}

TEST(PidNamespace, ProgramPidIsFoundOnTheHost) {
  Board board;
  Command c = client({"sleep"});
  c.pid_namespace = true;
  auto p = board.start(c);
  const pid_t pid = p->pid();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(kill(pid, SIGTERM), 0);
  const RunResult r = p->wait(30);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_FALSE(r.timed_out);
}

// ------------------------------------------------------------ what a run returns

struct ExitCase {
  std::vector<std::string> steps;
  int status;
  int signal;
  const char* out;
  const char* err;
};

class Exits : public ::testing::TestWithParam<ExitCase> {};

TEST_P(Exits, StatusAndStreamsArePassedThrough) {
  const auto& c = GetParam();
  for (bool pid_namespace : {false, true}) {
    Board board;
    Command command = client(c.steps);
    command.pid_namespace = pid_namespace;
    const RunResult r = board.run(command);
    EXPECT_EQ(r.status, c.status) << pid_namespace;
    EXPECT_EQ(r.signal, c.signal) << pid_namespace;
    EXPECT_EQ(r.out, c.out) << pid_namespace;
    // qemu-arm reports a core-dumping signal of its program on stderr.
    const bool emulator_note = programs_emulated() && c.signal != 0 &&
                               r.err.compare(0, 29, "qemu: uncaught target signal ") == 0;
    if (!emulator_note) {
      EXPECT_EQ(r.err, c.err) << pid_namespace;
    }
    EXPECT_FALSE(r.timed_out);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Exits,
    ::testing::Values(ExitCase{{"out", "hello"}, 0, 0, "hello\n", ""},
                      ExitCase{{"err", "trouble", "exit", "255"}, 255, 0, "", "trouble\n"},
                      ExitCase{{"out", "a", "err", "b", "exit", "7"}, 7, 0, "a\n", "b\n"},
                      ExitCase{
                          {"out", "dying", "raise", "15"}, 128 + SIGTERM, SIGTERM, "dying\n", ""},
                      ExitCase{{"raise", "6"}, 128 + SIGABRT, SIGABRT, "", ""},
                      ExitCase{{"bogus"}, 1, 0, "", "unknown step bogus\n"}));

TEST(Exits, StandardInputIsFedToTheProgram) {
  Board board;
  Command c = client({"stdin"});
  c.stdin_data = std::string(200000, 'x') + "end";
  const RunResult r = board.run(c);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, c.stdin_data);
}

TEST(Exits, MissingProgramReportsStatus127) {
  Board board;
  Command c;
  c.argv = {"no_such_program_on_this_board"};
  const RunResult r = board.run(c);
  EXPECT_EQ(r.status, 127);
  EXPECT_NE(r.err.find("no_such_program_on_this_board"), std::string::npos);
}

TEST(Process, OutputIsVisibleWhileTheProgramRuns) {
  Board board;
  auto p = board.start(client({"out", "ready", "sleep"}));
  EXPECT_TRUE(p->wait_until([&] { return p->out_so_far() == "ready\n"; }, 30));
  EXPECT_TRUE(p->running());
  const RunResult r = p->kill();
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(r.out, "ready\n");
  EXPECT_FALSE(p->running());
}

TEST(Process, OutlivingItsBoardFindsItsRunKilled) {
  std::unique_ptr<boardsim::Process> p;
  {
    Board board;
    p = board.start(client({"out", "ready", "sleep"}));
    ASSERT_TRUE(p->wait_until([&] { return p->out_so_far() == "ready\n"; }, 30));
  }
  EXPECT_FALSE(p->running());
  const RunResult r = p->wait(30);
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(r.out, "ready\n");
}

}  // namespace
