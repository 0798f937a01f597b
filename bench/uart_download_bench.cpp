// What a UART download costs against the protocol's floor: kovrel sends a
// binary file as boot records to the slave bootstrap model at 19200, 38400,
// 56000 and 57600 baud, with and without echo reading (-r). For each run it
// prints the wall time of the download (first byte of its first record to the
// last byte of its last, from the simulator's journal) against its floor over
// the same stretch: the pauses the protocol mandates plus the wire time it
// must wait for (with -r, each data field's characters, their echo and the
// slave's time to store the record before its closing character), the whole run against all
// the pauses it must make, and kovrel's CPU time. Then, for each kind of pause, how the gaps seen
// on the line compare with its mandated length: minimum, median, 99th percentile and maximum of the
// excess, and how many gaps came out shorter than mandated.
//
//   uart_download_bench [SIZE_BYTES]   (default 28672, a multiple of 4)
//
// BOARDSIM_PROGRAM_DIR names the directory of the kovrel to measure (by
// default the one built beside this benchmark), so that two builds can be
// compared in one sitting on one machine. kovrel runs on the simulated board
// through measured_run.h.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "boardsim/models/imx_bootstrap.h"
#include "measured_run.h"

namespace {

constexpr size_t DEFAULT_SIZE = 28 * 1024;
constexpr uint32_t LOAD_ADDRESS = 0x1000;
constexpr size_t CHUNK = 28;  // 32-bit records: the file and address are word multiples
constexpr size_t ADDRESS_CHARS = 8;
constexpr size_t COMMAND_CHARS = 10;
constexpr double RECORD_PAUSE_US = 20000;
constexpr double RESET_PAUSES_US = 10000 + 100000;
constexpr double END_PAUSE_US = 100000;
// Before the port changes speed kovrel lets a full 64-character transmitter
// empty at 38400; the simulated port cannot tell, so the whole wait is made.
constexpr double TRANSMITTER_WAIT_US = 64 * 260;
constexpr int BAUDS[] = {19200, 38400, 56000, 57600};

// The image every run downloads.
std::string firmware(size_t size) { return bench::firmware(size, 12345); }

double byte_time_us(int baud) {
  return static_cast<double>(static_cast<int>(10000000.0 / baud + 0.5));
}

// The wait for a record's data echo, from the data field's write: without
// -r the mandated pause of the echo and one more character; with -r the same
// time on the wire, as the data characters take 2 x count character times to
// leave and the echo of the last one comes after them, and the closing
// character once the slave has stored the record.
double data_echo_pause_us(size_t count, double char_us, bool echo) {
  const double store_us =
      echo ? static_cast<double>(count * boardsim::ImxBootstrap::STORE_NS_PER_BYTE) / 1000.0 : 0;
  return static_cast<double>(2 * count + 1) * char_us + store_us;
}

// Pauses kovrel must make for one record of `count` data bytes.
double record_pauses_us(size_t count, double char_us, bool echo) {
  return (COMMAND_CHARS + 1) * char_us + data_echo_pause_us(count, char_us, echo) + RECORD_PAUSE_US;
}

// The gaps of one kind of pause seen on the line, as excess over the
// mandated length in microseconds; and how many gaps were short beyond
// doubt: shorter than mandated even at the longest the simulator's own
// reading allows (its journal says how late it can have read each byte).
struct PauseKind {
  const char* name;
  double mandated_us = 0;
  std::vector<double> excess_us;
  long short_for_sure = 0;
  double least_longest_us = 1e300;  // the smallest longest-possible gap, less mandated
};

struct Figures {
  bool ok = false;
  double download_us = 0;
  double download_pauses_us = 0;
  double run_us = 0;
  double run_pauses_us = 0;
  long user_us = -1;
  long sys_us = -1;
  std::vector<PauseKind> pauses;
};

// When the simulator read a byte kovrel wrote on the line, and the earliest
// moment the byte can have got there (0: not known).
struct ByteTime {
  uint64_t read_ns;
  uint64_t earliest_ns;
};

std::vector<ByteTime> byte_times(const boardsim::Journal& journal) {
  std::vector<ByteTime> times;
  for (const auto& e : journal.of(boardsim::EventKind::SerialToSlave, 0)) {
    times.insert(times.end(), e.data.size(), ByteTime{e.t_ns, e.t_min_ns});
  }
  return times;
}

// The gaps between the records of a download starting at `first` on the
// line: inside the command, after it, and after the data field.
std::vector<PauseKind> record_gaps(const std::vector<ByteTime>& at, size_t first, size_t size,
                                   double char_us, bool echo) {
  PauseKind command{"address to control field", 0, {}};
  PauseKind command_echo{"command echo wait", (COMMAND_CHARS + 1) * char_us, {}};
  PauseKind record{
      "data echo + record pause", data_echo_pause_us(CHUNK, char_us, echo) + RECORD_PAUSE_US, {}};
  auto add_gap = [&](PauseKind& kind, size_t earlier, size_t later) {
    const double seen_us = static_cast<double>(at[later].read_ns - at[earlier].read_ns) / 1000.0;
    kind.excess_us.push_back(seen_us - kind.mandated_us);
    const uint64_t from_ns = at[earlier].earliest_ns;
    if (from_ns == 0) return;
    const double longest_us = static_cast<double>(at[later].read_ns - from_ns) / 1000.0;
    if (longest_us < kind.mandated_us) ++kind.short_for_sure;
    kind.least_longest_us = std::min(kind.least_longest_us, longest_us - kind.mandated_us);
  };
  size_t start = first;
  for (size_t sent = 0; sent < size; sent += CHUNK) {
    const size_t data = start + COMMAND_CHARS;
    const size_t next = data + 2 * std::min(CHUNK, size - sent);
    add_gap(command, start + ADDRESS_CHARS - 1, start + ADDRESS_CHARS);
    add_gap(command_echo, data - 1, data);
    // Only full records have a successor with the same mandated pause.
    if (next < at.size()) add_gap(record, next - 1, next);
    start = next;
  }
  return {command, command_echo, record};
}

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
  const std::string wire = board.journal().bytes_text(boardsim::EventKind::SerialToSlave, 0);
  const size_t first = wire.find(first_address);
  const std::vector<ByteTime> at = byte_times(board.journal());
  if (first == std::string::npos || at.size() != wire.size()) {
    fprintf(stderr, "no download on the line\n");
    return f;
  }
  f.download_us = static_cast<double>(at.back().read_ns - at[first].read_ns) / 1000.0;

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
    // The speed-change record, never echo-checked, without a record pause,
    // then the wait for the transmitter before the port changes speed.
    f.run_pauses_us += record_pauses_us(4, char_us, false) - RECORD_PAUSE_US + TRANSMITTER_WAIT_US;
  }
  f.pauses = record_gaps(at, first, size, char_us, echo);
  f.ok = true;
  return f;
}

double percentile(const std::vector<double>& sorted, double p) {
  const size_t at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[at];
}

void print_pauses(int baud, bool echo, const std::vector<PauseKind>& pauses) {
  for (const PauseKind& kind : pauses) {
    if (kind.excess_us.empty()) continue;
    std::vector<double> sorted = kind.excess_us;
    std::sort(sorted.begin(), sorted.end());
    const long below = std::count_if(sorted.begin(), sorted.end(), [](double e) { return e < 0; });
    printf("%-6d %-4s %-26s %10.0f %5zu %8.1f %8.1f %8.1f %8.1f %6ld %6ld %8.1f\n", baud,
           echo ? "on" : "off", kind.name, kind.mandated_us, sorted.size(), sorted.front(),
           percentile(sorted, 0.5), percentile(sorted, 0.99), sorted.back(), below,
           kind.short_for_sure, kind.least_longest_us);
  }
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
  printf("UART download of %zu bytes in %zu records of up to %zu bytes by %s\n", size,
         (size + CHUNK - 1) / CHUNK, CHUNK, boardsim::Board::program_path("kovrel").c_str());
  printf("%-6s %-4s %13s %13s %6s %11s %11s %6s %9s %9s\n", "baud", "-r", "download ms",
         "mandated ms", "ratio", "run ms", "mandated ms", "ratio", "user ms", "sys ms");
  std::vector<Figures> runs;
  for (int baud : BAUDS) {
    for (bool echo : {false, true}) {
      Figures f = run_once(baud, echo, size);
      if (!f.ok) {
        printf("%-6d %-4s failed\n", baud, echo ? "on" : "off");
        runs.push_back(std::move(f));
        continue;
      }
      printf("%-6d %-4s %13.1f %13.1f %6.4f %11.1f %11.1f %6.4f %9.1f %9.1f\n", baud,
             echo ? "on" : "off", f.download_us / 1000, f.download_pauses_us / 1000,
             f.download_us / f.download_pauses_us, f.run_us / 1000, f.run_pauses_us / 1000,
             f.run_us / f.run_pauses_us, f.user_us / 1000.0, f.sys_us / 1000.0);
      fflush(stdout);
      runs.push_back(std::move(f));
    }
  }
  printf(
      "\nGaps on the line (journal) against the mandated pause, excess in us; below: gaps\n"
      "seen shorter than mandated; short: of those, gaps shorter even at the longest the\n"
      "simulator's reading allows (how late it can have read each byte); floor: the least\n"
      "such longest gap, less the mandated pause\n");
  printf("%-6s %-4s %-26s %10s %5s %8s %8s %8s %8s %6s %6s %8s\n", "baud", "-r", "pause",
         "mandated", "n", "min", "median", "p99", "max", "below", "short", "floor");
  size_t run = 0;
  for (int baud : BAUDS) {
    for (bool echo : {false, true}) {
      if (runs[run].ok) print_pauses(baud, echo, runs[run].pauses);
      ++run;
    }
  }
  return 0;
}
