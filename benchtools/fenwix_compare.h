// The loopback comparison of fenwix: every received unit against the unit
// sent one position earlier, under the word-size mask, one log line a unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// 2^bits - 1 kept to 16 bits: 0xFF for 8 bits, 0x0FFF for 12, 0xFFFF from 16.
uint16_t fenwix_mask(uint8_t bits_per_word);

// Logs the units in the first n bytes of rx (bytes, or 16-bit words above 8
// bits per word) and returns true when any differed from the unit sent one
// position earlier. Nothing beyond n is read from either buffer: a word cut
// off at n takes the receive fill as its missing high byte.
bool fenwix_log_write(FILE* log, const uint8_t* tx, const uint8_t* rx, size_t n,
                      uint8_t bits_per_word);
