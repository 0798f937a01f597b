// The simulator's single poll loop: pty masters, the GPIO FIFO, the shim
// socket and its connections, and the standard streams and pidfd of every
// running command. Far ends are called from here only, so they need no locks.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "board_impl.h"

namespace boardsim {

namespace {

constexpr uint64_t NS_PER_MS = 1000000;
// The loop wakes at least this often: predicates of wait_until and the
// board's line speed are checked between events and on these ticks.
constexpr uint64_t TICK_NS = 10 * NS_PER_MS;
// How long a finished command's output pipes may stay open, held by a
// process that left its process group, before the simulator stops reading.
constexpr uint64_t PIPE_GRACE_NS = 2000 * NS_PER_MS;
constexpr size_t CHUNK = 65536;
constexpr size_t GPIO_RECORD = sizeof(GpioRequest);
constexpr size_t MAX_PAYLOAD_FLOOR = size_t{1} << 20;

enum class Source { Port, Gpio, Listen, Connection, RunOut, RunErr, RunIn, RunPid, RunInfo };

struct Watch {
  Source source;
  size_t index;  // port or run index, or connection descriptor
};

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

boardsim_request decode_request(const uint8_t* p) {
  boardsim_request r{};
  r.op = le32(p);
  r.device = static_cast<int32_t>(le32(p + 4));
  r.request = le32(p + 8);
  r.arg = le32(p + 12);
  r.flags = le32(p + 16);
  r.payload_len = le32(p + 20);
  r.pid = static_cast<int32_t>(le32(p + 24));
  r.reserved = le32(p + 28);
  return r;
}

// Writes to a pipe whose reader may be gone without dying of SIGPIPE.
ssize_t write_no_sigpipe(int fd, const void* data, size_t n) {
  sigset_t pipe_only;
  sigset_t old;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
  const ssize_t written = write(fd, data, n);
  const int saved = errno;
  if (written < 0 && saved == EPIPE) {
    const struct timespec zero { 0, 0 };
    sigtimedwait(&pipe_only, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = saved;
  return written;
}

}  // namespace

uint64_t deadline_after(double seconds) {
  constexpr double NS_PER_SECOND = 1e9;
  if (seconds <= 0) return monotonic_ns();
  const double ns = seconds * NS_PER_SECOND;
  if (ns >= static_cast<double>(UINT64_MAX / 2)) return UINT64_MAX;
  return monotonic_ns() + static_cast<uint64_t>(ns);
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool Board::Impl::pump(const std::function<bool()>& pred, uint64_t deadline_ns) {
  // The far ends answer at their wire times: the loop's waits must not end
  // up to 50 us late (a normal thread's timer slack) on every answer.
  prctl(PR_SET_TIMERSLACK, 1UL);
  look_at_lines();
  for (;;) {
    if (pred()) return true;
    if (monotonic_ns() >= deadline_ns) return pred();
    poll_once(next_timeout_ns(deadline_ns));
  }
}

void Board::Impl::look_at_lines() {
  for (auto& port : ports) port->look_again();
}

void Board::Impl::drain() {
  look_at_lines();
  // Bounded: a far end that keeps answering itself must not hang the caller.
  for (int round = 0; round < 10000; ++round) {
    if (!poll_once(0)) break;
  }
}

uint64_t Board::Impl::next_timeout_ns(uint64_t deadline_ns) const {
  const uint64_t now = monotonic_ns();
  uint64_t until = std::min(deadline_ns, now + TICK_NS);
  for (const auto& port : ports) {
    const uint64_t due = port->next_due_ns();
    if (due != 0) until = std::min(until, due);
  }
  for (const auto& [fd, c] : connections) {
    if (!c.held.empty()) until = std::min(until, c.held.front().first);
  }
  for (const auto& run : runs) {
    if (!run->exited) until = std::min(until, run->deadline_ns);
  }
  // To the nanosecond: a far end's answer due in 300 us must not wait for
  // the next whole millisecond, or every echo a program waits for comes
  // late and a download paced on its echoes runs long.
  return until <= now ? 0 : until - now;
}

bool Board::Impl::poll_once(uint64_t timeout_ns) {
  std::vector<pollfd> fds;
  std::vector<Watch> watches;
  auto add = [&](int fd, short events, Source source, size_t index) {
    if (fd < 0) return;
    fds.push_back({fd, events, 0});
    watches.push_back({source, index});
  };
  // Handled in this order when several are ready at once: a program that
  // resets the slaves and then writes to them at once must not have its
  // serial bytes reach a far end before the reset.
  add(gpio_fd, POLLIN, Source::Gpio, 0);
  for (size_t i = 0; i < ports.size(); ++i) {
    add(ports[i]->master_fd(), static_cast<short>(POLLIN | (ports[i]->wants_write() ? POLLOUT : 0)),
        Source::Port, i);
  }
  add(listen_fd, POLLIN, Source::Listen, 0);
  for (const auto& [fd, c] : connections) {
    add(fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), Source::Connection,
        static_cast<size_t>(fd));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    RunState& r = *runs[i];
    add(r.out_fd, POLLIN, Source::RunOut, i);
    add(r.err_fd, POLLIN, Source::RunErr, i);
    add(r.in_fd, POLLOUT, Source::RunIn, i);
    if (!r.exited) add(r.pidfd, POLLIN, Source::RunPid, i);
    add(r.info_fd, POLLIN, Source::RunInfo, i);
  }

  const struct timespec ts {
    static_cast<time_t>(timeout_ns / 1000000000), static_cast<long>(timeout_ns % 1000000000)
  };
  const int ready = ppoll(fds.data(), fds.size(), &ts, nullptr);
  bool handled = false;
  if (ready > 0) {
    // Runs may be collected and connections closed while events are
    // handled: take the runs by shared pointer, look connections up again.
    const auto current_runs = runs;
    for (size_t k = 0; k < fds.size(); ++k) {
      const short ev = fds[k].revents;
      if (ev == 0) continue;
      handled = true;
      const Watch w = watches[k];
      switch (w.source) {
        case Source::Port:
          if (ev & (POLLIN | POLLHUP | POLLERR)) ports[w.index]->on_readable();
          if (ev & POLLOUT) ports[w.index]->on_writable();
          break;
        case Source::Gpio: on_gpio(); break;
        case Source::Listen: on_accept(); break;
        case Source::Connection: on_connection(static_cast<int>(w.index), ev); break;
        case Source::RunOut: {
          RunState& r = *current_runs[w.index];
          on_run_output(r.out_fd, r.result.out);
          break;
        }
        case Source::RunErr: {
          RunState& r = *current_runs[w.index];
          on_run_output(r.err_fd, r.result.err);
          break;
        }
        case Source::RunIn: on_run_stdin(*current_runs[w.index]); break;
        case Source::RunPid: on_run_exit(*current_runs[w.index]); break;
        case Source::RunInfo: on_run_info(*current_runs[w.index]); break;
      }
    }
  }
  const uint64_t now = monotonic_ns();
  for (auto& port : ports) {
    const uint64_t due = port->next_due_ns();
    if (due != 0 && due <= now) {
      port->on_tick(now);
      handled = true;
    }
  }
  std::vector<int> due_connections;
  for (auto& [fd, c] : connections) {
    if (!c.held.empty() && c.held.front().first <= now) due_connections.push_back(fd);
  }
  for (const int fd : due_connections) {
    auto it = connections.find(fd);
    if (it == connections.end()) continue;
    release_held(it->second, now);
    if (!send_out(it->second)) close_connection(fd);
    handled = true;
  }
  for (auto& run : runs) {
    // Without a pidfd (an old kernel) the exit is found by asking.
    if (!run->exited && run->pidfd < 0) on_run_exit(*run);
  }
  check_speeds();
  check_deadlines(now);
  return handled;
}

void Board::Impl::check_speeds() {
  for (auto& port : ports) port->check_speed();
}

void Board::Impl::check_deadlines(uint64_t now_ns) {
  for (auto& run : runs) {
    if (!run->exited && now_ns >= run->deadline_ns) {
      run->result.timed_out = true;
      kill_run(*run, SIGKILL);
      // Never again: the kill is done, the exit follows.
      run->deadline_ns = UINT64_MAX;
    }
    if (run->exited && now_ns - run->exited_ns > PIPE_GRACE_NS) {
      close_fd(run->out_fd);
      close_fd(run->err_fd);
    }
  }
}

void Board::Impl::on_gpio() {
  uint8_t buf[4096];
  for (;;) {
    const ssize_t n = read(gpio_fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The FIFO is held open by the simulator itself and never ends; a
      // connection from an outside board ends when that board goes.
      if (gpio_connected && (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))) {
        gpio_hung_up = true;
        close_fd(gpio_fd);
      }
      break;
    }
    gpio_partial.insert(gpio_partial.end(), buf, buf + n);
  }
  // The FIFO keeps no write boundaries; every write of the board is one
  // 12-byte request, so the stream is cut into records.
  size_t used = 0;
  while (gpio_partial.size() - used >= GPIO_RECORD) {
    Event e;
    e.kind = EventKind::GpioWrite;
    e.device = 0;
    e.result = static_cast<int>(GPIO_RECORD);
    e.data.assign(gpio_partial.begin() + used, gpio_partial.begin() + used + GPIO_RECORD);
    GpioRequest request{};
    std::memcpy(&request, e.data.data(), GPIO_RECORD);
    journal.add(std::move(e));
    used += GPIO_RECORD;
    // A board outside the simulator writes the line without asking first:
    // its requests have no earlier time than this reading.
    const uint64_t asked_ns = gpio_connected ? 0 : server.take_gpio_time();
    std::set<SerialFarEnd*> told;
    for (auto& port : ports) {
      SerialFarEnd* far = port->far_end();
      if (far != nullptr && told.insert(far).second) port->gpio_request(request, asked_ns);
    }
  }
  gpio_partial.erase(gpio_partial.begin(), gpio_partial.begin() + used);
}

void Board::Impl::on_accept() {
  for (;;) {
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) break;
    Connection c;
    c.fd = fd;
    c.id = next_connection_id++;
    connections[fd] = std::move(c);
  }
}

void Board::Impl::close_connection(int fd) {
  const auto it = connections.find(fd);
  if (it == connections.end()) return;
  server.connection_closed(it->second.id);
  close(fd);
  connections.erase(it);
}

void Board::Impl::on_connection(int fd, short revents) {
  auto it = connections.find(fd);
  if (it == connections.end()) return;
  Connection& c = it->second;
  bool eof = false;
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    uint8_t buf[CHUNK];
    for (;;) {
      const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) {
        eof = true;
        break;
      }
      c.in.insert(c.in.end(), buf, buf + n);
    }
  }
  // Every complete request gets its reply, in order, also from a process
  // that has already closed its end.
  const size_t max_payload = std::max(MAX_PAYLOAD_FLOOR, 4 * config.spi_buffer_size);
  size_t used = 0;
  while (c.in.size() - used >= sizeof(boardsim_request)) {
    const boardsim_request request = decode_request(c.in.data() + used);
    if (request.payload_len > max_payload) {
      journal.note("shim connection " + std::to_string(c.id) + ": request of " +
                   std::to_string(request.payload_len) + " bytes refused");
      eof = true;
      break;
    }
    const size_t whole = sizeof(boardsim_request) + request.payload_len;
    if (c.in.size() - used < whole) break;
    const auto* payload_start = c.in.data() + used + sizeof(boardsim_request);
    const std::vector<uint8_t> payload(payload_start, payload_start + request.payload_len);
    // A GPIO write the driver does not take whole is journalled here, the
    // others when their bytes are read from the FIFO: read what earlier
    // writes left there first, so that the journal keeps the board's order
    // however the poll saw the FIFO and the connection.
    if (request.op == BOARDSIM_OP_GPIO_WRITE && gpio_fd >= 0) on_gpio();
    if (request.op == BOARDSIM_OP_TTY_QUEUE) {
      tty_queue_reply(request, c.out);
    } else {
      const std::vector<uint8_t> reply = server.handle(c.id, request, payload);
      const uint64_t due = server.reply_due_ns();
      if (due > monotonic_ns() || !c.held.empty()) {
        // The transfer is still on the bus: its call returns when it ends.
        const uint64_t after = c.held.empty() ? 0 : c.held.back().first;
        c.held.emplace_back(std::max(due, after), reply);
      } else {
        c.out.insert(c.out.end(), reply.begin(), reply.end());
      }
    }
    used += whole;
  }
  c.in.erase(c.in.begin(), c.in.begin() + used);
  release_held(c, monotonic_ns());
  if (!send_out(c)) eof = true;
  if (eof) close_connection(fd);
}

void Board::Impl::release_held(Connection& c, uint64_t now_ns) {
  while (!c.held.empty() && c.held.front().first <= now_ns) {
    c.out.insert(c.out.end(), c.held.front().second.begin(), c.held.front().second.end());
    c.held.pop_front();
  }
}

void Board::Impl::tty_queue_reply(const boardsim_request& request, std::vector<uint8_t>& out) {
  boardsim_reply reply{};
  uint32_t drained_in_us = 0;
  if (request.device < 0 || request.device >= static_cast<int>(ports.size())) {
    reply.result = -1;
    reply.error = ENOTTY;
  } else {
    const SerialPort::Queue q = ports[static_cast<size_t>(request.device)]->output_queue();
    reply.result = static_cast<int32_t>(q.chars);
    drained_in_us = static_cast<uint32_t>((q.drained_in_ns + 999) / 1000);
    reply.payload_len = sizeof drained_in_us;
  }
  const auto* h = reinterpret_cast<const uint8_t*>(&reply);
  out.insert(out.end(), h, h + sizeof reply);
  if (reply.payload_len != 0) {
    const auto* p = reinterpret_cast<const uint8_t*>(&drained_in_us);
    out.insert(out.end(), p, p + sizeof drained_in_us);
  }
}

bool Board::Impl::send_out(Connection& c) {
  const int fd = c.fd;
  while (!c.out.empty()) {
    const ssize_t n = send(fd, c.out.data(), c.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) return false;
    c.out.erase(c.out.begin(), c.out.begin() + n);
  }
  return true;
}

void Board::Impl::on_run_output(int& fd, std::string& sink) {
  char buf[CHUNK];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      close_fd(fd);
      return;
    }
    sink.append(buf, static_cast<size_t>(n));
  }
}

void Board::Impl::on_run_stdin(RunState& run) {
  while (run.in_done < run.in_data.size()) {
    const ssize_t n = write_no_sigpipe(run.in_fd, run.in_data.data() + run.in_done,
                                       run.in_data.size() - run.in_done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) break;  // the program closed its standard input
    run.in_done += static_cast<size_t>(n);
  }
  close_fd(run.in_fd);
}

void Board::Impl::on_run_exit(RunState& run) {
  // Whatever the program left running in its process group ends with it.
  if (run.pidfd >= 0) kill(-run.child, SIGKILL);
  int status = 0;
  const pid_t done = waitpid(run.child, &status, run.pidfd >= 0 ? 0 : WNOHANG);
  if (done != run.child) return;
  if (run.pidfd < 0) kill(-run.child, SIGKILL);
  run.exited = true;
  run.exited_ns = monotonic_ns();
  run.wait_status = status;
  close_fd(run.pidfd);
  close_fd(run.in_fd);
  for (const auto& other : runs) {
    if (!other->exited) return;
  }
  for (auto& port : ports) port->last_user_gone();
}

void Board::Impl::on_run_info(RunState& run) {
  int32_t reported = 0;
  const ssize_t n = read(run.info_fd, &reported, sizeof reported);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n == sizeof reported) run.reported_pid = reported;
  close_fd(run.info_fd);
  if (run.reported_pid > 0) find_program_pid(run, 0);
}

}  // namespace boardsim
