// The Panel marker: only a whole number from 1 up is a process ID that may
// be signalled; everything else counts as no Panel at all.
#include <stdio.h>

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
    {"Panel 1\n", 0, 1},
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

}  // namespace
