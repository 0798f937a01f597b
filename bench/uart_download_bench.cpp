// What a UART download costs: kovrel sends a binary file as boot records to
// the slave bootstrap model at 38400 and 57600 baud, with and without echo
// reading. For each run it prints the wall time of the download (first byte
// of its first record to the last byte of its last, from the simulator's
// journal) against the pauses the protocol mandates over the same stretch,
// the whole run against all its mandated pauses, and kovrel's CPU time.
//
//   uart_download_bench [SIZE_BYTES]   (default 2800)
//
// kovrel runs on the simulated board through measured_run.h.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "measured_run.h"
#include "models/imx_bootstrap.h"

namespace {

constexpr size_t DEFAULT_SIZE = 2800;
constexpr uint32_t LOAD_ADDRESS = 0x1000;
constexpr size_t CHUNK = 28;           // 32-bit records: the file and address are word multiples
constexpr size_t COMMAND_CHARS = 10;
constexpr double RECORD_PAUSE_US = 20000;
constexpr double RESET_PAUSES_US = 10000 + 100000;
constexpr double END_PAUSE_US = 100000;
// The image every run downloads.
std::string firmware(size_t size) { return bench::firmware(size, 12345); }

double byte_time_us(int baud) {
  return static_cast<double>(static_cast<int>(10000000.0 / baud + 0.5));
}

// The wait for a record's data echo: read as it comes with -r, otherwise
// the time the echo and one more character take.
double data_echo_pause_us(size_t count, double char_us, bool echo) {
  return echo ? 0 : (2 * count + 1) * char_us;
}

// Pauses kovrel must make for one record of `count` data bytes.
double record_pauses_us(size_t count, double char_us, bool echo) {
  return (COMMAND_CHARS + 1) * char_us + data_echo_pause_us(count, char_us, echo) +
         RECORD_PAUSE_US;
}

struct Figures {
  bool ok = false;
  double download_us = 0;
  double download_pauses_us = 0;
  double run_us = 0;
  double run_pauses_us = 0;
  long user_us = -1;
  long sys_us = -1;
};

Figures run_once(int baud, bool echo, size_t size) {
  Figures f;
  boardsim::Board board;
  auto slave = std::make_shared<boardsim::ImxBootstrap>();
  board.attach_serial(0, slave);
  board.write_file("/tmp/fw.bin", firmware(size));
  char line[64];
  snprintf(line, sizeof line, "BIN_FILE 0x%08X /tmp/fw.bin\n", LOAD_ADDRESS);
  board.write_file("/tmp/job.txt", line);

  std::vector<std::string> argv = {boardsim::Board::program_path("kovrel"), "-b",
                                   std::to_string(baud), "-u", "/tmp/job.txt"};
  if (echo) argv.push_back("-r");
  const bench::Measured m = bench::run_measured(board, argv);
  f.run_us = m.wall_ms * 1000.0;
  f.user_us = m.user_us;
  f.sys_us = m.sys_us;
  if (m.status != 0 || m.user_us < 0) {
    fprintf(stderr, "run failed (status %d): %s\n", m.status, m.err.c_str());
    return f;
  }
  const std::string image = firmware(size);
  if (slave->memory_bytes(LOAD_ADDRESS, size) != std::vector<uint8_t>(image.begin(), image.end())) {
    fprintf(stderr, "the slave's memory does not hold the file\n");
    return f;
  }

  // The download starts with the first record's address; everything before
  // it is the sync character and, away from 38400, the speed-change record.
  char first_address[9];
  snprintf(first_address, sizeof first_address, "%08X", LOAD_ADDRESS);
  const auto events = board.journal().of(boardsim::EventKind::SerialToSlave, 0);
  const std::string wire = board.journal().bytes_text(boardsim::EventKind::SerialToSlave, 0);
  const size_t first = wire.find(first_address);
  size_t seen = 0;
  uint64_t first_ns = 0;
  for (const auto& e : events) {
    if (first_ns == 0 && first < seen + e.data.size()) first_ns = e.t_ns;
    seen += e.data.size();
  }
  f.download_us = static_cast<double>(events.back().t_ns - first_ns) / 1000.0;

  const double char_us = byte_time_us(baud);
  const size_t records = (size + CHUNK - 1) / CHUNK;
  double all_records = 0;
  for (size_t r = 0; r < records; ++r) {
    const size_t count = r + 1 < records ? CHUNK : size - CHUNK * (records - 1);
    all_records += record_pauses_us(count, char_us, echo);
  }
  // From the first byte to the last data byte: all but the last record's
  // data echo wait and record pause.
  const size_t last = size - CHUNK * (records - 1);
  f.download_pauses_us = all_records - data_echo_pause_us(last, char_us, echo) - RECORD_PAUSE_US;
  f.run_pauses_us = RESET_PAUSES_US + 2 * char_us + all_records + END_PAUSE_US;
  if (baud != 38400) {
    // The speed-change record, never echo-checked, without a record pause.
    f.run_pauses_us += record_pauses_us(4, char_us, false) - RECORD_PAUSE_US;
  }
  f.ok = true;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && strcmp(argv[1], bench::MEASURE_ROLE) == 0) {
    return bench::measure_child(argv + 2);
  }
  const size_t size = argc > 1 ? strtoul(argv[1], nullptr, 10) : DEFAULT_SIZE;
  if (size == 0 || size % 4 != 0) {
    fprintf(stderr, "usage: uart_download_bench [SIZE_BYTES, a multiple of 4]\n");
    return 2;
  }
  printf("UART download of %zu bytes in %zu records of up to %zu bytes\n", size,
         (size + CHUNK - 1) / CHUNK, CHUNK);
  printf("%-6s %-5s %13s %13s %6s %11s %11s %6s %9s %9s\n", "baud", "-r", "download ms",
         "mandated ms", "ratio", "run ms", "mandated ms", "ratio", "user ms", "sys ms");
  for (int baud : {38400, 57600}) {
    for (bool echo : {false, true}) {
      Figures f = run_once(baud, echo, size);
      if (!f.ok) return 1;
      printf("%-6d %-5s %13.1f %13.1f %6.3f %11.1f %11.1f %6.3f %9.1f %9.1f\n", baud,
             echo ? "on" : "off", f.download_us / 1000, f.download_pauses_us / 1000,
             f.download_us / f.download_pauses_us, f.run_us / 1000, f.run_pauses_us / 1000,
             f.run_us / f.run_pauses_us, f.user_us / 1000.0, f.sys_us / 1000.0);
    }
  }
  return 0;
}
