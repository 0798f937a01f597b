// The font "LCD_1": its record, its width table, the glyphs whose bits are
// fixed, and the rules every other glyph keeps (column 0 blank, nothing beyond
// the width, letters on their rows).
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "draw.h"
#include "font_lcd1.h"
#include "support/output_capture.h"

namespace {

using test_support::OutputCapture;

constexpr int FIRST = 32;
constexpr int LAST = 255;
constexpr int ROWS = 7;

const uint16_t* glyph_of(int code) { return font_lcd_1.glyph_rows + (code - FIRST) * ROWS; }

bool inked(int code, int row, int column) {
  return (glyph_of(code)[row] & (0x8000 >> column)) != 0;
}

bool row_inked(int code, int row) { return glyph_of(code)[row] != 0; }

// The ramps that continue the glyph on their left, and so ink column 0.
const std::set<int> LEFT_TOUCHING = {193, 195, 197, 199, 201};

std::set<int> blank_codes() {
  std::set<int> codes = {32, 230, 240, 247, 248, 254};
  for (int c = 127; c <= 158; ++c) codes.insert(c);
  for (int c = 167; c <= 191; ++c) codes.insert(c);
  for (int c = 202; c <= 223; ++c) codes.insert(c);
  return codes;
}

TEST(FontRecord, HoldsTheMetricsOfLcd1) {
  const FontRecord& f = font_lcd_1;
  EXPECT_STREQ(f.name, "LCD_1");
  EXPECT_EQ(f.max_width, 15);
  EXPECT_EQ(f.height, 7);
  EXPECT_EQ(f.ascent, 7);
  EXPECT_EQ(f.first_char, 32);
  EXPECT_EQ(f.char_count, 224);
  EXPECT_NE(f.glyph_rows, nullptr);
  EXPECT_EQ(f.offsets, nullptr);
  EXPECT_NE(f.widths, nullptr);
  EXPECT_EQ(f.default_char, 32);
  EXPECT_EQ(f.glyph_row_count, 1568);
}

struct TellingGlyph {
  int code;
  int width;
  uint16_t rows[ROWS];
};

class TellingGlyphs : public testing::TestWithParam<TellingGlyph> {};

TEST_P(TellingGlyphs, HaveTheirFixedRowsAndWidth) {
  const TellingGlyph& g = GetParam();
  EXPECT_EQ(font_lcd_1.widths[g.code - FIRST], g.width);
  for (int r = 0; r < ROWS; ++r) {
    EXPECT_EQ(glyph_of(g.code)[r], g.rows[r]) << "row " << r;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lcd1, TellingGlyphs,
    testing::Values(TellingGlyph{33, 3, {0x6000, 0x6000, 0x6000, 0x6000, 0x0000, 0x6000, 0x6000}},
                    TellingGlyph{65, 7, {0x3C00, 0x7E00, 0x6600, 0x6600, 0x7E00, 0x6600, 0x6600}},
                    TellingGlyph{77, 8, {0x6300, 0x7700, 0x7F00, 0x6B00, 0x6300, 0x6300, 0x6300}},
                    TellingGlyph{103, 7, {0x0000, 0x3E00, 0x6600, 0x6600, 0x3E00, 0x0600, 0x3C00}},
                    TellingGlyph{159, 7, {0x1800, 0x2400, 0x2400, 0x7E00, 0x7E00, 0x7E00, 0x7E00}},
                    TellingGlyph{
                        198, 15, {0x7800, 0x7F80, 0x7FF8, 0x7FFE, 0x7FFE, 0x7FFE, 0x7FFE}}),
    [](const testing::TestParamInfo<TellingGlyph>& param) {
      return "code" + std::to_string(param.param.code);
    });

// The width table as the font's users rely on it: every code not listed is 7.
int expected_width(int code) {
  static const std::vector<std::pair<int, std::vector<int>>> TABLE = {
      {3, {33, 39, 44, 46, 58, 59, 124}},
      {4, {32, 91, 93, 96}},
      {5, {40, 41, 49, 73, 105, 108, 123, 125, 236, 237, 238, 239}},
      {6, {34, 60, 62, 94, 106, 160, 161, 162, 166}},
      {8, {77, 87, 163, 164, 165}},
      {13, {192, 194, 195, 196}},
      {14, {193, 197, 199, 201}},
      {15, {198, 200}},
  };
  for (const auto& [width, codes] : TABLE) {
    for (int c : codes) {
      if (c == code) return width;
    }
  }
  return 7;
}

TEST(FontWidths, MatchTheTableForEveryCode) {
  for (int code = FIRST; code <= LAST; ++code) {
    EXPECT_EQ(font_lcd_1.widths[code - FIRST], expected_width(code)) << "code " << code;
    EXPECT_EQ(GetCharWidth(static_cast<unsigned>(code)), expected_width(code)) << "code " << code;
  }
}

TEST(FontWidths, OutsideTheFontAreRefusedWithAWarning) {
  for (unsigned code : {0u, 10u, 31u, 256u, 1000u}) {
    OutputCapture capture;
    EXPECT_EQ(GetCharWidth(code), -1);
    EXPECT_EQ(capture.take(), "GetCharWidth: char out of bounds (" + std::to_string(code) + ")\n");
  }
}

TEST(FontGlyphs, InkNothingAtOrBeyondTheirWidth) {
  for (int code = FIRST; code <= LAST; ++code) {
    const int width = font_lcd_1.widths[code - FIRST];
    const uint16_t beyond = static_cast<uint16_t>(0xFFFFu >> width);
    for (int r = 0; r < ROWS; ++r) {
      EXPECT_EQ(glyph_of(code)[r] & beyond, 0) << "code " << code << " row " << r;
    }
  }
}

TEST(FontGlyphs, KeepColumnZeroBlankExceptTheJoiningRamps) {
  for (int code = FIRST; code <= LAST; ++code) {
    bool column0 = false;
    for (int r = 0; r < ROWS; ++r) column0 = column0 || inked(code, r, 0);
    EXPECT_EQ(column0, LEFT_TOUCHING.count(code) == 1) << "code " << code;
  }
}

TEST(FontGlyphs, AreBlankExactlyWhereNoCharacterIsDrawn) {
  const std::set<int> blanks = blank_codes();
  for (int code = FIRST; code <= LAST; ++code) {
    bool any = false;
    for (int r = 0; r < ROWS; ++r) any = any || row_inked(code, r);
    const bool blank = blanks.count(code) == 1;
    EXPECT_EQ(any, !blank) << "code " << code;
    if (blank && code != 32) {
      EXPECT_EQ(font_lcd_1.widths[code - FIRST], 7) << "code " << code;
    }
  }
}

// Which rows a group of letters spans: the first and the last inked row.
struct RowSpan {
  std::string letters;
  int top;
  int bottom;
};

class LetterRows : public testing::TestWithParam<RowSpan> {};

TEST_P(LetterRows, SpanTheirRows) {
  for (char letter : GetParam().letters) {
    const int code = static_cast<unsigned char>(letter);
    int top = -1;
    int bottom = -1;
    for (int r = 0; r < ROWS; ++r) {
      if (row_inked(code, r)) {
        if (top < 0) top = r;
        bottom = r;
      }
    }
    EXPECT_EQ(top, GetParam().top) << letter;
    EXPECT_EQ(bottom, GetParam().bottom) << letter;
  }
}

INSTANTIATE_TEST_SUITE_P(Lcd1, LetterRows,
                         testing::Values(RowSpan{"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", 0, 6},
                                         RowSpan{"acemnorsuvwxz", 2, 6}, RowSpan{"bdhkl", 0, 6},
                                         RowSpan{"gpq", 1, 6}, RowSpan{"y", 2, 6}),
                         [](const testing::TestParamInfo<RowSpan>& param) {
                           return "group" + std::to_string(param.index);
                         });

TEST(FontGlyphs, DrawLettersAndDigitsMostlyWithTwoPixelStrokes) {
  int runs = 0;
  int thin = 0;
  for (int code = 33; code <= 126; ++code) {
    for (int r = 0; r < ROWS; ++r) {
      int length = 0;
      for (int j = 0; j <= 16; ++j) {
        if (j < 16 && inked(code, r, j)) {
          ++length;
        } else if (length > 0) {
          ++runs;
          thin += length == 1 ? 1 : 0;
          length = 0;
        }
      }
    }
  }
  EXPECT_GT(runs, 0);
  EXPECT_LE(thin * 10, runs) << thin << " of " << runs << " strokes are one pixel wide";
}

}  // namespace
