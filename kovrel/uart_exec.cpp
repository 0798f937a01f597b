// The UART job executor: one job command carried out with boot records.
// Downloads go in chunks of one record each, with a fixed pause after every
// record so the slave bootstrap can store it before the next one arrives. It
// has the shape of the SPI executor: a dispatch table by job kind, one
// refusal, the link pauses and the binary file read through input_file.cpp.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "kovrel.h"

namespace {

constexpr int64_t RECORD_PAUSE_US = 20000;
constexpr int64_t US_PER_MS = 1000;
constexpr size_t CHUNK_32_BIT = 28;  // 7 words: 66 characters on the line
constexpr size_t CHUNK_8_BIT = 31;   // the largest count the control byte holds
constexpr uint32_t WORD_BYTES = 4;

static_assert(CHUNK_32_BIT % WORD_BYTES == 0 && CHUNK_32_BIT <= BOOT_RECORD_DATA_MAX,
              "32-bit chunks are whole words and fit a record");
static_assert(CHUNK_8_BIT <= CONTROL_COUNT_MASK, "8-bit chunks fit the count field");

int exec_nothing() { return 0; }

// The reader admits only the UART keywords in the UART phase; an SPI kind
// here would be a fault of this program, reported rather than ignored.
int exec_refused() {
  log_error("not a UART job command\n");
  return -1;
}

// Negative durations are no pause.
int exec_wait() {
  link_pause_us(static_cast<int64_t>(job_command.wait_ms) * US_PER_MS);
  return 0;
}

int exec_boot_record() {
  return (job_command.control & CONTROL_READ) != 0 ? boot_record_read() : boot_record_write();
}

// Sends `size` bytes of the open binary file from job_command.address on. A
// chunk cut short by the end of the file goes out as it is; a read that
// yields nothing before the counted size fails the download, since reading
// again would only spin on the same empty read.
int download_records(int bin, uint64_t size) {
  const bool words = job_command.address % WORD_BYTES == 0 && size % WORD_BYTES == 0;
  const int width = words ? WIDTH_32 : WIDTH_8;
  const size_t chunk = words ? CHUNK_32_BIT : CHUNK_8_BIT;
  uint64_t remaining = size;
  int result = 0;
  while (remaining > 0 && result == 0) {
    const size_t wanted = remaining < chunk ? static_cast<size_t>(remaining) : chunk;
    const long got = input_file_read(bin, job_command.data, wanted, job_command.bin_file);
    if (got < 0) return -1;
    if (got == 0) {
      log_error("cannot read <%s>\n", job_command.bin_file);
      return -1;
    }
    job_command.control = static_cast<uint8_t>((width << CONTROL_WIDTH_SHIFT) | got);
    result = boot_record_write();
    job_command.address += static_cast<uint32_t>(got);
    remaining -= static_cast<uint64_t>(got);
    link_pause_us(RECORD_PAUSE_US);
  }
  return result;
}

// True when the br file to be written is the open binary file itself (a name
// ending in ".br", or a link to it): the finished download would replace the
// image by its own records. With 64-bit file offsets a file whose inode
// number needs 64 bits stays recognisable on the 32-bit board.
bool br_file_is_binary(int bin) {
  struct stat bin_status = {};
  struct stat br_status = {};
  if (fstat(bin, &bin_status) != 0 || stat(job_command.br_file, &br_status) != 0) {
    return false;
  }
  return bin_status.st_dev == br_status.st_dev && bin_status.st_ino == br_status.st_ino;
}

int exec_bin_file() {
  const int bin = input_file_open(job_command.bin_file);
  if (bin < 0) return -1;
  // Every refusal comes before the first record, and before a br file is
  // begun.
  const int64_t size = input_file_size(bin, job_command.bin_file);
  int result = size < 0 ? -1 : 0;
  if (result == 0) {
    result = download_range_check(job_command.address, static_cast<uint64_t>(size),
                                  job_command.bin_file);
  }
  if (result == 0 && br_generation && br_file_is_binary(bin)) {
    log_error("boot record file <%s> is the binary file itself\n", job_command.br_file);
    result = -1;
  } else if (result == 0 && br_generation) {
    result = br_output_open();
  }
  if (result == 0) result = download_records(bin, static_cast<uint64_t>(size));
  close(bin);
  if (br_output != nullptr) {
    if (result == 0) {
      result = br_output_commit();
    } else {
      br_output_discard();
    }
  }
  return result;
}

// Replays a br file: each record in one write, then the record pause from
// the moment it has left the port; the slave's answers are not read. The file is checked whole
// first, so that a damaged one sends nothing.
int exec_br_file() {
  FILE* file = input_file_fopen(job_command.br_file);
  if (file == nullptr) return -1;
  char word[BOOT_RECORD_TEXT_MAX + 1];
  int line_number = 1;
  int result = br_file_check(file, job_command.br_file);
  long length = 0;
  while (result == 0 &&
         (length = br_record_read(file, job_command.br_file, word, &line_number)) > 0) {
    log_verbose("%s\n", word);
    if (write_all(word, static_cast<size_t>(length)) != 0) {
      log_error("write boot record send failed\n");
      result = -1;
      break;
    }
    // The record is written in one piece, and at 28800 baud and below it
    // takes longer on the line than the pause: the pause counts from its
    // last character leaving the UART (the kernel's queue empties sooner,
    // into the UART's FIFO), so that the slave has its 20 ms to
    // store it and echo it (as after a BIN_FILE chunk) before the next one
    // starts, and the last echo is in before the discard below.
    if (uart_drain(uart_byte_time_us) != 0) {
      log_error("write boot record send failed\n");
      result = -1;
      break;
    }
    link_pause_us(RECORD_PAUSE_US);
  }
  // A record that changed since the check ends the replay (reported), and
  // so does a read that failed.
  if (result == 0 && length < 0) result = -1;
  if (result == 0 && ferror(file) != 0) {
    log_error("cannot read <%s>\n", job_command.br_file);
    result = -1;
  }
  if (result == 0) {
    // The slave echoed every record; with -r those echoes must not be taken
    // for the answer to the next record of the job.
    uart_discard_input();
  }
  fclose(file);
  return result;
}

// The UART keywords; every other kind is refused.
constexpr JobAction UART_ACTIONS[] = {
    {JOB_COMMENT, exec_nothing},
    {JOB_BIN_FILE, exec_bin_file},
    {JOB_WAIT, exec_wait},
    {JOB_JUMP, exec_boot_record},
    {JOB_WRITE_32, exec_boot_record},
    {JOB_WRITE_16, exec_boot_record},
    {JOB_WRITE_8, exec_boot_record},
    {JOB_READ_32, exec_boot_record},
    {JOB_READ_16, exec_boot_record},
    {JOB_READ_8, exec_boot_record},
    {JOB_BR_FILE, exec_br_file},
};

}  // namespace

int uart_job_exec() {
  for (const JobAction& action : UART_ACTIONS) {
    if (action.kind == job_command.kind) return action.run();
  }
  return exec_refused();
}
