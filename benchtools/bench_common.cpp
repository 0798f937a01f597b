// The helper unit of the bench tools (see bench_common.h).
#include "bench_common.h"

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "output_file.h"

// The record the driver reads; the same on 32- and 64-bit programs.
static_assert(sizeof(spi_ioc_transfer) == 32, "spi_ioc_transfer is 32 bytes");

void bench_usage_print(const BenchUsage& usage) {
  printf("\n%s (v%d.%d%c)\n\n", usage.title, usage.major, usage.minor, usage.letter);
  for (size_t i = 0; i < usage.line_count; ++i) {
    fputs(usage.lines[i], stdout);
    fputc('\n', stdout);
  }
}

void bench_option_unrecognized(const BenchUsage& usage, int option) {
  printf("\nUnrecognized options -%c\n", option);
  bench_usage_print(usage);
}

void bench_parameter_missing(const BenchUsage& usage) {
  printf("\nMissing not optional parameter\n");
  bench_usage_print(usage);
}

int bench_number(const char* text) {
  const long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

int bench_file_name_store(char (&name)[BENCH_FILE_NAME_SIZE], const char* text) {
  const int written = snprintf(name, sizeof name, "%s", text);
  if (written < 0 || static_cast<size_t>(written) >= sizeof name) {
    name[0] = '\0';
    printf("\nFile name longer than %d characters\n", static_cast<int>(sizeof name - 1));
    return -1;
  }
  return 0;
}

int bench_device_path(char (&path)[BENCH_DEVICE_PATH_SIZE], int device) {
  const int written = device <= BENCH_DEVICE_NUMBER_MAX
                          ? snprintf(path, sizeof path, "/dev/spidev2.%d", device)
                          : -1;
  if (written < 0 || static_cast<size_t>(written) >= sizeof path) {
    path[0] = '\0';
    printf("\nDevice number %d out of range (0..%d)\n", device, BENCH_DEVICE_NUMBER_MAX);
    return -1;
  }
  return 0;
}

namespace {
void bench_output_failed(const char* name) { printf("\nCould not write %s\n", name); }

// A device that answers EAGAIN or EINTR is asked again, as often as it makes
// progress: once nothing has moved for this long the answer stands.
constexpr int64_t BENCH_STALL_LIMIT_MS = 2000;
constexpr useconds_t BENCH_RETRY_PAUSE_US = 1000;  // after EAGAIN, not after EINTR

int64_t monotonic_ms() {
  struct timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Whether a device call that failed with errno may be made again: an EAGAIN
// or EINTR answer within the stall bound since last_progress_ms.
bool bench_retry(int64_t last_progress_ms) {
  const int error = errno;
  if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR) return false;
  if (monotonic_ms() - last_progress_ms >= BENCH_STALL_LIMIT_MS) return false;
  if (error != EINTR) usleep(BENCH_RETRY_PAUSE_US);
  errno = error;
  return true;
}
}  // namespace

FILE* bench_output_open(const char* name) {
  const int fd = output_file_open(name, true, OutputKind::RegularFileOrDevice);
  FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (out == nullptr) {
    if (fd >= 0) close(fd);
    printf("\nCould not open %s\n", name);
  }
  return out;
}

int bench_output_close(FILE* out, const char* name) {
  const bool written = ferror(out) == 0;
  if (fclose(out) != 0 || !written) {
    bench_output_failed(name);
    return -1;
  }
  return 0;
}

int bench_output_check(FILE* out, const char* name) {
  if (fflush(out) != 0 || ferror(out) != 0) {
    bench_output_failed(name);
    return -1;
  }
  return 0;
}

int bench_device_open(const char* path) {
  const int fd = open(path, O_RDWR);
  if (fd < 0) {
    printf("\nCould not open %s (O_RDWR)\n", path);
    return -1;
  }
  // kovrel holds this lock on every device of its SPI phase: a transfer or a
  // setting in the middle of its download would break the download and pass
  // unseen. A tool stops at once instead, before it sends anything.
  int locked = flock(fd, LOCK_EX | LOCK_NB);
  while (locked != 0 && errno == EINTR) locked = flock(fd, LOCK_EX | LOCK_NB);
  if (locked != 0) {
    if (errno == EWOULDBLOCK) {
      printf("\n%s is in use by another program\n", path);
    } else {
      printf("\nCould not lock %s\n", path);
    }
    close(fd);
    return -1;
  }
  return fd;
}

int bench_bits_read(int fd, uint8_t* bits_per_word) {
  const int result = ioctl(fd, SPI_IOC_RD_BITS_PER_WORD, bits_per_word);
  if (result < 0) {
    printf("\nSPI_IOC_RD_BITS_PER_WORD error = %d\n", result);
    return -1;
  }
  return 0;
}

bool bench_uses_words(uint8_t bits_per_word) { return bits_per_word > BENCH_BYTE_BITS; }

void bench_rx_fill(uint8_t* buffer, size_t size) { memset(buffer, BENCH_RX_FILL, size); }

int bench_loop_next(int loop_number) { return loop_number < INT_MAX ? loop_number + 1 : 1; }

size_t bench_transfer(int fd, const uint8_t* tx, uint8_t* rx, size_t len, uint16_t delay_usecs) {
  size_t done = 0;
  int64_t last_progress_ms = monotonic_ms();
  while (done < len) {
    // speed_hz and bits_per_word 0: the device's own settings apply.
    spi_ioc_transfer xfer = {
        .tx_buf = reinterpret_cast<uintptr_t>(tx + done),
        .rx_buf = reinterpret_cast<uintptr_t>(rx + done),
        .len = static_cast<uint32_t>(len - done),
        .speed_hz = 0,
        .delay_usecs = delay_usecs,
        .bits_per_word = 0,
        .cs_change = 1,
        .tx_nbits = 0,
        .rx_nbits = 0,
        .word_delay_usecs = 0,
        .pad = 0,
    };
    const int result = ioctl(fd, SPI_IOC_MESSAGE(1), &xfer);
    if (result < 0 && bench_retry(last_progress_ms)) continue;
    // A request that moves nothing would repeat forever; one that claims more
    // than was asked cannot be trusted for the buffers' bounds.
    if (result <= 0 || static_cast<size_t>(result) > len - done) break;
    done += static_cast<size_t>(result);
    last_progress_ms = monotonic_ms();
  }
  return done;
}

int bench_exchange(const char* path, const uint8_t* tx, uint8_t* rx, size_t len,
                   uint16_t delay_usecs, uint8_t* bits_per_word, size_t* transferred) {
  const int fd = bench_device_open(path);
  if (fd < 0) return -1;
  const int status = bench_bits_read(fd, bits_per_word);
  if (status == 0) *transferred = bench_transfer(fd, tx, rx, len, delay_usecs);
  close(fd);
  return status;
}

ssize_t bench_write_all(int fd, const uint8_t* data, size_t size) {
  size_t done = 0;
  int64_t last_progress_ms = monotonic_ms();
  while (done < size) {
    const ssize_t result = write(fd, data + done, size - done);
    if (result < 0 && bench_retry(last_progress_ms)) continue;
    if (result <= 0) return result;
    if (static_cast<size_t>(result) > size - done) return -1;
    done += static_cast<size_t>(result);
    last_progress_ms = monotonic_ms();
  }
  return static_cast<ssize_t>(size);
}

ssize_t bench_read_all(int fd, uint8_t* data, size_t size) {
  size_t done = 0;
  int64_t last_progress_ms = monotonic_ms();
  while (done < size) {
    const ssize_t result = read(fd, data + done, size - done);
    if (result < 0 && bench_retry(last_progress_ms)) continue;
    if (result <= 0) return result;
    if (static_cast<size_t>(result) > size - done) return -1;
    done += static_cast<size_t>(result);
    last_progress_ms = monotonic_ms();
  }
  return static_cast<ssize_t>(size);
}

ssize_t bench_read_once(int fd, uint8_t* data, size_t size) {
  const int64_t start_ms = monotonic_ms();
  ssize_t result;
  while ((result = read(fd, data, size)) < 0 && bench_retry(start_ms)) {
  }
  return result;
}

uint16_t bench_unit(const uint8_t* buffer, size_t n, size_t offset, bool words) {
  if (offset >= n) return 0;
  if (!words) return buffer[offset];
  const uint8_t high = offset + 1 < n ? buffer[offset + 1] : BENCH_RX_FILL;
  return static_cast<uint16_t>(buffer[offset] | (high << 8));
}
