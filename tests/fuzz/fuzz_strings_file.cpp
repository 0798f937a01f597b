// Strings files come from the user: every line is read, its coordinates and
// quoted text decoded, and the text drawn into the splash image with
// PutString, whose every pixel write AddressSanitizer checks against the
// image's bounds.
#include "draw.h"
#include "fuzz_input.h"
#include "splashgen.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  splash_image_clear();
  FILE* strings = fuzz_stream(data, size);
  if (strings == nullptr) return 0;
  // Only what the drawing does to memory matters here, not whether the file
  // was accepted.
  (void)strings_file_draw(strings, "strings");
  fclose(strings);
  return 0;
}
