// What a UART download costs against the protocol's floor: kovrel sends a
// binary file as boot records to the slave bootstrap model at 19200, 38400,
// 56000 and 57600 baud, with and without echo reading (-r). For each run it
// prints the wall time of the download (first byte of its first record to the
// last byte of its last, from the simulator's journal) against its floor over
// the same stretch, the whole run against all the pauses it must make, and
// kovrel's CPU time.
//
// The floor is the pauses the protocol mandates plus the wire time it must
// wait for, and nothing else: no latency of a wake-up, a read or the
// simulator. Per record of `count` data bytes, c being one character time:
//  - after the command, 11 c (the mandated pause) without -r. With -r a
//    record with data also waits for the refusal: a slave that refuses sends
//    '*' right behind the echo of the command's 10th character, so it is in
//    no sooner than 12 c after the command's first character left, and the
//    data must not go before it could have been seen (the slave would take
//    them for a new command). 12 c is therefore the floor there;
//  - after the data field, (2 count + 1) c: the mandated pause without -r;
//    with -r the data characters' 2 count c on the wire, the echo of the
//    last one, and the slave's time to store the record before its closing
//    character (which arrives 1 c after it is sent);
//  - then the record pause of 20 ms.
// Then, for each kind of pause, how the gaps seen on the line compare with
// that floor: minimum, median, 99th percentile and maximum of the excess, and
// how many gaps came out shorter. With -r two more rows split the excess at
// the slave's answers (their wire arrival, from the journal): from the moment
// a refusal would have been in to the first data character, and from the
// data echo's closing character to the next record, less the record pause.
// What is left in each is kovrel's waking, reading and writing plus the
// simulator's own latency in handing characters over and reading them.
//
//   uart_download_bench [SIZE_BYTES [REPEATS]]   (default 28672, a multiple of 4; 1)
//
// With REPEATS above 1 every speed and mode runs that many times, one after
// the other, and a last table gives the median ratio of each (the machine is
// shared: a single run can catch another program's burst). The pause figures
// pool all runs.
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

// The wait after the command: the mandated 11 character times, or with -r
// and data to follow, 12, when a refusal would be in.
double command_echo_pause_us(size_t count, double char_us, bool echo) {
  const size_t chars = COMMAND_CHARS + 1 + (echo && count > 0 ? 1 : 0);
  return static_cast<double>(chars) * char_us;
}

// The floor of one record of `count` data bytes.
double record_pauses_us(size_t count, double char_us, bool echo) {
  return command_echo_pause_us(count, char_us, echo) + data_echo_pause_us(count, char_us, echo) +
         RECORD_PAUSE_US;
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
  PauseKind command_echo{"command echo wait", command_echo_pause_us(CHUNK, char_us, echo), {}};
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

// When each character the slave sent reached the board's side of the line:
// the end of its character time on the wire (0: not known).
std::vector<uint64_t> answer_arrivals(const boardsim::Journal& journal) {
  std::vector<uint64_t> due;
  for (const auto& e : journal.of(boardsim::EventKind::SerialFromSlave, 0)) {
    const size_t n = e.data.size();
    const uint64_t ch = e.baud != 0 ? (10ull * 1000000000ull + e.baud / 2) / e.baud : 0;
    for (size_t i = 0; i < n; ++i) {
      due.push_back(e.wire_end_ns != 0 && ch != 0 ? e.wire_end_ns - (n - 1 - i) * ch : 0);
    }
  }
  return due;
}

// With -r, the two waits on the slave split at its answers: from the moment
// a refusal would have been in (one character time after the echo of the
// command's 10th character) to the first data character, and from the data
// echo's closing character to the next record's first character, less the
// record pause. The download ends the job, so its records' answers end the
// slave's output, 10 + 2 x count + 1 characters each. Empty when the answers
// cannot be matched to the records.
std::vector<PauseKind> answer_gaps(const std::vector<ByteTime>& at, const std::string& wire,
                                   const std::string& answers, const std::vector<uint64_t>& due,
                                   size_t first, size_t size, double char_us) {
  PauseKind refusal{"refusal slot to data", 0, {}};
  PauseKind closing{"closing char to next", RECORD_PAUSE_US, {}};
  const size_t records = (size + CHUNK - 1) / CHUNK;
  const size_t answer_chars = COMMAND_CHARS * records + 2 * size + records;
  if (answers.size() < answer_chars || due.size() != answers.size()) return {};
  size_t from = answers.size() - answer_chars;
  size_t start = first;
  for (size_t sent = 0; sent < size; sent += CHUNK) {
    const size_t count = std::min(CHUNK, size - sent);
    const size_t data = start + COMMAND_CHARS;
    const size_t next = data + 2 * count;
    const size_t close = from + COMMAND_CHARS + 2 * count;
    // The echo must be the record as sent, or the split means nothing.
    if (answers.compare(from, COMMAND_CHARS + 2 * count, wire, start, COMMAND_CHARS + 2 * count) !=
            0 ||
        due[from + COMMAND_CHARS - 1] == 0 || due[close] == 0) {
      return {};
    }
    const double slot_ns = static_cast<double>(due[from + COMMAND_CHARS - 1]) + char_us * 1000.0;
    refusal.excess_us.push_back((static_cast<double>(at[data].read_ns) - slot_ns) / 1000.0);
    if (next < at.size()) {
      closing.excess_us.push_back(static_cast<double>(at[next].read_ns - due[close]) / 1000.0 -
                                  RECORD_PAUSE_US);
    }
    start = next;
    from = close + 1;
  }
  return {refusal, closing};
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
  if (echo) {
    const std::string answers = board.journal().bytes_text(boardsim::EventKind::SerialFromSlave, 0);
    for (PauseKind& kind :
         answer_gaps(at, wire, answers, answer_arrivals(board.journal()), first, size, char_us)) {
      f.pauses.push_back(std::move(kind));
    }
  }
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
    char longest[32] = "-";
    if (kind.least_longest_us < 1e299)
      snprintf(longest, sizeof longest, "%.1f", kind.least_longest_us);
    printf("%-6d %-4s %-26s %10.0f %5zu %8.1f %8.1f %8.1f %8.1f %6ld %6ld %8s\n", baud,
           echo ? "on" : "off", kind.name, kind.mandated_us, sorted.size(), sorted.front(),
           percentile(sorted, 0.5), percentile(sorted, 0.99), sorted.back(), below,
           kind.short_for_sure, longest);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && strcmp(argv[1], bench::MEASURE_ROLE) == 0) {
    return bench::measure_child(argv + 2);
  }
  const size_t size = argc > 1 ? strtoul(argv[1], nullptr, 10) : DEFAULT_SIZE;
  const long repeats = argc > 2 ? strtol(argv[2], nullptr, 10) : 1;
  if (size == 0 || size % 4 != 0 || repeats < 1 || argc > 3) {
    fprintf(stderr, "usage: uart_download_bench [SIZE_BYTES, a multiple of 4 [REPEATS]]\n");
    return 2;
  }
  printf("UART download of %zu bytes in %zu records of up to %zu bytes by %s\n", size,
         (size + CHUNK - 1) / CHUNK, CHUNK, boardsim::Board::program_path("kovrel").c_str());
  printf("%-6s %-4s %13s %13s %6s %11s %11s %6s %9s %9s\n", "baud", "-r", "download ms", "floor ms",
         "ratio", "run ms", "floor ms", "ratio", "user ms", "sys ms");
  struct Mode {
    int baud;
    bool echo;
    std::vector<double> ratios;
    std::vector<PauseKind> pauses;
  };
  std::vector<Mode> modes;
  for (int baud : BAUDS) {
    for (bool echo : {false, true}) modes.push_back(Mode{baud, echo, {}, {}});
  }
  for (long round = 0; round < repeats; ++round) {
    for (Mode& mode : modes) {
      const Figures f = run_once(mode.baud, mode.echo, size);
      if (!f.ok) {
        printf("%-6d %-4s failed\n", mode.baud, mode.echo ? "on" : "off");
        continue;
      }
      printf("%-6d %-4s %13.1f %13.1f %6.4f %11.1f %11.1f %6.4f %9.1f %9.1f\n", mode.baud,
             mode.echo ? "on" : "off", f.download_us / 1000, f.download_pauses_us / 1000,
             f.download_us / f.download_pauses_us, f.run_us / 1000, f.run_pauses_us / 1000,
             f.run_us / f.run_pauses_us, f.user_us / 1000.0, f.sys_us / 1000.0);
      fflush(stdout);
      mode.ratios.push_back(f.download_us / f.download_pauses_us);
      if (mode.pauses.empty()) {
        mode.pauses = f.pauses;
        continue;
      }
      for (size_t k = 0; k < f.pauses.size() && k < mode.pauses.size(); ++k) {
        PauseKind& kind = mode.pauses[k];
        const PauseKind& more = f.pauses[k];
        kind.excess_us.insert(kind.excess_us.end(), more.excess_us.begin(), more.excess_us.end());
        kind.short_for_sure += more.short_for_sure;
        kind.least_longest_us = std::min(kind.least_longest_us, more.least_longest_us);
      }
    }
  }
  if (repeats > 1) {
    printf("\nDownload ratio over %ld runs of each\n%-6s %-4s %6s %8s %8s %8s\n", repeats, "baud",
           "-r", "runs", "min", "median", "max");
    for (Mode& mode : modes) {
      if (mode.ratios.empty()) continue;
      std::sort(mode.ratios.begin(), mode.ratios.end());
      printf("%-6d %-4s %6zu %8.4f %8.4f %8.4f\n", mode.baud, mode.echo ? "on" : "off",
             mode.ratios.size(), mode.ratios.front(), percentile(mode.ratios, 0.5),
             mode.ratios.back());
    }
  }
  printf(
      "\nGaps on the line (journal) against the floor, excess in us; below: gaps\n"
      "seen shorter than the floor; short: of those, gaps shorter even at the longest the\n"
      "simulator's reading allows (how late it can have read each byte); longest: the least\n"
      "such longest gap, less the floor (-: not known for gaps that start at an answer)\n");
  printf("%-6s %-4s %-26s %10s %5s %8s %8s %8s %8s %6s %6s %8s\n", "baud", "-r", "pause", "floor",
         "n", "min", "median", "p99", "max", "below", "short", "longest");
  for (const Mode& mode : modes) print_pauses(mode.baud, mode.echo, mode.pauses);
  return 0;
}
