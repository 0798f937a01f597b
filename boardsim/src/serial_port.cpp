#include "serial_port.h"

// struct termios2 and TCGETS2 come from the kernel's header, which cannot be
// mixed with <termios.h>; the raw settings are therefore made by hand.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace boardsim {

namespace {

constexpr size_t READ_CHUNK = 4096;
constexpr uint64_t NS_PER_US = 1000;
constexpr uint64_t BITS_PER_CHAR = 10;  // start bit, 8 data bits, stop bit (8-N-1)
constexpr uint64_t NS_PER_S = 1000000000;

// One character time at a speed, to the nanosecond.
uint64_t char_ns(uint32_t baud) { return (BITS_PER_CHAR * NS_PER_S + baud / 2) / baud; }

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("boardsim: " + what + ": " + strerror(errno));
}

// A UART does no echo and no line editing: the slave starts raw, 8 bits.
void make_raw(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) fail("TCGETS2 on pty");
  t.c_iflag &=
      ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (ioctl(fd, TCSETS2, &t) != 0) fail("TCSETS2 on pty");
}

// How long the calling thread has spent running or waiting for a processor:
// its CPU clock plus the run-queue delay the scheduler keeps (the second
// field of /proc/thread-self/schedstat). The rest of its time it slept.
// False where the kernel keeps no such delay.
bool thread_busy_ns(uint64_t& busy) {
  static thread_local const int schedstat =
      open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
  struct timespec cpu {};
  char text[128];
  if (schedstat < 0 || clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu) != 0) return false;
  const ssize_t n = pread(schedstat, text, sizeof text - 1, 0);
  if (n <= 0) return false;
  text[n] = '\0';
  unsigned long long ran_ns = 0;
  unsigned long long waited_ns = 0;
  if (sscanf(text, "%llu %llu", &ran_ns, &waited_ns) != 2) return false;
  busy = static_cast<uint64_t>(cpu.tv_sec) * 1000000000u + static_cast<uint64_t>(cpu.tv_nsec) +
         waited_ns;
  return true;
}

// A look about to be taken: the busy time first, so that it covers all that
// follows.
SerialPort::Look look_before() {
  SerialPort::Look look;
  look.busy_known = thread_busy_ns(look.busy_ns);
  look.at_ns = monotonic_ns();
  return look;
}

// A look just taken: the clock first, then the busy time up to it and beyond.
SerialPort::Look look_after() {
  SerialPort::Look look;
  look.at_ns = monotonic_ns();
  look.busy_known = thread_busy_ns(look.busy_ns);
  return look;
}

// The earliest moment bytes read at `done` can have arrived. The read at
// `previous` found the line empty, so they came after it; and from their
// arrival on the thread cannot have slept: the loop sleeps only in its poll,
// which watches the line and wakes at their arrival, and the line is looked
// at afresh whenever the loop starts. So it was running or waiting for a
// processor all that time, no longer than its busy time grew.
uint64_t earliest_arrival(const SerialPort::Look& previous, const SerialPort::Look& done) {
  if (previous.at_ns == 0) return 0;
  uint64_t earliest = previous.at_ns;
  if (previous.busy_known && done.busy_known && done.busy_ns >= previous.busy_ns) {
    const uint64_t busy = done.busy_ns - previous.busy_ns;
    if (done.at_ns > busy) earliest = std::max(earliest, done.at_ns - busy);
  }
  return earliest;
}

}  // namespace

void SerialPort::last_user_gone() {
  if (slave_ >= 0) (void)ioctl(slave_, TIOCNXCL);
}

SerialPort::SerialPort(int port, Journal& journal) : port_(port), journal_(journal) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0) fail("posix_openpt");
  char name[128];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0) {
    const int saved = errno;
    close(master_);
    errno = saved;
    fail("pty set-up");
  }
  slave_path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    const int saved = errno;
    close(master_);
    errno = saved;
    fail("open " + slave_path_);
  }
  try {
    make_raw(slave_);
  } catch (...) {
    close(slave_);
    close(master_);
    throw;
  }
  speed_ = board_speed();
}

SerialPort::~SerialPort() {
  if (slave_ >= 0) close(slave_);
  close(master_);
}

void SerialPort::connect(int socket) {
  close(slave_);
  close(master_);
  slave_ = -1;
  master_ = socket;
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  connected_ = true;
  speed_ = 0;
}

void SerialPort::send(const void* data, size_t n, uint64_t delay_us) {
  const auto* p = static_cast<const uint8_t*>(data);
  const uint64_t now = monotonic_ns();
  const uint64_t base = (delivering_ns_ != 0 ? delivering_ns_ : now) + delay_us * NS_PER_US;
  if (timed()) {
    // The far end's UART sends one character after the other: each starts
    // when the one before it has ended, and reaches the board at its end.
    const uint64_t ch = char_ns(speed_);
    for (size_t i = 0; i < n; ++i) {
      const uint64_t start = std::max(base, rx_free_ns_);
      rx_free_ns_ = start + ch;
      scheduled_.push_back({rx_free_ns_, std::vector<uint8_t>(1, p[i]), start, speed_});
    }
  } else {
    uint64_t due = base;
    // A line delivers in order: nothing overtakes bytes sent earlier.
    if (!scheduled_.empty()) due = std::max(due, scheduled_.back().due_ns);
    scheduled_.push_back({due, std::vector<uint8_t>(p, p + n), 0, speed_});
  }
  if (delivering_ns_ == 0) on_tick(now);
}

uint32_t SerialPort::wire_speed() const {
  return delivering_ns_ != 0 ? delivering_baud_ : board_speed();
}

uint64_t SerialPort::now_ns() const {
  return delivering_ns_ != 0 ? delivering_ns_ : monotonic_ns();
}

SerialPort::Queue SerialPort::output_queue() {
  on_readable();
  const uint64_t now = monotonic_ns();
  Queue q;
  for (const auto& c : tx_wire_) {
    if (c.end_ns > now) ++q.chars;
  }
  q.drained_in_ns = tx_free_ns_ > now ? tx_free_ns_ - now : 0;
  return q;
}

uint32_t SerialPort::board_speed() const {
  if (connected_) return 0;  // a socket carries bytes, not line settings
  // A termios request on the master reads the slave's settings; termios2
  // gives the speed in baud also for speeds without a B constant (56000).
  struct termios2 t {};
  if (ioctl(master_, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

void SerialPort::note(const std::string& text) { journal_.note(Bus::Serial, port_, text); }

void SerialPort::annotate(const std::string& unit, const std::string& text) {
  journal_.annotate(Bus::Serial, port_, unit, text);
}

uint64_t SerialPort::next_due_ns() const {
  uint64_t due = scheduled_.empty() ? 0 : scheduled_.front().due_ns;
  if (!tx_wire_.empty() && (due == 0 || tx_wire_.front().end_ns < due)) {
    due = tx_wire_.front().end_ns;
  }
  return due;
}

void SerialPort::look_again() {
  const Look look = look_before();
  int waiting = 0;
  last_look_ = ioctl(master_, FIONREAD, &waiting) == 0 && waiting == 0 ? look : Look{};
}

void SerialPort::on_readable() {
  // A speed set before these bytes were written is the speed they left at:
  // the change is journalled, and reaches the far end, ahead of them.
  check_speed();
  uint8_t buf[READ_CHUNK];
  for (;;) {
    const Look look = look_before();
    const ssize_t n = read(master_, buf, sizeof buf);
    const Look done = n > 0 ? look_after() : Look{};
    if (n < 0 && errno == EINTR) continue;
    // A read that left nothing behind is the last look for the next bytes.
    const Look previous = last_look_;
    if (n < static_cast<ssize_t>(sizeof buf)) last_look_ = look;
    if (n <= 0) {
      // EAGAIN: drained. On a connected line an end of file or an error
      // means the board has gone.
      if (connected_ && (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))) hung_up_ = true;
      break;
    }
    Event e;
    e.kind = EventKind::SerialToSlave;
    e.device = port_;
    e.baud = speed_;
    e.t_ns = done.at_ns;
    e.t_min_ns = earliest_arrival(previous, done);
    e.data.assign(buf, buf + n);
    if (timed()) {
      // The UART takes the characters out of its queue one after the other:
      // the first when the line is free, each lasting one character time.
      const uint64_t ch = char_ns(speed_);
      uint64_t start = std::max(e.t_ns, tx_free_ns_);
      e.wire_start_ns = start;
      for (ssize_t i = 0; i < n; ++i) {
        start += ch;
        tx_wire_.push_back({start, buf[i], speed_});
      }
      tx_free_ns_ = start;
      e.wire_end_ns = start;
      journal_.add(std::move(e));
    } else {
      journal_.add(std::move(e));
      if (far_end_) far_end_->on_bytes(*this, buf, static_cast<size_t>(n));
    }
  }
  on_tick(monotonic_ns());
}

void SerialPort::deliver(uint64_t now_ns) {
  while (!tx_wire_.empty() && tx_wire_.front().end_ns <= now_ns) {
    const OnWire c = tx_wire_.front();
    tx_wire_.pop_front();
    if (!far_end_) continue;
    delivering_ns_ = c.end_ns;
    delivering_baud_ = c.baud;
    far_end_->on_bytes(*this, &c.byte, 1);
    delivering_ns_ = 0;
  }
}

// The far end judges a reset pulse by its edges' times, so each edge is
// told at the moment the board made it, not when the simulator came to read
// it: a reading late by a few milliseconds would shorten a pulse or move the
// slave's start-up past a character the board sent on time.
void SerialPort::gpio_request(const GpioRequest& request, uint64_t at_ns) {
  if (!far_end_) return;
  const uint64_t now = monotonic_ns();
  // A time out of step with the FIFO (a request whose bytes never came)
  // would be old; such a time is not taken.
  constexpr uint64_t OLDEST_ASKED_NS = 1000000000;
  const bool known = at_ns != 0 && at_ns <= now && now - at_ns < OLDEST_ASKED_NS;
  delivering_ns_ = known ? at_ns : 0;
  delivering_baud_ = board_speed();
  far_end_->on_gpio(*this, request);
  delivering_ns_ = 0;
}

void SerialPort::on_writable() { flush(); }

void SerialPort::on_tick(uint64_t now_ns) {
  deliver(now_ns);
  while (!scheduled_.empty() && scheduled_.front().due_ns <= now_ns) {
    const auto& b = scheduled_.front().bytes;
    outgoing_.insert(outgoing_.end(), b.begin(), b.end());
    for (size_t i = 0; i < b.size(); ++i) {
      const Pending& due = scheduled_.front();
      outgoing_wire_.push_back({due.wire_start_ns, due.due_ns, due.baud});
    }
    scheduled_.pop_front();
  }
  flush();
}

void SerialPort::flush() {
  while (!outgoing_.empty() && !hung_up_) {
    // A board that went away must not end the simulator with SIGPIPE.
    // One event per speed: characters sent before a speed change keep the
    // speed they were sent at.
    size_t run = 1;
    while (run < outgoing_.size() && outgoing_wire_[run].baud == outgoing_wire_.front().baud) ++run;
    const ssize_t n = connected_ ? ::send(master_, outgoing_.data(), run, MSG_NOSIGNAL)
                                 : write(master_, outgoing_.data(), run);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && connected_ && errno != EAGAIN && errno != EWOULDBLOCK) hung_up_ = true;
    if (n <= 0) break;  // the board's input queue is full: wait for POLLOUT
    Event e;
    e.kind = EventKind::SerialFromSlave;
    e.device = port_;
    e.baud = outgoing_wire_.front().baud;
    e.data.assign(outgoing_.begin(), outgoing_.begin() + n);
    if (outgoing_wire_.front().wire_start_ns != 0) {
      e.wire_start_ns = outgoing_wire_.front().wire_start_ns;
      e.wire_end_ns = outgoing_wire_[static_cast<size_t>(n) - 1].wire_end_ns;
    }
    journal_.add_received(std::move(e));
    outgoing_.erase(outgoing_.begin(), outgoing_.begin() + n);
    outgoing_wire_.erase(outgoing_wire_.begin(), outgoing_wire_.begin() + n);
  }
}

void SerialPort::check_speed() {
  const uint32_t now = board_speed();
  if (now == 0 || now == speed_) return;
  if (timed() && !tx_wire_.empty()) {
    // The UART's divisor changes at once: what is still waiting in its
    // queue goes out at the new speed, as on the organ's port.
    const uint64_t at = monotonic_ns();
    const uint64_t ch = char_ns(now);
    uint64_t end = 0;
    for (auto& c : tx_wire_) {
      const uint64_t start = c.end_ns - char_ns(c.baud);
      if (start < at) {
        end = c.end_ns;
        continue;
      }
      const uint64_t begin = std::max(end, at);
      c.end_ns = begin + ch;
      c.baud = now;
      end = c.end_ns;
    }
    tx_free_ns_ = end;
  }
  speed_ = now;
  Event e;
  e.kind = EventKind::SerialSpeed;
  e.device = port_;
  e.value = now;
  e.has_value = true;
  journal_.add(std::move(e));
  if (far_end_) far_end_->on_board_speed(*this, now);
  flush();
}

}  // namespace boardsim
