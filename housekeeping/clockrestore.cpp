// clockrestore: applies a pending clock correction once. The system time is
// set to the hardware clock's reading plus the stored offset, the hardware
// clock takes the corrected time over, and only then is the offset consumed.
//
// The offset file is the only record of the correction, so it is removed only
// when both commands succeeded; otherwise the next start-up tries again. The
// hardware clock takes the system time over only when the date was set: a
// refused date (a board whose date cannot take the year) leaves the system
// time as it was, which must not overwrite the hardware clock. With
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
  // A clock reading is an unsigned 32-bit count of seconds: read wide, so
  // that "-1" or a number past 32 bits is refused instead of taken modulo
  // 2^32 (%u accepts a sign and wraps) as a date in 1970 or 2106.
  long long value = 0;
  const int result =
      fscanf(file, "%lld", &value) == 1 && value >= 0 && value <= UINT32_MAX ? 0 : -1;
  fclose(file);
  *seconds = static_cast<uint32_t>(result == 0 ? value : 0);
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
  // The system time first; the hardware clock takes it over only when set.
  if (command_run(date_command) == 0 && command_run(HWCLOCK_COMMAND) == 0) {
    remove(OFFSET_PATH);
  }
  return 0;
}
