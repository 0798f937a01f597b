// The rules wrong_board can break, one a row: each row is the right bring-up
// with exactly one thing done as the firmware does not take it.
//
// Usage: wrong_board RULE   (wrong_board with no argument lists the rules)
#include "wrong_board.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace {

// A 28-byte write record (32-bit words, count 28) and the record after it.
constexpr const char* LONG_RECORD =
    "00001000DC"
    "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF01234567";
constexpr const char* WORD_RECORD = "00002000C412345678";
constexpr const char* JUMP_RECORD = "00001000C0";

// The slave's reset pulse must stay low 10 ms and it listens 100 ms after
// it: the right run keeps both with room to spare.
constexpr int RESET_LOW_MS = 20;
constexpr int LISTEN_AFTER_MS = 150;

struct SerialRule {
  const char* name;
  SerialRun run;
};

constexpr SerialRule SERIAL_RULES[] = {
    {"serial-ok", {RESET_LOW_MS, LISTEN_AFTER_MS, {WORD_RECORD, JUMP_RECORD}, false}},
    // No pause between the edges: as short a pulse as the board can make.
    {"short-pulse", {0, LISTEN_AFTER_MS, {nullptr, nullptr}, false}},
    {"early-char", {RESET_LOW_MS, 1, {nullptr, nullptr}, false}},
    // The word record follows the long one's last character at once, while
    // the slave still stores the long one.
    {"record-before-stored", {RESET_LOW_MS, LISTEN_AFTER_MS, {LONG_RECORD, WORD_RECORD}, true}},
    {"char-after-jump", {RESET_LOW_MS, LISTEN_AFTER_MS, {JUMP_RECORD, WORD_RECORD}, false}},
    {"bad-command", {RESET_LOW_MS, LISTEN_AFTER_MS, {"0000200XC412345678", nullptr}, false}},
    {"bad-data", {RESET_LOW_MS, LISTEN_AFTER_MS, {"00002000C41234567X", nullptr}, false}},
    // The port at 57600 from the start, with no speed-change record: the
    // slave still listens at 38400.
    {"wrong-speed", {RESET_LOW_MS, LISTEN_AFTER_MS, {WORD_RECORD, nullptr}, false, 57600}},
};

// kovrel's clock; the modules take mode 0 up to 20 MHz, the controller runs
// up to 24 MHz. The checksum is ready 5 ms after the jump.
constexpr uint32_t SPI_HZ = 2000000;
constexpr uint32_t TOO_FAST_HZ = 24000000;
constexpr uint32_t WRONG_MODE = 1;  // the clock phase of mode 1
constexpr uint16_t VERIFY_WAIT_US = 10000;

struct SpiRule {
  const char* name;
  SpiRun run;
};

constexpr SpiRule SPI_RULES[] = {
    {"spi-ok", {0, SPI_HZ, 0, false, false, VERIFY_WAIT_US}},
    {"split-header", {0, SPI_HZ, 6, false, false, VERIFY_WAIT_US}},
    {"header-with-data", {0, SPI_HZ, 0, true, false, VERIFY_WAIT_US}},
    {"data-with-jump", {0, SPI_HZ, 0, false, true, VERIFY_WAIT_US}},
    // The read follows the jump on the bus without a pause.
    {"early-checksum", {0, SPI_HZ, 0, false, false, 0}},
    {"wrong-mode", {WRONG_MODE, SPI_HZ, 0, false, false, VERIFY_WAIT_US}},
    {"too-fast", {0, TOO_FAST_HZ, 0, false, false, VERIFY_WAIT_US}},
};

int usage() {
  fprintf(stderr, "Usage: wrong_board RULE\nRules:");
  for (const SerialRule& rule : SERIAL_RULES) fprintf(stderr, " %s", rule.name);
  for (const SpiRule& rule : SPI_RULES) fprintf(stderr, " %s", rule.name);
  fprintf(stderr, "\n");
  return 2;
}

}  // namespace

int step_failed(const char* step) {
  fprintf(stderr, "%s failed errno %d\n", step, errno);
  return -1;
}

int main(int argc, char** argv) {
  if (argc != 2) return usage();
  int result = 0;
  bool known = false;
  for (const SerialRule& rule : SERIAL_RULES) {
    if (strcmp(argv[1], rule.name) == 0) {
      known = true;
      result = serial_run(rule.run);
    }
  }
  for (const SpiRule& rule : SPI_RULES) {
    if (strcmp(argv[1], rule.name) == 0) {
      known = true;
      result = spi_run(rule.run);
    }
  }
  if (!known) return usage();
  if (fflush(stdout) != 0) return 1;
  return result == 0 ? 0 : 1;
}
