// One scan of the system log for the over-current report. The log is read
// in whole blocks and each block searched at once, rather than line by line:
// a line end ends every line, so a text that holds none lies within one line
// exactly when it lies anywhere in the file's bytes. Searching by length, a
// stray NUL byte in the log does not hide what follows it.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "housekeeping.h"

namespace {

// A line end before the text's last byte could only lie inside a line as its
// end: such a text is in no line at all.
bool text_fits_in_a_line(const char* text, size_t length) {
  return length < 2 || memchr(text, '\n', length - 1) == nullptr;
}

// Reads up to size bytes; what read gave (0 at the end), or -1 on an error.
ssize_t log_read(int log, char* block, size_t size) {
  ssize_t got;
  do {
    got = read(log, block, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

}  // namespace

int log_scan_stream(int log, const char* text, size_t block_size) {
  const size_t length = strlen(text);
  if (!text_fits_in_a_line(text, length)) {
    return 0;
  }
  // The last length - 1 bytes of a block stay in front of the next one, so
  // a text begun at the end of one block is completed by the next.
  const size_t carry_max = length > 0 ? length - 1 : 0;
  char* buffer = static_cast<char*>(malloc(carry_max + block_size));
  if (buffer == nullptr) {
    return 0;
  }
  int found = 0;
  size_t carried = 0;
  ssize_t got;
  while (found == 0 && (got = log_read(log, buffer + carried, block_size)) > 0) {
    const size_t filled = carried + static_cast<size_t>(got);
    if (memmem(buffer, filled, text, length) != nullptr) {
      found = 1;
    }
    carried = filled < carry_max ? filled : carry_max;
    memmove(buffer, buffer + filled - carried, carried);
  }
  free(buffer);
  return found;
}

int log_scan(const char* path, const char* text) {
  const int log = regular_file_open(path, 0, nullptr);
  if (log < 0) {
    return 0;
  }
  const int found = log_scan_stream(log, text, LOG_SCAN_BLOCK_SIZE);
  close(log);
  return found;
}
