// Drawing into the splash image: the image layout, clipping at the edges with
// its warnings, the order of the tests in PutChar, centring, and merging by OR.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "draw.h"
#include "splash_image.h"
#include "support/output_capture.h"

namespace {

using test_support::OutputCapture;

// 'A' as the font description gives it, one word per row.
constexpr uint16_t LETTER_A[7] = {0x3C00, 0x7E00, 0x6600, 0x6600, 0x7E00, 0x6600, 0x6600};

class Drawing : public testing::Test {
 protected:
  void SetUp() override { splash_image_clear(); }

  // PutString with its printed output.
  std::string put_string(int x, int y, const std::string& text) {
    OutputCapture capture;
    EXPECT_EQ(PutString(x, y, text.data(), text.size()), 0);
    return capture.take();
  }

  // The image that drawing the pieces one after another, alone, gives.
  SplashBytes image_of(const std::string& text, int x, int y) {
    splash_image_clear();
    put_string(x, y, text);
    SplashBytes image = splash_copy();
    splash_image_clear();
    return image;
  }
};

struct LayoutCase {
  uint32_t x;
  int byte;       // offset in the image
  uint8_t value;  // of that byte after drawing '!' at (x, 0)
};

class PixelLayout : public Drawing, public testing::WithParamInterface<LayoutCase> {};

TEST_P(PixelLayout, PutsTheLeftmostPixelInTheMostSignificantBit) {
  // '!' inks columns 1 and 2 of rows 0-3, 5 and 6.
  const LayoutCase& c = GetParam();
  ASSERT_EQ(PutChar(c.x, 0, '!'), static_cast<int>(c.x) + 3);
  EXPECT_EQ(splash_image[c.byte], c.value);
  EXPECT_EQ(splash_image[c.byte + 4 * SPLASH_ROW_BYTES], 0);  // row 4 is the gap
  EXPECT_EQ(splash_image[c.byte + 6 * SPLASH_ROW_BYTES], c.value);
  EXPECT_EQ(splash_ink_count(), 12);
}

INSTANTIATE_TEST_SUITE_P(Splash, PixelLayout,
                         testing::Values(LayoutCase{7, 1, 0xC0}, LayoutCase{6, 0, 0x01},
                                         LayoutCase{6, 1, 0x80}, LayoutCase{11, 1, 0x0C},
                                         LayoutCase{124, 15, 0x06}));

struct ClipCase {
  uint32_t x;
  uint32_t y;
  int result;
  const char* output;
  int columns;  // of the glyph drawn
  int rows;
};

class Clipping : public Drawing, public testing::WithParamInterface<ClipCase> {};

TEST_P(Clipping, DrawsTheVisiblePartAndWarns) {
  const ClipCase& c = GetParam();
  OutputCapture capture;
  EXPECT_EQ(PutChar(c.x, c.y, 'A'), c.result);
  EXPECT_EQ(capture.take(), c.output);
  int expected_ink = 0;
  for (int r = 0; r < c.rows; ++r) {
    for (int j = 0; j < c.columns; ++j) {
      const bool ink = (LETTER_A[r] & (0x8000 >> j)) != 0;
      expected_ink += ink ? 1 : 0;
      EXPECT_EQ(splash_pixel(static_cast<int>(c.x) + j, static_cast<int>(c.y) + r), ink)
          << "glyph column " << j << " row " << r;
    }
  }
  EXPECT_EQ(splash_ink_count(), expected_ink);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, Clipping,
    testing::Values(ClipCase{121, 0, 128, "", 7, 7},
                    ClipCase{125, 0, 128, "Putchar: limiting width to 3\n", 3, 7},
                    ClipCase{0, 57, 7, "", 7, 7},
                    ClipCase{0, 60, 7, "Putchar: limiting height to 4\n", 7, 4},
                    ClipCase{125, 60, 128,
                             "Putchar: limiting width to 3\nPutchar: limiting height to 4\n", 3, 4},
                    ClipCase{127, 63, 128,
                             "Putchar: limiting width to 1\nPutchar: limiting height to 1\n", 1, 1},
                    ClipCase{128, 0, -1, "PutChar: coord out of bounds (128, 0)\n", 0, 0},
                    ClipCase{0, 64, -1, "PutChar: coord out of bounds (0, 64)\n", 0, 0},
                    ClipCase{0xFFFFFFFEu, 5, -1, "PutChar: coord out of bounds (-2, 5)\n", 0, 0}));

TEST_F(Drawing, ChecksTheCharacterBeforeTheCoordinates) {
  OutputCapture capture;
  EXPECT_EQ(PutChar(500, 500, 7), -1);
  EXPECT_EQ(PutChar(0, 0, 256), -1);
  EXPECT_EQ(PutChar(0, 0, 31), -1);
  EXPECT_EQ(capture.take(),
            "PutChar: char out of bounds (7)\nPutChar: char out of bounds (256)\n"
            "PutChar: char out of bounds (31)\n");
  EXPECT_EQ(splash_ink_count(), 0);
}

TEST_F(Drawing, RefusesEveryCharacterAfterOneCutAtTheRightEdge) {
  EXPECT_EQ(put_string(125, 10, "AAB"),
            "Putchar: limiting width to 3\n"
            "PutChar: coord out of bounds (128, 10)\n"
            "PutChar: coord out of bounds (128, 10)\n");
}

TEST_F(Drawing, RefusesANegativeRowForEveryCharacter) {
  EXPECT_EQ(put_string(3, -3, "Hi"),
            "PutChar: coord out of bounds (3, -3)\nPutChar: coord out of bounds (3, -3)\n");
  EXPECT_EQ(splash_ink_count(), 0);
}

TEST_F(Drawing, WarnsTwiceForAControlCharacterInACentredString) {
  const SplashBytes expected = image_of(std::string("AB"), 56, 20);  // (128 - 15) / 2
  EXPECT_EQ(put_string(-1, 20,
                       std::string("A\x01"
                                   "B")),
            "GetCharWidth: char out of bounds (1)\nPutChar: char out of bounds (1)\n");
  EXPECT_EQ(splash_copy(), expected);
}

TEST_F(Drawing, CentresHiAtColumn57WithTheIAt64) {
  PutChar(57, 0, 'H');
  PutChar(64, 0, 'i');
  const SplashBytes expected = splash_copy();
  splash_image_clear();
  EXPECT_EQ(put_string(-1, 0, "Hi"), "");
  EXPECT_EQ(splash_copy(), expected);
}

struct CentreCase {
  std::string text;
  int widths;  // sum of the glyph widths, for the reader
  int start;
};

class Centring : public Drawing, public testing::WithParamInterface<CentreCase> {};

TEST_P(Centring, StartsWhereTheOneColumnWiderStringIsCentred) {
  const CentreCase& c = GetParam();
  const SplashBytes expected = image_of(c.text, c.start, 30);
  const std::string expected_output = put_string(c.start, 30, c.text);
  splash_image_clear();
  EXPECT_EQ(put_string(-5, 30, c.text), expected_output);
  EXPECT_EQ(splash_copy(), expected);
}

INSTANTIATE_TEST_SUITE_P(Widths, Centring,
                         testing::Values(CentreCase{"Hi", 12, 57},
                                         CentreCase{std::string(17, 'A') + "j", 125, 1},
                                         CentreCase{std::string(18, 'A'), 126, 0},
                                         CentreCase{std::string(17, 'A') + "i", 124, 1},
                                         CentreCase{std::string(19, 'A'), 133, 0},
                                         CentreCase{"!", 3, 62}));

TEST_F(Drawing, MergesOverlappingStringsByOr) {
  const SplashBytes first = image_of("AB", 10, 10);
  const SplashBytes second = image_of("MW", 14, 12);
  put_string(10, 10, "AB");
  put_string(14, 12, "MW");
  for (int i = 0; i < SPLASH_IMAGE_SIZE; ++i) {
    ASSERT_EQ(splash_image[i], first[i] | second[i]) << "byte " << i;
  }
  const SplashBytes merged = splash_copy();
  put_string(10, 10, "AB");
  EXPECT_EQ(splash_copy(), merged);
}

class BlankGlyph : public Drawing, public testing::WithParamInterface<int> {};

TEST_P(BlankGlyph, AdvancesSevenColumnsAndDrawsNothing) {
  const SplashBytes expected = image_of("A", 7, 0);
  EXPECT_EQ(PutChar(20, 0, static_cast<uint32_t>(GetParam())), 27);
  EXPECT_EQ(splash_ink_count(), 0);
  EXPECT_EQ(put_string(0, 0, std::string(1, static_cast<char>(GetParam())) + "A"), "");
  EXPECT_EQ(splash_copy(), expected);
}

INSTANTIATE_TEST_SUITE_P(Codes, BlankGlyph,
                         testing::Values(127, 140, 158, 167, 191, 202, 223, 230, 240, 247, 248,
                                         254));

}  // namespace
