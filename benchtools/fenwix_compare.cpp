// Loopback comparison of fenwix (see fenwix_compare.h).
#include "fenwix_compare.h"

#include "bench_common.h"

namespace {
constexpr uint8_t MASK_BITS_MAX = 16;
}  // namespace

uint16_t fenwix_mask(uint8_t bits_per_word) {
  if (bits_per_word >= MASK_BITS_MAX) return 0xFFFF;
  return static_cast<uint16_t>((1u << bits_per_word) - 1u);
}

bool fenwix_log_write(FILE* log, const uint8_t* tx, const uint8_t* rx, size_t n,
                      uint8_t bits_per_word) {
  const bool words = bench_uses_words(bits_per_word);
  const uint16_t mask = fenwix_mask(bits_per_word);
  const size_t step = words ? BENCH_WORD_BYTES : 1;
  const char* match_line = words ? "0x%04X\n" : "0x%02X\n";
  const char* mismatch_line = words ? "0x%04X - ERROR(0x%04X)\n" : "0x%02X - ERROR(0x%02X)\n";
  bool error = false;
  unsigned expected = 0;
  for (size_t offset = 0; offset < n; offset += step) {
    // The first unit comes back before the far end has received anything.
    const unsigned received = bench_unit(rx, n, offset, words) & mask;
    if (received == expected || offset == 0) {
      fprintf(log, match_line, received);
    } else {
      fprintf(log, mismatch_line, received, expected);
      error = true;
    }
    expected = bench_unit(tx, n, offset, words) & mask;
  }
  return error;
}
