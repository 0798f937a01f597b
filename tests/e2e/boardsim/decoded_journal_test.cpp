// The decoded journal of a whole bring-up as an engineer reads it: the reset
// pulse, the speed change journalled ahead of the first byte at the new
// speed, each annotation right after the bytes it decodes, the requests by
// name with what ran on the wire.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "boardsim/models/imx_bootstrap.h"
#include "boardsim/models/sound_modules.h"

namespace {

using boardsim::EventKind;

// Each text in `haystack`, in this order, each on a line after the one before.
::testing::AssertionResult lines_in_order(const std::string& haystack,
                                          const std::vector<std::string>& texts) {
  size_t from = 0;
  for (const auto& text : texts) {
    const size_t at = haystack.find(text, from);
    if (at == std::string::npos) {
      return ::testing::AssertionFailure() << "missing (in order) \"" << text << "\" in:\n"
                                           << haystack;
    }
    from = haystack.find('\n', at);
  }
  return ::testing::AssertionSuccess();
}

TEST(DecodedJournal, BringUpReadsUnitByUnit) {
  boardsim::Board board;
  board.attach_serial(0, std::make_shared<boardsim::ImxBootstrap>());
  auto modules = std::make_shared<boardsim::SoundModules>();
  std::string error;
  ASSERT_TRUE(modules->configure("0=2,2=4", error)) << error;
  for (int cs = 0; cs < 5; ++cs) board.attach_spi(cs, modules);
  board.write_file("/tmp/u.txt", "WRITE_32 0x001122FC 0xCAFEDECA\nJUMP 0x00001000\n");
  board.write_file("/tmp/code.bin", std::string("\x01\x02\x03\x04", 4));
  board.write_file("/tmp/s.txt", "BIN_FILE 0x00001000 /tmp/code.bin ALL\nJUMP 0x00001000 ALL\n");
  boardsim::Command command;
  command.argv = {"kovrel", "-r", "-b", "57600", "-u", "/tmp/u.txt", "-s", "/tmp/s.txt"};
  command.timeout_s = 60;
  const auto r = board.run(command);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = board.journal().to_text();
  EXPECT_TRUE(lines_in_order(
      text,
      {"gpio-write op 1 (set) mask 0x00100000 value 0x00000000: reset line low",
       "gpio-write op 0 mask 0x00100000 value 0x00000000: reset line stays low",
       "gpio-write op 1 (set) mask 0x00100000 value 0x00100000: reset line high",
       "tty-out    ttyS0 38400 baud  \"A\"",
       // The slave knows the unit when its last character has arrived; its
       // answer takes one character time more on the line.
       "annotation ttyS0 sync: 'A' answered ':'", "tty-in     ttyS0 38400 baud  \":\"",
       "annotation ttyS0 speed-change: 002060A8 C4 (32-bit, count 4, write) data 0000013D: slave "
       "now at 57691.0 baud",
       "tty-speed  ttyS0 now 57600 baud", "tty-out    ttyS0 57600 baud  \"001122FC",
       "annotation ttyS0 boot-record: 001122FC C4 (32-bit, count 4, write) data CAFEDECA",
       "annotation ttyS0 jump: 00001000 C0 (32-bit, count 0, write): slave runs from 00001000",
       "spi-ioctl  spidev2.0 SPI_IOC_WR_MAX_SPEED_HZ 100000 -> 0",
       "spi-ioctl  spidev2.0 SPI_IOC_RD_MAX_SPEED_HZ 100000 -> 0",
       "spi-ioctl  spidev2.4 SPI_IOC_WR_BITS_PER_WORD 16 -> 0",
       "spi-read   spidev2.0 2 bytes (100000 Hz, 16 bits, mode 0) -> 2  rx 02 00",
       "annotation spidev2.0 search: slot 0 answers 2 (a module)",
       "spi-write  spidev2.4 12 bytes (100000 Hz, 16 bits, mode 0) -> 12  tx 00 10 00 00 04 00 00 "
       "00 04 06 00 00",
       "spi-write  spidev2.4 4 bytes (100000 Hz, 16 bits, mode 0) -> 4  tx 01 02 03 04",
       "annotation spidev2.4 frame: address 0x00001000, 4 bytes, checksum 0x00000604: module sum "
       "agrees; "
       "taken by slots 0, 2",
       "annotation spidev2.4 jump: address 0x00001000, checksum 0x00000604: slot 0 verified, slot "
       "2 verified",
       "annotation spidev2.0 checksum: slot 0 answers 0x0001: first i.MX verified, second i.MX "
       "absent",
       "annotation spidev2.2 checksum: slot 2 answers 0x0003: first i.MX verified, second i.MX "
       "verified"}));
  // Every byte stays in the machine-readable form.
  const std::string jsonl = board.journal().to_jsonl();
  EXPECT_NE(jsonl.find("\"kind\":\"spi-write\",\"pid\":"), std::string::npos) << jsonl;
  EXPECT_NE(
      jsonl.find(
          "\"wire_hz\":100000,\"wire_bits\":16,\"wire_mode\":0,\"tx\":\"01020304\",\"result\":4,"
          "\"wire_start_ms\":"),
      std::string::npos)
      << jsonl;
  // The 4-byte frame data: 32 clocks at 100 kHz, half a clock before them,
  // and one after them for releasing the chip select and the bus: 335 us.
  bool found = false;
  for (const auto& e : board.journal().of(EventKind::SpiWrite, 4)) {
    if (e.data.size() != 4) continue;
    found = true;
    EXPECT_EQ(e.wire_end_ns - e.wire_start_ns, 335000u);
  }
  EXPECT_TRUE(found) << text;
  // The speed change's closing character leaves at the old speed, before
  // the slave moves: kovrel's port has it, and nothing is refused.
  size_t units = 0;
  for (const auto& e : board.journal().of(EventKind::Annotation)) {
    EXPECT_NE(e.unit, "refused") << e.text;
    ++units;
  }
  EXPECT_EQ(units, 12u) << text;
}

}  // namespace
