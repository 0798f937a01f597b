// clockrestore on the simulated board: the date command from the hardware
// clock plus the offset, then "hwclock -w" once the date was set, and the
// offset consumed only when both succeeded; nothing run without a valid offset and clock reading,
// nor when either is no regular file.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boardsim/board.h"

namespace {

using boardsim::Board;
using boardsim::Command;
using boardsim::RunResult;

constexpr char OFFSET[] = "/home/organ/epoch_offset";
constexpr char RTC[] = "/sys/class/rtc/rtc0/since_epoch";
constexpr char HWCLOCK[] = "hwclock -w";

class Clockrestore : public ::testing::Test {
 protected:
  RunResult run() {
    Command command;
    command.argv = {"clockrestore"};
    command.env = {"TZ=UTC"};
    return board_.run(command);
  }
  Board board_;
};

struct Correction {
  const char* name;
  const char* rtc;
  const char* offset;
  const char* date;
};

// Checked by hand: 1000000000 is 2001-09-09 01:46:40 UTC.
const Correction CORRECTIONS[] = {
    {"an_hour_ahead", "1000000000\n", "3600\n", "date 090902462001.40"},
    {"a_day_back", "1000000000\n", "-86400\n", "date 090801462001.40"},
    {"single_digits_padded", "981173106\n", "0\n", "date 020304052001.06"},
    {"offset_with_trailing_text", "1000000000\n", "3600 seconds\n", "date 090902462001.40"},
    {"offset_largest_int32", "0\n", "2147483647\n", "date 011903142038.07"},
    // After 2038 (2208988800 is 2040-01-01 00:00:00 UTC): no 1901 date.
    {"clock_in_2040", "2208988800\n", "3600\n", "date 010101002040.00"},
    {"clock_largest_reading", "4294967295\n", "0\n", "date 020706282106.15"},
};

class ClockrestoreCorrection : public Clockrestore,
                               public ::testing::WithParamInterface<Correction> {};

TEST_P(ClockrestoreCorrection, SetsTheDateThenTheHardwareClockAndConsumesTheOffset) {
  board_.write_file(RTC, GetParam().rtc);
  board_.write_file(OFFSET, GetParam().offset);
  const RunResult result = run();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(board_.standin_calls(), (std::vector<std::string>{GetParam().date, HWCLOCK}));
  EXPECT_FALSE(board_.file_exists(OFFSET));
  // The correction is applied once: a second run finds nothing to do.
  EXPECT_EQ(run().status, 0);
  EXPECT_EQ(board_.standin_calls().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Table, ClockrestoreCorrection, ::testing::ValuesIn(CORRECTIONS),
                         [](const ::testing::TestParamInfo<Correction>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST_F(Clockrestore, WithoutAnOffsetFileRunsNothing) {
  board_.write_file(RTC, "1000000000\n");
  const RunResult result = run();
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(board_.standin_calls().empty());
}

// A correction that could not be applied stays pending for the next start-up.
class ClockrestoreFailingCommand : public Clockrestore,
                                   public ::testing::WithParamInterface<const char*> {};

TEST_P(ClockrestoreFailingCommand, KeepsTheOffsetFile) {
  board_.write_file(RTC, "1000000000\n");
  board_.write_file(OFFSET, "3600\n");
  board_.set_standin_status(GetParam(), 1);
  const RunResult result = run();
  EXPECT_EQ(result.status, 0);
  // A refused date leaves the system time unset: it is not copied into the
  // hardware clock.
  const std::vector<std::string> date_only = {"date 090902462001.40"};
  const std::vector<std::string> both = {"date 090902462001.40", HWCLOCK};
  EXPECT_EQ(board_.standin_calls(), std::string(GetParam()) == "date" ? date_only : both);
  EXPECT_EQ(board_.read_file(OFFSET), "3600\n");
  // Once the commands work, the kept correction is applied.
  board_.set_standin_status(GetParam(), 0);
  EXPECT_EQ(run().status, 0);
  EXPECT_EQ(board_.standin_calls().back(), HWCLOCK);
  EXPECT_FALSE(board_.file_exists(OFFSET));
}

INSTANTIATE_TEST_SUITE_P(Commands, ClockrestoreFailingCommand,
                         ::testing::Values("date", "hwclock"));

// No date is set from an undefined value: nothing runs, nothing is removed.
struct Undefined {
  const char* name;
  const char* rtc;  // nullptr: no clock attribute
  const char* offset;
};

const Undefined UNDEFINED[] = {
    {"offset_not_a_number", "1000000000\n", "soon\n"},
    {"offset_empty", "1000000000\n", ""},
    {"offset_sign_only", "1000000000\n", "-\n"},
    {"offset_past_32_bits", "1000000000\n", "4294967296\n"},
    {"offset_above_int32", "1000000000\n", "2147483648\n"},
    {"offset_below_int32", "1000000000\n", "-2147483649\n"},
    {"clock_missing", nullptr, "3600\n"},
    {"clock_not_a_number", "unknown\n", "3600\n"},
    {"clock_empty", "", "3600\n"},
    // A clock reading is 0 to 2^32-1 seconds; %u would take these modulo 2^32.
    {"clock_negative", "-1\n", "3600\n"},
    {"clock_past_32_bits", "4294967296\n", "3600\n"},
    {"clock_eleven_digits", "99999999999\n", "3600\n"},
    {"clock_past_64_bits", "99999999999999999999\n", "3600\n"},
    // The kernel takes no time before 1970: an offset reaching there is none.
    {"corrected_before_1970", "1000000000\n", "-1000000001\n"},
};

class ClockrestoreUndefined : public Clockrestore,
                              public ::testing::WithParamInterface<Undefined> {};

TEST_P(ClockrestoreUndefined, RunsNothingAndKeepsTheOffsetFile) {
  if (GetParam().rtc != nullptr) {
    board_.write_file(RTC, GetParam().rtc);
  } else {
    board_.remove_file(RTC);
  }
  board_.write_file(OFFSET, GetParam().offset);
  const RunResult result = run();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(board_.standin_calls().empty());
  EXPECT_TRUE(board_.file_exists(OFFSET));
  EXPECT_EQ(board_.read_file(OFFSET), GetParam().offset);
}

INSTANTIATE_TEST_SUITE_P(Table, ClockrestoreUndefined, ::testing::ValuesIn(UNDEFINED),
                         [](const ::testing::TestParamInfo<Undefined>& param_info) {
                           return std::string(param_info.param.name);
                         });

// A FIFO in the offset file's place would hold the start-up until something
// wrote to it, and a device could give any number: either counts as no file.
struct Planted {
  const char* name;
  const char* path;
  bool fifo;  // otherwise a link to /dev/zero
};

class ClockrestorePlanted : public Clockrestore, public ::testing::WithParamInterface<Planted> {};

TEST_P(ClockrestorePlanted, IsNoFileAndRunsNothing) {
  board_.write_file(RTC, "1000000000\n");
  board_.write_file(OFFSET, "3600\n");
  const std::string planted = board_.host_path(GetParam().path);
  ASSERT_EQ(unlink(planted.c_str()), 0);
  if (GetParam().fifo) {
    ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
  } else {
    ASSERT_EQ(symlink("/dev/zero", planted.c_str()), 0);
  }
  const RunResult result = run();
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(board_.standin_calls().empty());
  struct stat info {};
  EXPECT_EQ(lstat(board_.host_path(OFFSET).c_str(), &info), 0) << "the offset file stays";
}

INSTANTIATE_TEST_SUITE_P(Table, ClockrestorePlanted,
                         ::testing::Values(Planted{"offset_fifo", OFFSET, true},
                                           Planted{"offset_dev_zero", OFFSET, false},
                                           Planted{"clock_fifo", RTC, true}),
                         [](const ::testing::TestParamInfo<Planted>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
