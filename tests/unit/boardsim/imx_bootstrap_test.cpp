// The slave bootstrap model on its own, driven through a recording link: the
// answers the board relies on, the memory image, and its fault options.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "boardsim/models/imx_bootstrap.h"

namespace {

using boardsim::GpioRequest;
using boardsim::ImxBootstrap;
using boardsim::ImxOptions;

class RecordingLink : public boardsim::SerialLink {
 public:
  void send(const void* data, size_t n, uint64_t delay_us) override {
    sent.append(static_cast<const char*>(data), n);
    delays.push_back(delay_us);
  }
  uint32_t board_speed() const override { return speed; }
  uint32_t wire_speed() const override { return wire != 0 ? wire : speed; }
  uint64_t now_ns() const override { return clock_ns; }
  void note(const std::string& text) override { notes.push_back(text); }
  void annotate(const std::string& unit, const std::string& text) override {
    if (unit == "refused") refusals.push_back(text);
  }

  std::string sent;
  std::vector<std::string> refusals;
  uint64_t clock_ns = 1000000000;
  std::vector<uint64_t> delays;
  std::vector<std::string> notes;
  uint32_t speed = 38400;  // the board's port now
  uint32_t wire = 0;       // the speed its characters left at; 0: the port's
};

void gpio(ImxBootstrap& slave, RecordingLink& link, uint8_t op, uint32_t value) {
  GpioRequest request{};
  request.op = op;
  request.mask = ImxBootstrap::RESET_LINE;
  request.value = value;
  slave.on_gpio(link, request);
}

constexpr uint64_t MS = 1000000;

// The board's reset pulse: 10 ms low, then the 100 ms the bootstrap needs.
void reset_pulse(ImxBootstrap& slave, RecordingLink& link) {
  gpio(slave, link, 1, 0);
  gpio(slave, link, 0, 0);
  link.clock_ns += 10 * MS;
  gpio(slave, link, 1, ImxBootstrap::RESET_LINE);
  link.clock_ns += 100 * MS;
}

// Sends text 20 ms after the last exchange (the board's record pause) and
// returns what the slave answered to it.
std::string exchange(ImxBootstrap& slave, RecordingLink& link, const std::string& text) {
  link.clock_ns += 20 * MS;
  link.sent.clear();
  slave.on_bytes(link, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return link.sent;
}

ImxBootstrap synced_slave(RecordingLink& link, ImxOptions options = {}) {
  ImxBootstrap slave(options);
  reset_pulse(slave, link);
  exchange(slave, link, "A");
  return slave;
}

TEST(ImxModel, DeafUntilTheResetPulseThenAnswersSync) {
  RecordingLink link;
  ImxBootstrap slave;
  EXPECT_EQ(exchange(slave, link, "A"), "");
  gpio(slave, link, 1, 0);
  EXPECT_EQ(exchange(slave, link, "A"), "") << "reset still held";
  gpio(slave, link, 0, 0);
  link.clock_ns += 10 * MS;
  gpio(slave, link, 1, ImxBootstrap::RESET_LINE);
  EXPECT_TRUE(slave.listening());
  EXPECT_EQ(exchange(slave, link, "A"), "") << "20 ms after the pulse: still starting up";
  link.clock_ns += 80 * MS;
  EXPECT_EQ(exchange(slave, link, "A"), ":");
  EXPECT_TRUE(slave.synced());
}

// Every rule the firmware keeps refuses what breaks it, with a reason in
// the journal: a row per rule.
struct RefusalRow {
  const char* name;
  uint64_t low_ms;       // the reset pulse's low phase
  uint64_t after_ms;     // from its end to the sync character
  uint32_t board_speed;  // what the board sends at
  uint32_t port_speed;   // the board's port when the slave answers; 0: board_speed
  bool second_too_soon;  // a record 1 ms after a 28-byte record
  bool after_jump;       // a record after a JUMP
  bool sync_taken;       // the slave took the sync character (its answer lost)
  const char* refusal;   // start of the annotation
};

const RefusalRow REFUSALS[] = {
    {"ShortResetPulse", 5, 100, 38400, 0, false, false, false, "pulse of "},
    {"SyncTooEarly", 10, 1, 38400, 0, false, false, false,
     "character before the bootstrap listens"},
    {"RecordBeforeTheLastIsStored", 10, 100, 38400, 0, true, false, false, "record started "},
    {"RecordAfterTheJump", 10, 100, 38400, 0, false, true, false, "the slave runs its code"},
    // 3.6 % below the slave's 38400: each character arrives with a framing error.
    {"BoardSendsMoreThan2PercentSlow", 10, 100, 37000, 0, false, false, false,
     "board sends at 37000 baud, slave listens at 38400.0 baud (3.6 % apart, more than 2 %): "
     "characters lost to framing errors"},
    {"BoardSendsMoreThan2PercentFast", 10, 100, 39200, 0, false, false, false,
     "board sends at 39200 baud, slave listens at 38400.0 baud (2.1 % apart, more than 2 %)"},
    // The sync left at 38400, but the port changed before the answer came.
    {"AnswerToAPortMoreThan2PercentAway", 10, 100, 38400, 57600, false, false, true,
     "slave answers at 38400.0 baud, board listens at 57600 baud (50.0 % apart, more than 2 %): "
     "characters lost to framing errors"},
};

class ImxRefusal : public ::testing::TestWithParam<RefusalRow> {};

TEST_P(ImxRefusal, RuleBrokenIsRefusedAndSaidWhy) {
  const RefusalRow& row = GetParam();
  RecordingLink link;
  ImxBootstrap slave;
  gpio(slave, link, 1, 0);
  link.clock_ns += row.low_ms * MS;
  gpio(slave, link, 1, ImxBootstrap::RESET_LINE);
  link.clock_ns += row.after_ms * MS;
  link.speed = row.port_speed != 0 ? row.port_speed : row.board_speed;
  link.wire = row.board_speed;
  link.sent.clear();
  slave.on_bytes(link, reinterpret_cast<const uint8_t*>("A"), 1);
  const std::string sync_answer = link.sent;
  if (row.second_too_soon || row.after_jump) {
    ASSERT_EQ(sync_answer, ":");
    const std::string first =
        row.after_jump ? std::string("00001000C0") : "00001000DC" + std::string(56, '1');
    exchange(slave, link, first);
    link.clock_ns -= 20 * MS - MS / 2;  // the next record 0.5 ms later
    EXPECT_EQ(exchange(slave, link, "00002000C412345678"), "");
    EXPECT_EQ(slave.memory_bytes(0x2000, 1), std::vector<uint8_t>{0});
  } else {
    EXPECT_EQ(sync_answer, "");
    EXPECT_EQ(slave.synced(), row.sync_taken);
  }
  ASSERT_EQ(link.refusals.size(), 1u);
  EXPECT_EQ(link.refusals.back().rfind(row.refusal, 0), 0u) << link.refusals.back();
}

INSTANTIATE_TEST_SUITE_P(Rules, ImxRefusal, ::testing::ValuesIn(REFUSALS),
                         [](const ::testing::TestParamInfo<RefusalRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

struct ExchangeRow {
  const char* name;
  const char* command;
  const char* command_answer;
  const char* data;  // "" for none
  const char* data_answer;
};

// Memory is preset with CA DE FE CA at 0x001122FC before each row.
const ExchangeRow EXCHANGES[] = {
    {"Write32", "001122FCC4", "001122FCC4", "12345678", "12345678>"},
    {"Write16", "001122FE42", "001122FE42", "CAFE", "CAFE>"},
    {"Write8", "001122FF01", "001122FF01", "CA", "CA>"},
    {"Read32", "001122FCE4", "001122FCE4CAFEDECA>", "", ""},
    {"Read16", "001122FE62", "001122FE62CAFE>", "", ""},
    {"Read8", "001122FC21", "001122FC21CA>", "", ""},
    {"Jump", "00001000C0", "00001000C0", "", ""},
    {"WidthTwoRefused", "0000100084", "0000100084*", "", ""},
    {"CountNotWholeWordsRefused", "00001000C3", "00001000C3*", "", ""},
    {"CountNotWholeHalfwordsRefused", "0000100043", "0000100043*", "", ""},
};

class ImxExchange : public ::testing::TestWithParam<ExchangeRow> {};

TEST_P(ImxExchange, AnswersAsTheBoardExpects) {
  const ExchangeRow& row = GetParam();
  RecordingLink link;
  ImxBootstrap slave = synced_slave(link);
  for (uint32_t i = 0; i < 4; ++i) {
    slave.poke(0x001122FC + i, static_cast<uint8_t>(0xCAFEDECA >> (8 * i)));
  }
  EXPECT_EQ(exchange(slave, link, row.command), row.command_answer);
  EXPECT_EQ(exchange(slave, link, row.data), row.data_answer);
  EXPECT_TRUE(link.notes.empty());
}

INSTANTIATE_TEST_SUITE_P(Records, ImxExchange, ::testing::ValuesIn(EXCHANGES),
                         [](const ::testing::TestParamInfo<ExchangeRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

TEST(ImxModel, StoresWritesInLittleEndianOrderAndRecordsJumps) {
  RecordingLink link;
  ImxBootstrap slave = synced_slave(link);
  exchange(slave, link,
           "00001000C8"
           "0403020108070605");
  exchange(slave, link,
           "0000200042"
           "BBAA");
  exchange(slave, link,
           "0000300102"
           "EEFF");
  exchange(slave, link, "00001000C0");
  EXPECT_EQ(slave.memory_bytes(0x1000, 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(slave.memory_bytes(0x2000, 2), (std::vector<uint8_t>{0xAA, 0xBB}));
  EXPECT_EQ(slave.memory_bytes(0x3001, 2), (std::vector<uint8_t>{0xEE, 0xFF}));
  EXPECT_EQ(slave.jumps(), std::vector<uint32_t>{0x1000});
  EXPECT_EQ(slave.records(), 4);
}

TEST(ImxModel, RecordsMaySplitAnywhere) {
  RecordingLink link;
  ImxBootstrap slave = synced_slave(link);
  std::string answers;
  for (char c : std::string("001122FCC4"
                            "CAFEDECA")) {
    answers += exchange(slave, link, std::string(1, c));
  }
  EXPECT_EQ(answers, "001122FCC4CAFEDECA>");
  EXPECT_EQ(slave.memory_bytes(0x001122FC, 4), (std::vector<uint8_t>{0xCA, 0xDE, 0xFE, 0xCA}));
}

// The change values the board sends for each speed it means. The slave then
// runs at exactly value x 38400 / 211 baud, and only a board within 2 % of
// it understands it: at 600 and 1200 baud no board does.
struct SpeedRow {
  const char* value;
  uint32_t meant;  // the speed the board sets its port to
  double slave;    // what the slave's UART runs at
  bool understood;
};

const SpeedRow SPEED_ROWS[] = {
    {"00000003", 600, 545.97, false},    {"00000007", 1200, 1273.93, false},
    {"0000000D", 2400, 2365.88, true},   {"0000001A", 4800, 4731.75, true},
    {"00000035", 9600, 9645.50, true},   {"0000004F", 14400, 14377.25, true},
    {"0000006A", 19200, 19291.00, true}, {"0000009E", 28800, 28754.50, true},
    {"000000D3", 38400, 38400.00, true}, {"00000134", 56000, 56053.08, true},
    {"0000013D", 57600, 57691.00, true},
};

class ImxSpeedChange : public ::testing::TestWithParam<SpeedRow> {};

TEST_P(ImxSpeedChange, RunsAtTheValuesSpeedAndLosesWhatComesMoreThan2PercentAway) {
  const SpeedRow& row = GetParam();
  RecordingLink link;
  ImxBootstrap slave = synced_slave(link);
  slave.poke(0x001122FF, 0x5A);
  // The closing character leaves at the old speed, which the board's port
  // still has; the new speed applies after it.
  EXPECT_EQ(exchange(slave, link, std::string("002060A8C4") + row.value),
            "002060A8C4" + std::string(row.value) + ">");
  EXPECT_NEAR(slave.line_speed(), row.slave, 0.005);
  EXPECT_EQ(slave.lost_answers(), 0);

  link.speed = row.meant;
  link.refusals.clear();
  EXPECT_EQ(exchange(slave, link, "001122FF21"), row.understood ? "001122FF215A>" : "");
  EXPECT_EQ(slave.mismatches(), row.understood ? 0 : 1);
  EXPECT_EQ(link.refusals.size(), row.understood ? 0u : 1u);
  if (!row.understood) {
    // Once for the run of characters, with both speeds.
    EXPECT_EQ(link.refusals[0].rfind(
                  "board sends at " + std::to_string(row.meant) + " baud, slave listens at ", 0),
              0u)
        << link.refusals[0];
  }

  // Just inside and just outside the 2 %, either way.
  const auto just_inside = static_cast<uint32_t>(row.slave * 1.019);
  const auto just_outside = static_cast<uint32_t>(row.slave * 0.979);
  const int before = slave.mismatches();
  link.speed = just_inside;
  EXPECT_EQ(exchange(slave, link, "001122FF21"), "001122FF215A>") << just_inside;
  link.speed = just_outside;
  EXPECT_EQ(exchange(slave, link, "001122FF21"), "") << just_outside;
  EXPECT_EQ(slave.mismatches(), before + 1);
}

INSTANTIATE_TEST_SUITE_P(AllSpeeds, ImxSpeedChange, ::testing::ValuesIn(SPEED_ROWS),
                         [](const ::testing::TestParamInfo<SpeedRow>& row_info) {
                           return "baud" + std::to_string(row_info.param.meant);
                         });

struct OptionRow {
  const char* args;
  const char* sync_answer;
  const char* write_answer;  // to "001122FCC4"
  const char* read_answer;   // to "001122FC21" (memory 0)
};

const OptionRow OPTION_ROWS[] = {
    {"", ":", "001122FCC4", "001122FC2100>"},
    {"silent", "", "", ""},
    {"sync=x", "x", "001122FCC4", "001122FC2100>"},
    {"short-echo", ":", "001122FCC", "001122FC2100"},
    {"refuse", ":", "001122FCC4*", "001122FC21*"},
    {"short-data", ":", "001122FCC4", "001122FC2100>"},
    {"extra=#", ":", "001122FCC4#", "001122FC2100>"},
    {"sync=x,refuse", "x", "001122FCC4*", "001122FC21*"},
    {"late-echo=30000", ":", "001122FCC4", "001122FC2100>"},
};

class ImxOptionsTest : public ::testing::TestWithParam<OptionRow> {
 protected:
  // A model built from the option text, reset, with its sync answer.
  ImxBootstrap& fresh_slave(RecordingLink& link, std::string& sync_answer) {
    std::string error;
    slave_ = boardsim::make_imx_bootstrap(GetParam().args, error);
    EXPECT_NE(slave_, nullptr) << error;
    ImxBootstrap& slave = *slave_;
    reset_pulse(slave, link);
    sync_answer = exchange(slave, link, "A");
    return slave;
  }

 private:
  std::shared_ptr<ImxBootstrap> slave_;
};

TEST_P(ImxOptionsTest, ShapeTheAnswers) {
  RecordingLink link;
  std::string sync_answer;
  ImxBootstrap& writer = fresh_slave(link, sync_answer);
  EXPECT_EQ(sync_answer, GetParam().sync_answer);
  EXPECT_EQ(exchange(writer, link, "001122FCC4"), GetParam().write_answer);
  ImxBootstrap& reader = fresh_slave(link, sync_answer);
  EXPECT_EQ(exchange(reader, link, "001122FC21"), GetParam().read_answer);
}

INSTANTIATE_TEST_SUITE_P(Options, ImxOptionsTest, ::testing::ValuesIn(OPTION_ROWS));

TEST(ImxModel, ShortDataEchoLacksOnlyItsClosingCharacter) {
  std::string error;
  const auto made = boardsim::make_imx_bootstrap("short-data", error);
  ASSERT_NE(made, nullptr) << error;
  ImxBootstrap& slave = *made;
  RecordingLink link;
  reset_pulse(slave, link);
  exchange(slave, link, "A");
  EXPECT_EQ(exchange(slave, link, "001122FE42"), "001122FE42");
  EXPECT_EQ(exchange(slave, link, "CAFE"), "CAFE");
  EXPECT_EQ(slave.memory_bytes(0x001122FE, 2), (std::vector<uint8_t>{0xFE, 0xCA}));
}

TEST(ImxModel, DelaysEveryAnswer) {
  std::string error;
  const auto made = boardsim::make_imx_bootstrap("delay=1500", error);
  ASSERT_NE(made, nullptr) << error;
  ImxBootstrap& slave = *made;
  RecordingLink link;
  reset_pulse(slave, link);
  exchange(slave, link, "A");
  exchange(slave, link, "00001000C0");
  // The sync answer and each of the 10 echoed characters.
  EXPECT_EQ(link.delays, std::vector<uint64_t>(11, 1500));
}

TEST(ImxModel, RejectsUnknownOptions) {
  for (const char* args : {"loud", "sync=", "sync=ab", "delay=", "delay=1x", "extra"}) {
    std::string error;
    EXPECT_EQ(boardsim::make_imx_bootstrap(args, error), nullptr) << args;
    EXPECT_NE(error.find("imx"), std::string::npos) << args;
  }
}

}  // namespace
