// Boot records: the ASCII hexadecimal records that make the slave bootstrap
// write or read its memory or jump. A record is paced in character times,
// not handshaken: after the command the slave has a fixed time to echo, then
// one read takes what is in the input queue, and what is still missing of
// an echo (late on a real line) is gathered within a bound.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kovrel.h"

namespace {

// Character times kovrel waits after the 10 command characters: their echo
// and one more.
constexpr int COMMAND_ECHO_CHAR_TIMES = 11;
constexpr int JUMP_SETTLE_CHAR_TIMES = 1;
constexpr char REFUSAL_CHAR = '*';
// Characters the slave adds after a data echo or a read answer.
constexpr size_t ANSWER_TRAILER_CHARS = 1;

constexpr int WIDTH_INVALID = 2;

// After the single read the pacing calls for, the rest of an answer may
// still be arriving: the 10 command characters themselves take 10 character
// times to leave, so the echo's last character comes no sooner than the
// read, and the slave's latency, a receive FIFO holding characters until its
// timeout (about 4 character times) and the kernel handing received
// characters to the reader from a work queue delay it further. On a loaded
// board that hand-over, or the reader's own wake-up, can wait several time
// slices of the scheduler (tens of ms, more than a tick): a bound of one tick
// failed a sound download with "command echo not / partially received" at a
// load of 2 to 3 on two cores. Each missing character is waited for this long
// after the one before it; a bound that runs out costs its length only when
// the echo really is short. Whether an 11th character (the refusal) follows the echo
// is decided within a shorter bound: a refusal comes right behind the echo,
// and every well-behaved record would otherwise pay the full bound.
constexpr int GATHER_CHAR_TIMES = 4;
constexpr int64_t GATHER_FLOOR_NS = 100000000;
constexpr int ELEVENTH_CHAR_TIMES = 2;
constexpr int64_t NS_PER_US = 1000;
constexpr int64_t NS_PER_S = 1000000000;

int control_count() { return job_command.control & CONTROL_COUNT_MASK; }
int control_width() { return (job_command.control & CONTROL_WIDTH_MASK) >> CONTROL_WIDTH_SHIFT; }

int64_t char_times(size_t count) { return static_cast<int64_t>(count) * uart_byte_time_us; }

// Bytes per encoded value for a width: 1, 2 or 4 (width 2 never gets here).
size_t width_bytes(int width) { return width == WIDTH_32 ? 4 : width == WIDTH_16 ? 2 : 1; }

bool br_recording() {
  return br_generation && job_command.kind == JOB_BIN_FILE && br_output != nullptr;
}

void br_append(const char* text) {
  if (br_recording()) {
    // A failed write shows in the stream's error flag, checked when closed.
    fputs(text, br_output);
  }
}

int64_t now_ns() {
  struct timespec ts = {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * NS_PER_S + ts.tv_nsec;
}

int64_t gather_bound_ns() {
  const int64_t bound = static_cast<int64_t>(GATHER_CHAR_TIMES) * uart_byte_time_us * NS_PER_US;
  return bound < GATHER_FLOOR_NS ? GATHER_FLOOR_NS : bound;
}

// Reads on after the paced read until `have` reaches `wanted` or no
// character has come for bound_ns. Returns the count now held;
// a read error other than EAGAIN or EINTR ends the gathering as it stands.
long answer_gather(char* buffer, long have, long wanted, int64_t bound_ns) {
  int64_t last_ns = now_ns();
  while (have < wanted) {
    const ssize_t got = read(current_device, buffer + have, static_cast<size_t>(wanted - have));
    if (got > 0) {
      have += got;
      last_ns = now_ns();
      continue;
    }
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    const int64_t left_ns = last_ns + bound_ns - now_ns();
    if (left_ns <= 0) break;
    struct pollfd watch = {current_device, POLLIN, 0};
    const struct timespec wait = {static_cast<time_t>(left_ns / NS_PER_S),
                                  static_cast<long>(left_ns % NS_PER_S)};
    (void)ppoll(&watch, 1, &wait, nullptr);
  }
  pause_origin_now();
  return have;
}

// Writes the address and the control field as two writes; shows them.
int command_send(bool record_to_br) {
  char address_text[BOOT_RECORD_ADDRESS_CHARS + 1];
  char control_text[BOOT_RECORD_CONTROL_CHARS + 1];
  boot_record_hex(address_text, job_command.address, BOOT_RECORD_ADDRESS_CHARS);
  boot_record_hex(control_text, job_command.control, BOOT_RECORD_CONTROL_CHARS);
  if (write_all(address_text, BOOT_RECORD_ADDRESS_CHARS) != 0) {
    return -1;
  }
  if (record_to_br) {
    br_append(address_text);
  }
  log_verbose("\tBRECORD = %s ", address_text);
  if (write_all(control_text, BOOT_RECORD_CONTROL_CHARS) != 0) {
    return -1;
  }
  if (record_to_br) {
    br_append(control_text);
  }
  log_verbose("%s ", control_text);
  return 0;
}

// The paced read of the command echo, with -r on, and the gathering of its
// late rest; 0 when exactly 10 came.
int command_echo_check(int count) {
  char echo[BOOT_RECORD_COMMAND_CHARS + 1];
  size_t wanted = count > 0 ? BOOT_RECORD_COMMAND_CHARS + 1 : BOOT_RECORD_COMMAND_CHARS;
  long got = read_once(echo, wanted);
  if (got >= 0 && got < static_cast<long>(BOOT_RECORD_COMMAND_CHARS)) {
    // A late echo: its rest first.
    got = answer_gather(echo, got, static_cast<long>(BOOT_RECORD_COMMAND_CHARS), gather_bound_ns());
  }
  if (got == static_cast<long>(BOOT_RECORD_COMMAND_CHARS) && static_cast<long>(wanted) > got) {
    // A refusal follows the echo's last character on the line, one
    // character time after it: it cannot be in by the paced read.
    got = answer_gather(echo, got, static_cast<long>(wanted),
                        static_cast<int64_t>(ELEVENTH_CHAR_TIMES) * uart_byte_time_us * NS_PER_US);
  }
  if (got < static_cast<long>(BOOT_RECORD_COMMAND_CHARS)) {
    log_error("command echo not / partially received");
    return -1;
  }
  if (got > static_cast<long>(BOOT_RECORD_COMMAND_CHARS)) {
    char extra = echo[BOOT_RECORD_COMMAND_CHARS];
    if (extra == REFUSAL_CHAR) {
      log_error("bad data count or size");
    } else {
      log_error("unexpected char %c", extra);
    }
    return -1;
  }
  return 0;
}

int data_send_and_check(int count) {
  char data_text[2 * CONTROL_COUNT_MASK + 1];
  int chars = boot_record_data_text(data_text, sizeof data_text);
  if (chars < 0 || write_all(data_text, static_cast<size_t>(chars)) != 0) {
    return -1;
  }
  br_append(data_text);
  br_append("\n");
  log_verbose("%s", data_text);
  const size_t answer_chars = 2 * static_cast<size_t>(count) + ANSWER_TRAILER_CHARS;
  if (!uart_rx) {
    link_pause_us(char_times(answer_chars));
    uart_discard_input();
    log_verbose("\n");
    return 0;
  }
  char echo[2 * CONTROL_COUNT_MASK + ANSWER_TRAILER_CHARS];
  if (read_all(echo, answer_chars) != 0) {
    log_error("data echo not / partially received");
    return -1;
  }
  // The data characters are upper-case hexadecimal digits, and so is their
  // echo. Anything else there is an 11th character that came after it was
  // decided (a slave or a receive path slower than the bound): the refusal
  // '*', or another one, reported as on time; the record was not stored.
  for (size_t i = 0; i + ANSWER_TRAILER_CHARS < answer_chars; ++i) {
    const char c = echo[i];
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) continue;
    if (c == REFUSAL_CHAR) {
      log_error("bad data count or size");
    } else {
      log_error("unexpected char %c", c);
    }
    return -1;
  }
  log_verbose("%c\n", echo[answer_chars - 1]);
  return 0;
}

int write_failed() {
  log_verbose("\n");
  log_error("write boot record send failed\n");
  return -1;
}

int read_failed() {
  log_verbose("\n");
  log_error("boot record read failed\n");
  return -1;
}

}  // namespace

void boot_record_hex(char* out, uint32_t value, int digits) {
  static const char hex_digits[] = "0123456789ABCDEF";
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = hex_digits[value & 0xF];
    value >>= 4;
  }
  out[digits] = '\0';
}

int boot_record_data_text(char* out, size_t size) {
  const int width = control_width();
  const size_t count = static_cast<size_t>(control_count());
  if (width == WIDTH_INVALID || size < 2 * count + 1) {
    return -1;
  }
  const size_t step = width_bytes(width);
  size_t chars = 0;
  for (size_t first = 0; first < count; first += step) {
    // A count the width does not divide (never built by kovrel) ends with a
    // shorter value, so the field keeps its 2 x count characters.
    size_t bytes = count - first < step ? count - first : step;
    uint32_t value = 0;
    for (size_t i = 0; i < bytes; ++i) {
      value |= static_cast<uint32_t>(job_command.data[first + i]) << (8 * i);
    }
    boot_record_hex(out + chars, value, static_cast<int>(2 * bytes));
    chars += 2 * bytes;
  }
  out[chars] = '\0';
  return static_cast<int>(chars);
}

int boot_record_write() {
  const int count = control_count();
  if (command_send(true) != 0) {
    return write_failed();
  }
  link_pause_us(char_times(COMMAND_ECHO_CHAR_TIMES));
  if (uart_rx) {
    if (command_echo_check(count) != 0) {
      return write_failed();
    }
  } else {
    uart_discard_input();
  }
  if (count == 0) {
    // A jump: the slave leaves the bootstrap; nothing of it goes to a br file.
    link_pause_us(char_times(JUMP_SETTLE_CHAR_TIMES));
    uart_discard_input();
    log_verbose("\n");
    return 0;
  }
  if (control_width() == WIDTH_INVALID) {
    log_error("bad boot record data size");
    return write_failed();
  }
  if (data_send_and_check(count) != 0) {
    return write_failed();
  }
  return 0;
}

int boot_record_read() {
  const size_t expected =
      BOOT_RECORD_COMMAND_CHARS + 2 * static_cast<size_t>(control_count()) + ANSWER_TRAILER_CHARS;
  if (command_send(false) != 0) {
    return read_failed();
  }
  link_pause_us(char_times(expected));
  if (!uart_rx) {
    uart_discard_input();
    log_verbose("\n");
    return 0;
  }
  char answer[BOOT_RECORD_TEXT_MAX + ANSWER_TRAILER_CHARS + 1];
  long got = read_once(answer, expected);
  const bool refused = got > static_cast<long>(BOOT_RECORD_COMMAND_CHARS) &&
                       answer[BOOT_RECORD_COMMAND_CHARS] == REFUSAL_CHAR;
  if (got >= 0 && got < static_cast<long>(expected) && !refused) {
    got = answer_gather(answer, got, static_cast<long>(expected), gather_bound_ns());
  }
  answer[got > 0 ? got : 0] = '\0';
  log_verbose("%s\n", answer);
  if (got >= static_cast<long>(expected)) {
    return 0;
  }
  if (got > static_cast<long>(BOOT_RECORD_COMMAND_CHARS) &&
      answer[BOOT_RECORD_COMMAND_CHARS] == REFUSAL_CHAR) {
    log_error("bad data count or size");
  } else {
    log_error("expected %d chars received %d", static_cast<int>(expected), static_cast<int>(got));
  }
  return read_failed();
}
