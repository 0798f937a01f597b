// dasmo on the simulated board: the six output forms, the delay option, the
// transfer as one message, files the driver refuses or cannot fill, outputs
// that do not take the capture, inputs that cannot be seeked, and outputs
// (of dasmo and fenwix alike) planted in /tmp by another user or a FIFO.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_e2e.h"
#include "boardsim/models/bench_ends.h"
#include "support/output_capture.h"

namespace {

using bench_e2e::bytes_of;
using bench_e2e::run_tool;
using boardsim::EventKind;
using test_support::OutputCapture;

// Sent through a same-word loopback, so what comes back is known.
const std::string INPUT("\xA5\x01\x80\x3C", 4);

struct FormCase {
  const char* name;
  uint8_t bits;
  bool text;
  bool to_file;
  std::string out;   // console after the summary
  std::string file;  // content of the output file
};

class DasmoForms : public ::testing::TestWithParam<FormCase> {};

TEST_P(DasmoForms, WritesTheReceivedBytesExactly) {
  const FormCase& c = GetParam();
  boardsim::Board board;
  board.attach_spi(1, std::make_shared<boardsim::SameLoopback>());
  board.spi(1).bits_per_word = c.bits;
  board.write_file("/tmp/in.bin", INPUT);
  std::vector<std::string> argv{"dasmo", "-s", "1", "-i", "/tmp/in.bin"};
  if (c.text) argv.push_back("-a");
  if (c.to_file) argv.insert(argv.end(), {"-o", "/tmp/out.txt"});
  const auto r = run_tool(board, argv);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\nWrite/Read 4/4 bytes (" + std::to_string(c.bits) + " bits data)\n" + c.out);
  EXPECT_EQ(board.file_exists("/tmp/out.txt"), c.to_file);
  EXPECT_EQ(board.read_file("/tmp/out.txt"), c.file);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, DasmoForms,
    ::testing::Values(FormCase{"ConsoleRaw", 8, false, false, INPUT + "\n", ""},
                      FormCase{"ConsoleBytes", 8, true, false, "0xA5\n0x01\n0x80\n0x3C\n", ""},
                      FormCase{"ConsoleWords", 16, true, false, "0x01A5\n0x3C80\n", ""},
                      FormCase{"FileRaw", 8, false, true, "", INPUT},
                      FormCase{"FileBytes", 8, true, true, "", "0xA5,\n0x01,\n0x80,\n0x3C\n"},
                      FormCase{"FileWords", 16, true, true, "", "0x01A5,\n0x3C80\n"}),
    [](const ::testing::TestParamInfo<FormCase>& param_info) { return param_info.param.name; });

TEST(Dasmo, FileGoesAsOneFullDuplexMessageWithDeviceSettings) {
  boardsim::Board board;
  auto sink = std::make_shared<boardsim::PatternSink>(0x5A);
  board.attach_spi(0, sink);
  std::string input(300, '\0');
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>(i * 7);
  board.write_file("/tmp/in.bin", input);
  const auto r = run_tool(board, {"dasmo", "-s", "0", "-i", "/tmp/in.bin", "-d", "250"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\nWrite/Read 300/300 bytes (8 bits data)\n" + std::string(300, '\x5A') + "\n");
  EXPECT_EQ(sink->received, bytes_of(input));
  const auto transfers = board.journal().of(EventKind::SpiTransfer, 0);
  ASSERT_EQ(transfers.size(), 1u);
  EXPECT_EQ(transfers[0].speed_hz, 0u);
  EXPECT_EQ(transfers[0].bits_per_word, 0);
  EXPECT_EQ(transfers[0].cs_change, 1);
  EXPECT_EQ(transfers[0].delay_usecs, 250);
}

// A request that moves only part of the file is repeated for the rest.
TEST(Dasmo, ShortTransferIsRepeatedForTheRest) {
  boardsim::Board board;
  auto sink = std::make_shared<boardsim::PatternSink>(0x11);
  board.attach_spi(2, sink);
  board.write_file("/tmp/in.bin", "0123456789");
  board.add_fault({2, boardsim::SpiOp::Transfer, 1, boardsim::FaultKind::Short, 1, 4});
  const auto r = run_tool(board, {"dasmo", "-s", "2", "-i", "/tmp/in.bin", "-o", "/tmp/out.bin"});
  EXPECT_EQ(r.out, "\nWrite/Read 10/10 bytes (8 bits data)\n");
  EXPECT_EQ(sink->received, bytes_of("0123456789"));
  EXPECT_EQ(board.read_file("/tmp/out.bin"), std::string(10, '\x11'));
  const auto transfers = board.journal().of(EventKind::SpiTransfer, 2);
  ASSERT_EQ(transfers.size(), 2u);
  EXPECT_EQ(transfers[1].data, bytes_of("456789"));
}

// A request that moves nothing ends the loop instead of repeating forever.
TEST(Dasmo, TransferThatMovesNothingEndsTheLoop) {
  boardsim::Board board;
  board.write_file("/tmp/in.bin", "Q");
  board.add_fault({0, boardsim::SpiOp::Transfer, 1, boardsim::FaultKind::Short, 1, 0});
  const auto r = run_tool(board, {"dasmo", "-s", "0", "-i", "/tmp/in.bin"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\nWrite/Read 0/1 bytes (8 bits data)\n\n");
  size_t requests = 0;
  for (const auto& e : board.journal().of(EventKind::SpiIoctl, 0)) {
    if (e.request == SPI_IOC_MESSAGE(1)) ++requests;
  }
  EXPECT_EQ(requests, 1u);
}

struct DelayCase {
  const char* value;
  bool accepted;
  int delay;  // what goes into the transfer, or the value in the message
};

class DasmoDelay : public ::testing::TestWithParam<DelayCase> {};

TEST_P(DasmoDelay, RangeZeroTo65535) {
  const DelayCase& c = GetParam();
  boardsim::Board board;
  board.write_file("/tmp/in.bin", "xy");
  const auto r = run_tool(board, {"dasmo", "-s", "0", "-i", "/tmp/in.bin", "-d", c.value});
  const auto transfers = board.journal().of(EventKind::SpiTransfer, 0);
  if (c.accepted) {
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].delay_usecs, c.delay);
  } else {
    // No usage text after this message.
    EXPECT_EQ(r.out, "\nDelay between transfers out of range <" + std::to_string(c.delay) + ">\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(board.journal().of(EventKind::SpiOpen).empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Values, DasmoDelay,
                         ::testing::Values(DelayCase{"65535", true, 65535},
                                           DelayCase{"0x10", true, 0},
                                           DelayCase{"65536", false, 65536},
                                           DelayCase{"-1", false, -1}));

struct RefusedCase {
  const char* name;
  size_t size;
  uint8_t bits;
};

class DasmoNothingTransferred : public ::testing::TestWithParam<RefusedCase> {};

// An empty file, a file above the driver's buffer, and an odd byte count with
// 16-bit words all end with nothing transferred and nothing written out.
TEST_P(DasmoNothingTransferred, SummaryShowsZeroAndOutputIsEmpty) {
  const RefusedCase& c = GetParam();
  boardsim::Board board;
  board.attach_spi(0, std::make_shared<boardsim::PatternSink>());
  board.spi(0).bits_per_word = c.bits;
  board.write_file("/tmp/in.bin", std::string(c.size, 'z'));
  const std::string summary = "\nWrite/Read 0/" + std::to_string(c.size) + " bytes (" +
                              std::to_string(c.bits) + " bits data)\n";

  auto r = run_tool(board, {"dasmo", "-s", "0", "-i", "/tmp/in.bin"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, summary + "\n");

  r = run_tool(board, {"dasmo", "-s", "0", "-i", "/tmp/in.bin", "-o", "/tmp/raw.bin"});
  EXPECT_EQ(r.out, summary);
  EXPECT_TRUE(board.file_exists("/tmp/raw.bin"));
  EXPECT_EQ(board.read_file("/tmp/raw.bin"), "");

  r = run_tool(board, {"dasmo", "-s", "0", "-i", "/tmp/in.bin", "-a", "-o", "/tmp/text.txt"});
  EXPECT_EQ(r.out, summary);
  EXPECT_EQ(board.read_file("/tmp/text.txt"), "\n");
}

INSTANTIATE_TEST_SUITE_P(Files, DasmoNothingTransferred,
                         ::testing::Values(RefusedCase{"Empty", 0, 8},
                                           RefusedCase{"AboveDriverBuffer", 5000, 8},
                                           RefusedCase{"OddWithWords", 5, 16}),
                         [](const ::testing::TestParamInfo<RefusedCase>& param_info) {
                           return param_info.param.name;
                         });

TEST(Dasmo, InputThatCannotBeOpenedStopsBeforeTheDevice) {
  boardsim::Board board;
  const auto r = run_tool(board, {"dasmo", "-s", "0", "-i", "/tmp/none.bin"});
  EXPECT_EQ(r.out, "\nCould not open /tmp/none.bin\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(board.journal().of(EventKind::SpiOpen).empty());
}

// The output file is opened only after the transfer and the summary.
TEST(Dasmo, OutputThatCannotBeCreatedAfterTheTransfer) {
  boardsim::Board board;
  board.write_file("/tmp/in.bin", "abc");
  const auto r =
      run_tool(board, {"dasmo", "-s", "0", "-i", "/tmp/in.bin", "-o", "/tmp/no/such/dir/out"});
  EXPECT_EQ(r.out, "\nWrite/Read 3/3 bytes (8 bits data)\n\nCould not open /tmp/no/such/dir/out\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(board.journal().of(EventKind::SpiTransfer, 0).size(), 1u);
}

// A capture that did not reach its file (a full disk) is no success: the
// summary, then the message, status 255, raw or as text alike.
class DasmoOutputFull : public ::testing::TestWithParam<bool> {};

TEST_P(DasmoOutputFull, FailsTheRun) {
  boardsim::Board board;
  board.write_file("/tmp/in.bin", "abc");
  std::vector<std::string> argv{"dasmo", "-s", "0", "-i", "/tmp/in.bin", "-o", "/dev/full"};
  if (GetParam()) argv.push_back("-a");
  const auto r = run_tool(board, argv);
  EXPECT_EQ(r.out, "\nWrite/Read 3/3 bytes (8 bits data)\n\nCould not write /dev/full\n");
  EXPECT_EQ(r.status, 255);
}

INSTANTIATE_TEST_SUITE_P(Forms, DasmoOutputFull, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                           return std::string(param_info.param ? "Text" : "Raw");
                         });

// The same for a capture on standard output that the disk behind it refused.
TEST(Dasmo, ConsoleCaptureThatCannotBeWrittenFailsTheRun) {
  boardsim::Board board;
  board.write_file("/tmp/in.bin", "abc");
  boardsim::Command command;
  command.argv = {"dasmo", "-s", "0", "-i", "/tmp/in.bin"};
  command.passthrough_stdio = true;
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  boardsim::RunResult r;
  {
    OutputCapture replaced(STDOUT_FILENO, full);
    ASSERT_TRUE(replaced.ok());
    r = board.run(command);
  }
  close(full);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(board.journal().of(EventKind::SpiTransfer, 0).size(), 1u);
}

// The input's size is found by seeking to its end, which a pipe cannot do:
// a FIFO nobody writes to, or standard input from a pipe, is said to be such
// an input at once, before the device is opened.
TEST(Dasmo, InputThatCannotBeSeekedIsSaidSo) {
  boardsim::Board board;
  ASSERT_EQ(mkfifo(board.host_path("/tmp/in.fifo").c_str(), 0666), 0);
  auto r = run_tool(board, {"dasmo", "-s", "0", "-i", "/tmp/in.fifo"});
  EXPECT_EQ(r.out, "\nCould not seek /tmp/in.fifo\n");
  EXPECT_EQ(r.status, 255);
  boardsim::Command command;
  command.argv = {"dasmo", "-s", "0", "-i", "/dev/stdin"};
  command.stdin_data = "abc";
  r = board.run(command);
  EXPECT_EQ(r.out, "\nCould not seek /dev/stdin\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(board.journal().of(EventKind::SpiOpen).empty());
}

// Names of more than 99 characters are refused, not cut to another name.
TEST(Dasmo, FileNamesAbove99CharactersAreRefused) {
  boardsim::Board board;
  const std::string longest = "/tmp/" + std::string(94, 'n');
  board.write_file(longest, "ok");
  auto r = run_tool(board, {"dasmo", "-s", "0", "-i", longest});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\nWrite/Read 2/2 bytes (8 bits data)\n" + std::string(2, '\0') + "\n");

  for (const char* option : {"-i", "-o"}) {
    SCOPED_TRACE(option);
    board.journal().clear();
    r = run_tool(board, {"dasmo", "-s", "0", "-i", longest, option, longest + "x"});
    EXPECT_EQ(r.out, "\nFile name longer than 99 characters\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(board.journal().of(EventKind::SpiOpen).empty());
  }
}

}  // namespace

namespace {

// What stands at the output's name before dasmo -o or fenwix -o runs (as
// root), in the board's /tmp (sticky, anyone may write) or in /home/organ.
enum class Plant {
  OtherUsersLink,            // a symbolic link of user 1001 to root's 0600 file
  OtherUsersDirectoryLink,   // /tmp/dir, a link of user 1001 to root's directory
  OwnDirectoryLink,          // /tmp/dir, root's own link to its directory: followed
  OwnLink,                   // root's own link to a file of its own: followed
  OtherUsersFile,            // an existing file of user 1001
  HardLinkToRoots,           // a second name of root's 0600 file
  OtherUsersFileOutsideTmp,  // in /home/organ, which is not sticky: written
  FifoWithoutReader,
  FifoWithReader,
};

struct PlantCase {
  const char* name;
  const char* tool;
  Plant plant;
  const char* output;  // the name given to -o
  bool written;        // the tool wrote its output (status 0) or refused (255)
};

constexpr char SECRET[] = "/home/organ/secret";
constexpr char SECRET_TEXT[] = "root only\n";
constexpr uid_t OTHER_USER = 1001;

const PlantCase PLANT_CASES[] = {
    {"dasmo_other_users_link", "dasmo", Plant::OtherUsersLink, "/tmp/cap.bin", false},
    {"dasmo_own_link", "dasmo", Plant::OwnLink, "/tmp/cap.bin", true},
    {"dasmo_other_users_directory_link", "dasmo", Plant::OtherUsersDirectoryLink, "/tmp/dir/secret",
     false},
    {"dasmo_own_directory_link", "dasmo", Plant::OwnDirectoryLink, "/tmp/dir/cap.bin", true},
    {"dasmo_other_users_file", "dasmo", Plant::OtherUsersFile, "/tmp/cap.bin", false},
    {"dasmo_hard_link", "dasmo", Plant::HardLinkToRoots, "/tmp/cap.bin", false},
    {"dasmo_other_users_file_outside_tmp", "dasmo", Plant::OtherUsersFileOutsideTmp,
     "/home/organ/cap.bin", true},
    {"dasmo_fifo_without_reader", "dasmo", Plant::FifoWithoutReader, "/tmp/cap.bin", false},
    {"dasmo_fifo_with_reader", "dasmo", Plant::FifoWithReader, "/tmp/cap.bin", false},
    {"fenwix_other_users_link", "fenwix", Plant::OtherUsersLink, "/tmp/loop.log", false},
    {"fenwix_own_link", "fenwix", Plant::OwnLink, "/tmp/loop.log", true},
    {"fenwix_other_users_directory_link", "fenwix", Plant::OtherUsersDirectoryLink,
     "/tmp/dir/secret", false},
    {"fenwix_other_users_file", "fenwix", Plant::OtherUsersFile, "/tmp/loop.log", false},
    {"fenwix_hard_link", "fenwix", Plant::HardLinkToRoots, "/tmp/loop.log", false},
    {"fenwix_fifo_without_reader", "fenwix", Plant::FifoWithoutReader, "/tmp/loop.log", false},
    {"fenwix_fifo_with_reader", "fenwix", Plant::FifoWithReader, "/tmp/loop.log", false},
};

class BenchOutputPlanted : public ::testing::TestWithParam<PlantCase> {};

// Neither waits on a FIFO, and neither writes through a name another user
// planted in /tmp: the protected_symlinks and protected_regular rules hold
// whatever the kernel's settings.
TEST_P(BenchOutputPlanted, WritesOnlyWhereItsUserMeant) {
  const PlantCase& c = GetParam();
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's files needs root";
  boardsim::Board board;
  board.attach_spi(1, std::make_shared<boardsim::LateLoopback>());
  board.write_file("/tmp/in.bin", INPUT);
  board.write_file(SECRET, SECRET_TEXT);
  const std::string secret = board.host_path(SECRET);
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  const std::string out = board.host_path(c.output);
  const std::string own_target = board.host_path("/home/organ/own.txt");
  int reader = -1;
  switch (c.plant) {
    case Plant::OtherUsersLink:
      ASSERT_EQ(symlink(SECRET, out.c_str()), 0);
      ASSERT_EQ(lchown(out.c_str(), OTHER_USER, OTHER_USER), 0);
      break;
    case Plant::OtherUsersDirectoryLink:
    case Plant::OwnDirectoryLink: {
      const std::string dir = board.host_path("/tmp/dir");
      ASSERT_EQ(symlink("/home/organ", dir.c_str()), 0);
      if (c.plant == Plant::OtherUsersDirectoryLink) {
        ASSERT_EQ(lchown(dir.c_str(), OTHER_USER, OTHER_USER), 0);
      }
      break;
    }
    case Plant::OwnLink:
      board.write_file("/home/organ/own.txt", "old\n");
      ASSERT_EQ(symlink("/home/organ/own.txt", out.c_str()), 0);
      break;
    case Plant::OtherUsersFile:
    case Plant::OtherUsersFileOutsideTmp:
      board.write_file(c.output, "theirs\n");
      ASSERT_EQ(chown(out.c_str(), OTHER_USER, OTHER_USER), 0);
      break;
    case Plant::HardLinkToRoots: ASSERT_EQ(link(secret.c_str(), out.c_str()), 0); break;
    case Plant::FifoWithoutReader: ASSERT_EQ(mkfifo(out.c_str(), 0666), 0); break;
    case Plant::FifoWithReader:
      ASSERT_EQ(mkfifo(out.c_str(), 0666), 0);
      reader = open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(reader, 0);
      break;
  }
  std::vector<std::string> argv =
      std::string(c.tool) == "dasmo"
          ? std::vector<std::string>{"dasmo", "-s", "1", "-i", "/tmp/in.bin", "-o", c.output}
          : std::vector<std::string>{"fenwix", "-s", "1", "-n", "4", "-d", "5A", "-o", c.output};
  boardsim::Command command;
  command.argv = argv;
  command.cwd = "/tmp";
  command.timeout_s = 20;
  const auto r = board.run(command);
  if (reader >= 0) close(reader);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, c.written ? 0 : 255) << r.out;
  EXPECT_EQ(board.read_file(SECRET), SECRET_TEXT) << "root's file is never written";
  if (!c.written) {
    const std::string refused = std::string("\nCould not open ") + c.output + "\n";
    ASSERT_GE(r.out.size(), refused.size());
    EXPECT_EQ(r.out.substr(r.out.size() - refused.size()), refused);
  }
  if (c.plant == Plant::OtherUsersFile) {
    EXPECT_EQ(board.read_file(c.output), "theirs\n");
  }
  if (c.plant == Plant::OwnLink) {
    EXPECT_NE(board.read_file("/home/organ/own.txt"), "old\n");
  }
  if (c.plant == Plant::OtherUsersFileOutsideTmp) {
    EXPECT_NE(board.read_file(c.output), "theirs\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Outputs, BenchOutputPlanted, ::testing::ValuesIn(PLANT_CASES),
                         [](const ::testing::TestParamInfo<PlantCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
