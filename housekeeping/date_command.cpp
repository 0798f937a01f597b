// The date command of the clock correction. The command takes the time as
// month, day, hour, minute, full year, a point and seconds.
#include <ctime>

#include "housekeeping.h"

int32_t clock_corrected_time(uint32_t rtc_seconds, int32_t offset_seconds) {
  // Unsigned addition wraps by definition; the sum is then read as the
  // platform's signed 32-bit time.
  const uint32_t sum = rtc_seconds + static_cast<uint32_t>(offset_seconds);
  return static_cast<int32_t>(sum);
}

int date_command_format(int32_t time_seconds, char* command, size_t size) {
  const time_t when = time_seconds;
  const struct tm* local = localtime(&when);
  if (local == nullptr) {
    return -1;
  }
  const int length =
      snprintf(command, size, "date %02d%02d%02d%02d%d.%02d", local->tm_mon + 1, local->tm_mday,
               local->tm_hour, local->tm_min, local->tm_year + 1900, local->tm_sec);
  if (length < 0 || static_cast<size_t>(length) >= size) {
    return -1;
  }
  return 0;
}
