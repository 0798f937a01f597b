// Job files come from the user: every line of one goes through
// job_read_line, in the UART phase or the SPI phase, with or without boot
// record files, for any set of sound modules the search may have found.
//
// Input: the first byte picks the run settings, the rest is the job file.
//   bit 0     SPI phase (else UART)
//   bit 1     boot record files (-w)
//   bits 2-5  module_mask, one bit per slot
// So a seed that starts with '<' is a UART job and '=' an SPI job, both with
// all four modules present.
#include <cstring>

#include "fuzz_input.h"
#include "kovrel.h"

namespace {

constexpr uint8_t SETTING_SPI = 0x01;
constexpr uint8_t SETTING_BR_FILES = 0x02;
constexpr int SETTING_MASK_SHIFT = 2;
constexpr uint8_t SETTING_MASK_BITS = 0x0F;

bool terminated(const char* text, size_t size) { return memchr(text, '\0', size) != nullptr; }

// What the executors rely on when the reader hands them a command.
void check_command() {
  fuzz_require(terminated(job_command.bin_file, sizeof job_command.bin_file), "bin_file ends");
  fuzz_require(terminated(job_command.br_file, sizeof job_command.br_file), "br_file ends");
  fuzz_require(terminated(device_path, sizeof device_path), "device_path ends");
  fuzz_require((job_command.control & CONTROL_COUNT_MASK) <= 4, "record count of one access");
  if (job_command.kind == JOB_MODE) {
    fuzz_require(job_command.spi_mode <= 3, "SPI mode 0 to 3");
  }
  const bool spi_addressed = job_command.kind == JOB_BIN_FILE ||
                             (job_command.kind == JOB_JUMP && current_phase == PHASE_SPI);
  if (current_phase == PHASE_SPI && spi_addressed) {
    fuzz_require(device_path[0] != '\0', "an SPI transfer has a device");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  kovrel_reset_state();
  const uint8_t settings = data[0];
  current_phase = (settings & SETTING_SPI) != 0 ? PHASE_SPI : PHASE_UART;
  br_generation = (settings & SETTING_BR_FILES) != 0;
  module_mask = static_cast<uint8_t>((settings >> SETTING_MASK_SHIFT) & SETTING_MASK_BITS);
  FILE* job = fuzz_stream(data + 1, size - 1);
  if (job == nullptr) return 0;
  // Lines after a failed one are read too, so that each line is also decoded
  // in whatever state the lines before it left; every read takes at least one
  // byte, so the loop ends.
  for (;;) {
    const JobLine result = job_read_line(job);
    if (result == JobLine::END || ferror(job) != 0) break;
    fuzz_require(terminated(line, sizeof line) && terminated(token, sizeof token),
                 "line and token end");
    if (result == JobLine::COMMAND) check_command();
  }
  fclose(job);
  return 0;
}
