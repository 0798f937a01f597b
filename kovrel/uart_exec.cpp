// The UART job executor: one job command carried out with boot records.
// Downloads go in chunks of one record each, with a fixed pause after every
// record so the slave bootstrap can store it before the next one arrives.
#include <array>

#include <sys/stat.h>

#include "kovrel.h"

namespace {

constexpr int64_t RECORD_PAUSE_US = 20000;
constexpr size_t CHUNK_32_BIT = 28;  // 7 words: 66 characters on the line
constexpr size_t CHUNK_8_BIT = 31;   // the largest count the control byte holds
constexpr uint32_t WORD_BYTES = 4;

static_assert(CHUNK_32_BIT % WORD_BYTES == 0 && CHUNK_32_BIT <= BOOT_RECORD_DATA_MAX,
              "32-bit chunks are whole words and fit a record");
static_assert(CHUNK_8_BIT <= CONTROL_COUNT_MASK, "8-bit chunks fit the count field");

int exec_nothing() { return 0; }

int exec_not_uart() {
  log_error("not a UART job command\n");
  return -1;
}

int exec_wait() {
  uart_pause_us(static_cast<int64_t>(job_command.wait_ms) * 1000);
  return 0;
}

int exec_boot_record() {
  return (job_command.control & CONTROL_READ) != 0 ? boot_record_read() : boot_record_write();
}

// Size of the open file, leaving it positioned at its start; -1 when unknown.
long file_size(FILE* file) {
  if (fseek(file, 0, SEEK_END) != 0) {
    return -1;
  }
  long size = ftell(file);
  if (fseek(file, 0, SEEK_SET) != 0) {
    return -1;
  }
  return size;
}

// Sends `size` bytes of the open binary file from job_command.address on.
int download(FILE* bin, long size) {
  const bool words = job_command.address % WORD_BYTES == 0 && size % WORD_BYTES == 0;
  const int width = words ? WIDTH_32 : WIDTH_8;
  const size_t chunk = words ? CHUNK_32_BIT : CHUNK_8_BIT;
  long remaining = size;
  int result = 0;
  while (remaining > 0 && result == 0) {
    size_t wanted = static_cast<size_t>(remaining) < chunk ? static_cast<size_t>(remaining) : chunk;
    size_t got = fread(job_command.data, 1, wanted, bin);
    if (got == 0) {
      // The file ended (or failed) before its size was sent; retrying would
      // only spin on the same empty read.
      log_error("cannot read <%s>\n", job_command.bin_file);
      return -1;
    }
    job_command.control = static_cast<uint8_t>((width << CONTROL_WIDTH_SHIFT) | got);
    result = boot_record_write();
    job_command.address += static_cast<uint32_t>(got);
    remaining -= static_cast<long>(got);
    uart_pause_us(RECORD_PAUSE_US);
  }
  return result;
}

// True when the br file to be written is the open binary file itself (a name
// ending in ".br", or a link to it): the finished download would replace the
// image by its own records. The 64-bit status calls keep a file
// whose inode number needs 64 bits recognisable on the 32-bit board.
bool br_file_is_binary(FILE* bin) {
  struct stat64 bin_status = {};
  struct stat64 br_status = {};
  if (fstat64(fileno(bin), &bin_status) != 0 || stat64(job_command.br_file, &br_status) != 0) {
    return false;
  }
  return bin_status.st_dev == br_status.st_dev && bin_status.st_ino == br_status.st_ino;
}

int exec_bin_file() {
  FILE* bin = input_file_fopen(job_command.bin_file);
  if (bin == nullptr) return -1;
  int result = 0;
  if (br_generation && br_file_is_binary(bin)) {
    log_error("boot record file <%s> is the binary file itself\n", job_command.br_file);
    result = -1;
  } else if (br_generation) {
    result = br_output_open();
  }
  if (result == 0) {
    long size = file_size(bin);
    if (size < 0) {
      log_error("cannot read <%s>\n", job_command.bin_file);
      result = -1;
    } else {
      result = download(bin, size);
    }
  }
  fclose(bin);
  if (br_output != nullptr) {
    if (result == 0) {
      result = br_output_commit();
    } else {
      br_output_discard();
    }
  }
  return result;
}

// Replays a br file: each record in one write, then the record pause; the
// slave's answers are neither read nor waited for. The file is checked whole
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
    uart_pause_us(RECORD_PAUSE_US);
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

// Indexed by JobKind; the SPI kinds never reach this executor.
constexpr std::array<int (*)(), 14> uart_actions{{
    exec_not_uart,     // JOB_NONE
    exec_nothing,      // JOB_COMMENT
    exec_bin_file,     // JOB_BIN_FILE
    exec_wait,         // JOB_WAIT
    exec_boot_record,  // JOB_JUMP
    exec_boot_record,  // JOB_WRITE_32
    exec_boot_record,  // JOB_WRITE_16
    exec_boot_record,  // JOB_WRITE_8
    exec_boot_record,  // JOB_READ_32
    exec_boot_record,  // JOB_READ_16
    exec_boot_record,  // JOB_READ_8
    exec_br_file,      // JOB_BR_FILE
    exec_not_uart,     // JOB_BIT_RATE
    exec_not_uart,     // JOB_MODE
}};
static_assert(JOB_MODE + 1 == uart_actions.size(), "one action per job kind");

}  // namespace

int uart_job_exec() {
  const int kind = job_command.kind;
  if (kind < 0 || static_cast<size_t>(kind) >= uart_actions.size()) {
    return exec_not_uart();
  }
  return uart_actions[static_cast<size_t>(kind)]();
}
