// Pacing of boot records, from the simulator's timestamps. Only lower bounds:
// a loaded machine can make any gap longer, never shorter than kovrel made it.
// The simulator stamps bytes when it reads them, possibly late for the first
// of two events, so each bound allows some slack; the slack stays below one
// character time, so a pause short by even one character still fails.
#include <string>
#include <vector>

#include "uart_board.h"

namespace uart_test {
namespace {

constexpr int64_t kChar600Us = 16667;
constexpr int64_t kSlack600Us = kChar600Us / 2;
constexpr int64_t kRecordPauseUs = 20000;

TEST_F(UartBoard, PausesCountCharacterTimesOfTheRequestedSpeed) {
  // At 600 baud a character lasts 16.7 ms, long against any scheduling delay.
  auto result = run_job("WRITE_8 0x001122FF 0xCA\nREAD_8 0x001122FF\nJUMP 0x00001000\n",
                        {"-b", "600"});
  ASSERT_EQ(result.status, 0) << result.err;
  // Offsets of the fields on the line.
  const std::string expected = "A"
                               "002060A8C4" "00000003"   // 1..10, 11..18
                               "001122FF01" "CA"         // 19..28, 29..30
                               "001122FF21"              // 31..40
                               "00001000C0";             // 41..50
  ASSERT_EQ(wire(), expected);
  struct Gap {
    const char* what;
    size_t earlier;  // last byte before the pause
    size_t later;    // first byte after it
    int char_times;
  };
  const Gap gaps[] = {
      {"sync answer wait", 0, 1, 2},
      // The line still runs at 38400, but the waits already use 600 baud.
      {"speed change: command echo wait", 10, 11, 11},
      {"speed change: data echo wait", 18, 19, 9},
      {"write: command echo wait", 28, 29, 11},
      {"write: data echo wait", 30, 31, 3},
      {"read: answer wait", 40, 41, 13},
  };
  for (const Gap& gap : gaps) {
    EXPECT_GE(gap_us(gap.earlier, gap.later), gap.char_times * kChar600Us - kSlack600Us)
        << gap.what;
  }
  EXPECT_EQ(slave->mismatches(), 0);
}

// A real UART still shifts out the last characters of the speed-change record
// after the kernel's queue is empty. The simulated port cannot tell when its
// transmitter is empty, so kovrel gives a full 64-character FIFO its time at
// 38400 baud before the port changes speed.
TEST_F(UartBoard, PortChangesSpeedOnlyAfterTheTransmitterHadTimeToEmpty) {
  constexpr int64_t kChar38400Us = 260;
  auto result = run_job("", {"-b", "57600"});
  ASSERT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(wire(), "A" "002060A8C4" "0000013D");
  uint64_t changed_ns = 0;
  for (const auto& e : board.journal().of(boardsim::EventKind::SerialSpeed, 0)) {
    if (e.value == 57600) changed_ns = e.t_ns;
  }
  ASSERT_NE(changed_ns, 0u) << board.journal().to_text();
  EXPECT_GE(static_cast<int64_t>(changed_ns - wire_byte_ns(18)) / 1000,
            64 * kChar38400Us - kObservationSlackUs);
  EXPECT_EQ(slave->line_speed(), 57600u);
}

struct RecordPauseRow {
  const char* name;
  const char* baud;
  uint32_t address;
  size_t size;
  size_t record_chars;  // command and data of every full record
};

const RecordPauseRow kRecordPauseRows[] = {
    {"Words38400", "38400", 0x1000, 28 * 4, 10 + 56},
    {"Bytes38400", "38400", 0x1001, 31 * 3, 10 + 62},
    {"Words57600", "57600", 0x1000, 28 * 4, 10 + 56},
};

class UartRecordPause : public UartBoard, public ::testing::WithParamInterface<RecordPauseRow> {};

TEST_P(UartRecordPause, NextRecordStartsNoEarlierThan20msAfterTheData) {
  const RecordPauseRow& row = GetParam();
  board.write_file("/tmp/fw.bin", firmware(row.size));
  auto result = run_job("BIN_FILE 0x" + hex(row.address, 8) + " /tmp/fw.bin\n",
                        {"-v", "1", "-b", row.baud});
  ASSERT_EQ(result.status, 0) << result.err;
  const size_t first = wire().find(hex(row.address, 8));
  ASSERT_NE(first, std::string::npos);
  const size_t records = wire().size() - first;
  ASSERT_EQ(records % row.record_chars, 0u);
  for (size_t start = first + row.record_chars; start < wire().size(); start += row.record_chars) {
    // The data echo wait comes before the 20 ms, so no slack is needed here.
    EXPECT_GE(gap_us(start - 1, start), kRecordPauseUs) << "record at offset " << start;
  }
  EXPECT_EQ(slave->memory_bytes(row.address, row.size), bytes_of(firmware(row.size)));
  EXPECT_EQ(slave->mismatches(), 0);
  const std::string byte_time = std::string(row.baud) == "57600" ? "174" : "260";
  EXPECT_TRUE(contains_in_order(result.err, {"UART byte trasmission time = " + byte_time + " usec\n"}));
}

INSTANTIATE_TEST_SUITE_P(Downloads, UartRecordPause, ::testing::ValuesIn(kRecordPauseRows),
                         [](const ::testing::TestParamInfo<RecordPauseRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

TEST_F(UartBoard, WaitPausesItsMilliseconds) {
  auto result = run_job("WRITE_8 0x1000 0x1\nWAIT 150\nWRITE_8 0x1001 0x2\n");
  ASSERT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(wire(), "A0000100001010000100101" "02");
  EXPECT_GE(gap_us(12, 13), 150000 - kObservationSlackUs);
}

TEST_F(UartBoard, SpiPhaseStartsNoEarlierThan100msAfterTheUartJob) {
  board.write_file(kSpiJobPath, "; nothing\n");
  auto result = run_job("WRITE_8 0x1000 0x1\n", {"-s", kSpiJobPath});
  ASSERT_EQ(wire(), "A0000100001" "01") << result.err;
  auto opens = board.journal().of(boardsim::EventKind::SpiOpen);
  ASSERT_FALSE(opens.empty()) << "the SPI phase follows a finished UART job";
  EXPECT_GE(static_cast<int64_t>(opens.front().t_ns - wire_byte_ns(wire().size() - 1)) / 1000,
            100000 - kObservationSlackUs);
}

}  // namespace
}  // namespace uart_test
