#include "draw.h"

#include <cstdio>
#include <cstring>

#include "font_lcd1.h"

uint8_t splash_image[SPLASH_IMAGE_SIZE];

namespace {

constexpr uint16_t ROW_WORD_LEFTMOST = 0x8000;  // column 0 of a glyph row word
constexpr uint8_t BYTE_LEFTMOST = 0x80;         // leftmost pixel of an image byte
constexpr int PIXELS_PER_BYTE = 8;

bool char_in_font(uint32_t ch) {
  const uint32_t first = static_cast<uint32_t>(font_lcd_1.first_char);
  const uint32_t last = first + static_cast<uint32_t>(font_lcd_1.char_count) - 1;
  return ch >= first && ch <= last;
}

void pixel_set(uint32_t x, uint32_t y) {
  splash_image[y * SPLASH_ROW_BYTES + x / PIXELS_PER_BYTE] |=
      static_cast<uint8_t>(BYTE_LEFTMOST >> (x % PIXELS_PER_BYTE));
}

// Where a line starts when it is centred: as if it were one column wider than
// the sum of its widths, halved toward zero, never left of column 0.
int centred_x(const char* text, size_t length) {
  int sum = 0;
  for (size_t i = 0; i < length; ++i) {
    const int width = GetCharWidth(static_cast<unsigned char>(text[i]));
    // Past the image width the start is 0 whatever follows; stopping the sum
    // there keeps it from overflowing on an endless line, while every byte is
    // still measured so that each unknown one is reported.
    if (width > 0 && sum <= SPLASH_WIDTH) {
      sum += width;
    }
  }
  const int x = (SPLASH_WIDTH - (sum + 1)) / 2;
  return x < 0 ? 0 : x;
}

}  // namespace

void splash_image_clear() { memset(splash_image, 0, sizeof splash_image); }

int GetCharWidth(unsigned int ch) {
  if (!char_in_font(ch)) {
    printf("GetCharWidth: char out of bounds (%d)\n", static_cast<int>(ch));
    return -1;
  }
  return font_lcd_1.widths[ch - static_cast<uint32_t>(font_lcd_1.first_char)];
}

int PutChar(uint32_t x, uint32_t y, uint32_t ch) {
  if (!char_in_font(ch)) {
    printf("PutChar: char out of bounds (%d)\n", static_cast<int>(ch));
    return -1;
  }
  if (x > SPLASH_WIDTH - 1 || y > SPLASH_HEIGHT - 1) {
    printf("PutChar: coord out of bounds (%d, %d)\n", static_cast<int>(x), static_cast<int>(y));
    return -1;
  }
  const uint32_t glyph = ch - static_cast<uint32_t>(font_lcd_1.first_char);
  const uint32_t stride = static_cast<uint32_t>(font_lcd_1.height);
  uint32_t width = font_lcd_1.widths[glyph];
  uint32_t height = stride;
  if (x + width > SPLASH_WIDTH) {
    width = SPLASH_WIDTH - x;
    printf("Putchar: limiting width to %d\n", static_cast<int>(width));
  }
  if (y + height > SPLASH_HEIGHT) {
    height = SPLASH_HEIGHT - y;
    printf("Putchar: limiting height to %d\n", static_cast<int>(height));
  }
  // The full glyph height stays the stride, so a glyph cut at the bottom
  // shows its top rows.
  const uint16_t* rows = font_lcd_1.glyph_rows + glyph * stride;
  for (uint32_t r = 0; r < height; ++r) {
    for (uint32_t j = 0; j < width; ++j) {
      if ((rows[r] & (ROW_WORD_LEFTMOST >> j)) != 0) {
        pixel_set(x + j, y + r);
      }
    }
  }
  return static_cast<int>(x + width);
}

int PutString(int x, int y, const char* text, size_t length) {
  if (x < 0) {
    x = centred_x(text, length);
  }
  for (size_t i = 0; i < length; ++i) {
    const int next = PutChar(static_cast<uint32_t>(x), static_cast<uint32_t>(y),
                             static_cast<unsigned char>(text[i]));
    if (next > 0) {
      x = next;
    }
  }
  return 0;
}
