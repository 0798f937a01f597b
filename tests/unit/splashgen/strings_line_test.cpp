// Reading the strings file: the two numbers, the quoted text between the
// first two double quotes, the three line errors, and stopping at a bad line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "draw.h"
#include "splash_image.h"
#include "splashgen.h"
#include "support/output_capture.h"

namespace {

using test_support::OutputCapture;

struct LineCase {
  std::string line;
  int result;
  std::string output;
  int x;  // where the text is expected, drawn by PutString
  int y;
  std::string text;
};

class StringsLine : public testing::TestWithParam<LineCase> {};

TEST_P(StringsLine, DrawsTheQuotedTextOrReportsTheLine) {
  const LineCase& c = GetParam();
  splash_image_clear();
  {
    OutputCapture quiet;
    PutString(c.x, c.y, c.text.data(), c.text.size());
  }
  const SplashBytes expected = splash_copy();
  splash_image_clear();
  OutputCapture capture;
  EXPECT_EQ(strings_line_draw(c.line.c_str(), c.line.size()), c.result);
  EXPECT_EQ(capture.take(), c.output);
  EXPECT_EQ(splash_copy(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, StringsLine,
    testing::Values(
        LineCase{"10 20 \"Hi\"\n", 0, "", 10, 20, "Hi"}, LineCase{"  7\t9 \"A\"", 0, "", 7, 9, "A"},
        LineCase{"-1 0 \"Hi\"\n", 0, "", -1, 0, "Hi"},
        LineCase{"10-5 \"A\"\n", 0, "PutChar: coord out of bounds (10, -5)\n", 0, 0, ""},
        // Out-of-range numbers are held at the ends of int on every platform:
        // a negative one still centres, a positive one falls off the image.
        LineCase{"-4294967295 5 \"A\"\n", 0, "", -1, 5, "A"},
        LineCase{"3000000000 1 \"A\"\n", 0, "PutChar: coord out of bounds (2147483647, 1)\n", 0, 0,
                 ""},
        LineCase{"4294967296 99999999999999999999 \"A\"\n", 0,
                 "PutChar: coord out of bounds (2147483647, 2147483647)\n", 0, 0, ""},
        LineCase{"1 2 junk \"AB\" tail \"C\" and \"D\n", 0, "", 1, 2, "AB"},
        LineCase{"1 2 \"\"\n", 0, "", 0, 0, ""}, LineCase{"-1 2 \"\"\n", 0, "", 0, 0, ""},
        LineCase{std::string("1 2 \"A\0B\"\n", 10), 0, "PutChar: char out of bounds (0)\n", 1, 2,
                 "AB"},
        LineCase{"1 2 \"\xe9t\xe9\"\n", 0, "", 1, 2, "\xe9t\xe9"},
        LineCase{"\n", -1, "Error reading coordinates.", 0, 0, ""},
        LineCase{"12 \"A\"\n", -1, "Error reading coordinates.", 0, 0, ""},
        LineCase{"x 1 2 \"A\"\n", -1, "Error reading coordinates.", 0, 0, ""},
        LineCase{"1 2 A\n", -1, "Error reading string.", 0, 0, ""},
        LineCase{"1 2 \"A\n", -1, "Error reading string termination.", 0, 0, ""}));

TEST(StringsFile, StopsReadingAtTheFirstBadLine) {
  const std::string good = "1 1 \"A\"\n";
  const std::string bad = "1 1 B\n";
  const std::string content = good + bad + "1 20 \"C\"\n";
  FILE* input = tmpfile();
  ASSERT_NE(input, nullptr);
  ASSERT_EQ(fwrite(content.data(), 1, content.size(), input), content.size());
  rewind(input);
  splash_image_clear();
  OutputCapture capture;
  EXPECT_EQ(strings_file_draw(input, "strings.txt"), -1);
  EXPECT_EQ(capture.take(), "Error reading string.");
  EXPECT_EQ(ftell(input), static_cast<long>(good.size() + bad.size()));
  fclose(input);
  const SplashBytes drawn = splash_copy();
  splash_image_clear();
  PutChar(1, 1, 'A');
  EXPECT_EQ(drawn, splash_copy());
}

}  // namespace
