// clockrestore: applies a pending clock correction once. The system time is
// set to the hardware clock's reading plus the stored offset, the hardware
// clock takes the corrected time over, and only then is the offset consumed.
//
// The offset file is the only record of the correction, so it is removed only
// when both commands succeeded; otherwise the next start-up tries again. With
// no valid offset or clock reading nothing is run: no date from a guess. Both
// are read only as regular files: a FIFO in the offset file's place would hold
// the start-up, and a device could give any number at all.
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "housekeeping.h"

namespace {

constexpr char OFFSET_PATH[] = "/home/organ/epoch_offset";
constexpr char RTC_SECONDS_PATH[] = "/sys/class/rtc/rtc0/since_epoch";
constexpr char HWCLOCK_COMMAND[] = "hwclock -w";
constexpr size_t DATE_COMMAND_SIZE = 48;  // "date MMDDhhmmYYYY.ss" and room

int offset_read(int32_t* offset) {
  FILE* file = regular_file_stream(OFFSET_PATH);
  if (file == nullptr) {
    return -1;
  }
  // Read wide and range-tested: %d into an int is undefined past 32 bits
  // (it wraps on a 64-bit host and clamps on the board), and a date must not
  // be set from such a value.
  long long value = 0;
  const int result =
      fscanf(file, "%lld", &value) == 1 && value >= INT32_MIN && value <= INT32_MAX ? 0 : -1;
  fclose(file);
  *offset = static_cast<int32_t>(result == 0 ? value : 0);
  return result;
}

int rtc_seconds_read(uint32_t* seconds) {
  FILE* file = regular_file_stream(RTC_SECONDS_PATH);
  if (file == nullptr) {
    return -1;
  }
  unsigned value = 0;
  const int result = fscanf(file, "%u", &value) == 1 ? 0 : -1;
  fclose(file);
  *seconds = value;
  return result;
}

// Runs a command through the command interpreter; 0 when it exited with 0.
int command_run(const char* command) {
  const int status = system(command);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return -1;
  }
  return 0;
}

}  // namespace

int main() {
  int32_t offset = 0;
  uint32_t rtc_seconds = 0;
  char date_command[DATE_COMMAND_SIZE];
  if (offset_read(&offset) != 0 || rtc_seconds_read(&rtc_seconds) != 0 ||
      date_command_format(clock_corrected_time(rtc_seconds, offset), date_command,
                          sizeof date_command) != 0) {
    return 0;
  }
  // Both commands run, in this order, whatever the first one answered.
  const int date_result = command_run(date_command);
  const int hwclock_result = command_run(HWCLOCK_COMMAND);
  if (date_result == 0 && hwclock_result == 0) {
    remove(OFFSET_PATH);
  }
  return 0;
}
