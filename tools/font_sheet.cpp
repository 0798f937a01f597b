// Draws every glyph of the font "LCD_1" on a grid, each cell labelled with its
// character code in small digits and underlined by a dotted bar as long as the
// glyph's advance, and writes the sheet as a PBM image (to the file named by
// the one argument, or to standard output) for a person to check by eye.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "font_lcd1.h"

namespace {

constexpr int COLUMNS = 16;     // glyphs per grid row
constexpr int CELL_WIDTH = 19;  // grid line, margin, 15 columns, margin
constexpr int CELL_HEIGHT = 19;
constexpr int LABEL_TOP = 2;  // rows 2-6: the code
constexpr int GLYPH_LEFT = 2;
constexpr int GLYPH_TOP = 9;     // rows 9-15: the glyph
constexpr int ADVANCE_ROW = 17;  // the dotted advance bar
constexpr int DIGIT_WIDTH = 3;
constexpr int DIGIT_HEIGHT = 5;
constexpr int MAX_ROWS = 16;
constexpr int MAX_WIDTH = COLUMNS * CELL_WIDTH + 1;
constexpr int MAX_HEIGHT = MAX_ROWS * CELL_HEIGHT + 1;

// 3 x 5 digits for the labels, so that a label never looks like a glyph of the font.
constexpr const char* DIGITS[10] = {
    "###"
    "#.#"
    "#.#"
    "#.#"
    "###",
    ".#."
    "##."
    ".#."
    ".#."
    "###",
    "###"
    "..#"
    "###"
    "#.."
    "###",
    "###"
    "..#"
    "###"
    "..#"
    "###",
    "#.#"
    "#.#"
    "###"
    "..#"
    "..#",
    "###"
    "#.."
    "###"
    "..#"
    "###",
    "###"
    "#.."
    "###"
    "#.#"
    "###",
    "###"
    "..#"
    "..#"
    "..#"
    "..#",
    "###"
    "#.#"
    "###"
    "#.#"
    "###",
    "###"
    "#.#"
    "###"
    "..#"
    "###",
};

bool sheet[MAX_HEIGHT][MAX_WIDTH];

void ink(int x, int y) {
  if (x >= 0 && x < MAX_WIDTH && y >= 0 && y < MAX_HEIGHT) {
    sheet[y][x] = true;
  }
}

void label_draw(int left, int top, int code) {
  char text[8];
  const int length = snprintf(text, sizeof text, "%d", code);
  if (length < 0 || length >= static_cast<int>(sizeof text)) {
    return;
  }
  for (int k = 0; k < length; ++k) {
    const char* digit = DIGITS[text[k] - '0'];
    for (int r = 0; r < DIGIT_HEIGHT; ++r) {
      for (int c = 0; c < DIGIT_WIDTH; ++c) {
        if (digit[r * DIGIT_WIDTH + c] == '#') {
          ink(left + k * (DIGIT_WIDTH + 1) + c, top + r);
        }
      }
    }
  }
}

// All sixteen columns of each row word are drawn, not only those within the
// width, so that stray ink beyond a glyph's advance shows on the sheet.
void glyph_draw(int left, int top, int glyph) {
  const FontRecord& font = font_lcd_1;
  const uint16_t* rows = font.glyph_rows + glyph * font.height;
  for (int r = 0; r < font.height; ++r) {
    for (int j = 0; j < 16; ++j) {
      if ((rows[r] & (0x8000u >> j)) != 0) {
        ink(left + j, top + r);
      }
    }
  }
  for (int j = 0; j < font.widths[glyph]; j += 2) {
    ink(left + j, top + ADVANCE_ROW - GLYPH_TOP);
  }
}

void grid_draw(int width, int height) {
  for (int x = 0; x < width; ++x) {
    for (int y = 0; y < height; y += CELL_HEIGHT) {
      ink(x, y);
    }
  }
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; x += CELL_WIDTH) {
      ink(x, y);
    }
  }
}

int sheet_write(FILE* out, int width, int height) {
  if (fprintf(out, "P4\n%d %d\n", width, height) < 0) {
    return -1;
  }
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; x += 8) {
      int byte = 0;
      for (int b = 0; b < 8; ++b) {
        byte = (byte << 1) | ((x + b < width && sheet[y][x + b]) ? 1 : 0);
      }
      if (fputc(byte, out) == EOF) {
        return -1;
      }
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  const FontRecord& font = font_lcd_1;
  const int rows = (font.char_count + COLUMNS - 1) / COLUMNS;
  if (argc > 2 || rows > MAX_ROWS) {
    fprintf(stderr, "Usage: %s [sheet.pbm]\n", argv[0]);
    return 2;
  }
  const int width = COLUMNS * CELL_WIDTH + 1;
  const int height = rows * CELL_HEIGHT + 1;
  grid_draw(width, height);
  for (int glyph = 0; glyph < font.char_count; ++glyph) {
    const int left = (glyph % COLUMNS) * CELL_WIDTH;
    const int top = (glyph / COLUMNS) * CELL_HEIGHT;
    label_draw(left + GLYPH_LEFT, top + LABEL_TOP, glyph + font.first_char);
    glyph_draw(left + GLYPH_LEFT, top + GLYPH_TOP, glyph);
  }
  FILE* out = argc == 2 ? fopen(argv[1], "wb") : stdout;
  if (out == nullptr) {
    perror(argv[1]);
    return 1;
  }
  int status = sheet_write(out, width, height) == 0 ? 0 : 1;
  if (out == stdout ? fflush(out) != 0 : fclose(out) != 0) {
    status = 1;
  }
  return status;
}
