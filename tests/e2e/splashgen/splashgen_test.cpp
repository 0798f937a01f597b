// splashgen on the simulated board: the splash file it writes for a strings
// file, its messages and exit status, and which files it opens, creates or
// leaves alone.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boardsim/board.h"

namespace {

using boardsim::Board;
using boardsim::Command;
using boardsim::RunResult;

constexpr char INPUT[] = "/tmp/strings.txt";
constexpr char OUTPUT[] = "/tmp/splash.bin";
constexpr size_t IMAGE_SIZE = 1024;
constexpr int ROW_BYTES = 16;

std::string usage() {
  return "Usage: " + Board::program_path("splashgen") +
         " <strings input file> <splash output file>\n";
}

bool any_ink(const std::string& image) {
  return image.find_first_not_of('\0') != std::string::npos;
}

class Splashgen : public ::testing::Test {
 protected:
  RunResult run(const std::vector<std::string>& args) {
    Command command;
    command.argv = {"splashgen"};
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    return board_.run(command);
  }

  // The splash image of a strings file, with the run's result.
  RunResult convert(const std::string& strings, std::string* image) {
    board_.write_file(INPUT, strings);
    board_.remove_file(OUTPUT);
    const RunResult result = run({INPUT, OUTPUT});
    *image = board_.read_file(OUTPUT);
    return result;
  }

  // The image of a strings file that converts cleanly.
  std::string image_of(const std::string& strings) {
    std::string image;
    const RunResult result = convert(strings, &image);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(image.size(), IMAGE_SIZE);
    return image;
  }

  Board board_;
};

TEST_F(Splashgen, EmptyStringsFileGivesABlankImage) {
  std::string image;
  const RunResult result = convert("", &image);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(image, std::string(IMAGE_SIZE, '\0'));
}

TEST_F(Splashgen, CentresAndLaysOutTheGlyphAsTheDisplayShowsIt) {
  // 'A' is 7 wide, so centring starts it at (128 - 8) / 2 = 60; its row 0
  // inks glyph columns 2-5 (x 62-65), its row 1 columns 1-6 (x 61-66).
  const std::string image = image_of("-1 10 \"A\"\n");
  const auto byte = [&](int row, int column_byte) {
    return static_cast<unsigned char>(image[static_cast<size_t>(row * ROW_BYTES + column_byte)]);
  };
  EXPECT_EQ(byte(10, 7), 0x03);
  EXPECT_EQ(byte(10, 8), 0xC0);
  EXPECT_EQ(byte(11, 7), 0x07);
  EXPECT_EQ(byte(11, 8), 0xE0);
  EXPECT_EQ(byte(9, 7) | byte(9, 8) | byte(17, 7) | byte(17, 8), 0);
}

struct BadLine {
  const char* name;
  const char* line;
  const char* message;
};

const BadLine BAD_LINES[] = {
    {"blank_line", "\n", "Error reading coordinates."},
    {"one_number", "12 \"B\"\n", "Error reading coordinates."},
    {"no_quote", "5 30 B\n", "Error reading string."},
    {"no_closing_quote", "5 30 \"B\n", "Error reading string termination."},
};

class SplashgenBadLine : public Splashgen, public ::testing::WithParamInterface<BadLine> {};

TEST_P(SplashgenBadLine, StopsThereAndStillWritesTheLinesBefore) {
  const std::string before = "0 0 \"A\"\n20 10 \"Hi\"\n";
  const std::string expected = image_of(before);
  ASSERT_TRUE(any_ink(expected));
  std::string image;
  const RunResult result = convert(before + GetParam().line + "40 40 \"C\"\n", &image);
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, GetParam().message);
  EXPECT_EQ(image, expected);
}

INSTANTIATE_TEST_SUITE_P(Table, SplashgenBadLine, ::testing::ValuesIn(BAD_LINES),
                         [](const ::testing::TestParamInfo<BadLine>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST_F(Splashgen, FileEndingWithTwoLineEndsHasABlankLine) {
  std::string image;
  const RunResult result = convert("0 0 \"A\"\n\n", &image);
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, "Error reading coordinates.");
  EXPECT_EQ(image, image_of("0 0 \"A\""));
}

TEST_F(Splashgen, IgnoresTextAfterTheClosingQuote) {
  EXPECT_EQ(image_of("3 4 junk \"Hi\" more \"x\" and \"\n"), image_of("3 4 \"Hi\""));
}

TEST_F(Splashgen, ReadsTenMinusFiveAsXTenAndYMinusFive) {
  std::string image;
  const RunResult result = convert("10-5 \"A\"\n", &image);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "PutChar: coord out of bounds (10, -5)\n");
  EXPECT_EQ(image, std::string(IMAGE_SIZE, '\0'));
}

TEST_F(Splashgen, DrawsIso8859ByteE9WithItsAccentedGlyph) {
  std::string image;
  const RunResult result = convert("0 0 \"\xe9\"\n", &image);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(image, image_of("0 0 \"e\""));
  // The accent sits above the small letter, in rows 0 and 1.
  EXPECT_NE(image[0] | image[ROW_BYTES], 0);
  EXPECT_EQ(image_of("0 0 \"e\"")[0], 0);
}

TEST_F(Splashgen, OverwritesTheStartOfALongerFileAndKeepsItsTail) {
  const std::string old(2000, '\xAA');
  board_.write_file(OUTPUT, old);
  board_.write_file(INPUT, "0 0 \"A\"\n");
  const RunResult result = run({INPUT, OUTPUT});
  EXPECT_EQ(result.status, 0);
  const std::string file = board_.read_file(OUTPUT);
  ASSERT_EQ(file.size(), old.size());
  EXPECT_EQ(file.substr(0, IMAGE_SIZE), image_of("0 0 \"A\""));
  EXPECT_EQ(file.substr(IMAGE_SIZE), old.substr(IMAGE_SIZE));
}

TEST_F(Splashgen, GrowsAShorterFileToTheImageSize) {
  board_.write_file(OUTPUT, std::string(100, '\xAA'));
  board_.write_file(INPUT, "");
  EXPECT_EQ(run({INPUT, OUTPUT}).status, 0);
  EXPECT_EQ(board_.read_file(OUTPUT), std::string(IMAGE_SIZE, '\0'));
}

TEST_F(Splashgen, CreatesTheOutputReadableAndWritableByAllLessTheUmask) {
  const mode_t mask = umask(0);
  umask(mask);
  board_.write_file(INPUT, "");
  board_.remove_file(OUTPUT);
  EXPECT_EQ(run({INPUT, OUTPUT}).status, 0);
  struct stat info {};
  ASSERT_EQ(stat(board_.host_path(OUTPUT).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
  EXPECT_EQ(static_cast<size_t>(info.st_size), IMAGE_SIZE);
}

TEST_F(Splashgen, WrongArgumentCountTouchesNoFile) {
  board_.write_file(INPUT, "0 0 \"A\"\n");
  const std::string other = "/tmp/other.bin";
  board_.write_file(other, "kept");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {INPUT}, {INPUT, OUTPUT, other}, {INPUT, other, OUTPUT}}) {
    const RunResult result = run(args);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, usage());
    EXPECT_FALSE(board_.file_exists(OUTPUT));
    EXPECT_EQ(board_.read_file(other), "kept");
  }
}

TEST_F(Splashgen, MissingInputCreatesNoOutput) {
  const RunResult result = run({"/tmp/absent.txt", OUTPUT});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, "Input file missing.\n");
  EXPECT_FALSE(board_.file_exists(OUTPUT));
}

TEST_F(Splashgen, OutputThatCannotBeCreatedLeavesTheInputUnread) {
  // Reading this line would print its error.
  board_.write_file(INPUT, "not a strings line\n");
  const RunResult result = run({INPUT, "/tmp/no-such-dir/splash.bin"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, "Can't create output file.\n");
}

}  // namespace
