// The date command of the clock correction. The command takes the time as
// month, day, hour, minute, full year, a point and seconds.
#include <ctime>

#include "housekeeping.h"

// The organ is in service past 2038: a time kept in 32 bits would turn
// into 1901 then, and the date command would take both clocks there.
static_assert(sizeof(time_t) >= sizeof(int64_t), "time_t of 64 bits (_TIME_BITS=64)");

int64_t clock_corrected_time(uint32_t rtc_seconds, int32_t offset_seconds) {
  // Any 32-bit reading plus any 32-bit offset fits 64 bits without wrapping.
  return static_cast<int64_t>(rtc_seconds) + offset_seconds;
}

int date_command_format(int64_t time_seconds, char* command, size_t size) {
  // Before 1970 is no time for the system clock (the kernel refuses it), and
  // an offset that reaches back there is no correction: nothing is set.
  if (time_seconds < 0) {
    return -1;
  }
  const time_t when = static_cast<time_t>(time_seconds);
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
