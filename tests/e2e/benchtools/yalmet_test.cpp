// yalmet on the simulated driver: which settings are written, in which order
// and with which values, the report of what is in force, refusals, and the
// driver state that later tools inherit.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_e2e.h"
#include "boardsim/models/bench_ends.h"

namespace {

using bench_e2e::ioctl_calls;
using bench_e2e::IoctlCall;
using bench_e2e::run_tool;
using boardsim::EventKind;

std::string report(int device, int mode, int bits, long speed) {
  return "\nActual /dev/spidev2." + std::to_string(device) +
         " setup is:\n  mode          = " + std::to_string(mode) +
         "\n  bits_per_word = " + std::to_string(bits) +
         "\n  max_speed     = " + std::to_string(speed) + " Hz\n";
}

std::vector<IoctlCall> read_back(int mode, int bits, int speed) {
  return {
      {SPI_IOC_RD_MODE, mode}, {SPI_IOC_RD_BITS_PER_WORD, bits}, {SPI_IOC_RD_MAX_SPEED_HZ, speed}};
}

TEST(Yalmet, OnlyDeviceReportsTheDriversValues) {
  boardsim::Board board;
  board.spi(2).mode = 3;
  board.spi(2).bits_per_word = 12;
  board.spi(2).max_speed_hz = 500000;
  const auto r = run_tool(board, {"yalmet", "-s", "2"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, report(2, 3, 12, 500000));
  EXPECT_EQ(ioctl_calls(board.journal(), 2), read_back(3, 12, 500000));
}

struct WriteCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<IoctlCall> writes;  // in the order they reach the driver
  int mode;
  int bits;
  int speed;
};

class YalmetWrites : public ::testing::TestWithParam<WriteCase> {};

TEST_P(YalmetWrites, WritesInFixedOrderThenReportsTheReadBack) {
  const WriteCase& c = GetParam();
  boardsim::Board board;
  std::vector<std::string> argv{"yalmet", "-s", "0"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const auto r = run_tool(board, argv);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, report(0, c.mode, c.bits, c.speed));
  std::vector<IoctlCall> expected = c.writes;
  const auto back = read_back(c.mode, c.bits, c.speed);
  expected.insert(expected.end(), back.begin(), back.end());
  EXPECT_EQ(ioctl_calls(board.journal(), 0), expected) << board.journal().to_text();
}

INSTANTIATE_TEST_SUITE_P(
    Options, YalmetWrites,
    ::testing::Values(
        // The command line order does not matter: mode first, then speed.
        WriteCase{"SpeedBeforeMode",
                  {"-f", "400", "-m", "3"},
                  {{SPI_IOC_WR_MODE, 3}, {SPI_IOC_WR_MAX_SPEED_HZ, 400}},
                  3,
                  8,
                  400},
        WriteCase{"AllThree",
                  {"-f", "2000000", "-w", "16", "-m", "1"},
                  {{SPI_IOC_WR_MODE, 1},
                   {SPI_IOC_WR_BITS_PER_WORD, 16},
                   {SPI_IOC_WR_MAX_SPEED_HZ, 2000000}},
                  1,
                  16,
                  2000000},
        // Only the low 8 bits of mode and word size reach the driver.
        WriteCase{"LowEightBits",
                  {"-m", "256", "-w", "264"},
                  {{SPI_IOC_WR_MODE, 0}, {SPI_IOC_WR_BITS_PER_WORD, 8}},
                  0,
                  8,
                  1000000},
        WriteCase{"NonNumericIsZero", {"-m", "x"}, {{SPI_IOC_WR_MODE, 0}}, 0, 8, 1000000},
        WriteCase{"LastRepeatWins", {"-m", "1", "-m", "2"}, {{SPI_IOC_WR_MODE, 2}}, 2, 8, 1000000},
        // Above the controller's maximum the driver reads back its maximum.
        WriteCase{"SpeedClampedOnReadBack",
                  {"-f", "50000000"},
                  {{SPI_IOC_WR_MAX_SPEED_HZ, 50000000}},
                  0,
                  8,
                  24000000}),
    [](const ::testing::TestParamInfo<WriteCase>& param_info) { return param_info.param.name; });

struct RefusalCase {
  const char* name;
  std::vector<std::string> args;
  std::string out;
  std::vector<IoctlCall> calls;  // nothing after the refused request
};

class YalmetRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(YalmetRefusals, RefusedSettingStopsWithoutReport) {
  const RefusalCase& c = GetParam();
  boardsim::Board board;
  std::vector<std::string> argv{"yalmet", "-s", "1"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const auto r = run_tool(board, argv);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(ioctl_calls(board.journal(), 1), c.calls);
  EXPECT_EQ(board.spi(1).bits_per_word, 8);  // the refused word size is not in force
  EXPECT_EQ(board.journal().of(EventKind::SpiClose, 1).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, YalmetRefusals,
    ::testing::Values(RefusalCase{"WordSize",
                                  {"-m", "1", "-w", "17", "-f", "400"},
                                  "\nSPI_IOC_WR_BITS_PER_WORD error = -1\n",
                                  {{SPI_IOC_WR_MODE, 1}, {SPI_IOC_WR_BITS_PER_WORD, 17}}},
                      RefusalCase{"Mode",
                                  {"-m", "64", "-w", "16"},
                                  "\nSPI_IOC_WR_MODE error = -1\n",
                                  {{SPI_IOC_WR_MODE, 64}}}),
    [](const ::testing::TestParamInfo<RefusalCase>& param_info) { return param_info.param.name; });

// A setting yalmet writes stays in the driver for the tools that follow.
TEST(Yalmet, WordSizeWrittenIsWhatLaterToolsUse) {
  boardsim::Board board;
  board.attach_spi(4, std::make_shared<boardsim::SameLoopback>());
  board.write_file("/tmp/in.bin", "ABCD");
  ASSERT_EQ(run_tool(board, {"yalmet", "-s", "4", "-w", "16"}).status, 0);
  EXPECT_EQ(board.spi(4).bits_per_word, 16);

  const auto fenwix = run_tool(board, {"fenwix", "-s", "4", "-n", "8", "-d", "55"});
  EXPECT_EQ(fenwix.out, "\nLoopback test of 8/8 bytes (16 bits data) --> PASSED\n");
  EXPECT_EQ(board.read_file("/tmp/fenwix.log"), "0x5555\n0x5555\n0x5555\n0x5555\n");

  const auto dasmo = run_tool(board, {"dasmo", "-s", "4", "-i", "/tmp/in.bin", "-a"});
  EXPECT_EQ(dasmo.out, "\nWrite/Read 4/4 bytes (16 bits data)\n0x4241\n0x4443\n");
  // The tools leave the word size to the device: 0 in every transfer.
  const auto transfers = board.journal().of(EventKind::SpiTransfer, 4);
  ASSERT_EQ(transfers.size(), 2u);
  for (const auto& t : transfers) EXPECT_EQ(t.bits_per_word, 0);
}

}  // namespace
