// SPI executor: carries out one decoded line of the SPI job. Downloads go out
// as frames through the framing unit; settings through the SPI link. This
// unit never touches a device setting itself.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "kovrel.h"

namespace {

// The modules need this long after a jump before their checksum answer is
// ready.
constexpr useconds_t JUMP_SETTLE_US = 10000;
constexpr int32_t WAIT_CHUNK_MS = 1000;  // usleep takes at most a second at a time
constexpr useconds_t US_PER_MS = 1000;
constexpr int MODULE_CPU_COUNT_ONE = 2;  // counts up to 2: one i.MX processor
constexpr uint16_t ANSWER_FIRST_CPU = 0x1;
constexpr uint16_t ANSWER_BOTH_CPUS = 0x3;

int exec_nothing() { return 0; }

int exec_wait() {
  // Negative durations are no pause; long ones are slept in pieces, since
  // wait_ms * 1000 would overflow 32 bits above about 35 minutes.
  for (int32_t left = job_command.wait_ms; left > 0; left -= WAIT_CHUNK_MS) {
    int32_t chunk = left < WAIT_CHUNK_MS ? left : WAIT_CHUNK_MS;
    usleep(static_cast<useconds_t>(chunk) * US_PER_MS);
  }
  return 0;
}

// Fills frame_data with `want` bytes of the file. A file that ends or fails
// before its counted size fails the download: nothing of the frame is sent.
int frame_fill(int file, size_t want) {
  size_t got = 0;
  while (got < want) {
    ssize_t n = read(file, frame_data + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      log_error("cannot read <%s>\n", job_command.bin_file);
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  return 0;
}

// Sends `remaining` bytes of the file as frames of up to 4096 bytes at
// consecutive addresses; an odd last piece gets one fill byte 0.
int download_frames(int file, uint64_t remaining) {
  while (remaining > 0) {
    size_t n = remaining < SPI_FRAME_MAX_DATA ? static_cast<size_t>(remaining)
                                               : SPI_FRAME_MAX_DATA;
    if (frame_fill(file, n) < 0) return -1;
    remaining -= n;
    size_t size = n;
    if (remaining == 0 && n % 2 != 0) frame_data[size++] = 0;
    job_command.frame_size = static_cast<uint32_t>(size);
    job_command.frame_checksum = frame_checksum_of(frame_data, size);
    if (spi_send_frame() < 0) return -1;
    job_command.frame_address += static_cast<uint32_t>(n);
  }
  return 0;
}

int exec_bin_file() {
  int file = input_file_open(job_command.bin_file);
  if (file < 0) return -1;
  int result = -1;
  struct stat status;
  if (fstat(file, &status) < 0 || status.st_size < 0) {
    log_error("cannot read <%s>\n", job_command.bin_file);
  } else {
    result = download_frames(file, static_cast<uint64_t>(status.st_size));
  }
  close(file);
  return result;
}

// The row of one present slot from its checksum answer: bit 0 is the first
// processor's verification, bit 1 the second's; anything above is unknown.
int checksum_row_print(int slot, uint16_t answer) {
  const uint16_t count = module_dsp_count[slot];
  const char* first = "??";
  const char* second = "--";
  bool pass = false;
  if (count <= MODULE_CPU_COUNT_ONE) {
    if (answer <= ANSWER_FIRST_CPU) first = answer != 0 ? "OK" : "KO";
    pass = answer == ANSWER_FIRST_CPU;
  } else {
    second = "??";
    if (answer <= ANSWER_BOTH_CPUS) {
      first = (answer & 0x1) != 0 ? "OK" : "KO";
      second = (answer & 0x2) != 0 ? "OK" : "KO";
    }
    pass = answer == ANSWER_BOTH_CPUS;
  }
  log_debug("    %d    %d   %s   %s", slot, count, first, second);
  return pass ? 0 : -1;
}

// Reads one slot's checksum answer and prints its row; -1 when the row is a
// failure, -2 when the slot could not be read (reported; the table stops).
int checksum_slot_report(int slot) {
  if ((module_mask & (1u << slot)) == 0) {
    log_debug("    %d    0   --   --", slot);
    return 0;
  }
  if (spi_device_open(slot) < 0) return -2;
  uint8_t answer[2] = {};
  int result = read_all(answer, sizeof answer);
  close_current_device();  // already closed when read_all reported an error
  if (result < 0) return -2;
  return checksum_row_print(slot, spi_word_of(answer));
}

int exec_jump() {
  job_command.frame_size = 0;
  if (spi_send_frame() < 0) return -1;
  usleep(JUMP_SETTLE_US);
  log_verbose(SECTION_BANNER "Verifying checksum ...\n\n");
  log_debug("Slot# DSP# MiMX SiMX");
  int result = 0;
  for (int slot = 0; slot < SPI_SLOT_COUNT; ++slot) {
    int row = checksum_slot_report(slot);
    if (row == -2) return -1;
    if (row < 0) result = -1;
  }
  return result;
}

int exec_bit_rate() { return spi_set_speed(); }

int exec_mode() { return spi_set_mode(); }

// The reader admits only the SPI keywords in the SPI phase; a UART kind here
// would be a fault of this program, reported rather than ignored.
int exec_unexpected() {
  log_error("command %d is not an SPI job command\n", static_cast<int>(job_command.kind));
  return -1;
}

constexpr int (*const spi_executors[])() = {
    exec_unexpected,  // JOB_NONE
    exec_nothing,     // JOB_COMMENT
    exec_bin_file,    // JOB_BIN_FILE
    exec_wait,        // JOB_WAIT
    exec_jump,        // JOB_JUMP
    exec_unexpected,  // JOB_WRITE_32
    exec_unexpected,  // JOB_WRITE_16
    exec_unexpected,  // JOB_WRITE_8
    exec_unexpected,  // JOB_READ_32
    exec_unexpected,  // JOB_READ_16
    exec_unexpected,  // JOB_READ_8
    exec_unexpected,  // JOB_BR_FILE
    exec_bit_rate,    // JOB_BIT_RATE
    exec_mode,        // JOB_MODE
};
static_assert(sizeof spi_executors / sizeof spi_executors[0] == JOB_MODE + 1,
              "one executor for every JobKind");

}  // namespace

int spi_job_exec() {
  const int kind = static_cast<int>(job_command.kind);
  if (kind < 0 || kind > JOB_MODE) return exec_unexpected();
  return spi_executors[kind]();
}
