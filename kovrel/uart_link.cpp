// The serial link to the slave i.MX bootstrap: the reset pulse on the GPIO
// line, the port settings, the sync handshake and the change of line speed.
// Everything that sets the port up through termios or drives the GPIO device
// lives here; the record and job layers above only write, read, pause and
// discard input, through the device routines of console_io.cpp.
#include <array>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "kovrel.h"

namespace {

constexpr int GPIO_UNIT = 0;
constexpr uint32_t SLAVE_RESET_LINE = 0x00100000;  // bit 20 of the GPIO unit
constexpr uint8_t GPIO_OP_SET = 1;
constexpr uint8_t GPIO_OP_CLEAR = 0;
constexpr int64_t RESET_LOW_US = 10000;        // reset held this long
constexpr int64_t RESET_RECOVERY_US = 100000;  // bootstrap starts listening after this

constexpr char SYNC_CHAR = 'A';
constexpr char SYNC_ANSWER = ':';
constexpr int SYNC_ANSWER_CHAR_TIMES = 2;

constexpr uint8_t BAUD_CHANGE_CONTROL = 0xC4;  // 32-bit write of 4 bytes
constexpr float BAUD_CHANGE_UNIT = 211.0f;     // the value that belongs to 38400
// Where the driver cannot tell when the transmitter is empty, the wait lasts
// as long as a full transmit FIFO of this many characters takes to go out.
constexpr int TRANSMITTER_CHARS = 64;
// After the speed change: the slaves' last answer at either speed and a
// receive path's latency (a FIFO's timeout, the kernel's work queue).
constexpr int64_t SPEED_SETTLE_US = 10000;

// A speed read back may be off the one asked by 1/50 (2 %) at most.
constexpr int64_t SPEED_TOLERANCE_DIVISOR = 50;

// The settings open_uart asks for took effect: 8 data bits, no parity, one
// stop bit, raw input, 38400 baud both ways.
constexpr tcflag_t FRAMING = CSIZE | CSTOPB | PARENB;
constexpr tcflag_t INPUT_MODE = ISIG | ICANON | ECHO | ECHOE;

bool port_settings_took(const struct termios& asked, const struct termios& taken) {
  return (taken.c_cflag & FRAMING) == (asked.c_cflag & FRAMING) &&
         (taken.c_lflag & INPUT_MODE) == (asked.c_lflag & INPUT_MODE) &&
         cfgetospeed(&taken) == cfgetospeed(&asked) && cfgetispeed(&taken) == cfgetispeed(&asked);
}

struct StandardSpeed {
  int32_t baud;
  speed_t constant;
};

// Speeds with a termios constant; the others go through uart_speed.cpp.
constexpr std::array<StandardSpeed, 8> STANDARD_SPEEDS{{
    {600, B600},
    {1200, B1200},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
}};

// What the first reset-line request the driver did not take whole returned:
// its count (-1 for an error) and errno.
struct GpioFailure {
  bool seen;
  ssize_t written;
  int error;
};

// Writes one reset-line request; true when the driver took all 12 bytes. The
// first one that it did not take is kept in `failure` for the report.
bool gpio_request_write(uint8_t op, uint32_t value, GpioFailure& failure) {
  GpioRequest request = {};
  request.op = op;
  request.mask = SLAVE_RESET_LINE;
  request.value = value;
  const ssize_t written = write(current_device, &request, sizeof request);
  if (written == static_cast<ssize_t>(sizeof request)) return true;
  if (!failure.seen) failure = {true, written, errno};
  return false;
}

// One line that names the device and what its write returned: without it a
// silent organ would give the technician nothing to go on.
void gpio_failure_report(const GpioFailure& failure) {
  if (failure.written < 0) {
    log_error("slave reset failed: write to <%s> returned -1 (errno %d)\n", device_path,
              failure.error);
  } else {
    log_error("slave reset failed: write to <%s> returned %d of %d bytes\n", device_path,
              static_cast<int>(failure.written), static_cast<int>(sizeof(GpioRequest)));
  }
}

// The serial port opened and locked by uart_port_claim, until open_uart
// takes it over.
int claimed_port = -1;

constexpr int UART_OPEN_FLAGS = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

// A port that another program made exclusive refuses the open with EBUSY.
void uart_open_failure_report() {
  if (errno == EBUSY) {
    log_error("<%s> is in use by another program\n", device_path);
  } else {
    log_error("cannot open <%s>\n", device_path);
  }
}

}  // namespace

int uart_port_claim() {
  if (device_path_format(device_path, UART_DEVICE_STEM, static_cast<int>(uart_port)) != 0) {
    return 0;
  }
  const int fd = open(device_path, UART_OPEN_FLAGS);
  if (fd < 0) {
    if (errno != EBUSY) return 0;
    uart_open_failure_report();
    return -1;
  }
  if (device_lock(fd, device_path) != 0) {
    close(fd);
    return -1;
  }
  claimed_port = fd;
  return 0;
}

void uart_port_release() {
  if (claimed_port >= 0) close(claimed_port);
  claimed_port = -1;
}

int32_t uart_byte_time_for(int32_t baud) {
  if (baud <= 0) {
    return 0;
  }
  // Start bit, 8 data bits and stop bit, rounded to the nearest microsecond.
  return static_cast<int32_t>(10000000.0 / baud + 0.5);
}

uint32_t baud_change_value(int32_t baud) {
  // The slaves' divisor arithmetic is single precision; computing it the same
  // way keeps the rounded value identical to theirs.
  float product = static_cast<float>(baud) * BAUD_CHANGE_UNIT;
  float quotient = product / static_cast<float>(UART_DEFAULT_BAUD);
  return static_cast<uint32_t>(static_cast<double>(quotient) + 0.5);
}

bool uart_speed_matches(uint32_t actual, int32_t wanted) {
  if (wanted <= 0) return false;
  const int64_t difference = static_cast<int64_t>(actual) - wanted;
  const int64_t off = difference < 0 ? -difference : difference;
  return off * SPEED_TOLERANCE_DIVISOR <= wanted;
}

int uart_port_set_speed(int32_t baud) {
  for (const StandardSpeed& speed : STANDARD_SPEEDS) {
    if (speed.baud != baud) {
      continue;
    }
    struct termios settings = {};
    if (tcgetattr(current_device, &settings) != 0) return -1;
    cfsetispeed(&settings, speed.constant);
    cfsetospeed(&settings, speed.constant);
    if (tcsetattr(current_device, TCSANOW, &settings) != 0) return -1;
    // What the driver took, read back.
    struct termios taken = {};
    if (tcgetattr(current_device, &taken) != 0) return -1;
    if (cfgetospeed(&taken) != speed.constant || cfgetispeed(&taken) != speed.constant) {
      errno = EINVAL;
      return -1;
    }
    return 0;
  }
  if (baud <= 0) {
    errno = EINVAL;
    return -1;
  }
  if (uart_port_set_custom_speed(current_device, static_cast<uint32_t>(baud)) != 0) return -1;
  uint32_t output_baud = 0;
  uint32_t input_baud = 0;
  if (uart_port_custom_speed_read(current_device, &output_baud, &input_baud) != 0) return -1;
  if (!uart_speed_matches(output_baud, baud) || !uart_speed_matches(input_baud, baud)) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

int reset_slaves() {
  if (device_path_format(device_path, GPIO_DEVICE_STEM, GPIO_UNIT) != 0) {
    return -1;
  }
  int fd = open(device_path, O_RDWR);
  if (fd < 0) {
    printf("\nCannot open %s (O_RDWR)\n", device_path);
    fflush(stdout);
    return -1;
  }
  current_device = fd;
  // The reset line is pulled low, held 10 ms, then released; the slaves
  // come up in their serial bootstrap. All three requests go out whatever
  // the driver answers to one of them: stopping after a failed one could
  // leave the slaves held in reset.
  GpioFailure failure = {false, 0, 0};
  bool ok = gpio_request_write(GPIO_OP_SET, 0, failure);
  ok = gpio_request_write(GPIO_OP_CLEAR, 0, failure) && ok;
  pause_origin_now();
  link_pause_us(RESET_LOW_US);
  ok = gpio_request_write(GPIO_OP_SET, SLAVE_RESET_LINE, failure) && ok;
  pause_origin_now();
  close_current_device();
  if (!ok) {
    gpio_failure_report(failure);
    return -1;
  }
  link_pause_us(RESET_RECOVERY_US);
  return 0;
}

int open_uart() {
  if (device_path_format(device_path, UART_DEVICE_STEM, static_cast<int>(uart_port)) != 0) {
    // No such device can exist; the truncated name is what can be shown.
    log_error("cannot open <%s>\n", device_path);
    return -1;
  }
  int fd = claimed_port;
  claimed_port = -1;
  if (fd < 0) {
    fd = open(device_path, UART_OPEN_FLAGS);
    if (fd < 0) {
      uart_open_failure_report();
      return -1;
    }
    current_device = fd;
    if (device_lock(fd, device_path) != 0) return -1;
  }
  current_device = fd;
  if (device_exclusive_take() != 0) {
    log_error("cannot configure <%s>\n", device_path);
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) {
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }

  struct termios settings = {};
  if (tcgetattr(fd, &settings) != 0) {
    log_error("cannot configure <%s>\n", device_path);
    return -1;
  }
  settings.c_iflag = 0;
  settings.c_oflag = 0;
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  cfsetispeed(&settings, B38400);
  cfsetospeed(&settings, B38400);

  if (tcflush(fd, TCIOFLUSH) != 0) {
    log_error("cannot flush <%s>\n", device_path);
    return -1;
  }
  struct termios taken = {};
  if (tcsetattr(fd, TCSANOW, &settings) != 0 || tcgetattr(fd, &taken) != 0 ||
      !port_settings_took(settings, taken)) {
    log_error("cannot configure <%s>\n", device_path);
    return -1;
  }
  // From the requested speed already: the sync waits use it although the
  // line still runs at 38400 until the change.
  uart_byte_time_us = uart_byte_time_for(uart_baud);
  log_verbose("<%s> opened (%d 8-N-1)\n\n", device_path, static_cast<int>(uart_baud));
  return 0;
}

int sync_slaves() {
  log_verbose(SECTION_BANNER "Slave iMX sync\n\n\t%c", SYNC_CHAR);
  const char sync = SYNC_CHAR;
  if (write_all(&sync, 1) != 0) {
    log_error("sync char write failed\n");
    return -1;
  }
  link_pause_us(static_cast<int64_t>(SYNC_ANSWER_CHAR_TIMES) * uart_byte_time_us);
  if (!uart_rx) {
    uart_discard_input();
    log_verbose("\n");
    return 0;
  }
  char answer = 0;
  if (read_all(&answer, 1) != 0) {
    log_error("sync char response read failed\n");
    return -1;
  }
  log_verbose(" - %c\n", answer);
  if (answer != SYNC_ANSWER) {
    log_error("cannot sync to sound modules\n");
    return -1;
  }
  return 0;
}

int uart_drain(int32_t char_time_us) {
  // The kernel's queue first, then the UART's FIFO and shift register,
  // which it no longer counts; each character takes char_time_us.
  return drain_output() != 0 ||
                 drain_transmitter(char_time_us,
                                   static_cast<int64_t>(TRANSMITTER_CHARS) * char_time_us) != 0
             ? -1
             : 0;
}

int change_slave_baud() {
  const uint32_t value = baud_change_value(uart_baud);
  job_command.address = BAUD_CHANGE_ADDRESS;
  job_command.control = BAUD_CHANGE_CONTROL;
  for (int i = 0; i < 4; ++i) {
    job_command.data[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  // The slaves switch speed as soon as the record is complete, so its echo
  // could not be read at either speed.
  const bool saved_rx = uart_rx;
  uart_rx = false;
  int result = boot_record_write();
  uart_rx = saved_rx;
  if (result != 0) {
    log_error("baud rate change failed\n");
    return -1;
  }
  // The last characters of the record may still be in the kernel's queue or
  // the UART's transmitter; changing the speed under them would garble the
  // record, and the slaves would stay at the old speed.
  if (uart_drain(uart_byte_time_for(UART_DEFAULT_BAUD)) != 0) {
    log_error("baud rate change failed\n");
    return -1;
  }
  if (uart_port_set_speed(uart_baud) != 0) {
    log_error("cannot configure <%s>\n", device_path);
    return -1;
  }
  // Whatever the slaves echoed around the change is noise at either speed;
  // with -r it must not be taken for the first job record's echo. Their
  // answer to the record's last character comes one character time after it
  // left, behind the receive path's latency: it is waited for before the
  // discard, or it would arrive in front of the first record's echo.
  link_pause_us(SPEED_SETTLE_US);
  uart_discard_input();
  log_verbose("baud rate changed to %d\n", static_cast<int>(uart_baud));
  return 0;
}
