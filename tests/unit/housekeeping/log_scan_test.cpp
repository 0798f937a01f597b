// One scan of the log for the over-current text: anywhere in one line,
// case-sensitive, never across a line end; a log that cannot be opened holds
// no report.
#include <stdio.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "housekeeping.h"

namespace {

constexpr char TEXT[] = "50 over-current";

struct ScanCase {
  const char* name;
  std::string log;
  int found;
};

const ScanCase SCAN_CASES[] = {
    {"alone on a line", "50 over-current\n", 1},
    {"inside a longer line", "Jan  1 00:00:01 board kernel: port 50 over-current condition\n", 1},
    {"on a later line", "boot\nusb ok\nhub: 50 over-current\nmore\n", 1},
    {"last line without a line end", "boot\nhub 50 over-current", 1},
    {"after a NUL byte in its line", std::string("x\0y 50 over-current\n", 21), 1},
    {"after a very long line", std::string(100000, 'a') + "\n50 over-current\n", 1},
    {"at the end of a very long line", std::string(100000, 'a') + "50 over-current\n", 1},
    {"split over two lines", "hub 50 over-\ncurrent\n", 0},
    {"split after the number", "hub 50\n over-current\n", 0},
    {"in capitals", "hub 50 OVER-CURRENT\n", 0},
    {"with another number", "hub 51 over-current\n", 0},
    {"with the blank missing", "hub 50over-current\n", 0},
    {"empty log", "", 0},
};

class LogScan : public ::testing::TestWithParam<ScanCase> {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "log_scan_" + std::to_string(getpid());
  }
  void TearDown() override { unlink(path_.c_str()); }
  std::string path_;
};

TEST_P(LogScan, FindsTheTextOnlyWithinOneLine) {
  const ScanCase& c = GetParam();
  FILE* log = fopen(path_.c_str(), "w");
  ASSERT_NE(log, nullptr);
  ASSERT_EQ(fwrite(c.log.data(), 1, c.log.size(), log), c.log.size());
  ASSERT_EQ(fclose(log), 0);
  EXPECT_EQ(log_scan(path_.c_str(), TEXT), c.found);
}

INSTANTIATE_TEST_SUITE_P(Table, LogScan, ::testing::ValuesIn(SCAN_CASES),
                         [](const ::testing::TestParamInfo<ScanCase>& param_info) {
                           std::string name = param_info.param.name;
                           for (char& ch : name) {
                             if (ch == ' ') ch = '_';
                           }
                           return name;
                         });

TEST_F(LogScan, AMissingLogFindsNothing) {
  EXPECT_EQ(log_scan(path_.c_str(), TEXT), 0);
}

}  // namespace
