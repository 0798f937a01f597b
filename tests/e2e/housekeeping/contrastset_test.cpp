// contrastset on the simulated board: the printed and applied level, the
// picture in the frame buffer, and the order of the driver requests. A
// settings file that is no regular file counts as none.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boardsim/board.h"
#include "boot_picture.h"

namespace {

using boardsim::Board;
using boardsim::Command;
using boardsim::Event;
using boardsim::EventKind;

constexpr char SETTINGS[] = "/home/organ/actual_state/global_set";
constexpr uint32_t CONTRAST_REQUEST = 0x40046706;
constexpr uint32_t FOLLOW_UP_REQUEST = 0x6704;

enum class Planted { None, Fifo, LinkToDevZero };

struct Settings {
  const char* name;
  int size;  // -1: no settings file; the stored byte goes at 863 when it fits
  int stored;
  int level;
  Planted planted;  // in place of the settings file
};

const Settings SETTINGS_CASES[] = {
    {"stored_7", 1024, 7, 7, Planted::None},
    {"stored_200", 1024, 200, 15, Planted::None},
    {"no_settings_file", -1, 0, 5, Planted::None},
    {"file_of_863_bytes", 863, 0, 0, Planted::None},
    // A FIFO would hold the start-up; /dev/zero would read as a level of 0.
    {"settings_fifo", -1, 0, 5, Planted::Fifo},
    {"settings_dev_zero", -1, 0, 5, Planted::LinkToDevZero},
};

class Contrastset : public ::testing::TestWithParam<Settings> {};

TEST_P(Contrastset, AppliesTheLevelThenShowsThePicture) {
  const Settings& c = GetParam();
  Board board;
  if (c.size >= 0) {
    std::string settings(static_cast<size_t>(c.size), '\x0C');
    if (c.size > 863) settings[863] = static_cast<char>(c.stored);
    board.write_file(SETTINGS, settings);
  }
  if (c.planted != Planted::None) {
    board.write_file(SETTINGS, "");
    const std::string path = board.host_path(SETTINGS);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(c.planted == Planted::Fifo ? mkfifo(path.c_str(), 0666)
                                         : symlink("/dev/zero", path.c_str()),
              0);
  }
  Command command;
  command.argv = {"contrastset"};
  const auto result = board.run(command);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Contrast: " + std::to_string(c.level) + "\n");

  // Contrast request with the level, one write of the picture, follow-up.
  std::vector<Event> device;
  for (const Event& e : board.journal().events()) {
    if (e.kind == EventKind::FbIoctl || e.kind == EventKind::FbWrite) device.push_back(e);
  }
  ASSERT_EQ(device.size(), 3u) << board.journal().to_text();
  EXPECT_EQ(device[0].kind, EventKind::FbIoctl);
  EXPECT_EQ(device[0].request, CONTRAST_REQUEST);
  EXPECT_TRUE(device[0].has_value);
  EXPECT_EQ(device[0].value, c.level);
  EXPECT_EQ(device[1].kind, EventKind::FbWrite);
  EXPECT_EQ(device[1].data, std::vector<uint8_t>(boot_picture.begin(), boot_picture.end()));
  EXPECT_EQ(device[2].kind, EventKind::FbIoctl);
  EXPECT_EQ(device[2].request, FOLLOW_UP_REQUEST);

  const std::string frame = board.read_file("/dev/fb0");
  ASSERT_GE(frame.size(), boot_picture.size());
  EXPECT_EQ(frame.substr(0, boot_picture.size()),
            std::string(boot_picture.begin(), boot_picture.end()));
}

INSTANTIATE_TEST_SUITE_P(Table, Contrastset, ::testing::ValuesIn(SETTINGS_CASES),
                         [](const ::testing::TestParamInfo<Settings>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
