// The date command of the clock correction: the 64-bit sum of clock and
// offset, broken down in the process's time zone, written month, day, hour,
// minute, full year, point, seconds.

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "housekeeping.h"

namespace {

struct DateCase {
  const char* name;
  const char* tz;
  uint32_t rtc_seconds;
  int32_t offset_seconds;
  const char* command;  // nullptr: no command (a time the clock cannot take)
};

// Each row checked by hand against a calendar (1000000000 is 2001-09-09
// 01:46:40 UTC).
const DateCase DATE_CASES[] = {
    {"an hour ahead", "UTC", 1000000000u, 3600, "date 090902462001.40"},
    {"a week back", "UTC", 1234567890u, -7 * 86400, "date 020623312009.30"},
    {"every field padded", "UTC", 981173106u, 0, "date 020304052001.06"},
    {"back to the epoch", "UTC", 1000000000u, -1000000000, "date 010100001970.00"},
    // Before 1970 the kernel sets no time: no command, no 1969 nor 1901.
    {"one before the epoch", "UTC", 0u, -1, nullptr},
    // Past 19 January 2038 and past 2^32 nothing wraps (no 1901, no 1970).
    {"sum past 2^32 does not wrap", "UTC", 4294967295u, 1, "date 020706282106.16"},
    {"past 2^31 stays in 2038", "UTC", 2147483647u, 1, "date 011903142038.08"},
    {"clock reading above 2^31", "UTC", 2147483648u, 0, "date 011903142038.08"},
    {"clock in 2040 an hour ahead", "UTC", 2208988800u, 3600, "date 010101002040.00"},
    {"largest clock and offset", "UTC", 4294967295u, 2147483647, "date 022509422174.22"},
    {"smallest offset from zero", "UTC", 0u, INT32_MIN, nullptr},
    {"local time two hours east", "EET-2", 1000000000u, 3600, "date 090904462001.40"},
    {"local time crosses the year", "XST+1", 1072918799u, 0, "date 123123592003.59"},
};

class DateCommand : public ::testing::TestWithParam<DateCase> {
 protected:
  void SetUp() override {
    const char* old = getenv("TZ");
    had_tz_ = old != nullptr;
    if (had_tz_) old_tz_ = old;
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", old_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string old_tz_;
};

TEST_P(DateCommand, FormatsTheCorrectedTime) {
  const DateCase& c = GetParam();
  setenv("TZ", c.tz, 1);
  tzset();
  char command[48];
  const int result = date_command_format(clock_corrected_time(c.rtc_seconds, c.offset_seconds),
                                         command, sizeof command);
  if (c.command == nullptr) {
    EXPECT_EQ(result, -1);
    return;
  }
  ASSERT_EQ(result, 0);
  EXPECT_STREQ(command, c.command);
}

INSTANTIATE_TEST_SUITE_P(Table, DateCommand, ::testing::ValuesIn(DATE_CASES),
                         [](const ::testing::TestParamInfo<DateCase>& param_info) {
                           std::string name = param_info.param.name;
                           for (char& ch : name) {
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST_F(DateCommand, RefusesABufferTooSmallForTheWholeCommand) {
  setenv("TZ", "UTC", 1);
  tzset();
  // "date 090902462001.40" is 20 characters and its NUL.
  char command[21];
  EXPECT_EQ(date_command_format(1000003600, command, sizeof command), 0);
  char short_command[20];
  EXPECT_EQ(date_command_format(1000003600, short_command, sizeof short_command), -1);
}

}  // namespace
