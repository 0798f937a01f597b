// The far-end models refuse on the running board what the slaves' firmware
// would refuse, one row per rule: wrong_board (wrong_board/) breaks the rule
// named in the row, and the journal must carry the model's annotation with
// its reason while the effect the rule guards does not happen. The same
// jobs done right, by kovrel and by wrong_board's own right runs, are taken
// without a refusal and have their effect.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "boardsim/board.h"
#include "boardsim/models/imx_bootstrap.h"
#include "boardsim/models/sound_modules.h"
#include "support/bytes.h"

namespace {

using boardsim::Board;
using boardsim::Bus;
using boardsim::Command;
using boardsim::Event;
using boardsim::EventKind;
using boardsim::RunResult;
using test_support::Bytes;

// What the bring-up is for, as the board and the models show it afterwards.
enum class Effect {
  Synced,      // the slave answered the sync with ':'
  Echoed,      // the slave echoed the word record's command 00002000C4
  Stored,      // the word record's 0x12345678 is in the slave's memory at 0x2000
  Downloaded,  // slot 0 holds the frame's 16 bytes at 0x8000
  Verified,    // the last checksum answer read from slot 0 has its first processor's bit
};

struct RefusalRow {
  const char* rule;  // wrong_board's argument
  Bus bus;
  const char* unit;    // the model's annotation ...
  const char* reason;  // ... and what its text says
  Effect effect;       // what the rule kept from happening
};

const RefusalRow REFUSALS[] = {
    {"short-pulse", Bus::Serial, "refused", "shorter than 10 ms: the slave does not start",
     Effect::Synced},
    {"early-char", Bus::Serial, "refused",
     "character before the bootstrap listens (100 ms after the reset pulse): lost", Effect::Synced},
    {"record-before-stored", Bus::Serial, "refused", "before the last one was stored: lost",
     Effect::Stored},
    {"char-after-jump", Bus::Serial, "refused",
     "the slave runs its code since the jump: no bootstrap answers", Effect::Echoed},
    {"bad-command", Bus::Serial, "refused", "not a boot record command: 0000200XC4",
     Effect::Stored},
    {"bad-data", Bus::Serial, "refused", "not a hexadecimal data field: 1234567X", Effect::Stored},
    {"wrong-speed", Bus::Serial, "refused",
     "board sends at 57600 baud, slave listens at 38400.0 baud (50.0 % apart, more than 2 %): "
     "characters lost to framing errors",
     Effect::Synced},
    {"split-header", Bus::Spi, "refused", "a header is one transfer of 12 bytes, this one has 6",
     Effect::Downloaded},
    {"header-with-data", Bus::Spi, "refused",
     "a header is one transfer of 12 bytes, this one has 28", Effect::Downloaded},
    {"data-with-jump", Bus::Spi, "refused",
     "the transfer runs 12 bytes past its frame's data; a header comes in a transfer of its own",
     Effect::Downloaded},
    {"early-checksum", Bus::Spi, "checksum",
     "slot 0 answers 0: still verifying its code after the jump", Effect::Verified},
    {"wrong-mode", Bus::Spi, "garbled",
     "mode 1 at 2000000 Hz: the modules take mode 0 up to 20000000 Hz", Effect::Downloaded},
    {"too-fast", Bus::Spi, "garbled",
     "mode 0 at 24000000 Hz: the modules take mode 0 up to 20000000 Hz", Effect::Downloaded},
};

std::string test_name(const char* rule) {
  std::string name = rule;
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

// The frame wrong_board sends to slot 0: byte i is 0x10 + 0x11 * i.
constexpr uint32_t FRAME_ADDRESS = 0x8000;
Bytes frame_data() {
  Bytes data(16);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x10 + 0x11 * i);
  return data;
}

// The same jobs as kovrel's job files: a download, the word record and the
// jump over the serial bootstrap; the frame and its jump to slot 0.
constexpr const char* UART_JOB =
    "BIN_FILE 0x00001000 /tmp/fw.bin\n"
    "WRITE_32 0x00002000 0x12345678\n"
    "JUMP 0x00001000\n";
constexpr const char* SPI_JOB =
    "BIT_RATE 2000000\n"
    "MODE 0\n"
    "BIN_FILE 0x00008000 /tmp/dsp.bin M0\n"
    "JUMP 0x00008000 M0\n";

// A board with the strict slave bootstrap on ttyS0 and a two-DSP sound
// module in slot 0.
class StrictBoard : public testing::Test {
 protected:
  void SetUp() override {
    slave_ = std::make_shared<boardsim::ImxBootstrap>();
    board_.attach_serial(0, slave_);
    std::string error;
    modules_ = boardsim::make_sound_modules("0=2", error);
    ASSERT_NE(modules_, nullptr) << error;
    for (int d = 0; d <= boardsim::SoundModules::BROADCAST_DEVICE; ++d) {
      board_.attach_spi(d, modules_);
    }
  }

  RunResult run(const std::vector<std::string>& argv) {
    board_.journal().clear();
    Command c;
    c.argv = argv;
    c.timeout_s = 60;
    return board_.run(c);
  }

  std::vector<Event> annotations() { return board_.journal().of(EventKind::Annotation); }

  bool annotated(Bus bus, const std::string& unit, const std::string& reason) {
    for (const Event& e : annotations()) {
      if (e.bus == bus && e.device == 0 && e.unit == unit &&
          e.text.find(reason) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  // Every annotation, one a line, for a failure's message.
  std::string annotation_lines() {
    std::string lines;
    for (const Event& e : annotations()) lines += e.unit + ": " + e.text + "\n";
    return lines;
  }

  std::string from_slave() { return board_.journal().bytes_text(EventKind::SerialFromSlave, 0); }

  // The last 16-bit answer the board read from slot 0, low byte first.
  int last_slot0_answer() {
    int answer = -1;
    for (const Event& e : board_.journal().events()) {
      if (e.device != 0) continue;
      const Bytes* read = e.kind == EventKind::SpiRead       ? &e.data
                          : e.kind == EventKind::SpiTransfer ? &e.rx
                                                             : nullptr;
      if (read != nullptr && read->size() == 2) answer = (*read)[0] | (*read)[1] << 8;
    }
    return answer;
  }

  bool effect_seen(Effect effect) {
    switch (effect) {
      case Effect::Synced: return !from_slave().empty() && from_slave()[0] == ':';
      case Effect::Echoed: return from_slave().find("00002000C4") != std::string::npos;
      case Effect::Stored: return slave_->memory_bytes(0x2000, 4) == Bytes{0x78, 0x56, 0x34, 0x12};
      case Effect::Downloaded:
        return modules_->memory(0, FRAME_ADDRESS, frame_data().size()) == frame_data();
      case Effect::Verified: {
        const int answer = last_slot0_answer();
        return answer > 0 && (answer & 1) != 0;
      }
    }
    return false;
  }

  Board board_;
  std::shared_ptr<boardsim::ImxBootstrap> slave_;
  std::shared_ptr<boardsim::SoundModules> modules_;
};

class WrongBoard : public StrictBoard, public testing::WithParamInterface<RefusalRow> {};

TEST_P(WrongBoard, RefusedWithItsReasonAndWithoutEffect) {
  const RefusalRow& row = GetParam();
  const RunResult r = run({"wrong_board", row.rule});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(annotated(row.bus, row.unit, row.reason))
      << "no " << row.unit << " \"" << row.reason << "\" in\n"
      << annotation_lines();
  EXPECT_FALSE(effect_seen(row.effect)) << r.out << annotation_lines();
}

INSTANTIATE_TEST_SUITE_P(Rules, WrongBoard, testing::ValuesIn(REFUSALS),
                         [](const testing::TestParamInfo<RefusalRow>& row_info) {
                           return test_name(row_info.param.rule);
                         });

// Who does the row's job right: kovrel with its job file, or wrong_board
// breaking no rule (so that a row's refusal is its rule's alone).
enum class RightJob { Kovrel, WrongBoardOk };

class RightJobTaken : public StrictBoard,
                      public testing::WithParamInterface<std::tuple<RefusalRow, RightJob>> {};

TEST_P(RightJobTaken, NotRefusedAndItsEffectHappens) {
  const RefusalRow& row = std::get<0>(GetParam());
  const bool serial = row.bus == Bus::Serial;
  std::vector<std::string> argv;
  if (std::get<1>(GetParam()) == RightJob::Kovrel) {
    board_.write_file("/tmp/fw.bin", std::string(60, '\x5A'));
    const Bytes data = frame_data();
    board_.write_file("/tmp/dsp.bin", std::string(data.begin(), data.end()));
    board_.write_file("/tmp/job.txt", serial ? UART_JOB : SPI_JOB);
    argv = serial ? std::vector<std::string>{"kovrel", "-r", "-u", "/tmp/job.txt"}
                  : std::vector<std::string>{"kovrel", "-s", "/tmp/job.txt"};
  } else {
    argv = {"wrong_board", serial ? "serial-ok" : "spi-ok"};
  }
  const RunResult r = run(argv);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const Event& e : annotations()) {
    EXPECT_NE(e.unit, "refused") << e.text;
    EXPECT_NE(e.unit, "garbled") << e.text;
  }
  EXPECT_FALSE(annotated(row.bus, row.unit, row.reason)) << annotation_lines();
  EXPECT_TRUE(effect_seen(row.effect)) << r.out << annotation_lines();
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RightJobTaken,
    testing::Combine(testing::ValuesIn(REFUSALS),
                     testing::Values(RightJob::Kovrel, RightJob::WrongBoardOk)),
    [](const testing::TestParamInfo<std::tuple<RefusalRow, RightJob>>& row_info) {
      return test_name(std::get<0>(row_info.param).rule) +
             (std::get<1>(row_info.param) == RightJob::Kovrel ? "_kovrel" : "_wrong_board_ok");
    });

}  // namespace
