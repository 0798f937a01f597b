// The splash image and the operations that draw text into it with the font
// "LCD_1". Every warning goes to standard output and the drawing goes on: a
// character that cannot be drawn is skipped and leaves the position unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

// The display's layout: 128 x 64 pixels, one bit each, 16 bytes per row, top
// row first; pixel (x, y) is bit 7 - x % 8 of byte y * 16 + x / 8 (the
// leftmost pixel is the most significant bit), and a set bit is ink.
constexpr int SPLASH_WIDTH = 128;
constexpr int SPLASH_HEIGHT = 64;
constexpr int SPLASH_ROW_BYTES = SPLASH_WIDTH / 8;
constexpr int SPLASH_IMAGE_SIZE = SPLASH_ROW_BYTES * SPLASH_HEIGHT;

// The one image of the run: cleared once, drawn into, written out once.
extern uint8_t splash_image[SPLASH_IMAGE_SIZE];
static_assert(sizeof splash_image == 1024, "the splash file and the frame buffer hold 1024 bytes");

void splash_image_clear();

// Width of character code ch, or -1 (with a warning) outside 32 to 255.
int GetCharWidth(unsigned int ch);

// Draws ch with its top-left corner at (x, y) by OR, cut at the right and
// bottom edges; returns the x where the next character starts, or -1 when
// nothing was drawn. x and y are unsigned so a negative value is refused.
int PutChar(uint32_t x, uint32_t y, uint32_t ch);

// Draws length bytes of text on one line from (x, y); a negative x centres the
// line. Always returns 0.
int PutString(int x, int y, const char* text, size_t length);
