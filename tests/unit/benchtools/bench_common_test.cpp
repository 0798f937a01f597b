// The shared helpers' bounds: device path, file names, number conversion and
// the unit read at the end of a buffer.
#include "bench_common.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct PathCase {
  int device;
  int result;
  const char* path;
};

class DevicePath : public ::testing::TestWithParam<PathCase> {};

TEST_P(DevicePath, BuildsOrRefuses) {
  const PathCase& c = GetParam();
  char path[BENCH_DEVICE_PATH_SIZE];
  memset(path, 'x', sizeof path);
  testing::internal::CaptureStdout();
  EXPECT_EQ(bench_device_path(path, c.device), c.result);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_STREQ(path, c.path);
  // A refusal says so; a path that fits says nothing.
  EXPECT_EQ(out.empty(), c.result == 0) << out;
}

INSTANTIATE_TEST_SUITE_P(Numbers, DevicePath,
                         ::testing::Values(PathCase{0, 0, "/dev/spidev2.0"},
                                           PathCase{4, 0, "/dev/spidev2.4"},
                                           PathCase{99, 0, "/dev/spidev2.99"},
                                           PathCase{100, -1, ""}, PathCase{1000, -1, ""},
                                           PathCase{2147483647, -1, ""}));

TEST(FileName, KeepsUpTo99CharactersAndRefusesLonger) {
  char name[BENCH_FILE_NAME_SIZE];
  const std::string longest(99, 'a');
  EXPECT_EQ(bench_file_name_store(name, longest.c_str()), 0);
  EXPECT_EQ(std::string(name), longest);

  const std::string too_long(100, 'b');
  testing::internal::CaptureStdout();
  EXPECT_EQ(bench_file_name_store(name, too_long.c_str()), -1);
  EXPECT_FALSE(testing::internal::GetCapturedStdout().empty());
  EXPECT_STREQ(name, "");  // never a truncated name that could open another file
}

struct NumberCase {
  const char* text;
  int value;
};

class Number : public ::testing::TestWithParam<NumberCase> {};

TEST_P(Number, ConvertsLikeStrtolWithinInt) {
  EXPECT_EQ(bench_number(GetParam().text), GetParam().value);
}

// Out-of-range texts give the same value whether long has 32 or 64 bits.
INSTANTIATE_TEST_SUITE_P(Texts, Number,
                         ::testing::Values(NumberCase{"12", 12}, NumberCase{"0x10", 0},
                                           NumberCase{"7abc", 7}, NumberCase{"x", 0},
                                           NumberCase{"-1", -1}, NumberCase{" 42", 42},
                                           NumberCase{"99999999999", 2147483647},
                                           NumberCase{"-99999999999", -2147483647 - 1}));

struct LoopCase {
  int current;
  int next;
};

class LoopNumber : public ::testing::TestWithParam<LoopCase> {};

// An endless loop passes the largest int within seconds when it has nothing
// to move; its count starts again at 1 instead of overflowing.
TEST_P(LoopNumber, CountsFromOneAndNeverOverflows) {
  EXPECT_EQ(bench_loop_next(GetParam().current), GetParam().next);
}

INSTANTIATE_TEST_SUITE_P(Numbers, LoopNumber,
                         ::testing::Values(LoopCase{0, 1}, LoopCase{1, 2},
                                           LoopCase{2147483646, 2147483647},
                                           LoopCase{2147483647, 1}));

TEST(Unit, ReadsBytesAndLowByteFirstWords) {
  const std::vector<uint8_t> data{0x34, 0x12, 0xCD, 0xAB};
  EXPECT_EQ(bench_unit(data.data(), data.size(), 0, false), 0x34);
  EXPECT_EQ(bench_unit(data.data(), data.size(), 3, false), 0xAB);
  EXPECT_EQ(bench_unit(data.data(), data.size(), 0, true), 0x1234);
  EXPECT_EQ(bench_unit(data.data(), data.size(), 2, true), 0xABCD);
}

TEST(Unit, WordCutOffAtTheEndTakesTheFillAndReadsNothingBeyond) {
  // Allocated at exactly three bytes so that a read past them is caught by
  // the address sanitizer.
  std::unique_ptr<uint8_t[]> data(new uint8_t[3]{0x01, 0x80, 0x41});
  EXPECT_EQ(bench_unit(data.get(), 3, 2, true), 0x3F41);
}

}  // namespace
