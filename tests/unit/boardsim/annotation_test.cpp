// What the far-end models say about each protocol unit they recognise, for
// the decoded journal: the slave bootstrap's records, the sound modules'
// search answers, frames, jumps and checksum answers, and the packet test's
// counter-party.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boardsim/far_end.h"
#include "boardsim/models/bench_ends.h"
#include "boardsim/models/imx_bootstrap.h"
#include "boardsim/models/sound_modules.h"

namespace boardsim {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

class Recorder : public Annotator {
 public:
  void annotate(const std::string& unit, const std::string& text) override {
    lines.push_back(unit + ": " + text);
  }
  Lines lines;
};

class RecordingLink : public SerialLink {
 public:
  void send(const void*, size_t, uint64_t) override {}
  uint32_t board_speed() const override { return speed; }
  uint64_t now_ns() const override { return clock_ns; }
  void note(const std::string&) override {}
  void annotate(const std::string& unit, const std::string& text) override {
    recorder.annotate(unit, text);
  }
  Recorder recorder;
  uint64_t clock_ns = 1000000000;
  uint32_t speed = 38400;
};

constexpr uint64_t MS = 1000000;

TEST(Annotations, SlaveBootstrapNamesEveryRecord) {
  RecordingLink link;
  ImxBootstrap slave;
  // A 10 ms reset pulse, and the 100 ms the bootstrap needs to start.
  for (uint32_t value : {0u, ImxBootstrap::RESET_LINE}) {
    GpioRequest request{1, {}, ImxBootstrap::RESET_LINE, value};
    slave.on_gpio(link, request);
    link.clock_ns += value == 0 ? 10 * MS : 100 * MS;
  }
  // Each record 20 ms after the one before, as the board paces them; the
  // board follows the speed change before its next record.
  for (const std::string record : {"A", "001122FCC4CAFEDECA", "001122FCE4", "0000100082",
                                   "002060A8C40000013D", "00001000C0"}) {
    slave.on_bytes(link, reinterpret_cast<const uint8_t*>(record.data()), record.size());
    link.clock_ns += 20 * MS;
    if (record.rfind("002060A8", 0) == 0) link.speed = 57600;
  }
  EXPECT_EQ(link.recorder.lines,
            (Lines{"sync: 'A' answered ':'",
                   "boot-record: 001122FC C4 (32-bit, count 4, write) data CAFEDECA",
                   "boot-record: 001122FC E4 (32-bit, count 4, read) answer CAFEDECA",
                   "boot-record: 00001000 82 (invalid width, count 2, write): refused with '*'",
                   "speed-change: 002060A8 C4 (32-bit, count 4, write) data 0000013D: slave now at "
                   "57691.0 baud",
                   "jump: 00001000 C0 (32-bit, count 0, write): slave runs from 00001000"}));
}

Bytes le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

Bytes frame(uint32_t address, const Bytes& data, uint32_t checksum) {
  Bytes out = le32(address);
  for (const Bytes& part : {le32(static_cast<uint32_t>(data.size())), le32(checksum), data}) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

// Every exchange takes a millisecond on the wire.
uint64_t wire_ns = 0;

void exchange(SpiFarEnd& far, Recorder& recorder, int device, const Bytes& tx, size_t rx_len = 0) {
  Bytes rx(rx_len, 0);
  SpiExchange x;
  x.wire_start_ns = wire_ns;
  wire_ns += MS;
  x.wire_end_ns = wire_ns;
  x.device = device;
  x.tx = tx.empty() ? nullptr : tx.data();
  x.rx = rx.empty() ? nullptr : rx.data();
  x.len = tx.empty() ? rx_len : tx.size();
  x.bits_per_word = 16;
  x.annotator = &recorder;
  far.exchange(x);
}

TEST(Annotations, SoundModulesNameSearchFramesJumpAndAnswers) {
  SoundModules modules;
  std::string error;
  ASSERT_TRUE(modules.configure("0=2,2=4", error)) << error;
  Recorder r;
  for (int slot = 0; slot < 4; ++slot) exchange(modules, r, slot, {}, 2);
  const Bytes first = frame(0x8000, {0x01, 0x02, 0x03, 0x04}, 0x0604);
  exchange(modules, r, 2, first);
  exchange(modules, r, 2, Bytes(first.begin(), first.begin() + 12));
  exchange(modules, r, 2, Bytes(first.begin() + 12, first.end()));
  exchange(modules, r, 2, {}, 2);
  const Bytes second = frame(0x1000, {0x01, 0x02}, 0x0999);
  exchange(modules, r, 4, Bytes(second.begin(), second.begin() + 12));
  exchange(modules, r, 4, Bytes(second.begin() + 12, second.end()));
  exchange(modules, r, 4, frame(0x1000, {}, 0x0201));
  exchange(modules, r, 0, {}, 2);
  wire_ns += 10 * MS;
  exchange(modules, r, 0, {}, 2);
  exchange(modules, r, 2, {}, 2);
  EXPECT_EQ(
      r.lines,
      (Lines{
          "search: slot 0 answers 2 (a module)",
          "search: slot 1 does not answer (nothing drives the line)",
          "search: slot 2 answers 4 (a module)",
          "search: slot 3 does not answer (nothing drives the line)",
          "refused: a header is one transfer of 12 bytes, this one has 16",
          "frame: address 0x00008000, 4 bytes, checksum 0x00000604: module sum agrees; taken by "
          "slot 2",
          "checksum: slot 2 answers 0: it took frames and waits for its jump, nothing verified",
          "frame: address 0x00001000, 2 bytes, checksum 0x00000999: module sum 0x00000201 differs; "
          "taken by slots 0, 2",
          "jump: address 0x00001000, checksum 0x00000201: slot 0 not verified, slot 2 not verified",
          "checksum: slot 0 answers 0: still verifying its code after the jump",
          "checksum: slot 0 answers 0x0000: first i.MX not verified, second i.MX absent",
          "checksum: slot 2 answers 0x0000: first i.MX not verified, second i.MX not verified"}));
}

TEST(Annotations, ChecksumPeerNamesPacketsAndItsAnswers) {
  ChecksumPeer peer(2);
  Recorder r;
  const Bytes packet{0x02, 0x00, 0x02, 0x01, 0x04, 0x03};  // 2 words: 0x0102, 0x0304
  for (int i = 0; i < 2; ++i) {
    exchange(peer, r, 0, packet);
    exchange(peer, r, 0, {}, 4);
  }
  EXPECT_EQ(r.lines,
            (Lines{"packet: 1: 2 data words, sum 0x00000406",
                   "packet-sum: 0x00000406 for packet 1, low half first",
                   "packet: 2: 2 data words, sum 0x00000406",
                   "packet-sum: 0x00000407 for packet 2, low half first (off by one on purpose)"}));
}

}  // namespace
}  // namespace boardsim
