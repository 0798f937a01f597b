// Console output and device input/output shared by every step of the run.
//
// Errors, progress and tables go to standard error; an error report also
// releases the device in use, since every error ends the run. The devices are
// non-blocking, so reads and writes are repeated until the bytes have moved,
// waiting on the device until it is ready, and give up when the device has
// made no progress for a bounded time.
//
// The pauses of the links live here too, beside the transfers they are
// counted from, and so do the discarding of unread input and the names of
// the numbered devices: the link, record and executor units above all use
// them, and this unit calls none of theirs. Each pause ends at an absolute
// deadline on the monotonic clock, counted from the moment the transfer that
// starts it completed, or from the end of the pause before it when no
// transfer came between. A sleep that overruns its deadline therefore never
// makes the next pause longer, and no pause is ever shorter than asked.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "kovrel.h"

namespace {

// Longest time a device may go without moving a single byte before a read or
// write gives up. The slowest legitimate wait is one character at 600 baud
// (16.7 ms); two seconds is more than a hundred such characters, so only a
// silent or wedged device reaches it.
constexpr int64_t DEVICE_STALL_LIMIT_MS = 2000;

// Each wait on an SPI device lasts at most this long before the transfer is
// tried again, whatever poll reported: a device that never signals readiness
// (the spidev stand-in of the simulated board) must still be retried
// promptly. A serial port always signals it, so a wait on the UART lasts
// until the port is ready, and an echo is taken the moment it is there.
constexpr int POLL_SLICE_MS = 5;

constexpr int64_t NS_PER_US = 1000;
constexpr int64_t NS_PER_MS = 1000000;
constexpr int64_t NS_PER_S = 1000000000;

// Where the next pause is counted from (monotonic nanoseconds; 0: from when
// it starts).
int64_t pause_origin_ns = 0;

// The serial port held for exclusive use, or -1. The kernel keeps that mark
// on a port after a close while any other descriptor of it is open, so it is
// given back before the close, and at the end of the run (the SPI phase opens
// its devices as current_device while the port stays open).
int exclusive_device = -1;

int64_t monotonic_ns() {
  struct timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * NS_PER_S + now.tv_nsec;
}

int64_t monotonic_ms() { return monotonic_ns() / NS_PER_MS; }

bool is_transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

bool uart_wording() { return current_phase == PHASE_UART; }

// True (reported, errno ETIMEDOUT) once the device has made no progress
// since `last_progress_ms` for the stall limit.
bool stalled(short events, int64_t last_progress_ms) {
  if (monotonic_ms() - last_progress_ms < DEVICE_STALL_LIMIT_MS) return false;
  const char* link = uart_wording() ? "UART" : "SPI";
  const char* direction = (events & POLLIN) != 0 ? "read" : "write";
  log_error("%s %s stalled (no progress for %d ms)\n", link, direction,
            static_cast<int>(DEVICE_STALL_LIMIT_MS));
  errno = ETIMEDOUT;
  return true;
}

// Waits one slice for the device to become ready for `events`. Returns 0 when
// the transfer may be tried again, -1 (reported, errno ETIMEDOUT) once the
// device has made no progress since `last_progress_ms` for the stall limit.
int wait_for_device(short events, int64_t last_progress_ms) {
  if (stalled(events, last_progress_ms)) return -1;
  int timeout_ms = POLL_SLICE_MS;
  if (uart_wording()) {
    // Until the port is ready, or just past the stall bound: the retried
    // transfer then tells which came first.
    timeout_ms = static_cast<int>(DEVICE_STALL_LIMIT_MS - (monotonic_ms() - last_progress_ms)) + 1;
  }
  struct pollfd watch = {current_device, events, 0};
  // The outcome is not needed: the retried transfer tells what happened.
  (void)poll(&watch, 1, timeout_ms);
  return 0;
}

void log_with_prefix(const char* prefix, const char* format, va_list args, const char* suffix) {
  fputs(prefix, stderr);
  vfprintf(stderr, format, args);
  fputs(suffix, stderr);
}

}  // namespace

int drain_output() {
  int64_t last_progress_ms = monotonic_ms();
  int queued = 0;
  // A device that cannot tell its queue (not a terminal) has nothing to wait
  // for. tcdrain would wait without limit on a transmitter held back by flow
  // control; the queue is watched instead, and only a queue that stops
  // shrinking for the stall limit fails.
  if (ioctl(current_device, TIOCOUTQ, &queued) != 0) return 0;
  while (queued > 0) {
    if (wait_for_device(POLLOUT, last_progress_ms) != 0) return -1;
    int now_queued = 0;
    if (ioctl(current_device, TIOCOUTQ, &now_queued) != 0) break;
    if (now_queued < queued) last_progress_ms = monotonic_ms();
    queued = now_queued;
  }
  // A wait for the transmitter counts from the moment the queue was empty.
  pause_origin_now();
  return 0;
}

int drain_transmitter(int64_t poll_us, int64_t fallback_us) {
  const int64_t start_ms = monotonic_ms();
  for (;;) {
    int status = 0;
    if (ioctl(current_device, TIOCSERGETLSR, &status) != 0) {
      // The driver cannot tell (a pseudo-terminal, some USB adapters): give
      // the fullest transmitter the time it needs.
      link_pause_us(fallback_us);
      return 0;
    }
    if ((status & TIOCSER_TEMT) != 0) {
      // A pause after it counts from here.
      pause_origin_now();
      return 0;
    }
    if (stalled(POLLOUT, start_ms)) return -1;
    link_pause_us(poll_us);
  }
}

void pause_origin_now() { pause_origin_ns = monotonic_ns(); }

void link_pause_us(int64_t microseconds) {
  if (pause_origin_ns == 0) pause_origin_now();
  const int64_t deadline_ns = pause_origin_ns + (microseconds > 0 ? microseconds : 0) * NS_PER_US;
  const struct timespec deadline = {static_cast<time_t>(deadline_ns / NS_PER_S),
                                    static_cast<long>(deadline_ns % NS_PER_S)};
  // An absolute sleep resumed after a signal still ends at the same moment.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
  pause_origin_ns = deadline_ns;
}

void close_current_device() {
  if (current_device >= 0) {
    if (current_device == exclusive_device) device_exclusive_release();
    close(current_device);
    current_device = -1;
  }
}

int device_lock(int fd, const char* name) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      log_error("<%s> is in use by another program\n", name);
    } else {
      log_error("cannot lock <%s>\n", name);
    }
    return -1;
  }
  return 0;
}

int device_exclusive_take() {
  if (ioctl(current_device, TIOCEXCL) != 0) return -1;
  exclusive_device = current_device;
  return 0;
}

void device_exclusive_release() {
  if (exclusive_device >= 0) (void)ioctl(exclusive_device, TIOCNXCL);
  exclusive_device = -1;
}

void uart_discard_input() { tcflush(current_device, TCIFLUSH); }

int device_path_format(char (&path)[DEVICE_PATH_SIZE], const char* stem, int number) {
  const int length = snprintf(path, sizeof path, "%s%d", stem, number);
  return length >= 0 && static_cast<size_t>(length) < sizeof path ? 0 : -1;
}

void log_error(const char* format, ...) {
  int saved_errno = errno;
  va_list args;
  va_start(args, format);
  log_with_prefix("\nERROR : ", format, args, "\n");
  va_end(args);
  close_current_device();
  errno = saved_errno;
}

int log_syntax_error() {
  log_error(SECTION_BANNER "%s", line);
  log_error("token --> %s\n", token);
  return -1;
}

void log_debug(const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_with_prefix("DEBUG : ", format, args, "\n");
  va_end(args);
}

void log_verbose(const char* format, ...) {
  if ((current_phase & verbosity) == 0) {
    return;
  }
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
}

int write_all(const void* buffer, size_t n) {
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  int64_t last_progress_ms = monotonic_ms();
  while (done < n) {
    ssize_t moved = write(current_device, bytes + done, n - done);
    if (moved > 0) {
      done += static_cast<size_t>(moved);
      last_progress_ms = monotonic_ms();
      continue;
    }
    if (moved < 0 && !is_transient(errno)) {
      log_error(uart_wording() ? "UART write failed (%d)\n" : "SPI write failed (%d)\n", errno);
      return -1;
    }
    if (wait_for_device(POLLOUT, last_progress_ms) != 0) {
      return -1;
    }
  }
  pause_origin_now();
  return 0;
}

int read_all(void* buffer, size_t n) {
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  int64_t last_progress_ms = monotonic_ms();
  while (done < n) {
    ssize_t moved = read(current_device, bytes + done, n - done);
    if (moved > 0) {
      done += static_cast<size_t>(moved);
      last_progress_ms = monotonic_ms();
      continue;
    }
    // A read of no bytes is repeated like EAGAIN, under the same bound.
    if (moved < 0 && !is_transient(errno)) {
      log_error(uart_wording() ? "UART read failed (%d)\n" : "SPI read failed (%d)\n", errno);
      return -1;
    }
    if (wait_for_device(POLLIN, last_progress_ms) != 0) {
      return -1;
    }
  }
  pause_origin_now();
  return 0;
}

long read_once(void* buffer, size_t max) {
  int64_t start_ms = monotonic_ms();
  for (;;) {
    ssize_t got = read(current_device, buffer, max);
    if (got >= 0) {
      pause_origin_now();
      return static_cast<long>(got);
    }
    if (!is_transient(errno)) {
      return -1;
    }
    if (wait_for_device(POLLIN, start_ms) != 0) {
      return -1;
    }
  }
}
