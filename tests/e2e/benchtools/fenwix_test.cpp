// fenwix on the simulated board: verdicts against the two loopbacks, the log
// lines, masking to the word size, the pattern option and the block size.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_e2e.h"
#include "boardsim/models/bench_ends.h"

namespace {

using bench_e2e::hex_0x;
using bench_e2e::lines_of;
using bench_e2e::run_tool;
using boardsim::EventKind;

// The block fenwix sent, as the journal saw it.
std::vector<uint8_t> sent_block(boardsim::Board& board, int device) {
  std::vector<uint8_t> sent;
  for (const auto& t : board.journal().of(EventKind::SpiTransfer, device)) {
    sent.insert(sent.end(), t.data.begin(), t.data.end());
  }
  return sent;
}

unsigned unit_at(const std::vector<uint8_t>& block, size_t index, bool words) {
  return words ? block[2 * index] | block[2 * index + 1] << 8 : block[index];
}

struct LateCase {
  const char* name;
  uint8_t bits;
  int block;
  uint16_t first;  // what the loopback holds before it has received anything
};

class FenwixLateLoopback : public ::testing::TestWithParam<LateCase> {};

// Every unit after the first is the one sent just before it: PASSED, and the
// log lists the received units, the first being the loopback's initial word.
TEST_P(FenwixLateLoopback, Passes) {
  const LateCase& c = GetParam();
  boardsim::Board board;
  board.attach_spi(3, std::make_shared<boardsim::LateLoopback>(c.first));
  board.spi(3).bits_per_word = c.bits;
  const auto r = run_tool(board, {"fenwix", "-s", "3", "-n", std::to_string(c.block)});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\nLoopback test of " + std::to_string(c.block) + "/" + std::to_string(c.block) +
                       " bytes (" + std::to_string(c.bits) + " bits data) --> PASSED\n");
  const bool words = c.bits > 8;
  const unsigned mask = c.bits >= 16 ? 0xFFFF : (1u << c.bits) - 1;
  const int digits = words ? 4 : 2;
  const std::vector<uint8_t> sent = sent_block(board, 3);
  ASSERT_EQ(sent.size(), static_cast<size_t>(c.block));
  const auto log = lines_of(board.read_file("/tmp/fenwix.log"));
  const size_t units = words ? sent.size() / 2 : sent.size();
  ASSERT_EQ(log.size(), units);
  EXPECT_EQ(log[0], hex_0x(c.first & mask, digits));
  for (size_t k = 1; k < units; ++k) {
    EXPECT_EQ(log[k], hex_0x(unit_at(sent, k - 1, words) & mask, digits)) << "unit " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(WordSizes, FenwixLateLoopback,
                         ::testing::Values(LateCase{"Bytes", 8, 64, 0x5A},
                                           LateCase{"Words", 16, 64, 0xBEEF},
                                           // Only the low 12 bits are compared and logged.
                                           LateCase{"TwelveBits", 12, 32, 0xF123}),
                         [](const ::testing::TestParamInfo<LateCase>& param_info) {
                           return param_info.param.name;
                         });

// Returned in the same word time, a unit differs from the one sent before it
// wherever two neighbours differ: a mismatch line each time, and FAILED.
TEST(Fenwix, SameWordLoopbackFailsWithMismatchLines) {
  boardsim::Board board;
  board.attach_spi(0, std::make_shared<boardsim::SameLoopback>());
  const auto r = run_tool(board, {"fenwix", "-s", "0", "-n", "200", "-o", "/tmp/same.log"});
  EXPECT_EQ(r.status, 0);  // FAILED is still a completed run
  EXPECT_EQ(r.out, "\nLoopback test of 200/200 bytes (8 bits data) --> FAILED\n");
  const std::vector<uint8_t> sent = sent_block(board, 0);
  ASSERT_EQ(sent.size(), 200u);
  const auto log = lines_of(board.read_file("/tmp/same.log"));
  ASSERT_EQ(log.size(), 200u);
  EXPECT_EQ(log[0], hex_0x(sent[0], 2));
  for (size_t k = 1; k < sent.size(); ++k) {
    const std::string received = hex_0x(sent[k], 2);
    EXPECT_EQ(log[k], sent[k] == sent[k - 1]
                          ? received
                          : received + " - ERROR(" + hex_0x(sent[k - 1], 2) + ")")
        << "unit " << k;
  }
  EXPECT_FALSE(board.file_exists("/tmp/fenwix.log"));
}

struct PatternCase {
  const char* value;
  uint8_t bits;
};

class FenwixPattern : public ::testing::TestWithParam<PatternCase> {};

// The pattern is hexadecimal and only its low 8 bits are sent, in both
// halves of every word.
TEST_P(FenwixPattern, SendsTheLowByteThroughout) {
  boardsim::Board board;
  board.attach_spi(1, std::make_shared<boardsim::LateLoopback>(0x5555));
  board.spi(1).bits_per_word = GetParam().bits;
  const auto r = run_tool(board, {"fenwix", "-s", "1", "-n", "16", "-d", GetParam().value});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(sent_block(board, 1), std::vector<uint8_t>(16, 0x55));
  EXPECT_NE(r.out.find("--> PASSED\n"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Values, FenwixPattern,
                         ::testing::Values(PatternCase{"55", 8}, PatternCase{"0x55", 8},
                                           PatternCase{"155", 8}, PatternCase{"55", 16},
                                           PatternCase{"0x155", 16}));

// Without -o the log is ./fenwix.log, and an earlier one is replaced.
TEST(Fenwix, DefaultLogReplacesAnEarlierOne) {
  boardsim::Board board;
  board.attach_spi(2, std::make_shared<boardsim::LateLoopback>(0x42));
  board.write_file("/tmp/fenwix.log", "0x99\n0x99 - ERROR(0x11)\n0x99\n0x99\n0x99\n");
  const auto r = run_tool(board, {"fenwix", "-s", "2", "-n", "2", "-d", "7"});
  EXPECT_EQ(r.out, "\nLoopback test of 2/2 bytes (8 bits data) --> PASSED\n");
  EXPECT_EQ(board.read_file("/tmp/fenwix.log"), "0x42\n0x07\n");
}

TEST(Fenwix, NegativeBlockCannotBeAllocated) {
  boardsim::Board board;
  const auto r = run_tool(board, {"fenwix", "-s", "0", "-n", "-16"});
  EXPECT_EQ(r.out, "\nCannot allocate memory for write buffer\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(board.journal().of(EventKind::SpiOpen).empty());
}

// Bytes that did not move were never compared: a block the driver refuses
// (nothing transferred, an empty log) or one that stops part way is FAILED,
// however well the part that moved compared.
struct IncompleteCase {
  const char* name;
  int block;
  std::vector<boardsim::SpiFault> faults;
  const char* out;
  size_t log_lines;
};

class FenwixIncomplete : public ::testing::TestWithParam<IncompleteCase> {};

TEST_P(FenwixIncomplete, Fails) {
  const IncompleteCase& c = GetParam();
  boardsim::Board board;
  board.attach_spi(0, std::make_shared<boardsim::LateLoopback>(0x42));
  for (const auto& fault : c.faults) board.add_fault(fault);
  const auto r = run_tool(board, {"fenwix", "-s", "0", "-n", std::to_string(c.block), "-d", "7"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, c.out);
  EXPECT_TRUE(board.file_exists("/tmp/fenwix.log"));
  const auto log = lines_of(board.read_file("/tmp/fenwix.log"));
  EXPECT_EQ(log.size(), c.log_lines);
  for (const auto& line : log) EXPECT_EQ(line.find("ERROR"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, FenwixIncomplete,
    ::testing::Values(IncompleteCase{"RefusedBlock",
                                     5000,
                                     {},
                                     "\nLoopback test of 0/5000 bytes (8 bits data) --> FAILED\n",
                                     0},
                      IncompleteCase{
                          "StoppedHalfWay",
                          16,
                          {{0, boardsim::SpiOp::Transfer, 1, boardsim::FaultKind::Short, 1, 8},
                           {0, boardsim::SpiOp::Transfer, 2, boardsim::FaultKind::Eio, 1, 0}},
                          "\nLoopback test of 8/16 bytes (8 bits data) --> FAILED\n",
                          8}),
    [](const ::testing::TestParamInfo<IncompleteCase>& param_info) {
      return std::string(param_info.param.name);
    });

// A log that did not get every line (a full disk) fails the run after the
// line head, without a verdict.
TEST(Fenwix, LogThatCannotBeWrittenFailsTheRun) {
  boardsim::Board board;
  board.attach_spi(0, std::make_shared<boardsim::LateLoopback>(0x42));
  const auto r = run_tool(board, {"fenwix", "-s", "0", "-n", "4", "-o", "/dev/full"});
  EXPECT_EQ(r.out, "\nLoopback test of 4/4 bytes (8 bits data) --> \nCould not write /dev/full\n");
  EXPECT_EQ(r.status, 255);
}

// A log name of more than 99 characters is refused, not cut to another name.
TEST(Fenwix, LogNameAbove99CharactersIsRefused) {
  boardsim::Board board;
  const auto r =
      run_tool(board, {"fenwix", "-s", "0", "-n", "4", "-o", "/tmp/" + std::string(95, 'l')});
  EXPECT_EQ(r.out, "\nFile name longer than 99 characters\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(board.journal().of(EventKind::SpiOpen).empty());
}

TEST(Fenwix, LogThatCannotBeCreated) {
  boardsim::Board board;
  const auto r = run_tool(board, {"fenwix", "-s", "0", "-n", "4", "-o", "/tmp/no/dir/x.log"});
  EXPECT_EQ(r.out,
            "\nLoopback test of 4/4 bytes (8 bits data) --> \nCould not open /tmp/no/dir/x.log\n");
  EXPECT_EQ(r.status, 255);
}

}  // namespace
