#include "boardsim/board.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "board_impl.h"
#include "launcher.h"
#include "panel.h"
#include "proc_fs.h"
#include "run_invocation.h"

namespace boardsim {

namespace {

// How long collecting a killed command may take before the caller is told.
constexpr double COLLECT_GRACE_S = 10;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("boardsim: " + what + ": " + strerror(errno));
}

int make_pipe(int fds[2]) { return pipe2(fds, O_CLOEXEC); }

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

// ---------------------------------------------------------------- Impl

Board::Impl::Impl(const BoardConfig& c)
    : config(c), sandbox(c.workdir, c.serial_ports, c.keep_sandbox), server(config, journal) {
  for (int port = 0; port < config.serial_ports; ++port) {
    ports.push_back(std::make_unique<SerialPort>(port, journal));
    ports.back()->set_wire_time(config.wire_time);
  }
  // Read-write: the FIFO always has a writer, so the simulator never sees
  // an end of file between two programs.
  gpio_fd = open(sandbox.host_path("/dev/gpio0").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (gpio_fd < 0) fail("open gpio0 FIFO");
  const std::string socket_path = sandbox.private_path("sock");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof addr.sun_path) {
    close_fd(gpio_fd);
    errno = ENAMETOOLONG;
    fail("socket path " + socket_path);
  }
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd < 0 || bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      chmod(socket_path.c_str(), 0666) != 0 || listen(listen_fd, 64) != 0) {
    const int saved = errno;
    close_fd(listen_fd);
    close_fd(gpio_fd);
    errno = saved;
    fail("shim socket " + socket_path);
  }
}

Board::Impl::~Impl() {
  for (auto& run : runs) {
    if (!run->exited) {
      kill(-run->child, SIGKILL);
      kill(run->child, SIGKILL);
      waitpid(run->child, &run->wait_status, 0);
      run->exited = true;
    }
    close_fd(run->pidfd);
    close_fd(run->out_fd);
    close_fd(run->err_fd);
    close_fd(run->in_fd);
    close_fd(run->info_fd);
  }
  // A Process that outlives its Board reports its run as ended.
  for (auto& weak : handed_out) {
    if (auto run = weak.lock()) run->board_gone = true;
  }
  while (!connections.empty()) close_connection(connections.begin()->first);
  close_fd(listen_fd);
  close_fd(gpio_fd);
}

namespace {

// Every host path a run refers to: its working directory when it keeps the
// caller's, its absolute arguments (program, runner, qemu's "-E LD_PRELOAD=")
// in `paths`; the preloads of its environment and the shims in `shims`, which
// the board may use but not change.
struct HostPaths {
  std::vector<std::string> paths;
  std::vector<std::string> shims;
};

HostPaths host_paths_used(const LaunchPlan& plan) {
  HostPaths used;
  std::vector<std::string>& paths = used.paths;
  if (plan.cwd.empty()) {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr) paths.emplace_back(cwd);
  }
  // A relative path is the caller's when the run keeps the caller's working
  // directory; with a board working directory it is the board's own.
  const std::string base = paths.empty() ? "" : paths.front();
  auto add_value = [&base](std::vector<std::string>& to, const std::string& text) {
    const size_t eq = text.find('=');
    const std::string value = eq == std::string::npos ? text : text.substr(eq + 1);
    if (value.empty()) return;
    if (value[0] == '/') {
      to.push_back(value);
    } else if (!base.empty()) {
      to.push_back(base + "/" + value);
    }
  };
  for (const auto& arg : plan.argv) add_value(paths, arg);
  for (const auto& var : plan.env) {
    if (var.compare(0, 11, "LD_PRELOAD=") == 0) add_value(used.shims, var);
  }
  // Under an emulator the preload names links in the sandbox; their targets
  // are the shims themselves.
  used.shims.emplace_back(BOARDSIM_DEFAULT_SHIM);
  if (const char* shim = getenv("BOARDSIM_SHIM")) used.shims.emplace_back(shim);
  return used;
}

}  // namespace

LaunchPlan Board::Impl::plan_run(const Command& command, RunState& run) {
  LaunchPlan plan;
  const std::string number = std::to_string(++run_counter);
  plan.cwd = command.cwd;
  plan.pid_namespace = command.pid_namespace;
  plan.panel = command.panel;
  plan.user_namespace = geteuid() != 0;
  plan.uid = geteuid();
  plan.gid = getegid();
  plan.panel_count_path = sandbox.private_path("panel_count." + number);
  plan.panel_pid_path = sandbox.private_path("panel_pid." + number);
  std::vector<std::string> slaves;
  for (const auto& port : ports) slaves.push_back(port->slave_path());
  resolve_command(command, sandbox, plan.argv, plan.env);
  if (config.serial_keeps_speed) plan.env.push_back(std::string(BOARDSIM_KEEP_SPEED_ENV) + "=1");
  const HostPaths used = host_paths_used(plan);
  plan.mounts = board_mounts(sandbox, slaves, used.paths, used.shims);
  plan.foreground = command.passthrough_stdio && isatty(0) && tcgetpgrp(0) == getpgrp();
  // A test that makes a program crash on purpose leaves no core file behind.
  plan.core_dumps = command.passthrough_stdio;

  run.capture = !command.passthrough_stdio;
  run.supervised = plan_supervised(plan);
  run.pid_namespace = plan.pid_namespace;
  run.foreground = plan.foreground;
  run.panel_count_path = plan.panel_count_path;
  run.panel_pid_path = plan.panel_pid_path;
  run.in_data = command.stdin_data;
  return plan;
}

// The pipes of a run: the child's ends go into the plan, the simulator's
// into the run. The caller's own streams when the run does not capture.
void Board::Impl::open_streams(RunState& run, LaunchPlan& plan) {
  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  int info_pipe[2] = {-1, -1};
  bool ok = true;
  if (run.capture) {
    ok = make_pipe(in_pipe) == 0 && make_pipe(out_pipe) == 0 && make_pipe(err_pipe) == 0;
  }
  if (ok && run.supervised) ok = make_pipe(info_pipe) == 0;
  if (!ok) {
    const int saved = errno;
    for (int* p : {in_pipe, out_pipe, err_pipe, info_pipe}) {
      close_fd(p[0]);
      close_fd(p[1]);
    }
    errno = saved;
    fail("pipe");
  }
  plan.stdin_fd = in_pipe[0];
  plan.stdout_fd = out_pipe[1];
  plan.stderr_fd = err_pipe[1];
  plan.info_fd = info_pipe[1];
  run.in_fd = in_pipe[1];
  run.out_fd = out_pipe[0];
  run.err_fd = err_pipe[0];
  run.info_fd = info_pipe[0];
}

std::shared_ptr<RunState> Board::Impl::launch(const Command& command) {
  if (command.argv.empty()) throw std::invalid_argument("boardsim: empty command");
  auto run = std::make_shared<RunState>();
  LaunchPlan plan = plan_run(command, *run);
  open_streams(*run, plan);
  server.start_run();
  const pid_t child = fork();
  if (child == 0) launch_child(plan);
  const int fork_errno = errno;
  for (int* fd : {&plan.stdin_fd, &plan.stdout_fd, &plan.stderr_fd, &plan.info_fd}) close_fd(*fd);
  if (child < 0) {
    for (int* fd : {&run->in_fd, &run->out_fd, &run->err_fd, &run->info_fd}) close_fd(*fd);
    errno = fork_errno;
    fail("fork");
  }
  // Both sides set the group, so that a kill of it cannot miss the child.
  setpgid(child, child);
  if (run->foreground) take_terminal(child);
  run->child = child;
  run->program = run->supervised ? -1 : child;
  run->pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  for (int fd : {run->in_fd, run->out_fd, run->err_fd, run->info_fd}) {
    if (fd >= 0) set_nonblocking(fd);
  }
  if (run->in_data.empty()) close_fd(run->in_fd);
  run->deadline_ns = deadline_after(command.timeout_s);
  runs.push_back(run);
  return run;
}

void Board::Impl::find_program_pid(RunState& run, uint64_t deadline_ns) {
  if (run.program > 0) return;
  if (run.reported_pid <= 0) {
    pump([&] { return run.reported_pid > 0 || run.exited; }, deadline_ns);
    if (run.reported_pid <= 0) return;
  }
  if (!run.pid_namespace) {
    run.program = run.reported_pid;
    return;
  }
  // The supervisor saw the program's PID in its own namespace.
  run.program = find_host_pid(run.reported_pid, run.child);
}

void Board::Impl::kill_run(RunState& run, int sig) {
  if (run.exited) return;
  kill(-run.child, sig);
  kill(run.child, sig);
}

RunResult Board::Impl::finish(const std::shared_ptr<RunState>& run, uint64_t deadline_ns) {
  auto finished = [&] { return run->finished(); };
  if (!pump(finished, deadline_ns)) {
    run->result.timed_out = true;
    kill_run(*run, SIGKILL);
    pump(finished, deadline_after(COLLECT_GRACE_S));
  }
  if (run->foreground) take_terminal(getpgrp());
  // What the program did just before it ended is still in the queues.
  drain();
  RunResult result = result_of(*run);
  close_fd(run->in_fd);
  close_fd(run->out_fd);
  close_fd(run->err_fd);
  close_fd(run->info_fd);
  for (auto it = runs.begin(); it != runs.end(); ++it) {
    if (it->get() == run.get()) {
      runs.erase(it);
      break;
    }
  }
  return result;
}

RunResult result_of(RunState& run) {
  RunResult result = std::move(run.result);
  const int s = run.wait_status;
  if (!run.exited) {
    result.status = -1;
  } else if (WIFSIGNALED(s)) {
    result.signal = WTERMSIG(s);
    result.status = 128 + result.signal;
  } else {
    result.status = WEXITSTATUS(s);
  }
  return result;
}

// ---------------------------------------------------------------- Board

Board::Board(BoardConfig config) : impl_(std::make_unique<Impl>(config)) {}
Board::~Board() = default;

void Board::attach_spi(int device, std::shared_ptr<SpiFarEnd> far_end) {
  impl_->server.attach(device, std::move(far_end));
}

void Board::attach_serial(int port, std::shared_ptr<SerialFarEnd> far_end) {
  if (port < 0 || port >= static_cast<int>(impl_->ports.size())) {
    throw std::out_of_range("boardsim: no serial port " + std::to_string(port));
  }
  impl_->ports[static_cast<size_t>(port)]->attach(std::move(far_end));
}

ScriptedSpi& Board::scripted_spi(int device) { return impl_->server.scripted(device); }
SpiDeviceState& Board::spi(int device) { return impl_->server.state(device); }
void Board::add_fault(const SpiFault& fault) { impl_->server.add_fault(fault); }
void Board::add_gpio_fault(const GpioFault& fault) { impl_->server.add_gpio_fault(fault); }
void Board::clear_faults() { impl_->server.clear_faults(); }

std::string Board::host_path(const std::string& board_path) const {
  return impl_->sandbox.host_path(board_path);
}

void Board::write_file(const std::string& board_path, const std::string& content) {
  const std::string path = host_path(board_path);
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > impl_->sandbox.root().size())
    make_dirs(path.substr(0, slash));
  write_whole_file(path, content);
}

std::string Board::read_file(const std::string& board_path) const {
  std::string content;
  return read_whole_file(host_path(board_path), content) ? content : "";
}

bool Board::file_exists(const std::string& board_path) const {
  return access(host_path(board_path).c_str(), F_OK) == 0;
}

void Board::remove_file(const std::string& board_path) { unlink(host_path(board_path).c_str()); }

void Board::set_standin_status(const std::string& name, int status) {
  for (const auto& known : Sandbox::standin_names()) {
    if (known == name) {
      impl_->sandbox.write_standin(name, status);
      return;
    }
  }
  throw std::invalid_argument("boardsim: no stand-in named " + name);
}

std::vector<std::string> Board::standin_calls() const {
  std::string text;
  read_whole_file(impl_->sandbox.standin_log(), text);
  std::vector<std::string> calls;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) calls.push_back(line);
  return calls;
}

RunResult Board::run(const Command& command) {
  const auto run = impl_->launch(command);
  return impl_->finish(run, UINT64_MAX);
}

void Board::connect_serial(int port, int socket) {
  if (port < 0 || port >= static_cast<int>(impl_->ports.size())) {
    close(socket);
    throw std::out_of_range("boardsim: no serial port " + std::to_string(port));
  }
  impl_->ports[static_cast<size_t>(port)]->connect(socket);
}

void Board::connect_gpio(int socket) {
  close_fd(impl_->gpio_fd);
  impl_->gpio_fd = socket;
  impl_->gpio_connected = true;
  impl_->gpio_partial.clear();
  set_nonblocking(socket);
  fcntl(socket, F_SETFD, FD_CLOEXEC);
}

bool Board::Impl::outside_board_gone() const {
  if (gpio_hung_up) return true;
  for (const auto& port : ports) {
    if (port->hung_up()) return true;
  }
  return false;
}

Board::ServeEnd Board::serve(const std::function<bool()>& stop, double timeout_s) {
  bool stopped = false;
  const bool gone = impl_->pump(
      [&] {
        stopped = stop();
        return stopped || impl_->outside_board_gone();
      },
      deadline_after(timeout_s));
  // Whatever the board sent before it went is still to be served.
  impl_->drain();
  if (!gone) return ServeEnd::TimedOut;
  return stopped ? ServeEnd::Stopped : ServeEnd::HungUp;
}

Journal& Board::journal() { return impl_->journal; }

std::string Board::program_path(const std::string& name) {
  const char* dir = getenv("BOARDSIM_PROGRAM_DIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : BOARDSIM_DEFAULT_PROGRAM_DIR) + "/" +
         name;
}

std::unique_ptr<Process> Board::start(const Command& command) {
  auto impl = std::make_unique<Process::Impl>();
  impl->board = impl_.get();
  impl->run = impl_->launch(command);
  impl_->handed_out.push_back(impl->run);
  // A supervised command reports once the Panel is ready and the program
  // started; the caller may then rely on both.
  if (impl->run->supervised) impl_->find_program_pid(*impl->run, impl->run->deadline_ns);
  return std::unique_ptr<Process>(new Process(std::move(impl)));
}

}  // namespace boardsim
