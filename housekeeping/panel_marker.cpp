// The Panel marker names the process that coeffnotify signals. The number is
// read as %d reads it (optional sign, then digits, as far as they go), but
// its value is held rather than stored into an int: an out-of-range value is
// refused instead of wrapping onto some other process (scanf's overflow is
// undefined, and wraps to a small ID on a 64-bit host). Nothing caps the
// digits, so leading zeros or anything after the number never refuse a
// marker that %d would read.
#include <unistd.h>

#include <cctype>
#include <cerrno>

#include "housekeeping.h"

namespace {

constexpr int DECIMAL_BASE = 10;
constexpr int64_t INIT_PID = 1;  // the board's init: never the Panel

bool is_decimal_digit(int c) { return c >= '0' && c <= '9'; }

// Reads until size bytes or the end of the marker; the count, or -1.
ssize_t marker_read_bounded(int marker, char* text, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = read(marker, text + done, size - done);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return -1;
    }
    if (got == 0) {
      break;
    }
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

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
  if (negative || value <= INIT_PID || value > INT32_MAX) {
    return -1;
  }
  *panel_pid = static_cast<int32_t>(value);
  return 0;
}

int panel_marker_load(int marker, int32_t* panel_pid) {
  // One byte past the bound tells whether the marker goes on beyond it.
  char text[PANEL_MARKER_READ_MAX + 1];
  const ssize_t got = marker_read_bounded(marker, text, sizeof text);
  if (got <= 0) {
    return -1;
  }
  size_t length = static_cast<size_t>(got);
  if (length > PANEL_MARKER_READ_MAX) {
    // Only words followed by white space within what was read are whole.
    length = PANEL_MARKER_READ_MAX;
    while (length > 0 && isspace(static_cast<unsigned char>(text[length])) == 0) {
      --length;
    }
    if (length == 0) {
      return -1;
    }
  }
  FILE* stream = fmemopen(text, length, "r");
  if (stream == nullptr) {
    return -1;
  }
  const int result = panel_marker_read(stream, panel_pid);
  fclose(stream);
  return result;
}
