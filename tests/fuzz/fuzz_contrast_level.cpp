// The settings file is written by the Panel and may be short, long or hold
// any byte at the contrast offset: the level set must always be one the
// display takes.
#include "fuzz_input.h"
#include "housekeeping.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* path = fuzz_file(data, size);
  if (path == nullptr) return 0;
  const int32_t level = contrast_level_load(path);
  fuzz_require(level >= 0 && level <= CONTRAST_LEVEL_MAX, "a level the display takes");
  // A file too short to hold the byte gives 0; a stored byte above the range
  // gives the highest level.
  const size_t offset = static_cast<size_t>(CONTRAST_SETTINGS_OFFSET);
  int32_t expected = 0;
  if (size > offset) {
    expected = data[offset] > CONTRAST_LEVEL_MAX ? CONTRAST_LEVEL_MAX : data[offset];
  }
  fuzz_require(level == expected, "the stored level, clamped");
  return 0;
}
