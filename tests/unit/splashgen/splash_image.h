// Helpers to look at the splash image from the tests.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "draw.h"

using SplashBytes = std::array<uint8_t, SPLASH_IMAGE_SIZE>;

inline bool splash_pixel(int x, int y) {
  return (splash_image[y * SPLASH_ROW_BYTES + x / 8] & (0x80 >> (x % 8))) != 0;
}

inline SplashBytes splash_copy() {
  SplashBytes copy;
  memcpy(copy.data(), splash_image, copy.size());
  return copy;
}

inline int splash_ink_count() {
  int count = 0;
  for (int y = 0; y < SPLASH_HEIGHT; ++y) {
    for (int x = 0; x < SPLASH_WIDTH; ++x) {
      count += splash_pixel(x, y) ? 1 : 0;
    }
  }
  return count;
}
