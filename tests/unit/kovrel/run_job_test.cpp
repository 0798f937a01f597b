// The job run frame: its banners at each verbosity, the echo of command
// lines, blank lines skipped, the first failing line ending the job, and the
// job file closed on every path.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <ostream>
#include <string>

#include "kovrel.h"
#include "support/kovrel_console.h"
#include "support/output_capture.h"
#include "support/text.h"

namespace {

using test_support::banner;
using test_support::error_report;
using test_support::failed_report;
using test_support::OutputCapture;
using test_support::printable;

int open_descriptors() {
  int count = 0;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  while (readdir(fds) != nullptr) ++count;
  closedir(fds);
  return count;
}

class JobFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    kovrel_reset_state();
    char pattern[] = "/tmp/kovrel_frame_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    name_ = dir_ + "/job.txt";
  }
  void TearDown() override {
    unlink(name_.c_str());
    rmdir(dir_.c_str());
    kovrel_reset_state();
  }

  // Writes `content` as the job of `phase` and runs it at `level`.
  int run(int phase, int level, const std::string& content, uint8_t mask = 0) {
    FILE* job = fopen(name_.c_str(), "w");
    if (job == nullptr) return 99;
    fputs(content.c_str(), job);
    fclose(job);
    current_phase = phase;
    verbosity = level;
    module_mask = mask;
    snprintf(phase == PHASE_UART ? uart_job_name : spi_job_name, JOB_NAME_MAX + 1, "%s",
             name_.c_str());
    int before = open_descriptors();
    int result = 0;
    {
      OutputCapture err(STDERR_FILENO);
      result = run_job();
      err_ = err.take();
    }
    leaked_ = open_descriptors() - before;
    return result;
  }

  std::string processing() const { return banner("PROCESSING <" + name_ + "> ...\n\n"); }

  std::string dir_;
  std::string name_;
  std::string err_;
  int leaked_ = 0;
};

TEST_F(JobFrame, MissingFileIsReportedWithoutBanner) {
  current_phase = PHASE_UART;
  verbosity = 3;
  std::string missing = dir_ + "/absent.txt";
  snprintf(uart_job_name, sizeof uart_job_name, "%s", missing.c_str());
  OutputCapture err(STDERR_FILENO);
  int result = run_job();
  EXPECT_EQ(err.take(), error_report("cannot open <" + missing + ">\n"));
  EXPECT_EQ(result, -1);
}

struct QuietJobCase {
  int phase;
  int verbosity;
  const char* content;
  bool shown;
};

void PrintTo(const QuietJobCase& c, std::ostream* os) {
  *os << "phase " << c.phase << " verbosity " << c.verbosity << " " << printable(c.content);
}

class QuietJob : public JobFrame, public ::testing::WithParamInterface<QuietJobCase> {};

TEST_P(QuietJob, BannersOnlyAtThePhaseVerbosity) {
  const QuietJobCase& c = GetParam();
  EXPECT_EQ(run(c.phase, c.verbosity, c.content), 0);
  EXPECT_EQ(err_, c.shown ? processing() + banner("... DONE\n\n") : "");
  EXPECT_EQ(leaked_, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, QuietJob,
                         ::testing::Values(QuietJobCase{PHASE_UART, 1, "", true},
                                           QuietJobCase{PHASE_UART, 3, "\n \t\n\r\n", true},
                                           QuietJobCase{PHASE_UART, 0, "", false},
                                           QuietJobCase{PHASE_UART, 2, "\n", false},
                                           QuietJobCase{PHASE_SPI, 2, "  \n", true},
                                           QuietJobCase{PHASE_SPI, 1, "", false}));

TEST_F(JobFrame, CommandLinesAreEchoedAndCarriedOut) {
  EXPECT_EQ(run(PHASE_SPI, 2, ";first\n\n  ; second\r\nWAIT 0\n"), 0);
  EXPECT_EQ(err_, processing() + banner(";first\n\n") + banner("  ; second\r\n\n") +
                      banner("WAIT 0\n\n") + banner("... DONE\n\n"));
  EXPECT_EQ(leaked_, 0);
}

struct FailingJobCase {
  int phase;
  int verbosity;
  uint8_t mask;
  const char* content;
  const char* report;  // what the failing line prints before the banner
};

void PrintTo(const FailingJobCase& c, std::ostream* os) {
  *os << "verbosity " << c.verbosity << " " << printable(c.content);
}

class FailingJob : public JobFrame, public ::testing::WithParamInterface<FailingJobCase> {};

TEST_P(FailingJob, EndsAtTheFirstFailingLine) {
  const FailingJobCase& c = GetParam();
  EXPECT_EQ(run(c.phase, c.verbosity, c.content, c.mask), -1);
  std::string shown = c.verbosity != 0 ? processing() : "";
  EXPECT_EQ(err_, shown + c.report + failed_report());
  EXPECT_EQ(leaked_, 0);
}

const std::string MISSING_WAIT =
    error_report("\n" + std::string(80, '-') + "\nWAIT\n") + error_report("Parameter missing\n");
const std::string BAD_MODE = error_report("invalid SPI mode\n") +
                             error_report("\n" + std::string(80, '-') + "\nMODE 4\n") +
                             error_report("token --> 4\n");

// The lines behind the failing one would print reports of their own if read.
INSTANTIATE_TEST_SUITE_P(
    Cases, FailingJob,
    ::testing::Values(FailingJobCase{PHASE_UART, 1, 0, "WAIT\nfoo\n", MISSING_WAIT.c_str()},
                      FailingJobCase{PHASE_UART, 0, 0, "\nWAIT\nfoo\n", MISSING_WAIT.c_str()},
                      FailingJobCase{PHASE_SPI, 0, 1, "MODE 4\nWAIT x\n", BAD_MODE.c_str()},
                      // A module the search did not find: only the banner tells.
                      FailingJobCase{PHASE_SPI, 0, 1, "BIN_FILE 0x0 prog.bin M2\nfoo\n", ""}));

// Each executor carries out its own phase's kinds and refuses every other one
// with its report, whatever the reader let through.
struct DispatchCase {
  int phase;
  JobKind kind;
  int result;
  const char* report;
};

void PrintTo(const DispatchCase& c, std::ostream* os) {
  *os << "phase " << c.phase << " kind " << c.kind;
}

class Dispatch : public JobFrame, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(Dispatch, OwnKindsRunOthersAreRefused) {
  const DispatchCase& c = GetParam();
  current_phase = c.phase;
  job_command.kind = c.kind;
  job_command.wait_ms = 0;
  OutputCapture err(STDERR_FILENO);
  const int result = c.phase == PHASE_UART ? uart_job_exec() : spi_job_exec();
  EXPECT_EQ(err.take(), c.report[0] != '\0' ? error_report(c.report) : "");
  EXPECT_EQ(result, c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Dispatch,
    ::testing::Values(
        DispatchCase{PHASE_UART, JOB_COMMENT, 0, ""}, DispatchCase{PHASE_UART, JOB_WAIT, 0, ""},
        DispatchCase{PHASE_UART, JOB_NONE, -1, "not a UART job command\n"},
        DispatchCase{PHASE_UART, JOB_BIT_RATE, -1, "not a UART job command\n"},
        DispatchCase{PHASE_UART, JOB_MODE, -1, "not a UART job command\n"},
        DispatchCase{PHASE_SPI, JOB_COMMENT, 0, ""}, DispatchCase{PHASE_SPI, JOB_WAIT, 0, ""},
        DispatchCase{PHASE_SPI, JOB_NONE, -1, "command 0 is not an SPI job command\n"},
        DispatchCase{PHASE_SPI, JOB_WRITE_8, -1, "command 7 is not an SPI job command\n"},
        DispatchCase{PHASE_SPI, JOB_BR_FILE, -1, "command 11 is not an SPI job command\n"}));

TEST_F(JobFrame, ExecutorFailureEndsTheJob) {
  std::string content = "BIN_FILE 0x0 " + dir_ + "/absent.bin ALL\nfoo\n";
  EXPECT_EQ(run(PHASE_SPI, 2, content, 0x01), -1);
  EXPECT_EQ(err_, processing() + banner("BIN_FILE 0x0 " + dir_ + "/absent.bin ALL\n\n") +
                      error_report("cannot open <" + dir_ + "/absent.bin>\n") + failed_report());
  EXPECT_EQ(leaked_, 0);
}

}  // namespace
