// The wire dump checked by a decoder nobody here wrote: real programs run on
// the board, the journal is exported as a Value Change Dump, sigrok-cli's
// uart and spi decoders read it back, and every stretch of every line must
// decode to exactly the bytes the journal holds for it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "boardsim/models/bench_ends.h"
#include "boardsim/models/imx_bootstrap.h"
#include "boardsim/models/sound_modules.h"
#include "boardsim/vcd.h"
#include "support/bytes.h"
#include "support/text.h"

namespace {

using boardsim::Board;
using boardsim::Event;
using boardsim::EventKind;
using Bytes = std::vector<uint8_t>;
using test_support::bytes_of;
using test_support::slurp;

// A run's journal and the decoder runs over its dump, in a directory of
// their own.
class Decoded {
 public:
  explicit Decoded(const boardsim::Journal& journal) : journal_(journal) {
    char templ[] = "/var/tmp/boardsim-vcd-XXXXXX";
    EXPECT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    t0_ = journal.events().empty() ? 0 : journal.events().front().t_ns;
  }
  ~Decoded() { EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  uint64_t t(const Event& e) const { return e.t_ns - t0_; }

  // What sigrok-cli's decoder gives as binary output for the dump of the
  // window; the command line is kept for the failure message.
  Bytes decode(uint64_t from_ns, uint64_t to_ns, const std::string& decoder,
               const std::string& binary) {
    boardsim::VcdOptions options;
    options.from_ns = from_ns;
    options.to_ns = to_ns;
    const std::string vcd = dir_ + "/wires.vcd";
    {
      std::ofstream out(vcd, std::ios::binary);
      EXPECT_TRUE(boardsim::write_vcd(journal_, out, options));
    }
    // Bounded: a decoder that hangs fails the test instead of stopping the suite.
    command = "timeout 300 sigrok-cli -i " + vcd + " -I vcd -P " + decoder + " -B " + binary;
    const int status = system((command + " >" + dir_ + "/out 2>" + dir_ + "/err").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << command << "\n"
        << slurp(dir_ + "/err") << "(sigrok-cli comes with the Debian package sigrok-cli)";
    return bytes_of(slurp(dir_ + "/out"));
  }

  std::string command;

 private:
  const boardsim::Journal& journal_;
  std::string dir_;
  uint64_t t0_ = 0;
};

// ---------------------------------------------------------------- serial

// Each port's journal cut at its speed changes: one stretch per speed, with
// the bytes that went each way in it.
struct Stretch {
  uint64_t from_ns;
  uint64_t to_ns;
  uint32_t baud;
  Bytes tx;
  Bytes rx;
};

std::vector<Stretch> serial_stretches(const boardsim::Journal& journal, const Decoded& d,
                                      int port) {
  std::vector<Stretch> stretches;
  for (const auto& e : journal.events()) {
    if (e.device != port) continue;
    if (e.kind == EventKind::SerialSpeed && !stretches.empty()) {
      stretches.back().to_ns = d.t(e);
      stretches.push_back({d.t(e), UINT64_MAX, 0, {}, {}});
    }
    if (e.kind != EventKind::SerialToSlave && e.kind != EventKind::SerialFromSlave) continue;
    if (stretches.empty()) stretches.push_back({0, UINT64_MAX, 0, {}, {}});
    // A character sent at the old speed may be delivered after the change:
    // it is drawn, and decodes, in the stretch of its speed.
    const bool old_speed = stretches.size() > 1 && stretches.back().baud != e.baud &&
                           stretches[stretches.size() - 2].baud == e.baud;
    Stretch& s = old_speed ? stretches[stretches.size() - 2] : stretches.back();
    EXPECT_TRUE(s.baud == 0 || s.baud == e.baud) << "one speed per stretch";
    s.baud = e.baud;
    Bytes& side = e.kind == EventKind::SerialToSlave ? s.tx : s.rx;
    side.insert(side.end(), e.data.begin(), e.data.end());
  }
  return stretches;
}

void expect_serial_decodes(const boardsim::Journal& journal, int port,
                           const std::set<uint32_t>& speeds) {
  Decoded d(journal);
  std::set<uint32_t> seen;
  for (const Stretch& s : serial_stretches(journal, d, port)) {
    if (s.tx.empty() && s.rx.empty()) continue;
    seen.insert(s.baud);
    const std::string line = "ttyS" + std::to_string(port);
    const std::string uart =
        "uart:baudrate=" + std::to_string(s.baud) + ":tx=" + line + "_tx:rx=" + line + "_rx";
    EXPECT_EQ(d.decode(s.from_ns, s.to_ns, uart, "uart=tx"), s.tx) << d.command;
    EXPECT_EQ(d.decode(s.from_ns, s.to_ns, uart, "uart=rx"), s.rx) << d.command;
  }
  EXPECT_EQ(seen, speeds);
}

// ---------------------------------------------------------------- SPI

// Word n of a buffer at this word size (little-endian words), 0 past its end.
uint32_t word_at(const Bytes& bytes, size_t n, size_t size) {
  uint32_t word = 0;
  for (size_t k = 0; k < size; ++k) {
    if (n * size + k < bytes.size()) word |= static_cast<uint32_t>(bytes[n * size + k]) << (8 * k);
  }
  return word;
}

// The words of one side of a chip select's traffic as sigrok's spi decoder
// writes them: each word most significant byte first, in as many bytes as
// the word size needs. A side without a buffer (MOSI of a read, MISO of a
// write) carried zeros.
struct SpiSides {
  Bytes mosi;
  Bytes miso;
  std::set<std::pair<int, uint32_t>> settings;  // (bits per word, mode) seen
};

SpiSides spi_sides(const boardsim::Journal& journal, int cs) {
  SpiSides sides;
  for (const auto& e : journal.events()) {
    if (e.device != cs || e.result <= 0 ||
        (e.kind != EventKind::SpiRead && e.kind != EventKind::SpiWrite &&
         e.kind != EventKind::SpiTransfer)) {
      continue;
    }
    sides.settings.insert({e.wire_bits, e.wire_mode});
    const size_t size = e.wire_bits <= 8 ? 1 : e.wire_bits <= 16 ? 2 : 4;
    const size_t out_bytes = (e.wire_bits + 7u) / 8u;
    const Bytes none;
    const Bytes& out = e.kind == EventKind::SpiRead ? none : e.data;
    const Bytes& in = e.kind == EventKind::SpiRead    ? e.data
                      : e.kind == EventKind::SpiWrite ? none
                                                      : e.rx;
    const uint32_t mask = e.wire_bits >= 32 ? 0xFFFFFFFFu : (1u << e.wire_bits) - 1;
    for (size_t n = 0; n < static_cast<size_t>(e.result) / size; ++n) {
      for (size_t k = out_bytes; k-- > 0;) {
        sides.mosi.push_back(static_cast<uint8_t>((word_at(out, n, size) & mask) >> (8 * k)));
        sides.miso.push_back(static_cast<uint8_t>((word_at(in, n, size) & mask) >> (8 * k)));
      }
    }
  }
  return sides;
}

// Every chip select that carried traffic decodes to it; `settings` are the
// (bits per word, mode) pairs the run must have used on the bus.
void expect_spi_decodes(const boardsim::Journal& journal,
                        const std::set<std::pair<int, uint32_t>>& settings) {
  Decoded d(journal);
  std::set<std::pair<int, uint32_t>> seen;
  for (int cs = 0; cs < 5; ++cs) {
    const SpiSides sides = spi_sides(journal, cs);
    if (sides.settings.empty()) continue;
    ASSERT_EQ(sides.settings.size(), 1u) << "one word size and mode per chip select in these runs";
    const auto [bits, mode] = *sides.settings.begin();
    seen.insert({bits, mode});
    const std::string spi = "spi:clk=spi2_sclk:mosi=spi2_mosi:miso=spi2_miso:cs=spi2_cs" +
                            std::to_string(cs) + ":cpol=" + std::to_string((mode >> 1) & 1) +
                            ":cpha=" + std::to_string(mode & 1) +
                            ":wordsize=" + std::to_string(bits);
    EXPECT_EQ(d.decode(0, UINT64_MAX, spi, "spi=mosi"), sides.mosi) << d.command;
    EXPECT_EQ(d.decode(0, UINT64_MAX, spi, "spi=miso"), sides.miso) << d.command;
  }
  EXPECT_EQ(seen, settings);
}

// ---------------------------------------------------------------- runs

boardsim::RunResult run(Board& board, const std::vector<std::string>& argv) {
  boardsim::Command command;
  command.argv = argv;
  command.cwd = "/tmp";
  command.timeout_s = 120;
  return board.run(command);
}

std::string image(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed * 31 + i * 7 + (i >> 8));
  return bytes;
}

const char* const UART_JOB =
    "WRITE_32 0x001122FC 0xCAFEDECA\n"
    "READ_32 0x001122FC\n"
    "BIN_FILE 0x00001000 /tmp/boot.bin\n"
    "JUMP 0x00001000\n";

void uart_run(Board& board, const std::vector<std::string>& speed) {
  board.attach_serial(0, std::make_shared<boardsim::ImxBootstrap>());
  board.write_file("/tmp/boot.bin", image(40, 1));
  board.write_file("/tmp/uart_job.txt", UART_JOB);
  std::vector<std::string> argv{"kovrel", "-r"};
  argv.insert(argv.end(), speed.begin(), speed.end());
  argv.insert(argv.end(), {"-u", "/tmp/uart_job.txt"});
  const auto r = run(board, argv);
  ASSERT_EQ(r.status, 0) << r.err;
}

TEST(WireDecode, UartJobAt38400DecodesToTheJournalsBytes) {
  Board board;
  uart_run(board, {});
  expect_serial_decodes(board.journal(), 0, {38400});
}

TEST(WireDecode, EachSpeedsStretchOfASpeedChangeDecodesAtItsSpeed) {
  Board board;
  uart_run(board, {"-b", "57600"});
  ASSERT_EQ(board.journal().of(EventKind::SerialSpeed, 0).size(), 1u);
  expect_serial_decodes(board.journal(), 0, {38400, 57600});
}

TEST(WireDecode, SpiDownloadAndModuleSearchAt16BitsDecodeOnEveryChipSelect) {
  Board board;
  std::string error;
  auto modules = std::make_shared<boardsim::SoundModules>();
  ASSERT_TRUE(modules->configure("0=2,2=4", error)) << error;
  for (int cs = 0; cs < 5; ++cs) board.attach_spi(cs, modules);
  board.write_file("/tmp/common.bin", image(4500, 2));
  board.write_file("/tmp/slot2.bin", image(301, 3));
  board.write_file("/tmp/spi_job.txt",
                   "BIT_RATE 2000000\n"
                   "BIN_FILE 0x00008000 /tmp/slot2.bin M2\n"
                   "BIN_FILE 0x00001000 /tmp/common.bin ALL\n"
                   "JUMP 0x00001000 ALL\n");
  const auto r = run(board, {"kovrel", "-s", "/tmp/spi_job.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_spi_decodes(board.journal(), {{16, 0}});
}

TEST(WireDecode, BenchToolAt8BitsInMode3DecodesBothWays) {
  Board board;
  board.attach_spi(1, std::make_shared<boardsim::LateLoopback>(0x5A));
  board.write_file("/tmp/in.bin", image(300, 4));
  ASSERT_EQ(run(board, {"yalmet", "-s", "1", "-m", "3", "-w", "8", "-f", "500000"}).status, 0);
  const auto r = run(board, {"dasmo", "-s", "1", "-i", "/tmp/in.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_spi_decodes(board.journal(), {{8, 3}});
}

}  // namespace
