// The display contrast saved in the global settings: one byte at a fixed
// offset, read with a positioned read so that nothing depends on the file
// position, and stored into the level as a value, not over its low byte, so
// the result is the same on either byte order. Anything but a regular file in
// the settings' place (a FIFO would hold the start-up) counts as no settings.
#include <unistd.h>

#include "housekeeping.h"

int32_t contrast_level_load(const char* path) {
  const int settings = regular_file_open(path, 0, nullptr);
  if (settings < 0) {
    return CONTRAST_LEVEL_DEFAULT;
  }
  int32_t level = 0;
  unsigned char stored = 0;
  if (pread(settings, &stored, 1, CONTRAST_SETTINGS_OFFSET) == 1) {
    level = stored > CONTRAST_LEVEL_MAX ? CONTRAST_LEVEL_MAX : stored;
  }
  close(settings);
  return level;
}
