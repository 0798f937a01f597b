// ocwatch on the simulated board: an over-current report already in the log
// or appended later ends it with status 0; anything else keeps it waiting; a
// burst of log lines costs at most one scan more than a single line; a log
// missing at start, or rotated by the logger, is followed to the new file;
// what is no regular file is no log. Scans are counted from outside: each is
// one read-only open and close of the log.
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <memory>
#include <string>
#include <vector>

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
constexpr char REPORT[] = "Dec  7 20:01:02 board kernel: hub 1-0:1.0: port 2: 50 over-current\n";

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
    const bool watching = process->wait_until([&] { return inotify_state(process->pid()).watched; },
                                              EVENT_DEADLINE_S);
    EXPECT_TRUE(watching);
    return process;
  }

  // The two scans of the start, and no other, have been seen: one before the
  // watch, and one right after it, for what was written while it was set.
  bool start_scans_seen(Process& process, ScanCounter& counter) {
    return process.wait_until(
               [&] { return counter.scans() >= 2 && blocked_in_inotify_read(process.pid()); },
               EVENT_DEADLINE_S) &&
           counter.scans() == 2;
  }

  // The program waits in its read on a watch of the file now at the log's path.
  bool watching_the_current_log(Process& process) {
    return process.wait_until(
        [&] {
          const ino_t current = inode_of(host(LOG));
          return current != 0 &&
                 inotify_state(process.pid()).inodes == std::vector<ino_t>{current} &&
                 blocked_in_inotify_read(process.pid());
        },
        EVENT_DEADLINE_S);
  }

  // The program found no log and tries again each second, watching nothing.
  bool retrying_without_a_log(Process& process) {
    return process.wait_until(
        [&] {
          const InotifyState inotify = inotify_state(process.pid());
          return inotify.fd >= 0 && !inotify.watched && in_timed_sleep(process.pid());
        },
        EVENT_DEADLINE_S);
  }

  // A whole new log under the log's name at once, as a rename makes it.
  void publish(const std::string& content) {
    board_.write_file("/tmp/messages.new", content);
    ASSERT_EQ(rename(host("/tmp/messages.new").c_str(), host(LOG).c_str()), 0);
  }

  std::string host(const char* board_path) const { return board_.host_path(board_path); }

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
  ASSERT_TRUE(start_scans_seen(*process, counter));
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

// The burst must arrive within the program's one-second sleep: the ctest
// label timing runs this one at a time.
class OcwatchTiming : public Ocwatch {};

// Lines appended while the program sleeps after an event are all seen by the
// scan that follows; the events they raised cost one more read, sleep and scan.
TEST_F(OcwatchTiming, ABurstOfLinesCostsAtMostOneMoreScan) {
  board_.write_file(LOG, BOOT_LOG);
  ScanCounter counter(board_.host_path(LOG));
  ASSERT_TRUE(counter.ok());
  auto process = start_watching();
  ASSERT_TRUE(start_scans_seen(*process, counter));
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
  ASSERT_GE(scans_at_sleep, 2) << "the program was never seen in its sleep";
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

// Without a log the watch is tried again each second; once the log is there
// it is watched and scanned at once, since a report already in it raised no
// event for the watch.
TEST_F(Ocwatch, ALogMissingAtStartIsWatchedAndScannedOnceItAppears) {
  auto process = start();
  ASSERT_TRUE(retrying_without_a_log(*process));
  EXPECT_TRUE(process->running());
  publish(std::string(BOOT_LOG) + REPORT);
  const auto result = process->wait(EVENT_DEADLINE_S);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
}

// The logger rotates the log: it renames or deletes it and starts a new one
// under the same name, at once or a while later. The program follows to the
// new file, and between writes it waits in its read again.
enum class Rotate { Rename, Delete, RenameOver };

struct Rotation {
  const char* name;
  Rotate how;
  bool new_log_later;      // only once the program is seen retrying
  bool report_in_new_log;  // otherwise appended once the new log is watched
};

class OcwatchRotation : public Ocwatch, public ::testing::WithParamInterface<Rotation> {};

TEST_P(OcwatchRotation, TheNewLogIsFollowed) {
  const Rotation& r = GetParam();
  board_.write_file(LOG, BOOT_LOG);
  auto process = start_watching();
  ASSERT_TRUE(watching_the_current_log(*process));
  const std::string new_log = std::string(BOOT_LOG) + (r.report_in_new_log ? REPORT : "");
  switch (r.how) {
    case Rotate::Rename:
      ASSERT_EQ(rename(host(LOG).c_str(), host("/tmp/messages.0").c_str()), 0);
      break;
    case Rotate::Delete: board_.remove_file(LOG); break;
    case Rotate::RenameOver: publish(new_log); break;
  }
  if (r.how != Rotate::RenameOver) {
    if (r.new_log_later) {
      ASSERT_TRUE(retrying_without_a_log(*process));
    }
    board_.write_file(LOG, new_log);
  }
  if (!r.report_in_new_log) {
    ASSERT_TRUE(watching_the_current_log(*process));
    EXPECT_TRUE(process->running());
    append(REPORT);
  }
  const auto result = process->wait(EVENT_DEADLINE_S);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Logger, OcwatchRotation,
    ::testing::Values(
        Rotation{"renamed_and_recreated", Rotate::Rename, false, false},
        Rotation{"renamed_and_recreated_later_with_the_report", Rotate::Rename, true, true},
        Rotation{"deleted_and_recreated_with_the_report", Rotate::Delete, false, true},
        Rotation{"deleted_and_recreated_later", Rotate::Delete, true, false},
        Rotation{"replaced_by_a_rename_over_it", Rotate::RenameOver, false, false}),
    [](const ::testing::TestParamInfo<Rotation>& param_info) {
      return std::string(param_info.param.name);
    });

// A FIFO or a device in the log's place is no log: it is not opened to wait
// on a writer, nor read without end, nor watched (a watch on /dev/zero would
// never hear of the log). The name is looked at again each second, as for a
// missing log, and the regular log that takes its place is followed, however
// it gets there: the planted name removed first, or a rename over it.
enum class Planted { Fifo, LinkToDevZero };

struct NotRegular {
  const char* name;
  Planted planted;
  bool renamed_over;  // the real log replaces the planted name in one rename
};

class OcwatchNotARegularLog : public Ocwatch, public ::testing::WithParamInterface<NotRegular> {};

TEST_P(OcwatchNotARegularLog, HoldsNoReportAndCostsNothing) {
  const NotRegular& c = GetParam();
  if (c.planted == Planted::Fifo) {
    ASSERT_EQ(mkfifo(host(LOG).c_str(), 0666), 0);
  } else {
    ASSERT_EQ(symlink("/dev/zero", host(LOG).c_str()), 0);
  }
  auto process = start();
  ASSERT_TRUE(retrying_without_a_log(*process));
  EXPECT_TRUE(process->running());
  if (!c.renamed_over) board_.remove_file(LOG);
  publish(std::string(BOOT_LOG) + REPORT);
  const auto result = process->wait(EVENT_DEADLINE_S);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, OcwatchNotARegularLog,
    ::testing::Values(NotRegular{"fifo", Planted::Fifo, false},
                      NotRegular{"fifo_renamed_over", Planted::Fifo, true},
                      NotRegular{"link_to_dev_zero", Planted::LinkToDevZero, false},
                      NotRegular{"link_to_dev_zero_renamed_over", Planted::LinkToDevZero, true}),
    [](const ::testing::TestParamInfo<NotRegular>& param_info) {
      return std::string(param_info.param.name);
    });

}  // namespace
