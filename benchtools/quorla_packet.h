// The packet exchange of quorla: a size word, N random data words, and the
// 32-bit sum of the data words that the counter-party answers.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int QUORLA_WORDS_MIN = 1;
constexpr int QUORLA_WORDS_MAX = 65535;  // the size word is 16 bits
constexpr int QUORLA_WORDS_DEFAULT = 256;
constexpr size_t QUORLA_REPLY_BYTES = 4;  // the sum as two 16-bit words, low half first

// Bytes of a packet with `words` data words: the size word and the data.
size_t quorla_packet_bytes(int words);

// Fills the packet (words 16 bits, low byte first, as the board stores them)
// with the size word and the low 16 bits of successive rand() results, and
// returns the sum of the data words. packet holds quorla_packet_bytes(words).
uint32_t quorla_packet_fill(uint8_t* packet, int words);

// The checksum in a reply: first word the low half, each word low byte first.
uint32_t quorla_reply_value(const uint8_t (&reply)[QUORLA_REPLY_BYTES]);
