// The Panel marker names the process that coeffnotify signals. The number is
// read as %d reads it (optional sign, then digits, as far as they go), but
// its value is held rather than stored into an int: an out-of-range value is
// refused instead of wrapping onto some other process (scanf's overflow is
// undefined, and wraps to a small ID on a 64-bit host). Nothing caps the
// digits, so leading zeros or anything after the number never refuse a
// marker that %d would read.
#include "housekeeping.h"

namespace {

constexpr int DECIMAL_BASE = 10;

bool is_decimal_digit(int c) { return c >= '0' && c <= '9'; }

}  // namespace

int panel_marker_read(FILE* marker, int32_t* panel_pid) {
  // The first word and the white space after it are skipped.
  if (fscanf(marker, "%*s ") == EOF) {
    return -1;
  }
  int c = getc(marker);
  const bool negative = c == '-';
  if (c == '-' || c == '+') {
    c = getc(marker);
  }
  if (!is_decimal_digit(c)) {
    return -1;
  }
  // Past the largest ID the value stops growing, so no digit count overflows it.
  int64_t value = 0;
  for (; is_decimal_digit(c); c = getc(marker)) {
    if (value <= INT32_MAX) {
      value = value * DECIMAL_BASE + (c - '0');
    }
  }
  if (negative || value < 1 || value > INT32_MAX) {
    return -1;
  }
  *panel_pid = static_cast<int32_t>(value);
  return 0;
}
