// No pause on the line is shorter than its mandated length: the character
// counts of every field pause, the 20 ms between records, the wait for the
// transmitter before the speed changes. Read from the journal's timestamps,
// with bounds that a loaded machine cannot break:
//
// - A late read by the simulator makes the earlier byte of a pair look late
//   and so the gap look short. The journal therefore also says how early
//   each event's bytes can have reached the simulator (t_min_ns, from its
//   last look at the line and how long it was busy or waiting for a
//   processor since); from that moment to the read of the later byte is
//   never shorter than the pause kovrel made, however late the reads.
//   What the simulator cannot see is the kernel's hand-over from the board's
//   side of the pty to its own: HAND_OVER_SLACK_US allows for it, and only
//   pauses longer than that are checked this way.
// - With -r, kovrel counts the 20 ms after a record from the moment it has
//   the data echo, which the slave model sends only once it has read the
//   record's last byte. So the next record comes at least 20 ms after that
//   read, on any machine, and is checked with no slack at all.
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "uart_board.h"

namespace uart_test {
namespace {

constexpr int64_t RECORD_PAUSE_US = 20000;
// After the speed-change record has left the UART: the slave's last answer.
constexpr int64_t SPEED_SETTLE_US = 10000;
constexpr size_t WORD_CHUNK = 28;  // bytes of a 32-bit record
constexpr size_t BYTE_CHUNK = 31;  // bytes of an 8-bit record
constexpr size_t COMMAND_CHARS = 10;

struct FloorRow {
  const char* name;
  const char* baud;
  int32_t byte_time_us;
  bool echo;
  uint32_t address;  // where the image goes: word records when aligned
  size_t chunk;      // bytes of a full record
  size_t image_bytes;
};

void PrintTo(const FloorRow& row, std::ostream* os) { *os << row.name; }

// At 2400 baud (the slowest speed the slave follows within 2 %) every field
// pause, 9 characters (37.5 ms) and more, outlasts the hand-over slack and
// is checked to within it; at 38400 and 57600 the records
// are many and the pauses between them are what the check can see, in word
// and in byte records.
const FloorRow FLOOR_ROWS[] = {
    {"Slow2400", "2400", 4167, false, 0x1000, WORD_CHUNK, WORD_CHUNK + 4},
    {"Slow2400Echoed", "2400", 4167, true, 0x1000, WORD_CHUNK, WORD_CHUNK + 4},
    {"Words38400", "38400", 260, false, 0x1000, WORD_CHUNK, WORD_CHUNK * 4},
    {"Bytes38400", "38400", 260, false, 0x1001, BYTE_CHUNK, BYTE_CHUNK * 3},
    {"Fast57600", "57600", 174, false, 0x1000, WORD_CHUNK, WORD_CHUNK * 12},
    {"Fast57600Echoed", "57600", 174, true, 0x1000, WORD_CHUNK, WORD_CHUNK * 12},
};

// A pause on the line: after byte `earlier`, before byte `later`.
struct Pause {
  std::string what;
  size_t earlier;
  int64_t mandated_us;
  bool after_echo;  // starts when kovrel has the slave's answer to byte `earlier`
};

// Every pause of `A`, the speed change, the download, READ_32 and JUMP, in
// the order they come on the line.
std::vector<Pause> pauses_of(const FloorRow& row) {
  const int64_t c = row.byte_time_us;
  std::vector<Pause> pauses = {{"sync answer wait", 0, 2 * c, false}};
  size_t at = 1;
  if (std::string(row.baud) != "38400") {
    pauses.push_back({"speed change: command echo wait", at + 9, 11 * c, false});
    // The data echo's 9 characters end one character after the last one
    // sent; the port then changes speed and waits for the slave's answer.
    pauses.push_back(
        {"speed change: data echo and settling wait", at + 17, c + SPEED_SETTLE_US, false});
    at += COMMAND_CHARS + 8;
  }
  for (size_t sent = 0; sent < row.image_bytes; sent += row.chunk) {
    const size_t count = std::min(row.chunk, row.image_bytes - sent);
    const std::string record = "record at " + std::to_string(at);
    pauses.push_back({record + ": command echo wait", at + 9, 11 * c, false});
    at += COMMAND_CHARS + 2 * count;
    pauses.push_back(
        {record + ": record pause", at - 1,
         row.echo ? RECORD_PAUSE_US : static_cast<int64_t>(2 * count + 1) * c + RECORD_PAUSE_US,
         row.echo});
  }
  pauses.push_back({"read: answer wait", at + 9, (2 * 4 + 11) * c, false});
  return pauses;
}

class UartPauseFloorTiming : public UartBoard, public ::testing::WithParamInterface<FloorRow> {};

TEST_P(UartPauseFloorTiming, NoPauseOnTheLineIsShorterThanMandated) {
  const FloorRow& row = GetParam();
  board.write_file("/tmp/fw.bin", firmware(row.image_bytes));
  std::vector<std::string> options = {"-v", "1", "-b", row.baud};
  if (row.echo) options.push_back("-r");
  auto result = run_job(
      "BIN_FILE 0x" + hex(row.address, 8) + " /tmp/fw.bin\nREAD_32 0x00001000\nJUMP 0x00001000\n",
      options);
  ASSERT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(slave->memory_bytes(row.address, row.image_bytes), bytes_of(firmware(row.image_bytes)));
  EXPECT_TRUE(contains_in_order(result.err, {"UART byte trasmission time = " +
                                             std::to_string(row.byte_time_us) + " usec\n"}));
  const std::vector<ByteTime> at = byte_times();
  ASSERT_EQ(at.size(), wire().size());
  ASSERT_EQ(wire().substr(wire().size() - 2 * COMMAND_CHARS),
            "00001000E4"
            "00001000C0");

  int checkable = 0;
  int checked = 0;
  for (const Pause& pause : pauses_of(row)) {
    const ByteTime& earlier = at[pause.earlier];
    const ByteTime& later = at[pause.earlier + 1];
    if (pause.after_echo) {
      EXPECT_GE(static_cast<int64_t>(later.read_ns - earlier.read_ns) / 1000, pause.mandated_us)
          << pause.what;
      ++checkable;
      ++checked;
    } else if (pause.mandated_us > HAND_OVER_SLACK_US) {
      ++checkable;
      if (earlier.earliest_ns == 0) continue;
      EXPECT_GE(static_cast<int64_t>(later.read_ns - earlier.earliest_ns) / 1000,
                pause.mandated_us - HAND_OVER_SLACK_US)
          << pause.what;
      ++checked;
    }
  }
  // Only the first bytes the simulator read in the run can lack their
  // earliest moment.
  EXPECT_GE(checked, checkable - 1);
  EXPECT_EQ(slave->mismatches(), 0);
}

INSTANTIATE_TEST_SUITE_P(Downloads, UartPauseFloorTiming, ::testing::ValuesIn(FLOOR_ROWS),
                         [](const ::testing::TestParamInfo<FloorRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

}  // namespace
}  // namespace uart_test
