// Pacing of boot records, from the simulator's timestamps. Only lower bounds:
// a loaded machine can make any gap longer, never shorter than kovrel made it.
// The simulator stamps bytes when it reads them, possibly late for the first
// of two events, so each bound allows some slack; the slack stays below one
// character time, so a pause short by even one character still fails.
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "uart_board.h"

namespace uart_test {
namespace {

constexpr int64_t CHAR_2400_US = 4167;
constexpr int64_t RECORD_PAUSE_US = 20000;

TEST_F(UartTiming, PausesCountCharacterTimesOfTheRequestedSpeed) {
  // At 2400 baud (the slowest speed the slave follows within 2 %) a
  // character lasts 4.2 ms, 16 times one at 38400: the shortest pause, two
  // characters, is still longer than a late observation can take from it.
  auto result =
      run_job("WRITE_8 0x001122FF 0xCA\nREAD_8 0x001122FF\nJUMP 0x00001000\n", {"-b", "2400"});
  ASSERT_EQ(result.status, 0) << result.err;
  // Offsets of the fields on the line.
  const std::string expected =
      "A"
      "002060A8C4"
      "0000000D"  // 1..10, 11..18
      "001122FF01"
      "CA"           // 19..28, 29..30
      "001122FF21"   // 31..40
      "00001000C0";  // 41..50
  ASSERT_EQ(wire(), expected);
  struct Gap {
    const char* what;
    size_t earlier;  // last byte before the pause
    size_t later;    // first byte after it
    int char_times;
  };
  const Gap gaps[] = {
      {"sync answer wait", 0, 1, 2},
      // The line still runs at 38400, but the waits already use 2400 baud.
      {"speed change: command echo wait", 10, 11, 11},
      {"speed change: data echo wait", 18, 19, 9},
      {"write: command echo wait", 28, 29, 11},
      {"write: data echo wait", 30, 31, 3},
      {"read: answer wait", 40, 41, 13},
  };
  for (const Gap& gap : gaps) {
    EXPECT_GE(gap_us(gap.earlier, gap.later), gap.char_times * CHAR_2400_US - OBSERVATION_SLACK_US)
        << gap.what;
  }
  EXPECT_EQ(slave->mismatches(), 0);
}

// A real UART still shifts out the last characters of the speed-change record
// after the kernel's queue is empty (the simulated port's queue, too, leaves
// out the 33 its transmitter holds): kovrel asks the line status and changes
// the speed only once the record's last character has left the line.
TEST_F(UartTiming, PortChangesSpeedOnlyAfterTheTransmitterHadTimeToEmpty) {
  auto result = run_job("", {"-b", "57600"});
  ASSERT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(wire(),
            "A"
            "002060A8C4"
            "0000013D");
  uint64_t changed_ns = 0;
  for (const auto& e : board.journal().of(boardsim::EventKind::SerialSpeed, 0)) {
    if (e.value == 57600) changed_ns = e.t_ns;
  }
  ASSERT_NE(changed_ns, 0u) << board.journal().to_text();
  uint64_t left_ns = 0;
  for (const auto& e : board.journal().of(boardsim::EventKind::SerialToSlave, 0)) {
    left_ns = e.wire_end_ns;
  }
  EXPECT_GE(changed_ns, left_ns) << "the speed changed under the record's last character";
  EXPECT_NEAR(slave->line_speed(), 57691.0, 0.05);
}

TEST_F(UartTiming, WaitPausesItsMilliseconds) {
  auto result = run_job("WRITE_8 0x1000 0x1\nWAIT 150\nWRITE_8 0x1001 0x2\n");
  ASSERT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(wire(),
            "A0000100001010000100101"
            "02");
  EXPECT_GE(gap_us(12, 13), 150000 - OBSERVATION_SLACK_US);
}

TEST_F(UartTiming, SpiPhaseStartsNoEarlierThan100msAfterTheUartJob) {
  board.write_file(SPI_JOB_PATH, "; nothing\n");
  auto result = run_job("WRITE_8 0x1000 0x1\n", {"-s", SPI_JOB_PATH});
  ASSERT_EQ(wire(),
            "A0000100001"
            "01")
      << result.err;
  auto opens = board.journal().of(boardsim::EventKind::SpiOpen);
  ASSERT_FALSE(opens.empty()) << "the SPI phase follows a finished UART job";
  // From the earliest moment the last byte can have reached the simulator:
  // a late read of it would make the pause look short.
  const auto sent = board.journal().of(boardsim::EventKind::SerialToSlave, 0);
  ASSERT_FALSE(sent.empty());
  const uint64_t last_ns = sent.back().t_min_ns != 0 ? sent.back().t_min_ns : sent.back().t_ns;
  EXPECT_GE(static_cast<int64_t>(opens.front().t_ns - last_ns) / 1000,
            100000 - OBSERVATION_SLACK_US);
}

// A br file replays the download at its pace: each record goes out no
// earlier than 20 ms after the one before. Measured from the earliest moment
// the earlier record's last byte can have reached the simulator, so that
// neither a late read nor two records read as one can hide or fake a pause.
TEST_F(UartTiming, BrFileReplayKeepsTheRecords20msApart) {
  const std::string image = firmware(150, 3);
  board.write_file("/tmp/fw.bin", image);
  auto first = run_job("BIN_FILE 0x00001000 /tmp/fw.bin\n", {"-w"});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string br = board.read_file("/tmp/fw.br");
  ASSERT_EQ(std::count(br.begin(), br.end(), '\n'), 5)
      << "150 bytes: four records of 31 and one of 26";

  attach({});
  auto replay = run_job("BR_FILE /tmp/fw.br\n");
  ASSERT_EQ(replay.status, 0) << replay.err;
  const std::vector<ByteTime> at = byte_times();
  ASSERT_EQ(at.size(), wire().size());
  std::istringstream lines(br);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  size_t start = 1 + line.size();  // the second record's first byte, after the sync character
  int checked = 0;
  for (; std::getline(lines, line); start += line.size()) {
    ASSERT_LT(start, at.size());
    ASSERT_EQ(wire().substr(start, line.size()), line);
    if (at[start - 1].earliest_ns == 0) continue;  // the run's first read cannot say
    EXPECT_GE(static_cast<int64_t>(at[start].read_ns - at[start - 1].earliest_ns) / 1000,
              RECORD_PAUSE_US - HAND_OVER_SLACK_US)
        << "record at " << start;
    ++checked;
  }
  EXPECT_GE(checked, 3) << "only the first records can share the run's first read";
}

}  // namespace
}  // namespace uart_test
