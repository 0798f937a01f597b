// The one built-in font of splashgen, "LCD_1": a proportional bitmap font of
// seven rows for character codes 32 to 255 (ISO 8859-1), compiled into the
// program so that no font file has to be found on the board.
#pragma once

#include <cstdint>

// Describes a bitmap font whose glyphs are rows of 16-bit words: column j of a
// glyph is bit 15 - j of its row word (left-aligned, most significant bit
// leftmost), and a set bit is ink.
struct FontRecord {
  const char* name;
  int32_t max_width;           // widest glyph, in pixels
  int32_t height;              // rows per glyph, also the stride between glyphs
  int32_t ascent;              // rows above the baseline
  int32_t first_char;          // code of the first glyph
  int32_t char_count;          // glyphs in the font, from first_char on
  const uint16_t* glyph_rows;  // height words per glyph, top row first
  const int32_t* offsets;      // per-glyph offsets into glyph_rows; null: fixed stride
  const uint8_t* widths;       // advance of each glyph, which is also its drawn width
  int32_t default_char;
  int32_t glyph_row_count;  // words in glyph_rows
};

extern const FontRecord font_lcd_1;
