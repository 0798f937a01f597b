// brevik on the simulated board: the counting pattern, the loop lines, whole
// words above 8 bits, errors of a write or read, and the endless loop.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_e2e.h"
#include "boardsim/models/bench_ends.h"

namespace {

using bench_e2e::run_tool;
using boardsim::EventKind;

std::vector<uint8_t> counting(size_t size) {
  std::vector<uint8_t> pattern(size);
  for (size_t i = 0; i < size; ++i) pattern[i] = static_cast<uint8_t>(i % 256);
  return pattern;
}

TEST(Brevik, WritesTheCountingPatternEveryLoop) {
  boardsim::Board board;
  auto sink = std::make_shared<boardsim::PatternSink>();
  board.attach_spi(0, sink);
  const auto r = run_tool(board, {"brevik", "-s", "0", "-w", "4", "-r", "0", "-l", "3"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "loop 1 - wr 4 bytes\nloop 2 - wr 4 bytes\nloop 3 - wr 4 bytes\n");
  const auto writes = board.journal().of(EventKind::SpiWrite, 0);
  ASSERT_EQ(writes.size(), 3u);
  for (const auto& w : writes) EXPECT_EQ(w.data, (std::vector<uint8_t>{0, 1, 2, 3}));
  EXPECT_TRUE(board.journal().of(EventKind::SpiRead, 0).empty());
}

TEST(Brevik, PatternWrapsAfter255) {
  boardsim::Board board;
  auto sink = std::make_shared<boardsim::PatternSink>();
  board.attach_spi(4, sink);
  const auto r = run_tool(board, {"brevik", "-s", "4", "-w", "300", "-r", "0", "-l", "1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(sink->received, counting(300));
  EXPECT_EQ(sink->received[299], 43);
}

struct SizeCase {
  const char* name;
  uint8_t bits;
  const char* write;
  const char* read;
  std::string out;
  size_t written;
  size_t read_bytes;
};

class BrevikSizes : public ::testing::TestWithParam<SizeCase> {};

// Above 8 bits per word both sizes are rounded down to whole 16-bit words.
TEST_P(BrevikSizes, MovesWholeWords) {
  const SizeCase& c = GetParam();
  boardsim::Board board;
  board.attach_spi(1, std::make_shared<boardsim::PatternSink>(0xC3));
  board.spi(1).bits_per_word = c.bits;
  const auto r = run_tool(board, {"brevik", "-s", "1", "-w", c.write, "-r", c.read, "-l", "2"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, c.out);
  const auto writes = board.journal().of(EventKind::SpiWrite, 1);
  const auto reads = board.journal().of(EventKind::SpiRead, 1);
  ASSERT_EQ(writes.size(), c.written > 0 ? 2u : 0u);
  ASSERT_EQ(reads.size(), c.read_bytes > 0 ? 2u : 0u);
  for (const auto& w : writes) EXPECT_EQ(w.data, counting(c.written));
  for (const auto& rd : reads) EXPECT_EQ(rd.data, std::vector<uint8_t>(c.read_bytes, 0xC3));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BrevikSizes,
    ::testing::Values(
        SizeCase{
            "Bytes", 8, "5", "3",
            "loop 1 - wr 5 bytes\nloop 1 - rd 3 bytes\nloop 2 - wr 5 bytes\nloop 2 - rd 3 bytes\n",
            5, 3},
        SizeCase{
            "Words", 16, "5", "3",
            "loop 1 - wr 4 bytes\nloop 1 - rd 2 bytes\nloop 2 - wr 4 bytes\nloop 2 - rd 2 bytes\n",
            4, 2},
        SizeCase{"OneByteReadIsNoWord", 16, "2", "1", "loop 1 - wr 2 bytes\nloop 2 - wr 2 bytes\n",
                 2, 0},
        SizeCase{"ReadOnly", 8, "0", "4", "loop 1 - rd 4 bytes\nloop 2 - rd 4 bytes\n", 0, 4}),
    [](const ::testing::TestParamInfo<SizeCase>& param_info) { return param_info.param.name; });

struct ErrorCase {
  const char* name;
  boardsim::SpiOp op;
  std::string out;
};

class BrevikErrors : public ::testing::TestWithParam<ErrorCase> {};

// The first failed write or read ends the run at once.
TEST_P(BrevikErrors, FirstFailureEndsTheRun) {
  const ErrorCase& c = GetParam();
  boardsim::Board board;
  board.add_fault({0, c.op, 2, boardsim::FaultKind::Eio, 1, 0});
  const auto r = run_tool(board, {"brevik", "-s", "0", "-w", "4", "-r", "4", "-l", "5"});
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(board.journal().of(EventKind::SpiClose, 0).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, BrevikErrors,
    ::testing::Values(ErrorCase{"Write", boardsim::SpiOp::Write,
                                "loop 1 - wr 4 bytes\nloop 1 - rd 4 bytes\nloop 2 - wr 4 bytes\n"
                                "wr error -1\n"},
                      ErrorCase{"Read", boardsim::SpiOp::Read,
                                "loop 1 - wr 4 bytes\nloop 1 - rd 4 bytes\nloop 2 - wr 4 bytes\n"
                                "loop 2 - rd 4 bytes\nrd error -1\n"}),
    [](const ::testing::TestParamInfo<ErrorCase>& param_info) { return param_info.param.name; });

// A short write or read is repeated for the part not yet done.
TEST(Brevik, ShortCallsAreRepeated) {
  boardsim::Board board;
  auto sink = std::make_shared<boardsim::PatternSink>(0x7E);
  board.attach_spi(2, sink);
  board.add_fault({2, boardsim::SpiOp::Write, 1, boardsim::FaultKind::Short, 1, 3});
  board.add_fault({2, boardsim::SpiOp::Read, 1, boardsim::FaultKind::Short, 1, 1});
  const auto r = run_tool(board, {"brevik", "-s", "2", "-w", "10", "-r", "6", "-l", "1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(sink->received, counting(10));
  EXPECT_EQ(board.journal().of(EventKind::SpiWrite, 2).size(), 2u);
  EXPECT_EQ(board.journal().bytes(EventKind::SpiRead, 2), std::vector<uint8_t>(6, 0x7E));
}

// A write that moves nothing would hold the loop forever; it ends the run
// as a failed call with its result 0.
TEST(Brevik, CallThatMovesNothingEndsTheRun) {
  boardsim::Board board;
  board.add_fault({0, boardsim::SpiOp::Write, 1, boardsim::FaultKind::Short, 1, 0});
  const auto r = run_tool(board, {"brevik", "-s", "0", "-w", "1", "-r", "0", "-l", "2"});
  EXPECT_EQ(r.out, "loop 1 - wr 1 bytes\nwr error 0\n");
  EXPECT_EQ(r.status, 255);
}

class BrevikEndless : public ::testing::TestWithParam<std::vector<std::string>> {};

// Without a positive loop count the loop goes on until the tool is stopped.
// Stopped from outside, with its output on a pipe, it has sent out the line of
// every write and read the device saw (and at most the next line, printed
// before its call reached the device).
TEST_P(BrevikEndless, LoopsUntilStoppedWithEveryLineOut) {
  boardsim::Board board;
  board.attach_spi(0, std::make_shared<boardsim::PatternSink>());
  std::vector<std::string> argv{"brevik", "-s", "0", "-w", "2", "-r", "2"};
  argv.insert(argv.end(), GetParam().begin(), GetParam().end());
  boardsim::Command command;
  command.argv = argv;
  command.cwd = "/tmp";
  auto process = board.start(command);
  const size_t target = 50;
  EXPECT_TRUE(process->wait_until(
      [&] { return board.journal().of(EventKind::SpiRead, 0).size() >= target; }, 60));
  EXPECT_TRUE(process->running());
  const auto r = process->kill(15);
  EXPECT_EQ(r.signal, 15);
  // Calls alternate, a write then a read, two in each loop.
  const auto line_of = [](size_t call) {
    return "loop " + std::to_string(call / 2 + 1) + (call % 2 == 0 ? " - wr" : " - rd") +
           " 2 bytes\n";
  };
  const size_t calls = board.journal().of(EventKind::SpiWrite, 0).size() +
                       board.journal().of(EventKind::SpiRead, 0).size();
  std::string seen;
  for (size_t call = 0; call < calls; ++call) seen += line_of(call);
  const size_t tail = r.out.size() > 80 ? r.out.size() - 80 : 0;
  EXPECT_TRUE(r.out == seen || r.out == seen + line_of(calls))
      << calls << " calls; the output ends: " << r.out.substr(tail);
}

// With nothing to write or read the loop still goes on, silently, until the
// tool is stopped; it moves no data at all.
TEST(Brevik, NothingToMoveLoopsSilentlyUntilStopped) {
  boardsim::Board board;
  boardsim::Command command;
  command.argv = {"brevik", "-s", "0", "-w", "0", "-r", "0"};
  command.cwd = "/tmp";
  auto process = board.start(command);
  const auto word_size_read = [&] {
    for (const auto& e : board.journal().of(EventKind::SpiIoctl, 0)) {
      if (e.request == SPI_IOC_RD_BITS_PER_WORD) return true;
    }
    return false;
  };
  ASSERT_TRUE(process->wait_until(word_size_read, 60));
  EXPECT_TRUE(process->running());
  const auto r = process->kill(15);
  EXPECT_EQ(r.signal, 15);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(board.journal().of(EventKind::SpiWrite, 0).empty());
  EXPECT_TRUE(board.journal().of(EventKind::SpiRead, 0).empty());
}

INSTANTIATE_TEST_SUITE_P(Counts, BrevikEndless,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"-l", "0"},
                                           std::vector<std::string>{"-l", "-5"}));

}  // namespace
