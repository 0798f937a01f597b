// One scan of the log for the over-current text: anywhere in one line,
// case-sensitive, never across a line end, also where the text straddles two
// of the blocks the log is read in; a log that cannot be opened, or is no
// regular file, holds no report.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "housekeeping.h"

namespace {

constexpr char TEXT[] = "50 over-current";
constexpr size_t BLOCK = LOG_SCAN_BLOCK_SIZE;

// A log whose text begins `before` bytes ahead of the first block's end.
std::string across_blocks(size_t before, const std::string& text) {
  return std::string(BLOCK - before, 'a') + text + "\n";
}

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
    {"across blocks after its first byte", across_blocks(1, TEXT), 1},
    {"across blocks after its seventh byte", across_blocks(7, TEXT), 1},
    {"across blocks before its last byte", across_blocks(14, TEXT), 1},
    {"at the start of the second block", across_blocks(0, TEXT), 1},
    {"at the end of the first block", across_blocks(15, TEXT), 1},
    {"across blocks split by a line end", across_blocks(7, "50 over\n-current"), 0},
    {"across blocks after a NUL byte",
     across_blocks(3, std::string("\0"
                                  "50 over-current",
                                  16)),
     1},
};

class LogScan : public ::testing::TestWithParam<ScanCase> {
 protected:
  void SetUp() override { path_ = ::testing::TempDir() + "log_scan_" + std::to_string(getpid()); }
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

// The block size changes how the log is read, never what is found.
TEST_P(LogScan, FindsTheSameWhateverTheBlockSize) {
  const ScanCase& c = GetParam();
  FILE* log = fopen(path_.c_str(), "w+");
  ASSERT_NE(log, nullptr);
  ASSERT_EQ(fwrite(c.log.data(), 1, c.log.size(), log), c.log.size());
  ASSERT_EQ(fflush(log), 0);
  // Tiny blocks, each a read of its own, only for the short logs.
  const std::vector<size_t> blocks = c.log.size() < 1024 ? std::vector<size_t>{1, 2, 3, 14, 15, 16}
                                                         : std::vector<size_t>{1000, 4099};
  for (size_t block : blocks) {
    ASSERT_EQ(lseek(fileno(log), 0, SEEK_SET), 0);
    EXPECT_EQ(log_scan_stream(fileno(log), TEXT, block), c.found) << "block " << block;
  }
  fclose(log);
}

TEST_F(LogScan, AMissingLogFindsNothing) { EXPECT_EQ(log_scan(path_.c_str(), TEXT), 0); }

// A FIFO with no writer would hold the scan, /dev/zero would feed it without
// end, and a directory has no lines: none is read.
TEST_F(LogScan, WhatIsNoRegularFileFindsNothingAtOnce) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  EXPECT_EQ(log_scan(path_.c_str(), TEXT), 0);
  EXPECT_EQ(log_scan("/dev/zero", TEXT), 0);
  EXPECT_EQ(log_scan("/", TEXT), 0);
}

// A text with a line end before its last byte is in no line; one that ends
// with a line end is in the line it ends.
TEST_F(LogScan, ALineEndInTheTextIsOnlyALineEnd) {
  FILE* log = fopen(path_.c_str(), "w");
  ASSERT_NE(log, nullptr);
  ASSERT_GT(fputs("hub 50 over-\ncurrent\n", log), 0);
  ASSERT_EQ(fclose(log), 0);
  EXPECT_EQ(log_scan(path_.c_str(), "over-\ncurrent"), 0);
  EXPECT_EQ(log_scan(path_.c_str(), "over-\n"), 1);
  EXPECT_EQ(log_scan(path_.c_str(), "\n"), 1);
  EXPECT_EQ(log_scan(path_.c_str(), ""), 1);
}

}  // namespace
