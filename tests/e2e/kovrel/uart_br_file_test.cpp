// Boot record files met as they are in the field: damaged or cut files given
// to BR_FILE, the slave's echoes of a replay with -r, a link planted at the
// name -w writes, and downloads that fail or are stopped half way.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <set>
#include <string>
#include <vector>

#include "support/kovrel_console.h"
#include "uart_board.h"

namespace uart_test {
namespace {

using test_support::FAILED_TITLE;

constexpr const char* IMAGE_PATH = "/tmp/fw.bin";
constexpr const char* BR_PATH = "/tmp/fw.br";
const std::string BR_LINE = std::string("BR_FILE ") + BR_PATH + "\n";

struct BrCheckRow {
  const char* name;
  std::string content;
  const char* refusal;  // the message after "ERROR : "; nullptr when the file is sent
  std::string sent;     // on the line after the sync character, when sent
};

const std::string LONGEST = record(0x100F, 0x1F, std::string(62, '5'));

const BrCheckRow BR_CHECKS[] = {
    {"NotHexadecimal", "00001000C404030201\n00001004C4XX030201\n",
     "boot record not hexadecimal in </tmp/fw.br> line 2", ""},
    {"NulInARecord", std::string("00001000C4040\0000201\n", 19),
     "boot record not hexadecimal in </tmp/fw.br> line 1", ""},
    {"LongerThan72", LONGEST + "\n" + LONGEST + "55\n",
     "boot record longer than 72 chars in </tmp/fw.br> line 2", ""},
    {"ShorterThanACommand", "\n00001000C\n",
     "boot record shorter than 10 chars in </tmp/fw.br> line 2", ""},
    {"CutMidRecord", "00001000C404030201\n00001004C4080706",
     "boot record of 16 chars where its control byte calls for 18 in </tmp/fw.br> line 2", ""},
    {"DataAfterAReadRequest", "00001000E404030201\n",
     "boot record of 18 chars where its control byte calls for 10 in </tmp/fw.br> line 1", ""},
    {"LowerCaseDigits", "00001000C404030201\n00001004C408070605\n0000100cc40c0b0a09\n",
     "boot record in lower-case hexadecimal in </tmp/fw.br> line 3", ""},
    {"OneLowerCaseLetter", "00001000C4040302f1\n",
     "boot record in lower-case hexadecimal in </tmp/fw.br> line 1", ""},
    {"ControlByteCountsForEveryWidth", "0000100001AA\n0000100042BBAA\n0000100043BBAA\n",
     "boot record of 14 chars where its control byte calls for 16 in </tmp/fw.br> line 3", ""},
    // Accepted: line ends with carriage returns, blank lines, a read
    // request, the longest record, and a last record without its line end.
    {"CrLfAndBlankLines", "00001000C404030201\r\n\r\n0000ABCDE4\r\n" + LONGEST + "\n", nullptr,
     "00001000C404030201"
     "0000ABCDE4" +
         LONGEST},
    {"LastRecordWithoutLineEnd", "00001000C404030201\n\n00001004C408070605", nullptr,
     "00001000C404030201"
     "00001004C408070605"},
    {"Empty", "", nullptr, ""},
};

class UartBrCheck : public UartBoard, public ::testing::WithParamInterface<BrCheckRow> {};

TEST_P(UartBrCheck, WholeFileCheckedBeforeARecordIsSent) {
  const BrCheckRow& row = GetParam();
  board.write_file(BR_PATH, row.content);
  auto result = run_job(BR_LINE + "WRITE_8 0x00002000 0x1\n");
  if (row.refusal == nullptr) {
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(wire(), "A" + row.sent +
                          "0000200001"
                          "01");
    return;
  }
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(wire(), "A") << "nothing of a refused file is sent";
  EXPECT_TRUE(contains_in_order(result.err,
                                {"\nERROR : " + std::string(row.refusal) + "\n", FAILED_TITLE}));
}

INSTANTIATE_TEST_SUITE_P(Files, UartBrCheck, ::testing::ValuesIn(BR_CHECKS),
                         [](const ::testing::TestParamInfo<BrCheckRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

// BR_FILE reads no echoes; with -r the next record must not find them. A
// record of 28 bytes is 66 characters; at 28800 baud and below it takes
// longer on the line than the 20 ms pause (34 ms at 19200, 275 ms at 2400,
// the slowest speed the slave follows within 2 %), so the pause must count
// from its end for the slave to store it and for its echo to be in before
// the discard. At 57600 the slave runs at 57691 baud, 0.16 % away.
struct BrSpeedRow {
  const char* name;
  const char* baud;  // nullptr: the default 38400
};

class UartBrSpeed : public UartBoard, public ::testing::WithParamInterface<BrSpeedRow> {};

TEST_P(UartBrSpeed, ReplayedRecordsEchoesAreGoneBeforeTheNextCheckedRecord) {
  const BrSpeedRow& row = GetParam();
  std::string words;
  std::vector<uint8_t> image;
  for (int i = 0; i < 28; ++i) image.push_back(static_cast<uint8_t>(i + 1));
  for (int w = 0; w < 7; ++w) {
    for (int b = 3; b >= 0; --b) words += hex(image[static_cast<size_t>(4 * w + b)], 2);
  }
  board.write_file(BR_PATH, record(0x1000, 0xDC, words) + "\n" + record(0x101C, 0x01, "1D") + "\n");
  image.push_back(0x1D);
  std::vector<std::string> options = {"-v", "1", "-r"};
  if (row.baud != nullptr) options.insert(options.end(), {"-b", row.baud});
  auto result = run_job(BR_LINE + "WRITE_16 0x00002000 0xBEEF\nJUMP 0x00001000\n", options);
  ASSERT_EQ(result.status, 0) << result.err << board.journal().to_text();
  EXPECT_TRUE(contains_in_order(result.err, {"\tBRECORD = 00002000 42 BEEF>\n",
                                             "\tBRECORD = 00001000 C0 \n", "... DONE\n\n"}));
  EXPECT_EQ(slave->memory_bytes(0x1000, image.size()), image);
  EXPECT_EQ(slave->memory_bytes(0x2000, 2), (std::vector<uint8_t>{0xEF, 0xBE}));
  EXPECT_EQ(slave->jumps(), std::vector<uint32_t>{0x1000});
}

INSTANTIATE_TEST_SUITE_P(Speeds, UartBrSpeed,
                         ::testing::Values(BrSpeedRow{"Default38400", nullptr},
                                           BrSpeedRow{"Slower19200", "19200"},
                                           BrSpeedRow{"Slowest2400", "2400"},
                                           BrSpeedRow{"Fastest57600", "57600"}),
                         [](const ::testing::TestParamInfo<BrSpeedRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

std::string bin_file_line() { return std::string("BIN_FILE 0x00001000 ") + IMAGE_PATH + "\n"; }

// The files in the board's /tmp. Directories are left out: a checkout or
// build under the host's /tmp is mounted back at its own path, which leaves
// its top directory in the sandbox as a mount point.
std::set<std::string> tmp_names(boardsim::Board& board) {
  std::set<std::string> names;
  DIR* dir = opendir(board.host_path("/tmp").c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.' && entry->d_type != DT_DIR) names.insert(entry->d_name);
  }
  closedir(dir);
  return names;
}

// Root writing the br file must not write through a link planted at its name
// (it would overwrite the link's target); the link is replaced by the file.
TEST_F(UartBoard, LinkPlantedAtTheBrFileIsReplacedNotFollowed) {
  board.write_file("/tmp/precious", "keep me\n");
  ASSERT_EQ(symlink("precious", board.host_path(BR_PATH).c_str()), 0);
  board.write_file(IMAGE_PATH, std::string("\x01\x02\x03\x04", 4));
  auto result = run_job(bin_file_line(), {"-w"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(board.read_file("/tmp/precious"), "keep me\n");
  struct stat status {};
  ASSERT_EQ(lstat(board.host_path(BR_PATH).c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(board.read_file(BR_PATH), "00001000C404030201\n");
  // The mode a plainly created file has, not the temporary file's 0600.
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);
  EXPECT_EQ(tmp_names(board),
            (std::set<std::string>{"fw.bin", "fw.br", "precious", "uart_job.txt"}));
}

// The br file that -w replaces keeps its permissions; a link, or no file,
// gives the mode of a newly created file.
struct BrModeRow {
  const char* name;
  int earlier_mode;  // of the regular file there before; -1: none, -2: a link
};

const BrModeRow BR_MODES[] = {
    {"NoEarlierFile", -1}, {"LinkAtTheName", -2}, {"ReadOnlyForAll", 0444},
    {"GroupShared", 0660}, {"OwnerOnly", 0600},
};

class UartBrMode : public UartBoard, public ::testing::WithParamInterface<BrModeRow> {};

TEST_P(UartBrMode, ReplacementKeepsTheModeOfTheFileItReplaces) {
  const BrModeRow& row = GetParam();
  const std::string br_host = board.host_path(BR_PATH);
  if (row.earlier_mode >= 0) {
    board.write_file(BR_PATH, "00000000C400000000\n");
    ASSERT_EQ(chmod(br_host.c_str(), static_cast<mode_t>(row.earlier_mode)), 0);
  } else if (row.earlier_mode == -2) {
    board.write_file("/tmp/other", "not ours\n");
    ASSERT_EQ(chmod(board.host_path("/tmp/other").c_str(), 0600), 0);
    ASSERT_EQ(symlink("other", br_host.c_str()), 0);
  }
  board.write_file(IMAGE_PATH, std::string("\x01\x02\x03\x04", 4));
  auto result = run_job(bin_file_line(), {"-w"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(board.read_file(BR_PATH), "00001000C404030201\n");
  struct stat status {};
  ASSERT_EQ(lstat(br_host.c_str(), &status), 0);
  ASSERT_TRUE(S_ISREG(status.st_mode));
  const mode_t mask = umask(0);
  umask(mask);
  const mode_t expected =
      row.earlier_mode >= 0 ? static_cast<mode_t>(row.earlier_mode) : (0666 & ~mask);
  EXPECT_EQ(status.st_mode & 07777, expected);
}

INSTANTIATE_TEST_SUITE_P(Modes, UartBrMode, ::testing::ValuesIn(BR_MODES),
                         [](const ::testing::TestParamInfo<BrModeRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

// What a -w run finds beside its br file: only the temporary files of its
// own pattern that are ours, regular, with one name and not locked by a run
// that still writes them are removed.
enum class Planted { File, LockedFile, SymbolicLink, HardLink, OtherOwner };

struct StaleTempRow {
  const char* name;
  const char* planted;
  Planted kind;
  bool removed;
};

const StaleTempRow STALE_TEMPS[] = {
    {"LeftByAKilledRun", "fw.br.kovrel-Ab12Z9", Planted::File, true},
    {"LockedByARunStillWriting", "fw.br.kovrel-LIVE01", Planted::LockedFile, false},
    {"SevenCharacters", "fw.br.kovrel-ABCDEFG", Planted::File, false},
    {"FiveCharacters", "fw.br.kovrel-ABCDE", Planted::File, false},
    {"NotOfMkostemp", "fw.br.kovrel-AB-DEF", Planted::File, false},
    {"OfAnotherBrFile", "gw.br.kovrel-ABCDEF", Planted::File, false},
    // The user's own copies beside the br file, six characters or not.
    {"TheUsersBackup", "fw.br.backup", Planted::File, false},
    {"TheUsersOldCopy", "fw.br.old123", Planted::File, false},
    {"SymbolicLink", "fw.br.kovrel-LINK01", Planted::SymbolicLink, false},
    {"HardLinkToAnotherFile", "fw.br.kovrel-HARD01", Planted::HardLink, false},
    {"OfAnotherUser", "fw.br.kovrel-USER01", Planted::OtherOwner, false},
};

class UartBrStaleTemp : public UartBoard, public ::testing::WithParamInterface<StaleTempRow> {};

TEST_P(UartBrStaleTemp, OnlyOurOwnLeftoversAreRemoved) {
  const StaleTempRow& row = GetParam();
  const std::string planted = std::string("/tmp/") + row.planted;
  const std::string host = board.host_path(planted);
  board.write_file("/tmp/precious", "keep me\n");
  int lock = -1;
  switch (row.kind) {
    case Planted::File: board.write_file(planted, "0000"); break;
    case Planted::LockedFile:
      board.write_file(planted, "0000");
      lock = open(host.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(lock, 0);
      ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
      break;
    case Planted::SymbolicLink: ASSERT_EQ(symlink("precious", host.c_str()), 0); break;
    case Planted::HardLink:
      ASSERT_EQ(link(board.host_path("/tmp/precious").c_str(), host.c_str()), 0);
      break;
    case Planted::OtherOwner:
      board.write_file(planted, "0000");
      if (chown(host.c_str(), 1001, 1001) != 0) GTEST_SKIP() << "needs root to give the file away";
      break;
  }
  board.write_file(IMAGE_PATH, std::string("\x01\x02\x03\x04", 4));
  auto result = run_job(bin_file_line(), {"-w"});
  if (lock >= 0) close(lock);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(board.read_file(BR_PATH), "00001000C404030201\n");
  struct stat status {};
  EXPECT_EQ(lstat(host.c_str(), &status) == 0, !row.removed);
  EXPECT_EQ(board.read_file("/tmp/precious"), "keep me\n");
  std::set<std::string> expected{"fw.bin", "fw.br", "precious", "uart_job.txt"};
  if (!row.removed) expected.insert(row.planted);
  EXPECT_EQ(tmp_names(board), expected);
}

INSTANTIATE_TEST_SUITE_P(Leftovers, UartBrStaleTemp, ::testing::ValuesIn(STALE_TEMPS),
                         [](const ::testing::TestParamInfo<StaleTempRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

enum class Ending { Terminated, RecordRefused, Killed };

struct UnfinishedRow {
  const char* name;
  Ending ending;
  bool earlier;  // a complete br file of an earlier download is there
};

const UnfinishedRow UNFINISHED[] = {
    {"TerminatedWithoutEarlierFile", Ending::Terminated, false},
    {"TerminatedEarlierFileKept", Ending::Terminated, true},
    {"RecordRefusedEarlierFileKept", Ending::RecordRefused, true},
    // SIGKILL leaves the temporary file; the next -w run removes it.
    {"KilledThenNextRunRemovesItsFile", Ending::Killed, false},
};

class UartBrUnfinished : public UartBoard, public ::testing::WithParamInterface<UnfinishedRow> {};

TEST_P(UartBrUnfinished, LeavesNoPartialBrFileAndNoTemporaryFile) {
  const UnfinishedRow& row = GetParam();
  const std::string earlier = "00000000C400000000\n";
  if (row.earlier) board.write_file(BR_PATH, earlier);
  constexpr size_t RECORDS = 100;  // 28 bytes each: some 4 s on the line
  board.write_file(IMAGE_PATH, firmware(28 * RECORDS));
  board.write_file(JOB_PATH, bin_file_line());
  board.journal().clear();
  const size_t record_chars = 10 + 56;
  if (row.ending == Ending::RecordRefused) {
    boardsim::ImxOptions refusing;
    refusing.refuse = true;
    attach(refusing);
    auto result = run_job(bin_file_line(), {"-w", "-r"});
    EXPECT_EQ(result.status, 255);
  } else {
    boardsim::Command command;
    command.argv = {"kovrel", "-w", "-u", JOB_PATH};
    command.timeout_s = 60;
    auto process = board.start(command);
    // Stopped once a few records are out, long before the last.
    ASSERT_TRUE(process->wait_until([&] { return wire().size() > 1 + 3 * record_chars; }, 30));
    const int sig = row.ending == Ending::Killed ? SIGKILL : SIGTERM;
    auto result = process->kill(sig);
    EXPECT_EQ(result.signal, sig);
    EXPECT_LT(wire().size(), 1 + RECORDS * record_chars);
  }
  if (row.ending == Ending::Killed) {
    EXPECT_EQ(tmp_names(board).size(), 3u) << "the killed run's temporary file stays";
    board.write_file(IMAGE_PATH, std::string("\x01\x02\x03\x04", 4));
    auto next = run_job(bin_file_line(), {"-w"});
    ASSERT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(board.read_file(BR_PATH), "00001000C404030201\n");
    EXPECT_EQ(tmp_names(board), (std::set<std::string>{"fw.bin", "fw.br", "uart_job.txt"}));
    return;
  }
  if (row.earlier) {
    EXPECT_EQ(board.read_file(BR_PATH), earlier);
  } else {
    EXPECT_FALSE(board.file_exists(BR_PATH));
  }
  std::set<std::string> expected{"fw.bin", "uart_job.txt"};
  if (row.earlier) expected.insert("fw.br");
  EXPECT_EQ(tmp_names(board), expected);
}

INSTANTIATE_TEST_SUITE_P(Downloads, UartBrUnfinished, ::testing::ValuesIn(UNFINISHED),
                         [](const ::testing::TestParamInfo<UnfinishedRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

}  // namespace
}  // namespace uart_test
