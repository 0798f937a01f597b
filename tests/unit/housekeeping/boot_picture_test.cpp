// The start-up picture's text form and its bytes in the splash image layout:
// pixel (x, y) is bit 7 - x % 8 of byte y * 16 + x / 8, a lit pixel a set bit.

#include <gtest/gtest.h>

#include <cstring>

#include "boot_picture.h"

namespace {

void art_clear(PictureArt& art) {
  for (auto& row : art) {
    memset(row, PICTURE_DARK, PICTURE_WIDTH);
    row[PICTURE_WIDTH] = '\0';
  }
}

struct PixelCase {
  int x;
  int y;
  size_t byte;
  uint8_t value;
};

const PixelCase PIXEL_CASES[] = {
    {0, 0, 0, 0x80},     {7, 0, 0, 0x01},       {8, 0, 1, 0x80},      {127, 0, 15, 0x01},
    {0, 1, 16, 0x80},    {9, 1, 17, 0x40},      {63, 31, 503, 0x01},  {64, 32, 520, 0x80},
    {0, 63, 1008, 0x80}, {127, 63, 1023, 0x01}, {100, 40, 652, 0x08},
};

class PictureLayout : public ::testing::TestWithParam<PixelCase> {};

TEST_P(PictureLayout, OneLitPixelSetsOneBit) {
  const PixelCase& c = GetParam();
  static PictureArt art;
  art_clear(art);
  art[c.y][c.x] = PICTURE_LIT;
  ASSERT_TRUE(picture_art_valid(art));
  const PictureBytes bytes = picture_from_art(art);
  for (size_t i = 0; i < bytes.size(); ++i) {
    EXPECT_EQ(bytes[i], i == c.byte ? c.value : 0) << "byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, PictureLayout, ::testing::ValuesIn(PIXEL_CASES));

TEST(PictureArt, AFullRowLightsItsSixteenBytes) {
  static PictureArt art;
  art_clear(art);
  memset(art[5], PICTURE_LIT, PICTURE_WIDTH);
  const PictureBytes bytes = picture_from_art(art);
  for (size_t i = 0; i < bytes.size(); ++i) {
    EXPECT_EQ(bytes[i], i / 16 == 5 ? 0xFF : 0) << "byte " << i;
  }
}

struct FlawCase {
  const char* name;
  int y;
  int x;
  char ch;
};

// A short row leaves a NUL inside the row, a long one overwrites the row's NUL.
const FlawCase FLAW_CASES[] = {
    {"short_row", 10, 127, '\0'},
    {"stray_character", 63, 0, ' '},
    {"lowercase_mark", 0, 64, 'x'},
    {"long_row", 20, PICTURE_WIDTH, '#'},
};

class PictureArtFlaw : public ::testing::TestWithParam<FlawCase> {};

TEST_P(PictureArtFlaw, IsRefused) {
  const FlawCase& c = GetParam();
  static PictureArt art;
  art_clear(art);
  ASSERT_TRUE(picture_art_valid(art));
  art[c.y][c.x] = c.ch;
  EXPECT_FALSE(picture_art_valid(art));
}

INSTANTIATE_TEST_SUITE_P(Table, PictureArtFlaw, ::testing::ValuesIn(FLAW_CASES),
                         [](const ::testing::TestParamInfo<FlawCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
