// coeffnotify on the simulated board: the start-up checks, one notification
// (line, marker file, SIGUSR2) per read of the watch, and the safety rules of
// a root program beside world-writable /tmp: one process signalled at most,
// and only when root or the Panel's user named it; no file given away through
// a symbolic link or taken from another user; no planted file that holds or
// feeds it; each line out at once, and the signals going on when no one reads
// the lines.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "boardsim/board.h"
#include "housekeeping/proc_watch.h"
#include "support/output_capture.h"

namespace {

using boardsim::Board;
using boardsim::Command;
using boardsim::Panel;
using boardsim::Process;
using namespace housekeeping_e2e;
using test_support::OutputCapture;

constexpr char MARKER[] = "/tmp/Panel_init_done";
constexpr char COEFFS[] = "/tmp/audiocoeffs-file";
constexpr char NOTIFY[] = "/tmp/audiocoeffs-file-notify";
constexpr char LINE[] = "Sending AUDIOCOEFFSFILENOTIFY to Panel";
constexpr char ABORT_TEXT[] = "Panel not running. Aborting.\n";
constexpr uid_t PANEL_USER = 1001;
constexpr uid_t OTHER_USER = 1002;
// In a PID namespace of its own the init is 1 and the Panel stand-in, its
// first child, is 2.
constexpr char MARKER_OF_THE_PANEL[] = "Panel 2\n";

class Coeffnotify : public ::testing::Test {
 protected:
  std::unique_ptr<Process> start(Panel panel, bool pid_namespace = false) {
    Command command;
    command.argv = {"coeffnotify"};
    command.panel = panel;
    command.pid_namespace = pid_namespace;
    command.timeout_s = 120;
    return board_.start(command);
  }

  // Started with a Panel stand-in, and watching.
  std::unique_ptr<Process> start_watching(Panel panel = Panel::WithMarker,
                                          bool pid_namespace = false) {
    auto process = start(panel, pid_namespace);
    const bool watching = process->wait_until([&] { return inotify_state(process->pid()).watched; },
                                              EVENT_DEADLINE_S);
    EXPECT_TRUE(watching) << "no watch; output so far: " << process->out_so_far();
    return process;
  }

  // Waits until n notifications have been printed and signalled and the
  // program is back in its read, so that nothing more is under way.
  bool settle_at(Process& process, int n) {
    return process.wait_until(
        [&] {
          return count_lines(process.out_so_far(), LINE) >= n && process.panel_signals() >= n &&
                 blocked_in_inotify_read(process.pid());
        },
        EVENT_DEADLINE_S);
  }

  // One write, one modification event (a rewrite would add the truncation's).
  void modify_coeffs(const std::string& content) {
    const int fd = open(host(COEFFS).c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ASSERT_EQ(close(fd), 0);
  }

  std::string host(const char* board_path) const { return board_.host_path(board_path); }

  Board board_;
};

TEST_F(Coeffnotify, WithoutPanelMarkerAbortsAndCreatesNothing) {
  auto process = start(Panel::None);
  const auto result = process->wait(EVENT_DEADLINE_S);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, ABORT_TEXT);
  EXPECT_FALSE(board_.file_exists(COEFFS));
  EXPECT_FALSE(board_.file_exists(NOTIFY));
}

// A marker that names no single process is no Panel. Run in a PID namespace
// of their own, so that a program that did signal 0 or -1 could reach no
// process outside the test.
class CoeffnotifyHostileMarker : public Coeffnotify,
                                 public ::testing::WithParamInterface<const char*> {};

TEST_P(CoeffnotifyHostileMarker, IsTreatedAsNoPanel) {
  board_.write_file(MARKER, GetParam());
  auto process = start(Panel::NoMarker, true);
  const auto result = process->wait(EVENT_DEADLINE_S);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, ABORT_TEXT);
  EXPECT_EQ(process->panel_signals(), 0);
  EXPECT_FALSE(board_.file_exists(COEFFS));
}

INSTANTIATE_TEST_SUITE_P(Markers, CoeffnotifyHostileMarker,
                         ::testing::Values("Panel 0\n", "Panel -1\n", "Panel -2\n", "Panel\n",
                                           "Panel abc\n", "", "Panel 4294967297\n", "Panel 1\n"));

// A marker file that is not the Panel's: planted in its place by another
// user, or as something to hold or feed the program (a FIFO nobody writes,
// /dev/zero), or reached through a link. The Panel stand-in runs as process
// 2, which the marker names where it names anything, so a marker taken for
// the Panel's would show as a signal.
enum class MarkerPlant { OtherUsers, Fifo, LinkToDevZero, LinkToAMarker, Directory };

struct PlantedMarker {
  const char* name;
  MarkerPlant plant;
};

class CoeffnotifyPlantedMarker : public Coeffnotify,
                                 public ::testing::WithParamInterface<PlantedMarker> {};

TEST_P(CoeffnotifyPlantedMarker, IsTreatedAsNoPanel) {
  const std::string marker = host(MARKER);
  switch (GetParam().plant) {
    case MarkerPlant::OtherUsers:
      if (!running_as_root()) GTEST_SKIP() << "only root can give a file away";
      board_.write_file(MARKER, MARKER_OF_THE_PANEL);
      ASSERT_EQ(chown(marker.c_str(), OTHER_USER, OTHER_USER), 0);
      break;
    case MarkerPlant::Fifo: ASSERT_EQ(mkfifo(marker.c_str(), 0666), 0); break;
    case MarkerPlant::LinkToDevZero: ASSERT_EQ(symlink("/dev/zero", marker.c_str()), 0); break;
    case MarkerPlant::LinkToAMarker:
      board_.write_file("/tmp/marker-elsewhere", MARKER_OF_THE_PANEL);
      ASSERT_EQ(symlink("marker-elsewhere", marker.c_str()), 0);
      break;
    case MarkerPlant::Directory: ASSERT_EQ(mkdir(marker.c_str(), 0755), 0); break;
  }
  auto process = start(Panel::NoMarker, true);
  const auto result = process->wait(EVENT_DEADLINE_S);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, ABORT_TEXT);
  EXPECT_EQ(process->panel_signals(), 0);
  EXPECT_FALSE(board_.file_exists(COEFFS));
}

INSTANTIATE_TEST_SUITE_P(
    Plants, CoeffnotifyPlantedMarker,
    ::testing::Values(PlantedMarker{"owned_by_another_user", MarkerPlant::OtherUsers},
                      PlantedMarker{"fifo", MarkerPlant::Fifo},
                      PlantedMarker{"link_to_dev_zero", MarkerPlant::LinkToDevZero},
                      PlantedMarker{"link_to_a_marker", MarkerPlant::LinkToAMarker},
                      PlantedMarker{"directory", MarkerPlant::Directory}),
    [](const ::testing::TestParamInfo<PlantedMarker>& param_info) {
      return std::string(param_info.param.name);
    });

// The Panel's user may write the marker as well as root.
TEST_F(Coeffnotify, AMarkerOfThePanelUserNamesThePanel) {
  if (!running_as_root()) GTEST_SKIP() << "only root can give a file away";
  board_.write_file(MARKER, MARKER_OF_THE_PANEL);
  ASSERT_EQ(chown(host(MARKER).c_str(), PANEL_USER, PANEL_USER), 0);
  auto process = start_watching(Panel::NoMarker, true);
  ASSERT_EQ(process->panel_pid(), 2);
  modify_coeffs("x");
  ASSERT_TRUE(settle_at(*process, 1));
  EXPECT_EQ(process->panel_signals(), 1);
}

// With its standard output on a pipe nobody reads, the program loses its
// lines but keeps signalling the Panel.
TEST_F(Coeffnotify, AClosedConsolePipeDoesNotStopTheSignals) {
  int console[2];
  ASSERT_EQ(pipe2(console, O_CLOEXEC), 0);
  ASSERT_EQ(close(console[0]), 0);
  Command command;
  command.argv = {"coeffnotify"};
  command.panel = Panel::WithMarker;
  command.passthrough_stdio = true;
  command.timeout_s = 120;
  std::unique_ptr<Process> process;
  {
    OutputCapture replaced(STDOUT_FILENO, console[1]);
    ASSERT_TRUE(replaced.ok());
    process = board_.start(command);
  }
  ASSERT_EQ(close(console[1]), 0);
  ASSERT_TRUE(
      process->wait_until([&] { return inotify_state(process->pid()).watched; }, EVENT_DEADLINE_S));
  for (int n = 1; n <= 2; ++n) {
    modify_coeffs("x");
    ASSERT_TRUE(process->wait_until(
        [&] { return process->panel_signals() >= n && blocked_in_inotify_read(process->pid()); },
        EVENT_DEADLINE_S))
        << "notification " << n;
  }
  EXPECT_TRUE(process->running());
  EXPECT_EQ(process->panel_signals(), 2);
}

// A number that is not the Panel's is signalled alone (it may be any process,
// the program cannot know); the Panel gets nothing and the program goes on.
TEST_F(Coeffnotify, ForeignProcessIdIsSignalledAloneAndTheLoopGoesOn) {
  board_.write_file(MARKER, "Panel 30000\n");
  auto process = start_watching(Panel::NoMarker, true);
  modify_coeffs("a");
  ASSERT_TRUE(process->wait_until(
      [&] {
        return count_lines(process->out_so_far(), LINE) == 1 &&
               blocked_in_inotify_read(process->pid());
      },
      EVENT_DEADLINE_S));
  modify_coeffs("b");
  ASSERT_TRUE(process->wait_until(
      [&] {
        return count_lines(process->out_so_far(), LINE) == 2 &&
               blocked_in_inotify_read(process->pid());
      },
      EVENT_DEADLINE_S));
  EXPECT_TRUE(process->running());
  EXPECT_EQ(process->panel_signals(), 0);
}

TEST_F(Coeffnotify, CreatesAMissingCoefficientsFileEmptyForThePanelUser) {
  auto process = start_watching();
  const Ownership coeffs = ownership(host(COEFFS));
  ASSERT_TRUE(coeffs.exists);
  EXPECT_FALSE(coeffs.symlink);
  EXPECT_EQ(coeffs.size, 0);
  EXPECT_EQ(coeffs.mode & 0111, 0u) << "created with 0666 less the mask";
  if (running_as_root()) {
    EXPECT_EQ(coeffs.uid, PANEL_USER);
    EXPECT_EQ(coeffs.gid, PANEL_USER);
  }
  EXPECT_EQ(process->panel_signals(), 0);
  EXPECT_FALSE(board_.file_exists(NOTIFY));
}

TEST_F(Coeffnotify, LeavesAnExistingCoefficientsFileAsItIs) {
  board_.write_file(COEFFS, "gain 3\n");
  ASSERT_EQ(chmod(host(COEFFS).c_str(), 0640), 0);
  const Ownership before = ownership(host(COEFFS));
  auto process = start_watching();
  const Ownership after = ownership(host(COEFFS));
  EXPECT_EQ(board_.read_file(COEFFS), "gain 3\n");
  EXPECT_EQ(after.mode, 0640u);
  EXPECT_EQ(after.uid, before.uid);
  EXPECT_EQ(after.gid, before.gid);
}

// The line must reach a pipe while the program runs: it never exits to
// flush its output.
TEST_F(Coeffnotify, EachLineArrivesWhileTheProgramRuns) {
  auto process = start_watching();
  modify_coeffs("x");
  EXPECT_TRUE(process->wait_until([&] { return count_lines(process->out_so_far(), LINE) == 1; },
                                  EVENT_DEADLINE_S));
  EXPECT_TRUE(process->running());
}

TEST_F(Coeffnotify, OneNotificationPerSeparatelyReadWrite) {
  auto process = start_watching();
  for (int n = 1; n <= 3; ++n) {
    modify_coeffs("coefficients " + std::to_string(n));
    ASSERT_TRUE(settle_at(*process, n)) << "notification " << n;
    const Ownership notify = ownership(host(NOTIFY));
    ASSERT_TRUE(notify.exists);
    EXPECT_EQ(notify.size, 0) << "never written";
    if (running_as_root()) {
      EXPECT_EQ(notify.uid, PANEL_USER);
      EXPECT_EQ(notify.gid, PANEL_USER);
    }
  }
  EXPECT_EQ(process->panel_signals(), 3);
  const auto result = process->kill(SIGTERM);
  EXPECT_EQ(count_lines(result.out, LINE), 3);
}

// Events queued while the program is stopped are read at once: one read, one
// notification, also when they differ (a write, then the watch-removed event
// of the deletion).
struct QueuedBurst {
  const char* name;
  int writes;
  bool then_delete;
};

class CoeffnotifyBurst : public Coeffnotify, public ::testing::WithParamInterface<QueuedBurst> {};

TEST_P(CoeffnotifyBurst, AlreadyQueuedIsOneNotification) {
  auto process = start_watching();
  ASSERT_EQ(kill(process->pid(), SIGSTOP), 0);
  ASSERT_TRUE(
      process->wait_until([&] { return process_state(process->pid()) == 'T'; }, EVENT_DEADLINE_S));
  for (int i = 0; i < GetParam().writes; ++i) modify_coeffs(std::string(i + 1, 'c'));
  if (GetParam().then_delete) board_.remove_file(COEFFS);
  ASSERT_EQ(kill(process->pid(), SIGCONT), 0);
  ASSERT_TRUE(settle_at(*process, 1));
  if (!GetParam().then_delete) {
    // A later write is read on its own: the burst gave exactly one line before it.
    modify_coeffs("after");
    ASSERT_TRUE(settle_at(*process, 2));
  }
  const int expected = GetParam().then_delete ? 1 : 2;
  EXPECT_EQ(process->panel_signals(), expected);
  const auto result = process->kill(SIGTERM);
  EXPECT_EQ(count_lines(result.out, LINE), expected);
}

INSTANTIATE_TEST_SUITE_P(Bursts, CoeffnotifyBurst,
                         ::testing::Values(QueuedBurst{"five_writes", 5, false},
                                           QueuedBurst{"a_write_and_the_deletion", 1, true}),
                         [](const ::testing::TestParamInfo<QueuedBurst>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST_F(Coeffnotify, RecreatesTheNotificationFileAfterThePanelDeletedIt) {
  auto process = start_watching();
  modify_coeffs("1");
  ASSERT_TRUE(settle_at(*process, 1));
  ASSERT_TRUE(board_.file_exists(NOTIFY));
  board_.remove_file(NOTIFY);
  modify_coeffs("2");
  ASSERT_TRUE(settle_at(*process, 2));
  const Ownership notify = ownership(host(NOTIFY));
  EXPECT_TRUE(notify.exists);
  if (running_as_root()) {
    EXPECT_EQ(notify.uid, PANEL_USER);
  }
}

// The kernel ends the watch of a deleted file with one last event; after it
// nothing is watched, so a new file under the name goes unnoticed.
TEST_F(Coeffnotify, DeletingTheCoefficientsFileGivesOneLastNotification) {
  auto process = start_watching();
  board_.remove_file(COEFFS);
  ASSERT_TRUE(process->wait_until(
      [&] {
        return count_lines(process->out_so_far(), LINE) == 1 && process->panel_signals() == 1 &&
               !inotify_state(process->pid()).watched && blocked_in_inotify_read(process->pid());
      },
      EVENT_DEADLINE_S));
  board_.write_file(COEFFS, "new file, not watched");
  ASSERT_TRUE(process->wait_until([&] { return blocked_in_inotify_read(process->pid()); },
                                  EVENT_DEADLINE_S));
  const auto result = process->kill(SIGTERM);
  EXPECT_EQ(count_lines(result.out, LINE), 1);
  EXPECT_EQ(process->panel_signals(), 1);
}

// A symbolic link planted in /tmp must not make the root program create or
// give away the file it points to, nor signal the Panel when that file changes:
// the link itself is watched, and a link is never modified.
TEST_F(Coeffnotify, ALinkInPlaceOfTheCoefficientsFileIsNotFollowed) {
  board_.write_file("/tmp/victim", "root's\n");
  ASSERT_EQ(symlink("victim", host(COEFFS).c_str()), 0);
  const Ownership before = ownership(host("/tmp/victim"));
  auto process = start_watching();
  const Ownership after = ownership(host("/tmp/victim"));
  EXPECT_EQ(after.uid, before.uid);
  EXPECT_EQ(after.gid, before.gid);
  EXPECT_EQ(board_.read_file("/tmp/victim"), "root's\n");
  EXPECT_TRUE(ownership(host(COEFFS)).symlink);
  const int victim = open(host("/tmp/victim").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(victim, 0);
  ASSERT_EQ(write(victim, "x", 1), 1);
  ASSERT_EQ(close(victim), 0);
  ASSERT_TRUE(process->wait_until([&] { return blocked_in_inotify_read(process->pid()); },
                                  EVENT_DEADLINE_S));
  const auto result = process->kill(SIGTERM);
  EXPECT_EQ(count_lines(result.out, LINE), 0);
  EXPECT_EQ(process->panel_signals(), 0);
}

TEST_F(Coeffnotify, ADanglingLinkInPlaceOfTheCoefficientsFileCreatesNothing) {
  ASSERT_EQ(symlink("victim-new", host(COEFFS).c_str()), 0);
  auto process = start_watching();
  EXPECT_TRUE(process->running());
  EXPECT_FALSE(board_.file_exists("/tmp/victim-new"));
  EXPECT_TRUE(ownership(host(COEFFS)).symlink);
}

// A link in place of the notification file: no ownership change through it,
// nothing created at its target, and the Panel is signalled all the same.
class CoeffnotifyNotifyLink : public Coeffnotify, public ::testing::WithParamInterface<bool> {};

TEST_P(CoeffnotifyNotifyLink, IsNotFollowedAndTheSignalStillGoes) {
  const bool target_exists = GetParam();
  if (target_exists) board_.write_file("/tmp/victim", "root's\n");
  ASSERT_EQ(symlink("victim", host(NOTIFY).c_str()), 0);
  const Ownership before = ownership(host("/tmp/victim"));
  auto process = start_watching();
  modify_coeffs("x");
  ASSERT_TRUE(settle_at(*process, 1));
  EXPECT_EQ(process->panel_signals(), 1);
  EXPECT_TRUE(ownership(host(NOTIFY)).symlink);
  const Ownership after = ownership(host("/tmp/victim"));
  EXPECT_EQ(after.exists, target_exists);
  if (target_exists) {
    EXPECT_EQ(after.uid, before.uid);
    EXPECT_EQ(after.gid, before.gid);
    EXPECT_EQ(board_.read_file("/tmp/victim"), "root's\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, CoeffnotifyNotifyLink, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                           return std::string(param_info.param ? "existing" : "dangling");
                         });

// A hard link in place of the notification file names a file elsewhere: it
// is not given away, and the Panel is signalled all the same.
TEST_F(Coeffnotify, AHardLinkInPlaceOfTheNotificationFileIsNotGivenAway) {
  if (!running_as_root()) GTEST_SKIP() << "only root can give a file away";
  board_.write_file("/tmp/victim", "root's\n");
  ASSERT_EQ(link(host("/tmp/victim").c_str(), host(NOTIFY).c_str()), 0);
  const Ownership before = ownership(host("/tmp/victim"));
  ASSERT_NE(before.uid, PANEL_USER);
  auto process = start_watching();
  modify_coeffs("x");
  ASSERT_TRUE(settle_at(*process, 1));
  EXPECT_EQ(process->panel_signals(), 1);
  const Ownership after = ownership(host("/tmp/victim"));
  EXPECT_EQ(after.uid, before.uid);
  EXPECT_EQ(after.gid, before.gid);
  EXPECT_EQ(board_.read_file("/tmp/victim"), "root's\n");
}

// A notification file that another user planted stays theirs: it is not
// given to the Panel's user, and the Panel is signalled all the same.
TEST_F(Coeffnotify, ANotificationFileOfAnotherUserIsNotGivenAway) {
  if (!running_as_root()) GTEST_SKIP() << "only root can give a file away";
  board_.write_file(NOTIFY, "");
  ASSERT_EQ(chown(host(NOTIFY).c_str(), OTHER_USER, OTHER_USER), 0);
  auto process = start_watching();
  modify_coeffs("x");
  ASSERT_TRUE(settle_at(*process, 1));
  EXPECT_EQ(process->panel_signals(), 1);
  const Ownership notify = ownership(host(NOTIFY));
  EXPECT_EQ(notify.uid, OTHER_USER);
  EXPECT_EQ(notify.gid, OTHER_USER);
}

// A FIFO in place of the notification file that nobody reads must not hold
// the program: every notification still ends in its signal.
TEST_F(Coeffnotify, AFifoInPlaceOfTheNotificationFileDoesNotHoldTheSignals) {
  ASSERT_EQ(mkfifo(host(NOTIFY).c_str(), 0666), 0);
  auto process = start_watching();
  for (int n = 1; n <= 2; ++n) {
    modify_coeffs("x");
    ASSERT_TRUE(settle_at(*process, n)) << "notification " << n;
  }
  EXPECT_EQ(process->panel_signals(), 2);
  struct stat info {};
  ASSERT_EQ(lstat(host(NOTIFY).c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

}  // namespace
