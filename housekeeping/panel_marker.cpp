// The Panel marker names the process that coeffnotify signals. The number is
// converted with strtol rather than scanf's %d so that an out-of-range value
// is refused instead of wrapping onto some other process (scanf's overflow is
// undefined, and wraps to a small ID on a 64-bit host).
#include <errno.h>
#include <stdlib.h>

#include "housekeeping.h"

namespace {

// Longest process-ID word accepted; longer words are refused outright.
constexpr int PID_WORD_MAX = 31;

}  // namespace

int panel_marker_read(FILE* marker, int32_t* panel_pid) {
  char word[PID_WORD_MAX + 1] = {};
  // The first word is skipped, the second taken as text up to the first
  // character that cannot belong to a decimal number, as %d would.
  if (fscanf(marker, "%*s %31[-+0123456789]", word) != 1) {
    return -1;
  }
  if (word[PID_WORD_MAX - 1] != '\0') {
    return -1;  // as long as the buffer allows: digits may have been cut off
  }
  char* end = nullptr;
  errno = 0;
  const long value = strtol(word, &end, 10);
  if (end == word || errno == ERANGE || value < 1 || value > INT32_MAX) {
    return -1;
  }
  *panel_pid = static_cast<int32_t>(value);
  return 0;
}
