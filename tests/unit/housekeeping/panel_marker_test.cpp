// The Panel marker: only a whole number from 2 up is a process ID that may
// be signalled (1 is the board's init); everything else counts as no Panel at
// all. Read from a file, only its first bytes count, and only whole words.
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "housekeeping.h"

namespace {

struct MarkerCase {
  std::string text;
  int result;
  int32_t pid;  // when result is 0
};

const MarkerCase MARKER_CASES[] = {
    {"Panel 1234\n", 0, 1234},
    {"Panel 2\n", 0, 2},
    {"Panel 1\n", -1, 0},
    {"Panel +1\n", -1, 0},
    {"Panel 0001\n", -1, 0},
    {"x\n\t 77 trailing words\n", 0, 77},
    {"Panel +42\n", 0, 42},
    {"Panel 42abc\n", 0, 42},  // the number ends where the digits end
    {"Panel 2147483647\n", 0, 2147483647},
    {"Panel " + std::string(28, '0') + "42\n", 0, 42},  // 30 characters
    {"Panel 0\n", -1, 0},
    {"Panel -1\n", -1, 0},
    {"Panel -2345\n", -1, 0},
    {"Panel 2147483648\n", -1, 0},
    {"Panel 4294967297\n", -1, 0},  // would wrap to 1 as a 32-bit int
    {"Panel 99999999999999999999999\n", -1, 0},
    {"Panel " + std::string(29, '0') + "42\n", 0, 42},  // 31 characters
    {"Panel " + std::string(60, '0') + "42\n", 0, 42},  // no length limit, as %d
    {"Panel 42" + std::string(40, '-') + "\n", 0, 42},
    {"Panel 1234-2026-12-07-21-34-29-0000-0000-0000\n", 0, 1234},
    {"Panel " + std::string(40, '0') + "2147483648\n", -1, 0},
    {"Panel 12" + std::string(40, '9') + "\n", -1, 0},
    {"Panel -" + std::string(40, '0') + "\n", -1, 0},
    {"Panel 12 34\n", 0, 12},
    {"   \n\t", -1, 0},
    {"Panel\n", -1, 0},
    {"Panel abc\n", -1, 0},
    {"Panel -\n", -1, 0},
    {"Panel +-5\n", -1, 0},
    {"1234\n", -1, 0},  // the first word is skipped, even a number
    {"", -1, 0},
};

class PanelMarker : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(PanelMarker, ReadsOnlyAProcessIdThatNamesOneProcess) {
  const MarkerCase& c = GetParam();
  std::string text = c.text;
  // fmemopen refuses an empty buffer on some C libraries; one NUL reads as
  // an empty file to scanf just the same.
  text.push_back('\0');
  FILE* marker = fmemopen(&text[0], c.text.empty() ? 1 : c.text.size(), "r");
  ASSERT_NE(marker, nullptr);
  int32_t pid = -99;
  EXPECT_EQ(panel_marker_read(marker, &pid), c.result) << c.text;
  if (c.result == 0) {
    EXPECT_EQ(pid, c.pid) << c.text;
  } else {
    EXPECT_EQ(pid, -99) << "a refused marker leaves the ID alone: " << c.text;
  }
  fclose(marker);
}

INSTANTIATE_TEST_SUITE_P(Table, PanelMarker, ::testing::ValuesIn(MARKER_CASES));

// The marker as the program reads it from its file: at most 256 bytes. A
// number that the bound would cut is refused, never taken in part.
const size_t BOUND = PANEL_MARKER_READ_MAX;
const std::string PAD_TO_END(BOUND, 'x');

const MarkerCase BOUNDED_CASES[] = {
    {"Panel 1234\n" + PAD_TO_END + " more\n", 0, 1234},
    {"Panel " + std::string(BOUND - 9, '0') + "42\n", 0, 42},     // 256 bytes in all
    {"Panel " + std::string(BOUND - 8, '0') + "42\n", 0, 42},     // line end past the bound
    {"Panel " + std::string(BOUND - 7, '0') + "42\n", -1, 0},     // the bound cuts "42"
    {"Panel " + std::string(BOUND - 6, '0') + "12345\n", -1, 0},  // no digit within it
    {std::string(BOUND + 10, 'P') + " 77\n", -1, 0},              // no whole word within it
    {"Panel 33 " + std::string(2 * BOUND, '9') + "\n", 0, 33},
};

class PanelMarkerFile : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(PanelMarkerFile, TakesOnlyWholeWordsOfTheFirstBytes) {
  const MarkerCase& c = GetParam();
  char path[] = "/tmp/panel_marker_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  unlink(path);
  ASSERT_EQ(write(fd, c.text.data(), c.text.size()), static_cast<ssize_t>(c.text.size()));
  ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
  int32_t pid = -99;
  EXPECT_EQ(panel_marker_load(fd, &pid), c.result);
  EXPECT_EQ(pid, c.result == 0 ? c.pid : -99);
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Table, PanelMarkerFile, ::testing::ValuesIn(BOUNDED_CASES));

}  // namespace
