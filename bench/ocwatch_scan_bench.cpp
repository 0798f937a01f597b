// What one full scan of the system log costs ocwatch, against `grep -F -q`
// for the same text in the same file, both measured in this run on the same
// board. The log is SIZE_MB of kernel and daemon lines with the over-current
// report as its last line, so both programs read all of it, find the text and
// exit 0; ocwatch does so in the scan it makes before it sets any watch.
// Each program runs REPEATS times, alternately, from a log already in the
// page cache; the least CPU time (user + system) of each is compared, and the
// least wall time too.
//
//   ocwatch_scan_bench [SIZE_MB]   (default 100)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "measured_run.h"

namespace {

constexpr size_t DEFAULT_SIZE_MB = 100;
constexpr int REPEATS = 5;
constexpr const char* LOG_PATH = "/tmp/messages";
constexpr const char* REPORT_TEXT = "50 over-current";
constexpr const char* REPORT_LINE =
    "Dec  7 20:01:02 board kernel: hub 1-0:1.0: port 2: 50 over-current change\n";

// Lines as a board's logger writes them, none holding the report; chosen by
// a fixed generator, so every machine scans the same bytes.
std::string log_text(size_t size) {
  static const char* const sources[] = {"kernel", "syslogd", "panel[812]", "dhcpcd[301]",
                                        "crond[99]"};
  static const char* const messages[] = {
      "usb 1-1: new high-speed USB device number %u using ehci-platform",
      "eth0: link up, 100Mbps, full-duplex, lpa 0x%04X",
      "hub 1-0:1.0: port %u: status 0503 change 0000",
      "spi2.%u: transfer timeout",
      "audio coefficients reloaded (%u bytes)",
      "CPU%u: temperature above threshold, cpu clock throttled",
      "mmc0: new high speed SDHC card at address %04x",
  };
  std::string text;
  text.reserve(size + 256);
  uint32_t state = 20241207;
  char message[128];
  char line[256];
  for (unsigned i = 0; text.size() < size; ++i) {
    state = state * 1103515245u + 12345u;
    const unsigned pick = (state >> 16) % 7;
    snprintf(message, sizeof message, messages[pick], (state >> 8) % 10000);
    snprintf(line, sizeof line, "Dec %2u %02u:%02u:%02u board %s: %s\n", 1 + i % 28,
             (i / 3600) % 24, (i / 60) % 60, i % 60, sources[i % 5], message);
    text += line;
  }
  return text + REPORT_LINE;
}

// The first grep on the search path, as execv needs a path.
std::string grep_path() {
  const char* path = getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/grep";
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

double cpu_ms(const bench::Measured& m) { return (m.user_us + m.sys_us) / 1000.0; }

// The least CPU and wall time of a program's runs; ok while every run found
// the report (status 0) and was measured.
struct Best {
  double cpu = 1e300;
  double wall = 1e300;
  bool ok = true;
  void add(const bench::Measured& m) {
    ok = ok && m.status == 0 && m.user_us >= 0;
    cpu = std::min(cpu, cpu_ms(m));
    wall = std::min(wall, m.wall_ms);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], bench::MEASURE_ROLE) == 0) {
    return bench::measure_child(argv + 2);
  }
  const size_t size_mb = argc >= 2 ? std::strtoul(argv[1], nullptr, 10) : DEFAULT_SIZE_MB;
  const std::string grep = grep_path();
  if (size_mb == 0 || grep.empty()) {
    fprintf(stderr, "usage: ocwatch_scan_bench [SIZE_MB > 0] (and grep on the PATH)\n");
    return 2;
  }
  // grep's fastest: no multibyte locale to honour.
  setenv("LC_ALL", "C", 1);
  boardsim::Board board;
  board.write_file(LOG_PATH, log_text(size_mb << 20));
  const std::vector<std::string> ocwatch = {boardsim::Board::program_path("ocwatch")};
  const std::vector<std::string> grep_run = {grep, "-F", "-q", REPORT_TEXT, LOG_PATH};
  Best ocwatch_best;
  Best grep_best;
  for (int i = 0; i < REPEATS; ++i) {
    ocwatch_best.add(bench::run_measured(board, ocwatch));
    grep_best.add(bench::run_measured(board, grep_run));
  }
  if (!ocwatch_best.ok || !grep_best.ok) {
    fprintf(stderr, "a run did not find the report (ocwatch %s, grep %s)\n",
            ocwatch_best.ok ? "ok" : "failed", grep_best.ok ? "ok" : "failed");
    return 1;
  }
  printf("Full scan of a %zu MB log for \"%s\" (last line), best of %d runs each\n", size_mb,
         REPORT_TEXT, REPEATS);
  printf("  ocwatch      CPU %8.2f ms   wall %8.2f ms\n", ocwatch_best.cpu, ocwatch_best.wall);
  printf("  grep -F -q   CPU %8.2f ms   wall %8.2f ms\n", grep_best.cpu, grep_best.wall);
  printf("ocwatch / grep: CPU %.2f, wall %.2f (goal: CPU at most 1.20)\n",
         ocwatch_best.cpu / grep_best.cpu, ocwatch_best.wall / grep_best.wall);
  return 0;
}
