// One scan of the system log for the over-current report. Lines are read
// with a growing buffer, so a long line is searched whole, and they are
// searched by length, so a stray NUL byte in the log does not end a line early.
#include <stdlib.h>
#include <sys/types.h>

#include <string_view>

#include "housekeeping.h"

int log_scan(const char* path, const char* text) {
  FILE* log = fopen(path, "r");
  if (log == nullptr) {
    return 0;
  }
  const std::string_view wanted(text);
  char* line = nullptr;
  size_t capacity = 0;
  int found = 0;
  ssize_t length;
  while (found == 0 && (length = getline(&line, &capacity, log)) > 0) {
    const std::string_view current(line, static_cast<size_t>(length));
    if (current.find(wanted) != std::string_view::npos) {
      found = 1;
    }
  }
  free(line);
  fclose(log);
  return found;
}
