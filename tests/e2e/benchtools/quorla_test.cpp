// quorla against the counter-party model: packets, checksums, iteration
// lines, the range of -n and -l, and the stop at the first mismatch.
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

// The packets quorla wrote, split at their size words.
std::vector<std::vector<uint16_t>> packets_written(boardsim::Board& board, int device) {
  const std::vector<uint8_t> bytes = board.journal().bytes(EventKind::SpiWrite, device);
  std::vector<std::vector<uint16_t>> packets;
  size_t i = 0;
  while (i + 1 < bytes.size()) {
    const size_t words = bytes[i] | bytes[i + 1] << 8;
    std::vector<uint16_t> packet;
    for (size_t k = 0; k <= words && i + 1 < bytes.size(); ++k, i += 2) {
      packet.push_back(static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8));
    }
    packets.push_back(packet);
  }
  return packets;
}

uint32_t data_sum(const std::vector<uint16_t>& packet) {
  uint32_t sum = 0;
  for (size_t k = 1; k < packet.size(); ++k) sum += packet[k];
  return sum;
}

std::string crc(uint32_t value) { return hex_0x(value, 8); }

struct PassCase {
  int words;
  int loops;
};

class QuorlaPasses : public ::testing::TestWithParam<PassCase> {};

TEST_P(QuorlaPasses, EveryIterationPassesWithTheSum) {
  const PassCase& c = GetParam();
  boardsim::BoardConfig config;
  config.spi_buffer_size = 1 << 18;  // room for the largest packet in one write
  boardsim::Board board(config);
  auto peer = std::make_shared<boardsim::ChecksumPeer>();
  board.attach_spi(2, peer);
  const auto r = run_tool(
      board, {"quorla", "-s", "2", "-n", std::to_string(c.words), "-l", std::to_string(c.loops)});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(board.spi(2).bits_per_word, 16);  // written first, left in force
  const auto packets = packets_written(board, 2);
  ASSERT_EQ(packets.size(), static_cast<size_t>(c.loops));
  std::string expected;
  for (int i = 0; i < c.loops; ++i) {
    ASSERT_EQ(packets[i].size(), static_cast<size_t>(c.words) + 1);
    EXPECT_EQ(packets[i][0], c.words);
    expected += "Iteration " + std::to_string(i + 1) + ": sent (1 + " + std::to_string(c.words) +
                ") words... PASSED (CRC " + crc(data_sum(packets[i])) + ")\n";
  }
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(board.journal().of(EventKind::SpiRead, 2).size(), static_cast<size_t>(c.loops));
}

INSTANTIATE_TEST_SUITE_P(Sizes, QuorlaPasses,
                         ::testing::Values(PassCase{1, 1}, PassCase{256, 1}, PassCase{65535, 1},
                                           PassCase{3, 5}));

TEST(Quorla, DefaultsSendOnePacketOf257Words) {
  boardsim::Board board;
  board.attach_spi(0, std::make_shared<boardsim::ChecksumPeer>());
  const auto r = run_tool(board, {"quorla", "-s", "0"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(board.journal().bytes(EventKind::SpiWrite, 0).size(), 514u);
  ASSERT_EQ(lines_of(r.out).size(), 1u);
  EXPECT_EQ(r.out.rfind("Iteration 1: sent (1 + 256) words... PASSED (CRC 0x", 0), 0u) << r.out;
}

// The counter-party answers a wrong sum for packet 2 of 5: the run stops
// after that FAILED line, with status 0.
TEST(Quorla, MismatchStopsAfterItsLine) {
  boardsim::Board board;
  auto peer = std::make_shared<boardsim::ChecksumPeer>(2);
  board.attach_spi(1, peer);
  const auto r = run_tool(board, {"quorla", "-s", "1", "-n", "10", "-l", "5"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(peer->packets(), 2);
  const auto packets = packets_written(board, 1);
  ASSERT_EQ(packets.size(), 2u);
  const uint32_t second = data_sum(packets[1]);
  EXPECT_EQ(r.out, "Iteration 1: sent (1 + 10) words... PASSED (CRC " + crc(data_sum(packets[0])) +
                       ")\nIteration 2: sent (1 + 10) words... FAILED (Expected CRC " +
                       crc(second) + " - Received CRC " + crc(second + 1) + ")\n");
}

// A write the driver accepts only in part is repeated for the rest, and the
// counter-party gathers the packet across both.
TEST(Quorla, PartlyAcceptedWriteIsCompleted) {
  boardsim::Board board;
  board.attach_spi(3, std::make_shared<boardsim::ChecksumPeer>());
  board.add_fault({3, boardsim::SpiOp::Write, 1, boardsim::FaultKind::Short, 1, 6});
  const auto r = run_tool(board, {"quorla", "-s", "3", "-n", "20"});
  const auto writes = board.journal().of(EventKind::SpiWrite, 3);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].data.size(), 6u);
  EXPECT_EQ(writes[1].data.size(), 36u);
  const auto packets = packets_written(board, 3);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(r.out,
            "Iteration 1: sent (1 + 20) words... PASSED (CRC " + crc(data_sum(packets[0])) + ")\n");
}

// A failed read leaves the refilled reply area, which never passes.
TEST(Quorla, FailedReadNeverPassesOnOldData) {
  boardsim::Board board;
  board.attach_spi(0, std::make_shared<boardsim::ChecksumPeer>());
  board.add_fault({0, boardsim::SpiOp::Read, 2, boardsim::FaultKind::Eio, 1, 0});
  const auto r = run_tool(board, {"quorla", "-s", "0", "-n", "4", "-l", "3"});
  EXPECT_EQ(r.status, 0);
  const auto packets = packets_written(board, 0);
  ASSERT_EQ(packets.size(), 2u);
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[1], "Iteration 2: sent (1 + 4) words... FAILED (Expected CRC " +
                          crc(data_sum(packets[1])) + " - Received CRC 0x3F3F3F3F)");
}

struct RangeCase {
  const char* option;
  const char* value;
};

class QuorlaRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(QuorlaRange, OutOfRangeWithoutUsage) {
  boardsim::Board board;
  const auto r = run_tool(board, {"quorla", "-s", "0", GetParam().option, GetParam().value});
  EXPECT_EQ(r.out, "\nParameter out of range\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(board.journal().of(EventKind::SpiOpen).empty());
}

INSTANTIATE_TEST_SUITE_P(Values, QuorlaRange,
                         ::testing::Values(RangeCase{"-n", "65536"}, RangeCase{"-n", "0"},
                                           RangeCase{"-n", "-1"}, RangeCase{"-l", "0"},
                                           RangeCase{"-l", "-3"}));

TEST(Quorla, RefusedWordSizeStops) {
  boardsim::BoardConfig config;
  config.spi_supported_bits = 0x00FF;  // 1 to 8 bits only
  boardsim::Board board(config);
  const auto r = run_tool(board, {"quorla", "-s", "0"});
  EXPECT_EQ(r.out, "\nSPI_IOC_WR_BITS_PER_WORD error = -1\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(board.journal().of(EventKind::SpiWrite, 0).empty());
}

}  // namespace
