// SPI executor: carries out one decoded line of the SPI job. Downloads go out
// as frames through the framing unit; settings through the SPI link. This
// unit never touches a device setting itself. It has the shape of the UART
// executor: a dispatch table by job kind, one refusal, the link pauses and
// the binary file read through input_file.cpp.
#include <unistd.h>

#include <cstdint>

#include "kovrel.h"

namespace {

// The modules need this long after a jump before their checksum answer is
// ready.
constexpr int64_t JUMP_SETTLE_US = 10000;
constexpr int64_t US_PER_MS = 1000;
constexpr int MODULE_CPU_COUNT_ONE = 2;  // counts up to 2: one i.MX processor
// Checksum answer: one bit per processor, set when its verification passed.
constexpr uint16_t ANSWER_FIRST_CPU_OK = 0x1;
constexpr uint16_t ANSWER_SECOND_CPU_OK = 0x2;
constexpr uint16_t ANSWER_BOTH_CPUS_OK = ANSWER_FIRST_CPU_OK | ANSWER_SECOND_CPU_OK;

// What one slot's row of the checksum report came to. An unreadable slot
// ends the table; a failed row only fails the jump.
enum class SlotReport { PASSED, FAILED, UNREADABLE };

int exec_nothing() { return 0; }

// The reader admits only the SPI keywords in the SPI phase; a UART kind here
// would be a fault of this program, reported rather than ignored.
int exec_refused() {
  log_error("command %d is not an SPI job command\n", static_cast<int>(job_command.kind));
  return -1;
}

// Negative durations are no pause.
int exec_wait() {
  link_pause_us(static_cast<int64_t>(job_command.wait_ms) * US_PER_MS);
  return 0;
}

// Fills frame_data with `want` bytes of the file. A file that ends or fails
// before its counted size fails the download: nothing of the frame is sent.
int frame_fill(int file, size_t want) {
  const long got = input_file_read(file, frame_data, want, job_command.bin_file);
  if (got < 0) return -1;
  if (static_cast<size_t>(got) != want) {
    log_error("cannot read <%s>\n", job_command.bin_file);
    return -1;
  }
  return 0;
}

// Sends `remaining` bytes of the file as frames of up to 4096 bytes at
// consecutive addresses; an odd last piece gets one fill byte 0.
int download_frames(int file, uint64_t remaining) {
  while (remaining > 0) {
    size_t n = remaining < SPI_FRAME_MAX_DATA ? static_cast<size_t>(remaining) : SPI_FRAME_MAX_DATA;
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
  const int file = input_file_open(job_command.bin_file);
  if (file < 0) return -1;
  const int64_t size = input_file_size(file, job_command.bin_file);
  int result = size < 0 ? -1 : 0;
  // The address is even, so an odd size ends short of a boundary and its
  // fill byte never passes one.
  if (result == 0) {
    result = download_range_check(job_command.frame_address, static_cast<uint64_t>(size),
                                  job_command.bin_file);
  }
  if (result == 0) result = download_frames(file, static_cast<uint64_t>(size));
  close(file);
  return result;
}

const char* verification_text(uint16_t answer, uint16_t cpu_bit) {
  return (answer & cpu_bit) != 0 ? "OK" : "KO";
}

// The row of one present slot from its checksum answer; anything above the
// bits of the module's processors is unknown ("??").
SlotReport checksum_row_print(int slot, uint16_t answer) {
  const uint16_t count = module_dsp_count[slot];
  const char* first = "??";
  const char* second = "--";
  bool pass = false;
  if (count <= MODULE_CPU_COUNT_ONE) {
    if (answer <= ANSWER_FIRST_CPU_OK) first = verification_text(answer, ANSWER_FIRST_CPU_OK);
    pass = answer == ANSWER_FIRST_CPU_OK;
  } else {
    second = "??";
    if (answer <= ANSWER_BOTH_CPUS_OK) {
      first = verification_text(answer, ANSWER_FIRST_CPU_OK);
      second = verification_text(answer, ANSWER_SECOND_CPU_OK);
    }
    pass = answer == ANSWER_BOTH_CPUS_OK;
  }
  log_debug("    %d    %d   %s   %s", slot, count, first, second);
  return pass ? SlotReport::PASSED : SlotReport::FAILED;
}

// Reads one slot's checksum answer and prints its row; a slot whose device
// cannot be opened or read is reported as such and gets no row.
SlotReport checksum_slot_report(int slot) {
  if ((module_mask & (1u << slot)) == 0) {
    log_debug("    %d    0   --   --", slot);
    return SlotReport::PASSED;
  }
  if (spi_device_open(slot) < 0) return SlotReport::UNREADABLE;
  uint8_t answer[2] = {};
  int result = read_all(answer, sizeof answer);
  close_current_device();  // already closed when read_all reported an error
  if (result < 0) return SlotReport::UNREADABLE;
  return checksum_row_print(slot, spi_word_of(answer));
}

int exec_jump() {
  job_command.frame_size = 0;
  if (spi_send_frame() < 0) return -1;
  link_pause_us(JUMP_SETTLE_US);
  log_verbose(SECTION_BANNER "Verifying checksum ...\n\n");
  log_debug("Slot# DSP# MiMX SiMX");
  int result = 0;
  for (int slot = 0; slot < SPI_SLOT_COUNT; ++slot) {
    const SlotReport row = checksum_slot_report(slot);
    if (row == SlotReport::UNREADABLE) return -1;
    if (row == SlotReport::FAILED) result = -1;
  }
  return result;
}

// The SPI keywords; every other kind is refused.
constexpr JobAction SPI_ACTIONS[] = {
    {JOB_COMMENT, exec_nothing}, {JOB_BIN_FILE, exec_bin_file}, {JOB_WAIT, exec_wait},
    {JOB_JUMP, exec_jump},       {JOB_BIT_RATE, spi_set_speed}, {JOB_MODE, spi_set_mode},
};

}  // namespace

int spi_job_exec() {
  for (const JobAction& action : SPI_ACTIONS) {
    if (action.kind == job_command.kind) return action.run();
  }
  return exec_refused();
}
