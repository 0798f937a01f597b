// The other programs of the board's package on a real ARM kernel: the
// watchers on the kernel's inotify, clockrestore on the board's own clocks
// (and, booted a second time, with its RTC in 2040), splashgen, and a bench
// tool's option errors, each against what it must print and do (and, where
// a host build can run the same, what that does).
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "vm_results.h"

namespace {

using kernel_test::on_simulated_board;
using kernel_test::result;
using kernel_test::result_number;
using kernel_test::result_word;
using kernel_test::slurp;

TEST(KernelPrograms, CasesMetEveryWaitWithinItsBound) {
  EXPECT_EQ(slurp(result("waits")), "") << "a case gave up waiting";
}

TEST(KernelPrograms, CoeffnotifySignalsThePanelOnEachChangeSeenByInotify) {
  EXPECT_EQ(slurp(result("coeffnotify/out")),
            "Sending AUDIOCOEFFSFILENOTIFY to Panel\nSending AUDIOCOEFFSFILENOTIFY to Panel\n");
  EXPECT_EQ(result_word("coeffnotify/panel_signals"), "2");
  // Created empty for the Panel's user, 0666 less the umask 022.
  EXPECT_EQ(result_word("coeffnotify/created"), "1001:1001 644 0");
  EXPECT_EQ(result_word("coeffnotify/notify_owner"), "1001:1001");
  EXPECT_EQ(result_number("coeffnotify/status"), 128 + 15) << "it should run until it is stopped";
}

TEST(KernelPrograms, OcwatchWaitsForTheReportAndEndsAfterItsPause) {
  EXPECT_EQ(result_word("ocwatch/after_other_line"), "waiting")
      << "'50 Over-current' is not the report";
  EXPECT_EQ(result_number("ocwatch/status"), 0);
  EXPECT_GE(result_number("ocwatch/elapsed_cs"), 100) << "its one-second pause before the scan";
  EXPECT_EQ(slurp(result("ocwatch/out")), "");
}

// date prints the time it set: the RTC's reading when clockrestore read it,
// plus the offset of 3600 s, in UTC (the board has no time zone).
std::string date_printed(long seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm broken {};
  gmtime_r(&t, &broken);
  char text[64];
  strftime(text, sizeof text, "%a %b %e %H:%M:%S UTC %Y\n", &broken);
  return text;
}

TEST(KernelPrograms, ClockrestoreSetsTheBoardsClocksOnceFromTheRtcAndTheOffset) {
  const long rtc = atol(result_word("clockrestore/rtc_before").c_str());
  ASSERT_GT(rtc, 1000000000L) << "the RTC starts at 2001-09-09T01:46:40";
  // clockrestore read the RTC in the same second as the case did, or the next.
  const std::string printed = slurp(result("clockrestore/out"));
  EXPECT_TRUE(printed == date_printed(rtc + 3600) || printed == date_printed(rtc + 1 + 3600))
      << printed;
  EXPECT_EQ(result_number("clockrestore/status"), 0);
  EXPECT_EQ(result_word("clockrestore/offset_file"), "removed");
  // hwclock -w gave the RTC the corrected system time.
  for (const char* clock : {"clockrestore/system_after", "clockrestore/rtc_after"}) {
    const long after = atol(result_word(clock).c_str());
    EXPECT_GE(after, rtc + 3600) << clock;
    EXPECT_LE(after, rtc + 3600 + 10) << clock;
  }
  // Without an offset file nothing is run.
  EXPECT_EQ(slurp(result("clockrestore_again/out")), "");
  EXPECT_EQ(result_number("clockrestore_again/status"), 0);
}

// The board booted with its RTC in 2040 (vm/clock_2040.sh): clockrestore with
// the board's own dash and, but where the case says otherwise, coreutils'
// date; a recorder in hwclock's place.
struct Clock2040 {
  const char* name;
  bool date_sets;  // the date takes the time (coreutils', 64 bits)
  const char* offset_file;
};

void PrintTo(const Clock2040& c, std::ostream* os) { *os << c.name; }

// The date clockrestore runs for a time: MMDDhhmmYYYY.ss, in UTC.
std::string date_argument(long seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm broken {};
  gmtime_r(&t, &broken);
  char text[32];
  strftime(text, sizeof text, "%m%d%H%M%Y.%S", &broken);
  return text;
}

class KernelClock2040 : public ::testing::TestWithParam<Clock2040> {};

TEST_P(KernelClock2040, ClockrestoreTakesTheSystemClockPast2038OrLeavesIt) {
  const Clock2040& c = GetParam();
  const std::string d = std::string(c.name) + "/";
  const long rtc = atol(result_word(d + "rtc_before").c_str());
  ASSERT_GE(rtc, 2208988800L) << "the RTC starts at 2040-01-01T00:00:00";
  // clockrestore read the RTC in the same second as the case did, or the
  // next, and added the hour without wrapping into 1901.
  const std::string args = result_word(d + "date_args");
  EXPECT_TRUE(args == date_argument(rtc + 3600) || args == date_argument(rtc + 1 + 3600)) << args;
  EXPECT_EQ(result_number(d + "status"), 0) << "always 0";
  const long before = atol(result_word(d + "system_before").c_str());
  const long after = atol(result_word(d + "system_after").c_str());
  const std::string printed = slurp(result(d + "out"));
  const std::string hwclock = result_word(d + "hwclock_called");
  if (c.date_sets) {
    EXPECT_TRUE(printed == date_printed(rtc + 3600) || printed == date_printed(rtc + 1 + 3600))
        << printed;
    EXPECT_EQ(slurp(result(d + "err")), "");
    EXPECT_GE(after, rtc + 3600);
    EXPECT_LE(after, rtc + 3600 + 10);
    // hwclock -w ran once the system clock was set, not before.
    ASSERT_EQ(hwclock.compare(0, 3, "-w "), 0) << hwclock;
    const long at = atol(hwclock.c_str() + 3);
    EXPECT_GE(at, rtc + 3600) << hwclock;
    EXPECT_LE(at, after) << hwclock;
  } else {
    // The 32-bit date refuses the year; the system clock stays where the
    // kernel started it, and the RTC is not written from it.
    EXPECT_EQ(slurp(result(d + "err")).compare(0, 18, "date: invalid date"), 0)
        << slurp(result(d + "err"));
    EXPECT_EQ(printed, "");
    EXPECT_GE(after, before);
    EXPECT_LE(after, before + 10);
    EXPECT_FALSE(std::filesystem::exists(result(d + "hwclock_called"))) << hwclock;
  }
  EXPECT_EQ(result_word(d + "offset_file"), c.offset_file);
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelClock2040,
                         ::testing::Values(Clock2040{"clock_2040", true, "removed"},
                                           // Tried again at the next start-up.
                                           Clock2040{"clock_2040_hwclock_fails", true, "kept"},
                                           Clock2040{"clock_2040_date_32_bits", false, "kept"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(KernelPrograms, SplashgenDrawsTheHostBuildsImage) {
  const kernel_test::Reference ref =
      on_simulated_board({"splashgen", "strings.txt", "splash.bin"}, "", "splash.bin");
  EXPECT_EQ(result_number("splashgen/status"), 0);
  EXPECT_EQ(slurp(result("splashgen/out")), "");
  const std::string image = slurp(result("splashgen/splash.bin"));
  EXPECT_EQ(image.size(), 1024u);
  EXPECT_EQ(ref.result.status, 0);
  EXPECT_EQ(image, ref.output);
}

struct OptionError {
  const char* name;
  std::vector<std::string> argv;
  const char* first_lines;  // the output starts so
};

void PrintTo(const OptionError& e, std::ostream* os) { *os << e.name; }

class KernelOptionError : public ::testing::TestWithParam<OptionError> {};

TEST_P(KernelOptionError, PrintsTheHostBuildsTextAndEndsWith255) {
  const OptionError& c = GetParam();
  const std::string out = slurp(result(std::string(c.name) + "/out"));
  EXPECT_EQ(out.compare(0, strlen(c.first_lines), c.first_lines), 0) << out;
  EXPECT_EQ(result_number(std::string(c.name) + "/status"), 255);
  if (c.argv.empty()) return;
  const kernel_test::Reference ref = on_simulated_board(c.argv);
  EXPECT_EQ(out, ref.result.out);
  EXPECT_EQ(ref.result.status, 255);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KernelOptionError,
    ::testing::Values(
        OptionError{
            "yalmet_unknown_option", {"yalmet", "-x"}, "\nUnrecognized options -x\n\nSPI DEVICE"},
        OptionError{
            "yalmet_missing_device", {"yalmet"}, "\nMissing not optional parameter\n\nSPI DEVICE"},
        // The virtual board has no SPI controller: the real
        // kernel's answer to opening a missing device.
        OptionError{"fenwix_no_spi_controller", {}, "\nCould not open /dev/spidev2.3 (O_RDWR)\n"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(KernelPrograms, FenwixWithoutAnSpiControllerSaysOnlyThat) {
  EXPECT_EQ(slurp(result("fenwix_no_spi_controller/out")),
            "\nCould not open /dev/spidev2.3 (O_RDWR)\n");
}

}  // namespace
