// The contrast level from the saved settings: the byte at offset 863, at most
// 15; 5 without the file, 0 when the file ends before that byte.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "housekeeping.h"

namespace {

struct LevelCase {
  const char* name;
  size_t file_size;  // the stored byte goes at 863 when the file reaches it
  unsigned char stored;
  int32_t level;
};

const LevelCase LEVEL_CASES[] = {
    {"stored_7", 1024, 7, 7},
    {"stored_0", 1024, 0, 0},
    {"stored_15", 1024, 15, 15},
    {"stored_16_clamped", 1024, 16, 15},
    {"stored_200_clamped", 1024, 200, 15},
    {"stored_255_clamped", 1024, 255, 15},
    {"file_ends_at_the_byte", 864, 9, 9},
    {"file_of_863_bytes", 863, 9, 0},
    {"file_of_100_bytes", 100, 9, 0},
    {"empty_file", 0, 9, 0},
};

class ContrastLevel : public ::testing::TestWithParam<LevelCase> {
 protected:
  void SetUp() override { path_ = ::testing::TempDir() + "global_set_" + std::to_string(getpid()); }
  void TearDown() override { unlink(path_.c_str()); }
  std::string path_;
};

TEST_P(ContrastLevel, ComesFromTheByteAtOffset863) {
  const LevelCase& c = GetParam();
  // Every other byte is 0xEE, so a read from the wrong place shows as 15.
  std::string settings(c.file_size, '\xEE');
  if (c.file_size > 863) settings[863] = static_cast<char>(c.stored);
  const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, settings.data(), settings.size()), static_cast<ssize_t>(settings.size()));
  ASSERT_EQ(close(fd), 0);
  EXPECT_EQ(contrast_level_load(path_.c_str()), c.level);
}

INSTANTIATE_TEST_SUITE_P(Table, ContrastLevel, ::testing::ValuesIn(LEVEL_CASES),
                         [](const ::testing::TestParamInfo<LevelCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST_F(ContrastLevel, WithoutTheSettingsFileIs5) {
  EXPECT_EQ(contrast_level_load(path_.c_str()), 5);
}

}  // namespace
