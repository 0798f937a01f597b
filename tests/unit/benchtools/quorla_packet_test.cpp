// The packet of the checksum test and the decoding of the reply.
#include "quorla_packet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

class Packet : public ::testing::TestWithParam<int> {};

// The size word leads, the data words follow low byte first, and the sum
// covers the data words only.
TEST_P(Packet, SizeWordThenDataAndTheirSum) {
  const int words = GetParam();
  std::vector<uint8_t> packet(quorla_packet_bytes(words));
  ASSERT_EQ(packet.size(), 2u * (static_cast<size_t>(words) + 1));
  srand(7);
  const uint32_t sum = quorla_packet_fill(packet.data(), words);
  EXPECT_EQ(packet[0] | packet[1] << 8, words);
  srand(7);
  uint64_t expected = 0;
  for (int k = 1; k <= words; ++k) {
    const unsigned value = static_cast<unsigned>(rand()) & 0xFFFFu;
    EXPECT_EQ(packet[2 * k] | packet[2 * k + 1] << 8, static_cast<int>(value)) << "word " << k;
    expected += value;
  }
  EXPECT_EQ(sum, expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Packet, ::testing::Values(1, 2, 256, 65535));

struct ReplyCase {
  uint8_t bytes[QUORLA_REPLY_BYTES];
  uint32_t value;
};

class Reply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Reply, LowHalfFirstLowByteFirst) {
  EXPECT_EQ(quorla_reply_value(GetParam().bytes), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Values, Reply,
                         ::testing::Values(ReplyCase{{0x01, 0x00, 0x02, 0x00}, 0x00020001u},
                                           ReplyCase{{0x78, 0x56, 0x34, 0x12}, 0x12345678u},
                                           ReplyCase{{0x01, 0x00, 0xFE, 0xFF}, 0xFFFE0001u},
                                           ReplyCase{{0x3F, 0x3F, 0x3F, 0x3F}, 0x3F3F3F3Fu}));

}  // namespace
