// The virtual board powered on through the package's own start-up script,
// /etc/init.d/organ-board, as a board without systemd runs it (vm/init, then
// vm/power_on.sh): each step happens, in order, once, and the bring-up puts
// on the slaves' line what the host build does on the simulated board. The
// kernel's trace of every program started gives the timeline, which is
// printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "vm_results.h"

namespace {

using kernel_test::result;
using kernel_test::result_number;
using kernel_test::result_word;
using kernel_test::slurp;

// One program started on the board, from the kernel's sched_process_exec
// trace: "<comm>-<pid> [000] ..... 12.345678: sched_process_exec:
// filename=/usr/sbin/clockrestore pid=85 old_pid=85".
struct Start {
  double at_s;
  std::string program;
  int pid;
};

std::vector<Start> starts() {
  static const std::regex line(
      R"(([0-9]+\.[0-9]+): sched_process_exec: filename=(\S+) pid=([0-9]+))");
  std::vector<Start> found;
  std::istringstream in(slurp(result("power_on/exec_trace")));
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (std::regex_search(text, m, line)) found.push_back({std::stod(m[1]), m[2], std::stoi(m[3])});
  }
  return found;
}

// The starts of the organ's own programs, the Panel stand-ins and the hook,
// in the order the kernel saw them.
std::vector<Start> timeline() {
  static const std::vector<std::string> programs = {
      "/usr/sbin/clockrestore", "/usr/sbin/contrastset", "/usr/bin/kovrel",
      "/usr/sbin/ocwatch",      "/work/panel_standin",   "/usr/sbin/coeffnotify",
      "/work/overcurrent_hook"};
  std::vector<Start> found;
  for (const Start& s : starts()) {
    for (const std::string& p : programs) {
      if (s.program == p) found.push_back(s);
    }
  }
  return found;
}

std::vector<Start> starts_of(const std::string& program) {
  std::vector<Start> found;
  for (const Start& s : timeline()) {
    if (s.program == program) found.push_back(s);
  }
  return found;
}

TEST(KernelPowerOn, TimelineHasEachStepOnceInOrder) {
  const std::vector<Start> seen = timeline();
  printf("Power-on of the virtual board (seconds since boot, from the kernel's exec trace):\n");
  for (const Start& s : seen) printf("  %9.3f  %-24s pid %d\n", s.at_s, s.program.c_str(), s.pid);

  // clockrestore, contrastset and the bring-up once each, one after the
  // other; ocwatch once, after the bring-up; coeffnotify once for each
  // Panel, each after that Panel's start; the hook once, last.
  const std::vector<std::pair<std::string, size_t>> counts = {
      {"/usr/sbin/clockrestore", 1}, {"/usr/sbin/contrastset", 1}, {"/usr/bin/kovrel", 1},
      {"/usr/sbin/ocwatch", 1},      {"/work/panel_standin", 2},   {"/usr/sbin/coeffnotify", 2},
      {"/work/overcurrent_hook", 1}};
  for (const auto& [program, count] : counts)
    ASSERT_EQ(starts_of(program).size(), count) << program << " started so many times";
  const std::vector<std::string> order = {
      "/usr/sbin/clockrestore", "/usr/sbin/contrastset", "/usr/bin/kovrel",
      "/usr/sbin/ocwatch",      "/work/panel_standin",   "/usr/sbin/coeffnotify",
      "/work/panel_standin",    "/usr/sbin/coeffnotify", "/work/overcurrent_hook"};
  std::vector<std::string> programs;
  for (const Start& s : seen) programs.push_back(s.program);
  EXPECT_EQ(programs, order);
}

TEST(KernelPowerOn, StartUpScriptRanTheOneShotStepsAndEndedWell) {
  EXPECT_EQ(result_number("power_on/start.status"), 0);
  EXPECT_EQ(slurp(result("power_on/waits")), "") << "a step was not seen in time";
  const std::string out = slurp(result("power_on/start.out"));
  // contrastset with the saved contrast 7, then the bring-up as configured.
  const size_t contrast = out.find("Contrast: 7\n");
  const size_t bringup =
      out.find("organ-start-up: kovrel -v 1 -u examples/uart_job.txt (in /work)\n");
  const size_t done = out.find("organ-board: bring-up of the sound modules done\n");
  ASSERT_NE(contrast, std::string::npos) << out;
  ASSERT_NE(bringup, std::string::npos) << out;
  ASSERT_NE(done, std::string::npos) << out;
  EXPECT_LT(contrast, bringup);
  EXPECT_LT(bringup, done);
}

TEST(KernelPowerOn, ClockrestoreAppliedThePendingCorrectionFirst) {
  const long rtc = atol(result_word("power_on/rtc_before").c_str());
  ASSERT_GT(rtc, 1000000000L);
  EXPECT_EQ(result_word("power_on/offset_file"), "removed");
  for (const char* clock : {"power_on/system_after", "power_on/rtc_after"}) {
    const long after = atol(result_word(clock).c_str());
    EXPECT_GE(after, rtc + 3600) << clock;
    EXPECT_LE(after, rtc + 3600 + 30) << clock;
  }
}

TEST(KernelPowerOn, BringUpPrintsAndSendsWhatTheHostBuildDoes) {
  const kernel_test::Reference ref =
      kernel_test::on_simulated_board({"kovrel", "-v", "1", "-u", "examples/uart_job.txt"});
  ASSERT_EQ(ref.result.status, 0);
  EXPECT_NE(slurp(result("power_on/start.out")).find(ref.result.err), std::string::npos)
      << "kovrel's lines of the bring-up are not in the start-up script's output";
  // The power-on's bring-up is the first reset of the slaves in the journal.
  const auto board = kernel_test::bring_ups(slurp(result("boardsim.jsonl")));
  ASSERT_FALSE(board.empty());
  kernel_test::Traffic seen = board[0];
  kernel_test::Traffic expected = ref.traffic;
  EXPECT_EQ(seen.gpio, expected.gpio);
  EXPECT_EQ(seen.to_slave[0], expected.to_slave[0]);
  EXPECT_EQ(seen.from_slave[0], expected.from_slave[0]);
  EXPECT_EQ(seen.to_slave.size(), 1u) << "bytes on another line";
}

TEST(KernelPowerOn, CoeffnotifyFollowsThePanelThroughItsRestart) {
  const std::string panel1 = result_word("power_on/panel1.pid");
  const std::string panel2 = result_word("power_on/panel2.pid");
  ASSERT_FALSE(panel1.empty());
  ASSERT_NE(panel1, panel2) << "the restarted Panel has a new process ID";
  // One change before the restart reached the first Panel, one after it the
  // second, and none after it the first.
  EXPECT_EQ(result_word("power_on/panel1.signals"), "1");
  EXPECT_EQ(result_word("power_on/panel2.signals"), "1");
  const std::string notifier1 = result_word("power_on/notifier1");
  const std::string notifier2 = result_word("power_on/notifier2");
  EXPECT_NE(notifier1, notifier2) << "coeffnotify was not restarted";
  const std::vector<Start> notifiers = starts_of("/usr/sbin/coeffnotify");
  ASSERT_EQ(notifiers.size(), 2u);
  EXPECT_EQ(std::to_string(notifiers[0].pid), notifier1);
  EXPECT_EQ(std::to_string(notifiers[1].pid), notifier2);
  const std::string watchers = slurp(result("power_on/watchers"));
  EXPECT_NE(watchers.find("organ-board: Panel " + panel1 + ": starting coeffnotify for it\n"),
            std::string::npos)
      << watchers;
  EXPECT_NE(watchers.find("organ-board: Panel " + panel2 + ": starting coeffnotify for it\n"),
            std::string::npos)
      << watchers;
  EXPECT_NE(watchers.find("Sending AUDIOCOEFFSFILENOTIFY to Panel\n"), std::string::npos);
}

TEST(KernelPowerOn, OvercurrentRunsTheHookOnceAfterOcwatchsPause) {
  const double report = atof(result_word("power_on/report_s").c_str());
  const std::string hook = slurp(result("power_on/hook_s"));
  ASSERT_EQ(std::count(hook.begin(), hook.end(), '\n'), 1) << "the hook ran more than once";
  EXPECT_GE(atof(hook.c_str()), report + 1.0) << "ocwatch's one-second pause before its scan";
  EXPECT_NE(slurp(result("power_on/watchers"))
                .find("organ-start-up: over-current reported in the system log: running "
                      "/work/overcurrent_hook\n"),
            std::string::npos);
}

TEST(KernelPowerOn, SecondStartRepeatsNothingAndStopEndsTheWatchers) {
  EXPECT_EQ(slurp(result("power_on/status.out")),
            "organ-board: coeffnotify watching\n"
            "organ-board: ocwatch ended: the system log reported an over-current\n");
  EXPECT_EQ(slurp(result("power_on/start_again.out")),
            "organ-board: started before in this boot: clockrestore, contrastset and the "
            "bring-up are not run again\n"
            "organ-board: coeffnotify already watching\n"
            "organ-board: ocwatch not started: an over-current was reported before in this "
            "boot\n");
  EXPECT_EQ(result_number("power_on/start_again.status"), 0);
  EXPECT_EQ(result_number("power_on/stop.status"), 0);
  EXPECT_EQ(result_word("power_on/left_running"), "") << "a watcher's program outlived stop";
}

}  // namespace
