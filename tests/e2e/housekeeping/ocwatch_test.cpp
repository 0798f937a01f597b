// ocwatch on the simulated board: an over-current report already in the log
// or appended later ends it with status 0; anything else keeps it waiting; a
// burst of log lines costs at most one scan more than a single line. Scans
// are counted from outside: each is one read-only open and close of the log.
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "boardsim/board.h"
#include "housekeeping/proc_watch.h"

namespace {

using boardsim::Board;
using boardsim::Command;
using boardsim::Process;
using namespace housekeeping_e2e;

constexpr char LOG[] = "/tmp/messages";
constexpr char BOOT_LOG[] = "Dec  7 20:00:00 board kernel: usb 1-1: new device\n";

// Counts the read-only closes of one file by any process: one per scan. The
// opens are watched too only so that two closes are never adjacent in the
// queue, where the kernel would fold them into one event. A close can be
// reported a little after the program has moved on.
class ScanCounter {
 public:
  explicit ScanCounter(const std::string& host_path) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) inotify_add_watch(fd_, host_path.c_str(), IN_OPEN | IN_CLOSE_NOWRITE);
  }
  ~ScanCounter() {
    if (fd_ >= 0) close(fd_);
  }
  ScanCounter(const ScanCounter&) = delete;
  ScanCounter& operator=(const ScanCounter&) = delete;
  bool ok() const { return fd_ >= 0; }
  int scans() {
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->mask & IN_CLOSE_NOWRITE) ++scans_;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return scans_;
  }

 private:
  int fd_ = -1;
  int scans_ = 0;
};

class Ocwatch : public ::testing::Test {
 protected:
  std::unique_ptr<Process> start() {
    Command command;
    command.argv = {"ocwatch"};
    command.timeout_s = 120;
    return board_.start(command);
  }

  std::unique_ptr<Process> start_watching() {
    auto process = start();
    const bool watching = process->wait_until(
        [&] { return inotify_state(process->pid()).watched; }, EVENT_DEADLINE_S);
    EXPECT_TRUE(watching);
    return process;
  }

  // The scan before the watch, and no other, has been seen.
  // The first scan done and the watch in place: a line appended between the
  // scan and the watch would raise no event, and the program would wait for ever.
  bool first_scan_seen(Process& process, ScanCounter& counter) {
    return process.wait_until(
               [&] { return counter.scans() >= 1 && blocked_in_inotify_read(process.pid()); },
               EVENT_DEADLINE_S) &&
           counter.scans() == 1;
  }

  // Appends in one write, as the system logger does.
  void append(const std::string& text) {
    const int fd = open(board_.host_path(LOG).c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(close(fd), 0);
  }

  Board board_;
};

TEST_F(Ocwatch, AReportAlreadyInTheLogEndsItAtOnce) {
  board_.write_file(LOG, std::string(BOOT_LOG) + "hub 1-0:1.0: port 2: 50 over-current\n");
  Command command;
  command.argv = {"ocwatch"};
  const auto result = board_.run(command);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
}

class OcwatchAppended : public Ocwatch, public ::testing::WithParamInterface<const char*> {};

TEST_P(OcwatchAppended, ReportEndsItWithStatus0) {
  board_.write_file(LOG, BOOT_LOG);
  auto process = start_watching();
  append(GetParam());
  const auto result = process->wait(EVENT_DEADLINE_S);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, OcwatchAppended,
    ::testing::Values("50 over-current\n",
                      "Dec  7 20:01:02 board kernel: hub 1-0:1.0: port 2: 50 over-current change\n",
                      "first\nsecond\nthird has 50 over-current\nfourth\n"));

class OcwatchNoMatch : public Ocwatch, public ::testing::WithParamInterface<const char*> {};

// After the scan that follows the append, the program waits in its read again.
TEST_P(OcwatchNoMatch, KeepsWaiting) {
  board_.write_file(LOG, BOOT_LOG);
  ScanCounter counter(board_.host_path(LOG));
  ASSERT_TRUE(counter.ok());
  auto process = start_watching();
  ASSERT_TRUE(first_scan_seen(*process, counter));
  append(GetParam());
  ASSERT_TRUE(process->wait_until(
      [&] { return counter.scans() >= 2 && blocked_in_inotify_read(process->pid()); },
      EVENT_DEADLINE_S));
  EXPECT_TRUE(process->running());
}

INSTANTIATE_TEST_SUITE_P(Lines, OcwatchNoMatch,
                         ::testing::Values("hub: 50 over-\ncurrent\n", "hub: 50\nover-current\n",
                                           "hub: 50 Over-Current\n", "hub: 50 OVER-CURRENT\n",
                                           "hub: 5 over-current\n"));

// Lines appended while the program sleeps after an event are all seen by the
// scan that follows; the events they raised cost one more read, sleep and scan.
TEST_F(Ocwatch, ABurstOfLinesCostsAtMostOneMoreScan) {
  board_.write_file(LOG, BOOT_LOG);
  ScanCounter counter(board_.host_path(LOG));
  ASSERT_TRUE(counter.ok());
  auto process = start_watching();
  ASSERT_TRUE(first_scan_seen(*process, counter));
  // The burst must arrive while the program sleeps after a line. On a loaded
  // machine the one-second sleep can pass unseen; a further line then opens
  // another one.
  int scans_at_sleep = -1;
  for (int attempt = 0; attempt < 5 && scans_at_sleep < 0; ++attempt) {
    const int scans_before = counter.scans();
    append("Dec  7 20:02:00 board kernel: line before the burst\n");
    ASSERT_TRUE(process->wait_until(
        [&] {
          return in_timed_sleep(process->pid()) ||
                 (counter.scans() > scans_before && blocked_in_inotify_read(process->pid()));
        },
        EVENT_DEADLINE_S));
    if (counter.scans() == scans_before) scans_at_sleep = scans_before;
  }
  ASSERT_GE(scans_at_sleep, 1) << "the program was never seen in its sleep";
  constexpr int BURST_LINES = 40;
  for (int i = 0; i < BURST_LINES; ++i) {
    append("Dec  7 20:02:01 board kernel: line " + std::to_string(i) + "\n");
  }
  const int expected = scans_at_sleep + 2;
  ASSERT_TRUE(process->wait_until(
      [&] { return counter.scans() >= expected && blocked_in_inotify_read(process->pid()); },
      EVENT_DEADLINE_S));
  EXPECT_EQ(counter.scans(), expected) << "the line's scan and one more for the burst";
  append("hub 1-0:1.0: port 2: 50 over-current\n");
  const auto result = process->wait(EVENT_DEADLINE_S);
  EXPECT_EQ(result.status, 0);
}

// A log that cannot be opened holds no report: the program does not end.
TEST_F(Ocwatch, WithoutALogItKeepsWaiting) {
  auto process = start();
  ASSERT_TRUE(process->wait_until([&] { return blocked_in_inotify_read(process->pid()); },
                                  EVENT_DEADLINE_S));
  EXPECT_TRUE(process->running());
  EXPECT_FALSE(inotify_state(process->pid()).watched);
  const auto result = process->kill(SIGTERM);
  EXPECT_EQ(result.out, "");
}

}  // namespace
