// What a broadcast download costs kovrel: CPU time and peak memory for a
// 1 MiB file sent to every module, against a plain writer moving the same
// bytes to the same chip select in 4096-byte writes through one descriptor
// (the least any program can do through the driver), and the system calls
// spent per 4096-byte frame; and the download's wall time on the bus against
// its bus time (every transfer's clocks at 2 MHz, which the strict board
// makes each transfer take).
//
//   spi_download_bench [SIZE_BYTES]
//
// The programs run on the simulated board through measured_run.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "boardsim/models/registry.h"
#include "boardsim/models/sound_modules.h"
#include "measured_run.h"

namespace {

constexpr size_t DEFAULT_SIZE = 1u << 20;
constexpr size_t FRAME_BYTES = 4096;
// Every kovrel run clocks the bus at 2 MHz: at the default 100 kHz one MiB
// takes 84 s on the bus.
constexpr const char* JOB_SPEED = "BIT_RATE 2000000\n";
using bench::Measured;
using bench::run_measured;
using bench::self_path;

// The image every run downloads.
std::string firmware(size_t size) { return bench::firmware(size, 1); }

std::unique_ptr<boardsim::Board> sound_board() {
  auto board = std::make_unique<boardsim::Board>();
  std::string error;
  auto modules = boardsim::make_sound_modules("0=2,2=4", error);
  if (!modules) {
    fprintf(stderr, "sound modules: %s\n", error.c_str());
    exit(1);
  }
  for (int d = 0; d < 5; ++d) board->attach_spi(d, modules);
  return board;
}

// The system calls of a whole kovrel run as strace counts them (the shim's
// socket traffic included), or -1 without strace.
long strace_calls(size_t size) {
  if (access("/usr/bin/strace", X_OK) != 0) return -1;
  auto board = sound_board();
  board->write_file("/tmp/fw.bin", firmware(size));
  board->write_file("/tmp/job.txt",
                    std::string(JOB_SPEED) + "BIN_FILE 0x00001000 /tmp/fw.bin ALL\n");
  boardsim::Command command;
  command.argv = {"/usr/bin/strace",
                  "-c",
                  "-o",
                  "/tmp/strace.txt",
                  boardsim::Board::program_path("kovrel"),
                  "-v",
                  "0",
                  "-s",
                  "/tmp/job.txt"};
  command.timeout_s = 300;
  if (board->run(command).status != 0) return -1;
  std::istringstream summary(board->read_file("/tmp/strace.txt"));
  std::string line;
  long calls = -1;
  while (std::getline(summary, line)) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.size() >= 5 && w.back() == "total") calls = std::strtol(w[3].c_str(), nullptr, 10);
  }
  return calls;
}

void print_run(const char* name, const Measured& m) {
  printf(
      "%-28s status %3d  cpu %8.2f ms (user %7.2f, sys %7.2f)  peak RSS %6ld KiB  wall %8.1f ms\n",
      name, m.status, (m.user_us + m.sys_us) / 1000.0, m.user_us / 1000.0, m.sys_us / 1000.0,
      m.hwm_kb, m.wall_ms);
}

// --raw-write DEVICE FILE: the file to the device in 4096-byte writes through
// one descriptor, the least any program can do to move the bytes.
int raw_write(const char* device, const char* file) {
  int out = open(device, O_RDWR);
  int in = open(file, O_RDONLY);
  int result = out >= 0 && in >= 0 ? 0 : 1;
  char buffer[FRAME_BYTES];
  for (ssize_t n = 0; result == 0 && (n = read(in, buffer, sizeof buffer)) > 0;) {
    for (ssize_t done = 0; result == 0 && done < n;) {
      ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
      if (w > 0) done += w;
      else if (w < 0 && errno != EAGAIN && errno != EINTR) result = 1;
    }
  }
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  return result;
}

// The download on the bus: from the first frame's start to the last one's
// end, and the time its transfers themselves take there.
struct BusFigures {
  double wall_ms = 0;
  double bus_ms = 0;
};

// One kovrel run: a broadcast download of `size` bytes and the jump.
Measured kovrel_run(size_t size, size_t& opens, size_t& writes, size_t& closes,
                    BusFigures* bus = nullptr) {
  auto board = sound_board();
  board->write_file("/tmp/fw.bin", firmware(size));
  board->write_file(
      "/tmp/job.txt",
      std::string(JOB_SPEED) + "BIN_FILE 0x00001000 /tmp/fw.bin ALL\nJUMP 0x00001000 ALL\n");
  Measured m = run_measured(
      *board, {boardsim::Board::program_path("kovrel"), "-v", "0", "-s", "/tmp/job.txt"});
  // Device calls of the download alone, as the journal saw them on the
  // broadcast chip select: the set-up's two settings, the speed change and
  // the jump frame taken off.
  const auto& journal = board->journal();
  opens = journal.of(boardsim::EventKind::SpiOpen, 4).size() - 4;
  const auto frame_writes = journal.of(boardsim::EventKind::SpiWrite, 4);
  writes = frame_writes.size() - 1;
  closes = journal.of(boardsim::EventKind::SpiClose, 4).size() - 4;
  if (bus != nullptr && frame_writes.size() > 1) {
    uint64_t on_bus_ns = 0;
    for (size_t i = 0; i + 1 < frame_writes.size(); ++i) {
      on_bus_ns += frame_writes[i].wire_end_ns - frame_writes[i].wire_start_ns;
    }
    const uint64_t span_ns =
        frame_writes[frame_writes.size() - 2].wire_end_ns - frame_writes.front().wire_start_ns;
    bus->wall_ms = static_cast<double>(span_ns) / 1e6;
    bus->bus_ms = static_cast<double>(on_bus_ns) / 1e6;
  }
  return m;
}

Measured reference_run(size_t size) {
  boardsim::Board board;
  std::string error;
  for (int d = 0; d < 5; ++d) board.attach_spi(d, boardsim::make_spi_model("sink", "", error));
  board.write_file("/tmp/fw.bin", firmware(size));
  return run_measured(board, {self_path(), "--raw-write", "/dev/spidev2.4", "/tmp/fw.bin"});
}

double cpu_ms(const Measured& m) { return (m.user_us + m.sys_us) / 1000.0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], bench::MEASURE_ROLE) == 0) {
    return bench::measure_child(argv + 2);
  }
  if (argc == 4 && std::strcmp(argv[1], "--raw-write") == 0) return raw_write(argv[2], argv[3]);
  const size_t size = argc >= 2 ? std::strtoul(argv[1], nullptr, 10) : DEFAULT_SIZE;
  const size_t frames = (size + FRAME_BYTES - 1) / FRAME_BYTES;
  if (size == 0) {
    fprintf(stderr, "usage: spi_download_bench [SIZE_BYTES > 0]\n");
    return 2;
  }

  size_t opens = 0, writes = 0, closes = 0, unused = 0;
  BusFigures bus;
  Measured kovrel = kovrel_run(size, opens, writes, closes, &bus);
  Measured kovrel_twice = kovrel_run(2 * size, unused, unused, unused);
  Measured raw = reference_run(size);
  Measured raw_twice = reference_run(2 * size);

  printf("Broadcast download of %zu bytes (%zu frames) to sound modules in slots 0 and 2\n", size,
         frames);
  print_run("kovrel, SIZE", kovrel);
  print_run("kovrel, 2 x SIZE", kovrel_twice);
  print_run("4096-byte writes, SIZE", raw);
  print_run("4096-byte writes, 2 x SIZE", raw_twice);
  // The second SIZE costs what the first does without process start-up and
  // the SPI set-up: that difference is the download's own CPU time.
  const double kovrel_marginal = cpu_ms(kovrel_twice) - cpu_ms(kovrel);
  const double raw_marginal = cpu_ms(raw_twice) - cpu_ms(raw);
  printf("CPU time of SIZE bytes more: kovrel %.2f ms, reference %.2f ms", kovrel_marginal,
         raw_marginal);
  if (raw_marginal > 0) printf(", ratio %.2f", kovrel_marginal / raw_marginal);
  printf("\nPeak RSS growth from SIZE to 2 x SIZE: kovrel %ld KiB\n",
         kovrel_twice.hwm_kb - kovrel.hwm_kb);
  printf("Device calls per frame (journal): open %.2f, write %.2f, close %.2f\n",
         static_cast<double>(opens) / frames, static_cast<double>(writes) / frames,
         static_cast<double>(closes) / frames);
  if (bus.bus_ms > 0) {
    printf("On the bus at 2 MHz: download %.1f ms, its transfers' bus time %.1f ms, ratio %.4f\n",
           bus.wall_ms, bus.bus_ms, bus.wall_ms / bus.bus_ms);
  }
  const long calls_one = strace_calls(size);
  const long calls_two = strace_calls(2 * size);
  if (calls_one >= 0 && calls_two >= 0) {
    printf("System calls per frame (strace, through the simulator's shim): %.2f\n",
           static_cast<double>(calls_two - calls_one) / frames);
  } else {
    printf("System calls per frame (strace): strace not available\n");
  }
  if (kovrel.status != 0 || kovrel_twice.status != 0) {
    fprintf(stderr, "kovrel failed:\n%s\n", kovrel.err.c_str());
    return 1;
  }
  return 0;
}
