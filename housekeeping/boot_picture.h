// The start-up picture of the display, in the splash image layout: 128 x 64
// pixels, 16 bytes per row, top row first, the most significant bit the
// leftmost pixel, a set bit lit. The picture is kept as text ('#' lit,
// '.' dark, one string per row) and turned into bytes at compile time.
#pragma once

#include <cstddef>
#include <cstdint>

#include <array>

constexpr int PICTURE_WIDTH = 128;
constexpr int PICTURE_HEIGHT = 64;
constexpr int PICTURE_ROW_BYTES = PICTURE_WIDTH / 8;
constexpr size_t PICTURE_SIZE = PICTURE_ROW_BYTES * PICTURE_HEIGHT;

constexpr char PICTURE_LIT = '#';
constexpr char PICTURE_DARK = '.';

// One row string per pixel row; the extra character holds the string's NUL.
using PictureArt = char[PICTURE_HEIGHT][PICTURE_WIDTH + 1];
using PictureBytes = std::array<uint8_t, PICTURE_SIZE>;

// The frame buffer takes the picture as it is, nothing before or after.
static_assert(sizeof(PictureBytes) == 1024, "splash image layout is 1024 bytes");

// True when every row has exactly PICTURE_WIDTH characters, each lit or dark.
constexpr bool picture_art_valid(const PictureArt& art) {
  for (int y = 0; y < PICTURE_HEIGHT; ++y) {
    for (int x = 0; x < PICTURE_WIDTH; ++x) {
      if (art[y][x] != PICTURE_LIT && art[y][x] != PICTURE_DARK) {
        return false;
      }
    }
    if (art[y][PICTURE_WIDTH] != '\0') {
      return false;
    }
  }
  return true;
}

constexpr PictureBytes picture_from_art(const PictureArt& art) {
  PictureBytes bytes{};
  for (int y = 0; y < PICTURE_HEIGHT; ++y) {
    for (int x = 0; x < PICTURE_WIDTH; ++x) {
      if (art[y][x] == PICTURE_LIT) {
        bytes[static_cast<size_t>(y) * PICTURE_ROW_BYTES + static_cast<size_t>(x) / 8] |=
            static_cast<uint8_t>(0x80u >> (x % 8));
      }
    }
  }
  return bytes;
}

// The framed organ-pipe emblem with its lettering between vertical bars.
extern const PictureBytes boot_picture;
