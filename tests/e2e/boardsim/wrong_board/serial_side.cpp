// The serial side of wrong_board: the slaves' reset pulse on /dev/gpio0, the
// port at the bootstrap's 38400 baud (or the rule's), the sync and the boot records on
// /dev/ttyS0, each followed by whatever the slave answers.
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "wrong_board.h"

namespace {

constexpr uint32_t SLAVE_RESET_LINE = 0x00100000;
constexpr uint8_t GPIO_OP_SET = 1;
constexpr uint8_t GPIO_OP_CLEAR = 0;
// An answer character comes one character time (260 us at 38400 baud) after
// the one it answers; a line this long quiet has nothing more to say, also
// under qemu-arm on a loaded machine.
constexpr int QUIET_MS = 300;
constexpr size_t ANSWER_MAX = 256;
constexpr size_t LINE_MAX_CHARS = 128;

struct GpioRequest {
  uint8_t op;
  uint8_t padding[3];
  uint32_t mask;
  uint32_t value;
};
static_assert(sizeof(GpioRequest) == 12, "a GPIO request is 12 bytes");

int pause_ms(int ms) {
  struct timespec t = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
    if (errno != EINTR) return step_failed("pause");
  }
  return 0;
}

GpioRequest gpio_request(uint8_t op, uint32_t value) {
  GpioRequest request = {};
  request.op = op;
  request.mask = SLAVE_RESET_LINE;
  request.value = value;
  return request;
}

int gpio_write(int fd, const GpioRequest* requests, size_t count) {
  const ssize_t size = static_cast<ssize_t>(count * sizeof(GpioRequest));
  if (write(fd, requests, static_cast<size_t>(size)) != size) return step_failed("gpio write");
  return 0;
}

// Low, held low_ms, released: the pulse the slaves start from. Without a
// hold the three requests go in one write, so that the pulse stays short
// however long the program waits for a processor.
int reset_pulse(int low_ms) {
  const int fd = open("/dev/gpio0", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return step_failed("open /dev/gpio0");
  const GpioRequest pulse[] = {gpio_request(GPIO_OP_SET, 0), gpio_request(GPIO_OP_CLEAR, 0),
                               gpio_request(GPIO_OP_SET, SLAVE_RESET_LINE)};
  int result = 0;
  if (low_ms <= 0) {
    result = gpio_write(fd, pulse, 3);
  } else if (gpio_write(fd, pulse, 2) != 0 || pause_ms(low_ms) != 0 ||
             gpio_write(fd, pulse + 2, 1) != 0) {
    result = -1;
  }
  if (close(fd) != 0 && result == 0) result = step_failed("close /dev/gpio0");
  return result;
}

int port_raw(int fd, int baud) {
  if (baud != 38400 && baud != 57600) {
    errno = EINVAL;
    return step_failed("port speed");
  }
  const speed_t speed = baud == 57600 ? B57600 : B38400;
  struct termios t = {};
  if (tcgetattr(fd, &t) != 0) return step_failed("tcgetattr");
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0 ||
      tcsetattr(fd, TCSANOW, &t) != 0) {
    return step_failed("tcsetattr");
  }
  return 0;
}

// Sends text, waits until the port has sent it, then prints what came back
// until the line stays quiet: "LABEL: ANSWER" ("LABEL: none").
int exchange(int fd, const char* label, const char* text) {
  size_t left = strlen(text);
  const char* p = text;
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return step_failed("tty write");
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (tcdrain(fd) != 0) return step_failed("tcdrain");
  char answer[ANSWER_MAX + 1];
  size_t got = 0;
  while (got < ANSWER_MAX) {
    struct pollfd pfd = {fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, QUIET_MS);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return step_failed("poll");
    if (ready == 0) break;
    const ssize_t n = read(fd, answer + got, ANSWER_MAX - got);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return step_failed("tty read");
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  answer[got] = '\0';
  printf("%s: %s\n", label, got == 0 ? "none" : answer);
  return 0;
}

int serial_steps(int fd, const SerialRun& run) {
  if (port_raw(fd, run.baud) != 0) return -1;
  if (tcflush(fd, TCIOFLUSH) != 0) return step_failed("tcflush");
  if (reset_pulse(run.reset_low_ms) != 0 || pause_ms(run.listen_after_ms) != 0) return -1;
  if (exchange(fd, "sync", "A") != 0) return -1;
  if (run.one_write) {
    char line[2 * LINE_MAX_CHARS];
    const int n = snprintf(line, sizeof line, "%s%s", run.records[0] ? run.records[0] : "",
                           run.records[1] ? run.records[1] : "");
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) return step_failed("records too long");
    return exchange(fd, "records", line);
  }
  for (const char* record : run.records) {
    if (record != nullptr && exchange(fd, record, record) != 0) return -1;
  }
  return 0;
}

}  // namespace

int serial_run(const SerialRun& run) {
  const int fd = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return step_failed("open /dev/ttyS0");
  int result = serial_steps(fd, run);
  if (close(fd) != 0 && result == 0) result = step_failed("close /dev/ttyS0");
  return result;
}
