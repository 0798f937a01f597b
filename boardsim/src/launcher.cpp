#include "launcher.h"

#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include "panel.h"
#include "sandbox.h"

extern char** environ;

namespace boardsim {

namespace {

constexpr int SETUP_FAILED = 125;
constexpr int EXEC_FAILED = 127;
constexpr int INFO_FD = 3;

constexpr std::array<const char*, 6> STANDIN_DIRS{
    {"/usr/bin", "/bin", "/usr/sbin", "/sbin", "/usr/local/bin", "/usr/local/sbin"}};

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// In the child only: reports on the captured standard error and ends it.
[[noreturn]] void die(int status, const std::string& what) {
  const std::string text = "boardsim: " + what + ": " + strerror(errno) + "\n";
  ssize_t ignored = write(2, text.data(), text.size());
  (void)ignored;
  _exit(status);
}

void write_text(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) die(SETUP_FAILED, "open " + path);
  const ssize_t n = write(fd, text.data(), text.size());
  if (n != static_cast<ssize_t>(text.size())) die(SETUP_FAILED, "write " + path);
  close(fd);
}

// Not root: a user namespace gives the mount rights; the caller keeps its
// own IDs inside it, so files it makes are its own on the host too.
void enter_namespaces(const LaunchPlan& plan) {
  if (!plan.user_namespace) {
    if (unshare(CLONE_NEWNS) != 0) die(SETUP_FAILED, "unshare(CLONE_NEWNS)");
    return;
  }
  // A caller that changed its IDs without an exec is not dumpable, and its
  // /proc/self files then belong to root: the maps could not be written.
  prctl(PR_SET_DUMPABLE, 1);
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) die(SETUP_FAILED, "unshare(CLONE_NEWUSER)");
  write_text("/proc/self/setgroups", "deny");
  write_text("/proc/self/uid_map",
             std::to_string(plan.uid) + " " + std::to_string(plan.uid) + " 1");
  write_text("/proc/self/gid_map",
             std::to_string(plan.gid) + " " + std::to_string(plan.gid) + " 1");
}

// A bind remounted read-only keeps the flags it has: in a user namespace the
// ones the host set (nosuid, nodev, noexec, the atime rule of a tmpfs /tmp)
// are locked, and a remount without them is refused (EPERM).
unsigned long read_only_remount_flags(const std::string& target) {
  unsigned long flags = MS_BIND | MS_REMOUNT | MS_RDONLY;
  struct statvfs fs {};
  if (statvfs(target.c_str(), &fs) != 0) return flags;
  const std::pair<unsigned long, unsigned long> kept[] = {
      {ST_NOSUID, MS_NOSUID},   {ST_NODEV, MS_NODEV},           {ST_NOEXEC, MS_NOEXEC},
      {ST_NOATIME, MS_NOATIME}, {ST_NODIRATIME, MS_NODIRATIME}, {ST_RELATIME, MS_RELATIME}};
  for (const auto& [has, keep] : kept) {
    if ((fs.f_flag & has) != 0) flags |= keep;
  }
  return flags;
}

void apply_mount(const MountStep& m) {
  switch (m.kind) {
    case MountStep::Kind::Bind:
    case MountStep::Kind::RecursiveBind: {
      unsigned long flags = MS_BIND;
      if (m.kind == MountStep::Kind::RecursiveBind) flags |= MS_REC;
      if (mount(m.source.c_str(), m.target.c_str(), nullptr, flags, nullptr) != 0) {
        die(SETUP_FAILED, "bind " + m.source + " on " + m.target);
      }
      break;
    }
    case MountStep::Kind::Tmpfs:
      if (mount("tmpfs", m.target.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        die(SETUP_FAILED, "tmpfs on " + m.target);
      }
      break;
    case MountStep::Kind::Mkdir:
      if (mkdir(m.target.c_str(), 0755) != 0 && errno != EEXIST)
        die(SETUP_FAILED, "mkdir " + m.target);
      break;
    case MountStep::Kind::ReadOnly:
      if (mount(nullptr, m.target.c_str(), nullptr, read_only_remount_flags(m.target), nullptr) !=
          0) {
        die(SETUP_FAILED, "read-only " + m.target);
      }
      break;
  }
}

void setup_board(const LaunchPlan& plan) {
  enter_namespaces(plan);
  // Nothing mounted here may reach the host's namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    die(SETUP_FAILED, "make / private");
  }
  for (const auto& m : plan.mounts) apply_mount(m);
}

// The standard streams, the info pipe at INFO_FD, and nothing else of the
// simulator's: a pipe end or connection kept by the init or the Panel would
// hold back an end of file the simulator or the program waits for.
void setup_fds(LaunchPlan& plan) {
  const std::array<int, 3> from{{plan.stdin_fd, plan.stdout_fd, plan.stderr_fd}};
  for (int target = 0; target < 3; ++target) {
    if (from[target] >= 0 && dup2(from[target], target) < 0) die(SETUP_FAILED, "dup2");
  }
  if (plan.info_fd >= 0 && plan.info_fd != INFO_FD) {
    if (dup3(plan.info_fd, INFO_FD, O_CLOEXEC) < 0) die(SETUP_FAILED, "dup3");
    plan.info_fd = INFO_FD;
  }
  const unsigned first_closed = plan.info_fd >= 0 ? INFO_FD + 1 : INFO_FD;
  if (syscall(SYS_close_range, first_closed, ~0u, 0u) != 0) {
    for (int fd = static_cast<int>(first_closed); fd < 1024; ++fd) close(fd);
  }
}

// The program starts with the signal state of a freshly started process,
// whatever the simulator ignores or blocks.
void reset_signals() {
  for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

std::vector<char*> c_strings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

[[noreturn]] void exec_program(const LaunchPlan& plan) {
  reset_signals();
  if (!plan.core_dumps) {
    const struct rlimit no_core { 0, 0 };
    setrlimit(RLIMIT_CORE, &no_core);
  }
  if (!plan.cwd.empty() && chdir(plan.cwd.c_str()) != 0) die(EXEC_FAILED, "chdir " + plan.cwd);
  auto argv = c_strings(plan.argv);
  auto env = c_strings(plan.env);
  // execvp searches the PATH of the environment in force: the board's.
  environ = env.data();
  execvp(argv[0], argv.data());
  die(EXEC_FAILED, "cannot run " + plan.argv[0]);
}

// Ends like the program ended, so that the simulator sees its status.
[[noreturn]] void mirror_status(int status) {
  if (WIFSIGNALED(status)) {
    const struct rlimit no_core { 0, 0 };
    setrlimit(RLIMIT_CORE, &no_core);
    signal(WTERMSIG(status), SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, WTERMSIG(status));
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(WTERMSIG(status));
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : SETUP_FAILED);
}

// The init of a run: starts the Panel stand-in when asked (and waits until it
// is ready), then the program; reaps every child until the program ends.
int supervise(const LaunchPlan& plan) {
  pid_t panel = -1;
  if (plan.panel != Panel::None) {
    panel =
        start_panel(plan.panel == Panel::WithMarker, plan.panel_count_path, plan.panel_pid_path);
    if (panel < 0) die(SETUP_FAILED, "start the Panel stand-in");
  }
  const pid_t program = fork();
  if (program < 0) die(SETUP_FAILED, "fork");
  if (program == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    exec_program(plan);
  }
  const int32_t reported = program;
  if (write(plan.info_fd, &reported, sizeof reported) != sizeof reported) {
    // The simulator went away; the run goes on and is collected by nobody.
  }
  int status = 0;
  for (;;) {
    int s = 0;
    const pid_t done = waitpid(-1, &s, 0);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) break;
    if (done == program) {
      status = s;
      break;
    }
  }
  if (panel > 0) {
    kill(panel, SIGKILL);
    waitpid(panel, nullptr, 0);
  }
  return status;
}

[[noreturn]] void run_in_pid_namespace(const LaunchPlan& plan) {
  if (unshare(CLONE_NEWPID) != 0) die(SETUP_FAILED, "unshare(CLONE_NEWPID)");
  int status_pipe[2];
  if (pipe2(status_pipe, O_CLOEXEC) != 0) die(SETUP_FAILED, "pipe");
  const pid_t init = fork();
  if (init < 0) die(SETUP_FAILED, "fork");
  if (init == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(status_pipe[0]);
    // The namespace's own /proc, so that /proc/self and the PIDs the
    // program reads there are the ones of its namespace.
    mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
    const int status = supervise(plan);
    // As PID 1 the init cannot die of the program's signal: pass the raw
    // status up instead.
    const ssize_t n = write(status_pipe[1], &status, sizeof status);
    (void)n;
    _exit(0);
  }
  close(status_pipe[1]);
  int status = 0;
  int init_status = 0;
  while (waitpid(init, &init_status, 0) < 0 && errno == EINTR) {
  }
  if (read(status_pipe[0], &status, sizeof status) != sizeof status) status = init_status;
  mirror_status(status);
}

}  // namespace

bool plan_supervised(const LaunchPlan& plan) {
  return plan.pid_namespace || plan.panel != Panel::None;
}

namespace {

// The real path of the directory a run needs for `path`: the path itself
// when it is a directory, else the directory that holds it (or is to hold
// it, for an output the program makes). "" when there is none.
std::string needed_dir(const std::string& path) {
  char real[PATH_MAX];
  struct stat st {};
  if (realpath(path.c_str(), real) != nullptr) {
    if (stat(real, &st) == 0 && S_ISDIR(st.st_mode)) return real;
    const std::string r = real;
    return r.substr(0, std::max<size_t>(r.rfind('/'), 1));
  }
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "";
  const std::string parent = path.substr(0, slash);
  if (realpath(parent.c_str(), real) == nullptr || stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
    return "";
  }
  return real;
}

}  // namespace

std::vector<std::string> hidden_host_dirs(const std::vector<std::string>& paths) {
  std::set<std::string> dirs;
  for (const auto& path : paths) {
    if (path.empty() || path[0] != '/') continue;
    const std::string dir = needed_dir(path);
    for (const std::string top : {"/tmp/", "/home/"}) {
      // Only the directory itself, never the one right below /tmp or /home
      // that holds it: what lies beside it stays out of the board's reach.
      // The board's own /home/organ is never taken from the host.
      if (dir.size() > top.size() && dir.compare(0, top.size(), top) == 0 && dir != "/home/organ" &&
          dir.compare(0, 12, "/home/organ/") != 0) {
        dirs.insert(dir);
      }
    }
  }
  // One inside another that is shared already is shared with it.
  std::vector<std::string> out;
  for (const auto& d : dirs) {
    const bool inside = std::any_of(out.begin(), out.end(), [&d](const std::string& o) {
      return d.compare(0, o.size() + 1, o + "/") == 0;
    });
    if (!inside) out.push_back(d);
  }
  return out;
}

std::vector<MountStep> board_mounts(const Sandbox& sandbox,
                                    const std::vector<std::string>& tty_slaves,
                                    const std::vector<std::string>& host_paths_used,
                                    const std::vector<std::string>& read_only_paths) {
  using K = MountStep::Kind;
  std::vector<MountStep> m;
  // Park the host directories the overmounts would hide in the sandbox first,
  // while they can still be reached, and mount them back afterwards: the
  // read-only ones first (the simulator's shims: a board script that empties
  // its /tmp must not take them from the runs after it), unless the run
  // shares them anyway, then the others, which may lie inside them.
  const auto writable = hidden_host_dirs(host_paths_used);
  std::vector<std::string> kept;
  for (const auto& dir : hidden_host_dirs(read_only_paths)) {
    const bool shared = std::any_of(writable.begin(), writable.end(), [&dir](const std::string& w) {
      return dir == w || dir.compare(0, w.size() + 1, w + "/") == 0;
    });
    if (!shared) kept.push_back(dir);
  }
  const size_t read_only_count = kept.size();
  kept.insert(kept.end(), writable.begin(), writable.end());
  std::vector<std::string> parked;
  for (size_t i = 0; i < kept.size(); ++i) {
    parked.push_back(sandbox.private_path("kept." + std::to_string(i)));
    m.push_back({K::Mkdir, "", parked.back()});
    m.push_back({K::RecursiveBind, kept[i], parked.back()});
  }
  const std::string dev = sandbox.dir("dev");
  // A node the test removed from the sandbox stays absent on the board.
  for (const auto& node : Sandbox::host_nodes()) {
    const std::string host = "/dev/" + node;
    if (exists(host) && exists(dev + "/" + node)) m.push_back({K::Bind, host, dev + "/" + node});
  }
  m.push_back({K::RecursiveBind, "/dev/pts", dev + "/pts"});
  m.push_back({K::Tmpfs, "", dev + "/shm"});
  for (size_t port = 0; port < tty_slaves.size(); ++port) {
    const std::string node = dev + "/ttyS" + std::to_string(port);
    if (exists(node)) m.push_back({K::Bind, tty_slaves[port], node});
  }
  m.push_back({K::RecursiveBind, dev, "/dev"});
  m.push_back({K::Bind, sandbox.dir("tmp"), "/tmp"});
  m.push_back({K::Tmpfs, "", "/home"});
  m.push_back({K::Mkdir, "", "/home/organ"});
  m.push_back({K::Bind, sandbox.dir("home_organ"), "/home/organ"});
  for (size_t i = 0; i < kept.size(); ++i) {
    // The directories above it are made in the board's own /tmp or /home,
    // empty: nothing of the host's beside it comes with it.
    for (size_t slash = kept[i].find('/', 1); slash != std::string::npos;
         slash = kept[i].find('/', slash + 1)) {
      const std::string above = kept[i].substr(0, slash);
      if (above != "/tmp" && above != "/home") m.push_back({K::Mkdir, "", above});
    }
    m.push_back({K::Mkdir, "", kept[i]});
    m.push_back({K::RecursiveBind, parked[i], kept[i]});
    if (i < read_only_count) m.push_back({K::ReadOnly, "", kept[i]});
  }
  // Sysfs cannot take new directories: a tmpfs over the class directory
  // makes room for the RTC attribute directory.
  if (exists("/sys/class/rtc")) {
    m.push_back({K::Tmpfs, "", "/sys/class/rtc"});
  } else {
    m.push_back({K::Tmpfs, "", "/sys/class"});
    m.push_back({K::Mkdir, "", "/sys/class/rtc"});
  }
  m.push_back({K::Mkdir, "", "/sys/class/rtc/rtc0"});
  m.push_back({K::Bind, sandbox.dir("rtc0"), "/sys/class/rtc/rtc0"});
  // No run may set the real clock, even by an absolute path.
  for (const auto& name : Sandbox::standin_names()) {
    std::set<std::string> done;
    for (const char* dir : STANDIN_DIRS) {
      const std::string path = std::string(dir) + "/" + name;
      char real[PATH_MAX];
      if (realpath(path.c_str(), real) == nullptr || !done.insert(real).second) continue;
      m.push_back({K::Bind, sandbox.dir("bin") + "/" + name, real});
    }
  }
  return m;
}

void take_terminal(pid_t pgrp) {
  // A process outside the foreground group gets SIGTTOU for this.
  struct sigaction ignore {};
  struct sigaction old {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGTTOU, &ignore, &old);
  tcsetpgrp(0, pgrp);
  sigaction(SIGTTOU, &old, nullptr);
}

void launch_child(LaunchPlan plan) {
  setpgid(0, 0);
  if (plan.foreground) take_terminal(getpid());
  setup_fds(plan);
  // A simulator that dies takes its runs with it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The simulator's loop runs with a timer slack of 1 ns; a program starts
  // with a normal thread's 50 us, as on the board.
  prctl(PR_SET_TIMERSLACK, 50000UL);
  setup_board(plan);
  if (plan.pid_namespace) run_in_pid_namespace(plan);
  if (plan.panel != Panel::None) mirror_status(supervise(plan));
  exec_program(plan);
}

}  // namespace boardsim
