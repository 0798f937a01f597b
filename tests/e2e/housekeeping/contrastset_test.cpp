// contrastset on the simulated board: the printed and applied level, the
// picture in the frame buffer, and the order of the driver requests. A
// settings file that is no regular file counts as none; a frame buffer that
// cannot take the picture, or a console nobody reads, does not hold the
// start-up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

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

// What stands at /dev/fb0 and at the program's standard output.
enum class Display {
  FrameBuffer,
  // A FIFO whose buffer is full and that nobody reads: a write would wait for
  // good. It is no display; the start-up goes on without the picture.
  FullFifo,
  // The frame buffer, with a console pipe already closed (SIGPIPE).
  ClosedConsole,
};

struct Settings {
  const char* name;
  int size;  // -1: no settings file; the stored byte goes at 863 when it fits
  int stored;
  int level;
  Planted planted;  // in place of the settings file
  Display display;
};

const Settings SETTINGS_CASES[] = {
    {"stored_7", 1024, 7, 7, Planted::None, Display::FrameBuffer},
    {"stored_200", 1024, 200, 15, Planted::None, Display::FrameBuffer},
    {"no_settings_file", -1, 0, 5, Planted::None, Display::FrameBuffer},
    {"file_of_863_bytes", 863, 0, 0, Planted::None, Display::FrameBuffer},
    // A FIFO would hold the start-up; /dev/zero would read as a level of 0.
    {"settings_fifo", -1, 0, 5, Planted::Fifo, Display::FrameBuffer},
    {"settings_dev_zero", -1, 0, 5, Planted::LinkToDevZero, Display::FrameBuffer},
    {"frame_buffer_full_fifo", 1024, 7, 7, Planted::None, Display::FullFifo},
    {"console_closed", 1024, 7, 7, Planted::None, Display::ClosedConsole},
};

// Fills the FIFO at path until a write would wait; the descriptor, kept open
// by the caller so that the FIFO stays full, or -1.
int fifo_fill(const std::string& path) {
  if (mkfifo(path.c_str(), 0666) != 0) return -1;
  const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
  if (fd < 0) return -1;
  const std::string block(4096, 'x');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  return errno == EAGAIN ? fd : -1;
}

// Runs the command with its standard output a pipe already closed at the far
// end; the status it ended with.
boardsim::RunResult run_with_closed_stdout(Board& board, Command command) {
  int console[2];
  if (pipe(console) != 0) return {};
  close(console[0]);
  fflush(stdout);
  const int saved_stdout = dup(STDOUT_FILENO);
  void (*saved_pipe)(int) = signal(SIGPIPE, SIG_IGN);
  dup2(console[1], STDOUT_FILENO);
  close(console[1]);
  command.passthrough_stdio = true;
  const boardsim::RunResult result = board.run(command);
  dup2(saved_stdout, STDOUT_FILENO);
  close(saved_stdout);
  signal(SIGPIPE, saved_pipe);
  return result;
}

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
  int full_fifo = -1;
  if (c.display == Display::FullFifo) {
    const std::string fb = board.host_path("/dev/fb0");
    ASSERT_EQ(unlink(fb.c_str()), 0);
    full_fifo = fifo_fill(fb);
    ASSERT_GE(full_fifo, 0);
  }
  Command command;
  command.argv = {"contrastset"};
  command.timeout_s = 20;
  const auto result = c.display == Display::ClosedConsole ? run_with_closed_stdout(board, command)
                                                          : board.run(command);
  if (full_fifo >= 0) close(full_fifo);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.status, 0);
  if (c.display != Display::ClosedConsole) {
    EXPECT_EQ(result.out, "Contrast: " + std::to_string(c.level) + "\n");
  }
  if (c.display == Display::FullFifo) {
    for (const Event& e : board.journal().events()) {
      EXPECT_NE(e.kind, EventKind::FbWrite) << "nothing is written into what is no display";
    }
    return;
  }

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
