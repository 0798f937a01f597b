// The wire dump drawn from journals made by hand: characters bit by bit at
// their speed and held back while the line is busy, an SPI transfer's clock,
// chip select and data in its mode, the reset line, the window and the
// timescale.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "boardsim/journal.h"
#include "boardsim/vcd.h"

namespace boardsim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t START_NS = 5000000000;  // the first event's monotonic time
constexpr uint64_t MS = 1000000;

// A dump read back: the timescale, and every change of every signal by name.
struct Dump {
  uint64_t tick_ns = 0;
  uint64_t first_tick = 0;
  uint64_t last_tick = 0;
  std::map<std::string, std::vector<std::pair<uint64_t, char>>> changes;

  // The level in force at a tick (the last change at or before it).
  char at(const std::string& name, uint64_t tick) const {
    char level = '?';
    for (const auto& [t, l] : changes.at(name)) {
      if (t <= tick) level = l;
    }
    return level;
  }
  // The ticks at which a signal went to `level`, from the first dump on.
  std::vector<uint64_t> edges(const std::string& name, char level) const {
    std::vector<uint64_t> ticks;
    const auto& list = changes.at(name);
    for (size_t i = 1; i < list.size(); ++i) {
      if (list[i].second == level) ticks.push_back(list[i].first);
    }
    return ticks;
  }
};

Dump parse(const std::string& text) {
  Dump d;
  std::map<std::string, std::string> names;
  std::istringstream in(text);
  std::string line;
  bool body = false;
  uint64_t tick = 0;
  bool first = true;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string w;
    words >> w;
    if (!body) {
      if (w == "$timescale") words >> d.tick_ns;
      if (w == "$var") {
        std::string type, width, id, name;
        words >> type >> width >> id >> name;
        names[id] = name;
        d.changes[name];
      }
      body = w == "$enddefinitions";
    } else if (!w.empty() && w[0] == '#') {
      tick = std::stoull(w.substr(1));
      if (first) d.first_tick = tick;
      first = false;
      d.last_tick = tick;
    } else if (!w.empty() && w[0] != '$') {
      d.changes[names.at(w.substr(1))].push_back({tick, w[0]});
    }
  }
  return d;
}

Event at_ms(double ms, EventKind kind, int device = 0) {
  Event e;
  e.t_ns = START_NS + static_cast<uint64_t>(ms * MS);
  e.kind = kind;
  e.device = device;
  return e;
}

Event serial(double ms, uint32_t baud, const Bytes& data,
             EventKind kind = EventKind::SerialToSlave) {
  Event e = at_ms(ms, kind);
  e.baud = baud;
  e.data = data;
  return e;
}

Event gpio(double ms, uint8_t op, uint32_t value) {
  Event e = at_ms(ms, EventKind::GpioWrite);
  e.data = {op, 0, 0, 0, 0x00, 0x00, 0x10, 0x00, 0, 0, static_cast<uint8_t>(value >> 16), 0};
  e.result = 12;
  return e;
}

Event spi_write(double ms, int cs, uint32_t hz, uint8_t bits, uint32_t mode, const Bytes& data) {
  Event e = at_ms(ms, EventKind::SpiWrite, cs);
  e.data = data;
  e.result = static_cast<int>(data.size());
  e.wire_hz = hz;
  e.wire_bits = bits;
  e.wire_mode = mode;
  return e;
}

Dump dump(const std::vector<Event>& events, VcdOptions options = {}) {
  Journal journal;
  for (const auto& e : events) journal.add(e);
  std::ostringstream out;
  EXPECT_TRUE(write_vcd(journal, out, options));
  return parse(out.str());
}

TEST(Vcd, CharacterGoesOutBitByBitAndWaitsForTheOneBeforeIt) {
  // 10000 baud: a bit is 100 us, 10000 ticks of 10 ns. The second byte is
  // written while the first is still on the line.
  const Dump d = dump({gpio(0, 1, 0), serial(1, 10000, {0x55}), serial(1.5, 10000, {0x0F})});
  ASSERT_EQ(d.tick_ns, 10u);
  const uint64_t start = 100000;
  EXPECT_EQ(d.edges("ttyS0_tx", '0'),
            (std::vector<uint64_t>{start, start + 20000, start + 40000, start + 60000,
                                   start + 80000, start + 100000, start + 150000}));
  EXPECT_EQ(d.edges("ttyS0_tx", '1'),
            (std::vector<uint64_t>{start + 10000, start + 30000, start + 50000, start + 70000,
                                   start + 90000, start + 110000, start + 190000}));
  EXPECT_TRUE(d.edges("ttyS0_rx", '0').empty());
  EXPECT_GE(d.last_tick, start + 200000) << "the last stop bit is drawn whole";
}

TEST(Vcd, ResetLineFollowsTheSetRequestsOnly) {
  const Dump d = dump({gpio(0, 1, 0), gpio(0.1, 0, 0x00100000), gpio(10, 1, 0x00100000)});
  EXPECT_EQ(d.changes.at("slave_reset_n"),
            (std::vector<std::pair<uint64_t, char>>{{0, 'x'}, {0, '0'}, {1000000, '1'}}));
}

struct SpiCase {
  const char* name;
  uint32_t mode;
  uint8_t bits;
  Bytes data;
  std::vector<uint32_t> words;  // as sampled on MOSI, in order
};

void PrintTo(const SpiCase& c, std::ostream* os) { *os << c.name; }

class VcdSpi : public ::testing::TestWithParam<SpiCase> {};

// Samples MOSI on each sampling edge while the chip select is active.
TEST_P(VcdSpi, TransferIsClockedInItsModeAndWordSize) {
  const SpiCase& c = GetParam();
  // 1 MHz: half a period is 500 ns, 50 ticks. The second transfer is
  // journalled before the first could have ended on the wire.
  const Dump d = dump({gpio(0, 1, 0), spi_write(2, 1, 1000000, c.bits, c.mode, c.data),
                       spi_write(2.001, 1, 1000000, c.bits, c.mode, c.data)});
  const bool cpol = (c.mode & 2) != 0;
  const bool cpha = (c.mode & 1) != 0;
  const uint64_t start = 200000;
  const auto selects = d.edges("spi2_cs1", '0');
  const auto releases = d.edges("spi2_cs1", '1');
  ASSERT_EQ(selects.size(), 2u);
  ASSERT_EQ(releases.size(), 2u);
  const uint64_t bits = c.words.size() * c.bits;
  EXPECT_EQ(selects[0], start + 50);
  EXPECT_EQ(releases[0], start + (2 * bits + 2) * 50);
  EXPECT_EQ(selects[1], start + (2 * bits + 3) * 50 + 50) << "the second waits for the bus";
  EXPECT_EQ(d.at("spi2_sclk", start), cpol ? '1' : '0') << "idle level of the mode";
  // Sampling edge: leading (away from idle) with CPHA 0, trailing with CPHA 1.
  const char leading = cpol ? '0' : '1';
  const char sampling = cpha ? (cpol ? '1' : '0') : leading;
  std::vector<uint32_t> words;
  uint32_t word = 0;
  unsigned count = 0;
  for (uint64_t tick : d.edges("spi2_sclk", sampling)) {
    if (tick < selects[0]) continue;  // the clock taking its idle level first
    if (tick > releases[0]) break;
    word = word << 1 | (d.at("spi2_mosi", tick) == '1' ? 1u : 0u);
    if (++count % c.bits == 0) {
      words.push_back(word);
      word = 0;
    }
  }
  EXPECT_EQ(count, bits);
  EXPECT_EQ(words, c.words);
  EXPECT_EQ(d.edges("spi2_cs0", '0').size(), 0u) << "other chip selects stay released";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, VcdSpi,
    ::testing::Values(SpiCase{"Mode0Bits8", 0, 8, {0xA5, 0x3C}, {0xA5, 0x3C}},
                      SpiCase{"Mode3Bits8", 3, 8, {0xA5, 0x3C}, {0xA5, 0x3C}},
                      SpiCase{"Mode1Bits16LowByteFirstInTheBuffer", 1, 16, {0x02, 0x01}, {0x0102}},
                      SpiCase{"Mode2Bits12", 2, 12, {0x34, 0xF2}, {0x0234}}),
    [](const ::testing::TestParamInfo<SpiCase>& param_info) { return param_info.param.name; });

TEST(Vcd, WindowDrawsOnlyWhatWasJournalledInIt) {
  VcdOptions window;
  window.from_ns = 5 * MS;
  window.to_ns = 8 * MS;
  const Dump d = dump(
      {gpio(0, 1, 0), serial(1, 10000, {0x00}), serial(6, 10000, {0xFF}), serial(9, 10000, {0x00})},
      window);
  EXPECT_EQ(d.first_tick, 500000u);
  EXPECT_EQ(d.changes.at("slave_reset_n"), (std::vector<std::pair<uint64_t, char>>{{500000, '0'}}))
      << "the level the requests before the window left";
  EXPECT_EQ(d.edges("ttyS0_tx", '0'), std::vector<uint64_t>{600000});
  EXPECT_EQ(d.edges("ttyS0_tx", '1'), std::vector<uint64_t>{610000});
}

TEST(Vcd, TimescaleIsFineEnoughForTheFastestClockDrawn) {
  EXPECT_EQ(dump({spi_write(0, 0, 2000000, 8, 0, {1})}).tick_ns, 10u);
  EXPECT_EQ(dump({spi_write(0, 0, 24000000, 8, 0, {1})}).tick_ns, 1u);
  VcdOptions window;
  window.from_ns = 1 * MS;
  EXPECT_EQ(dump({spi_write(0, 0, 24000000, 8, 0, {1}), serial(2, 57600, {1})}, window).tick_ns,
            10u)
      << "only what the window draws counts";
}

}  // namespace
}  // namespace boardsim
