// Packet and reply of quorla (see quorla_packet.h).
#include "quorla_packet.h"

#include <cstdlib>

#include "bench_common.h"

namespace {

// 65535 words of at most 65535 each sum to less than 2^32.
static_assert(static_cast<uint64_t>(QUORLA_WORDS_MAX) * 0xFFFFu <= UINT32_MAX,
              "the checksum never wraps");

void word_store(uint8_t* packet, size_t index, uint16_t value) {
  packet[index * BENCH_WORD_BYTES] = static_cast<uint8_t>(value & 0xFFu);
  packet[index * BENCH_WORD_BYTES + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

size_t quorla_packet_bytes(int words) {
  return (static_cast<size_t>(words) + 1) * BENCH_WORD_BYTES;
}

uint32_t quorla_packet_fill(uint8_t* packet, int words) {
  word_store(packet, 0, static_cast<uint16_t>(words));
  uint32_t sum = 0;
  for (size_t k = 1; k <= static_cast<size_t>(words); ++k) {
    const uint16_t value = static_cast<uint16_t>(rand() & 0xFFFF);
    word_store(packet, k, value);
    sum += value;
  }
  return sum;
}

uint32_t quorla_reply_value(const uint8_t (&reply)[QUORLA_REPLY_BYTES]) {
  return static_cast<uint32_t>(reply[0]) | static_cast<uint32_t>(reply[1]) << 8 |
         static_cast<uint32_t>(reply[2]) << 16 | static_cast<uint32_t>(reply[3]) << 24;
}
