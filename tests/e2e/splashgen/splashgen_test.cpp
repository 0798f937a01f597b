// splashgen on the simulated board: the splash file it writes for a strings
// file, its messages and exit status, which files it opens, creates or leaves
// alone (a name another user planted in /tmp among them), and why it failed
// when it could not read or write them.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boardsim/board.h"
#include "support/board_env.h"

namespace {

using boardsim::Board;
using boardsim::Command;
using boardsim::RunResult;
using test_support::programs_emulated;

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

// A FIFO in place of either file would hold the run until something opened
// its other end: the strings file must be a regular file, the splash file a
// regular file or a character device, and the strings file is not read when
// the splash file is refused.
TEST_F(Splashgen, AFifoInPlaceOfEitherFileIsRefusedAtOnce) {
  const std::string fifo = "/tmp/plain.fifo";
  ASSERT_EQ(mkfifo(board_.host_path(fifo).c_str(), 0666), 0);
  RunResult result = run({fifo, OUTPUT});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, "Input file missing.\n");
  EXPECT_FALSE(board_.file_exists(OUTPUT));
  board_.write_file(INPUT, "not a strings line\n");
  result = run({INPUT, fifo});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, "Can't create output file.\n");
}

// A display's frame buffer is a character device; the image goes to it as to
// a file.
TEST_F(Splashgen, ACharacterDeviceTakesTheImage) {
  board_.write_file(INPUT, "0 0 \"A\"\n");
  const RunResult result = run({INPUT, "/dev/null"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
}

// A splash file that did not get the whole image, or an image drawn from
// part of the strings file, fails the run with one line naming the file and
// the reason. The image still holds what was read before the error.
struct FileFailure {
  const char* name;
  const char* input;  // nullptr: INPUT with one good line
  const char* output;
  const char* message;
};

const FileFailure FILE_FAILURES[] = {
    {"image_write_fails", nullptr, "/dev/full",
     "Can't write output file /dev/full: No space left on device.\n"},
    // Its first page is not mapped: a real read error from a regular file.
    {"input_read_fails", "/proc/self/mem", OUTPUT,
     "Can't read input file /proc/self/mem: Input/output error.\n"},
};

class SplashgenFileFailure : public Splashgen, public ::testing::WithParamInterface<FileFailure> {};

TEST_P(SplashgenFileFailure, SaysWhyAndFails) {
  const FileFailure& c = GetParam();
  board_.write_file(INPUT, "0 0 \"A\"\n");
  const RunResult result = run({c.input != nullptr ? c.input : INPUT, c.output});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, c.message);
  if (std::string(c.output) == OUTPUT) {
    EXPECT_EQ(board_.read_file(OUTPUT), std::string(IMAGE_SIZE, '\0'));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, SplashgenFileFailure, ::testing::ValuesIn(FILE_FAILURES),
                         [](const ::testing::TestParamInfo<FileFailure>& param_info) {
                           return std::string(param_info.param.name);
                         });

// A line longer than the memory allows is no end of file: the run fails and
// says so. The memory is limited from outside: by the shell for a plain
// build, by the allocator's own limit under AddressSanitizer, whose shadow
// memory no limit of the shell would leave room for. Under the emulator the
// limit would hold the emulator too, so the case is left to the host builds.
TEST_F(Splashgen, ALineTooLongForTheMemorySaysSo) {
  if (programs_emulated()) GTEST_SKIP() << "the limit would hold the emulator";
  // 64 MiB without a line end, as a sparse file: no disk space is used.
  board_.write_file(INPUT, "1 2 \"");
  ASSERT_EQ(truncate(board_.host_path(INPUT).c_str(), 64L << 20), 0);
  board_.remove_file(OUTPUT);
  Command command;
#if defined(__SANITIZE_ADDRESS__)
  command.argv = {"splashgen", INPUT, OUTPUT};
  command.env = {
      "ASAN_OPTIONS=verify_asan_link_order=0:allocator_may_return_null=1:"
      "max_allocation_size_mb=16"};
#else
  command.argv = {
      "sh",  "-c",  "ulimit -d 32768 && exec \"$0\" \"$@\"", Board::program_path("splashgen"),
      INPUT, OUTPUT};
#endif
  const RunResult result = board_.run(command);
  EXPECT_EQ(result.status, 255) << result.err;
  EXPECT_EQ(result.out,
            std::string("Can't read input file ") + INPUT + ": Cannot allocate memory.\n");
  EXPECT_EQ(board_.read_file(OUTPUT), std::string(IMAGE_SIZE, '\0'));
}

// Run as root, splashgen never writes through a name another user planted
// in the board's /tmp (sticky, anyone may write): neither a symbolic link of
// theirs, nor their existing file, nor a hard link to a file of root's. Its
// own link, and another user's file where no one else may create names,
// take the image.
enum class Planted { OtherUsersLink, OwnLink, OtherUsersFile, HardLinkToRoots, OutsideTmp };

struct PlantedOutput {
  const char* name;
  Planted planted;
  const char* output;
  bool written;
};

const PlantedOutput PLANTED_OUTPUTS[] = {
    {"other_users_link", Planted::OtherUsersLink, "/tmp/splash.bin", false},
    {"own_link", Planted::OwnLink, "/tmp/splash.bin", true},
    {"other_users_file", Planted::OtherUsersFile, "/tmp/splash.bin", false},
    {"hard_link_to_roots_file", Planted::HardLinkToRoots, "/tmp/splash.bin", false},
    {"other_users_file_outside_tmp", Planted::OutsideTmp, "/home/organ/splash.bin", true},
};

class SplashgenPlantedOutput : public Splashgen,
                               public ::testing::WithParamInterface<PlantedOutput> {};

TEST_P(SplashgenPlantedOutput, WritesOnlyWhereItsUserMeant) {
  const PlantedOutput& c = GetParam();
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's files needs root";
  constexpr uid_t OTHER_USER = 1001;
  const std::string secret_text = "root only\n";
  board_.write_file("/home/organ/secret", secret_text);
  const std::string secret = board_.host_path("/home/organ/secret");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  const std::string out = board_.host_path(c.output);
  switch (c.planted) {
    case Planted::OtherUsersLink:
      ASSERT_EQ(symlink("/home/organ/secret", out.c_str()), 0);
      ASSERT_EQ(lchown(out.c_str(), OTHER_USER, OTHER_USER), 0);
      break;
    case Planted::OwnLink:
      board_.write_file("/home/organ/own.bin", "");
      ASSERT_EQ(symlink("/home/organ/own.bin", out.c_str()), 0);
      break;
    case Planted::OtherUsersFile:
    case Planted::OutsideTmp:
      board_.write_file(c.output, "theirs\n");
      ASSERT_EQ(chown(out.c_str(), OTHER_USER, OTHER_USER), 0);
      break;
    case Planted::HardLinkToRoots: ASSERT_EQ(link(secret.c_str(), out.c_str()), 0); break;
  }
  board_.write_file(INPUT, "0 0 \"A\"\n");
  const RunResult result = run({INPUT, c.output});
  EXPECT_EQ(result.status, c.written ? 0 : 255);
  EXPECT_EQ(result.out, c.written ? "" : "Can't create output file.\n");
  EXPECT_EQ(board_.read_file("/home/organ/secret"), secret_text);
  const std::string written_to =
      c.planted == Planted::OwnLink ? "/home/organ/own.bin" : std::string(c.output);
  if (c.written) {
    EXPECT_EQ(board_.read_file(written_to).size(), IMAGE_SIZE);
  } else if (c.planted == Planted::OtherUsersFile) {
    EXPECT_EQ(board_.read_file(c.output), "theirs\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Table, SplashgenPlantedOutput, ::testing::ValuesIn(PLANTED_OUTPUTS),
                         [](const ::testing::TestParamInfo<PlantedOutput>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST_F(Splashgen, OutputThatCannotBeCreatedLeavesTheInputUnread) {
  // Reading this line would print its error.
  board_.write_file(INPUT, "not a strings line\n");
  const RunResult result = run({INPUT, "/tmp/no-such-dir/splash.bin"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, "Can't create output file.\n");
}

}  // namespace
