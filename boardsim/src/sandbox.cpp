#include "sandbox.h"

#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace boardsim {

namespace {

constexpr int SPI_DEVICES = 5;
constexpr const char* DEFAULT_WORKDIR = "/var/tmp";

// Board paths and the sandbox directory that serves each. The longest match
// wins, so the order does not matter.
struct PathMap {
  const char* board;
  const char* sandbox;
};
constexpr std::array<PathMap, 4> PATH_MAPS{{
    {"/tmp", "tmp"},
    {"/home/organ", "home_organ"},
    {"/sys/class/rtc/rtc0", "rtc0"},
    {"/dev", "dev"},
}};

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("boardsim: " + what + ": " + strerror(errno));
}

void make_dir(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) fail("mkdir " + path);
  // mkdir applies the umask; the board's /tmp must be writable by everyone.
  if (chmod(path.c_str(), mode) != 0) fail("chmod " + path);
}

void make_file(const std::string& path) { write_whole_file(path, ""); }

void make_link(const std::string& target, const std::string& path) {
  if (symlink(target.c_str(), path.c_str()) != 0) fail("symlink " + path);
}

// The absolute path of the directory the sandbox is made in. One under /tmp
// or /home would vanish under the mounts of a run.
std::string checked_workdir(const std::string& workdir) {
  char real[PATH_MAX];
  if (realpath(workdir.c_str(), real) == nullptr) fail("workdir " + workdir);
  const std::string r = real;
  // The stand-in scripts quote the sandbox's paths in single quotes.
  if (r.find('\'') != std::string::npos) {
    errno = EINVAL;
    fail("workdir " + workdir + " holds a quote");
  }
  for (const char* hidden : {"/tmp", "/home"}) {
    const std::string h = hidden;
    if (r == h || r.compare(0, h.size() + 1, h + "/") == 0) {
      errno = EINVAL;
      fail("workdir " + workdir + " lies under " + h + ", which a run overmounts");
    }
  }
  return r;
}

int remove_entry(const char* path, const struct stat*, int type, struct FTW*) {
  // Best effort: a leftover entry must not stop the removal of the rest.
  if (type == FTW_DP) {
    rmdir(path);
  } else {
    unlink(path);
  }
  return 0;
}

}  // namespace

Sandbox::Sandbox(const std::string& workdir, int serial_ports, bool keep) : keep_(keep) {
  std::string base = workdir;
  if (base.empty()) {
    const char* env = getenv("BOARDSIM_WORKDIR");
    base = env != nullptr && *env != '\0' ? env : DEFAULT_WORKDIR;
  }
  std::string templ = checked_workdir(base) + "/boardsim-XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) fail("mkdtemp in " + base);
  root_ = templ;
  try {
    if (chmod(root_.c_str(), 0755) != 0) fail("chmod " + root_);
    make_dir(dir("tmp"), 01777);
    make_dir(dir("home_organ"), 0755);
    make_dir(dir("rtc0"), 0755);
    make_dir(dir("bin"), 0755);
    make_dir(dir(".boardsim"), 0755);
    make_dev(serial_ports);
    for (const auto& name : standin_names()) write_standin(name, 0);
    make_file(standin_log());
  } catch (...) {
    remove_tree(root_);
    throw;
  }
}

Sandbox::~Sandbox() {
  if (!keep_) remove_tree(root_);
}

void Sandbox::make_dev(int serial_ports) const {
  const std::string dev = dir("dev");
  make_dir(dev, 0755);
  for (const auto& node : host_nodes()) make_file(dev + "/" + node);
  for (int port = 0; port < serial_ports; ++port) make_file(dev + "/ttyS" + std::to_string(port));
  for (int cs = 0; cs < SPI_DEVICES; ++cs) make_file(dev + "/spidev2." + std::to_string(cs));
  make_file(dev + "/fb0");
  if (mkfifo((dev + "/gpio0").c_str(), 0666) != 0) fail("mkfifo gpio0");
  if (chmod((dev + "/gpio0").c_str(), 0666) != 0) fail("chmod gpio0");
  make_dir(dev + "/pts", 0755);
  make_dir(dev + "/shm", 01777);
  make_link("/proc/self/fd", dev + "/fd");
  make_link("/proc/self/fd/0", dev + "/stdin");
  make_link("/proc/self/fd/1", dev + "/stdout");
  make_link("/proc/self/fd/2", dev + "/stderr");
}

std::string Sandbox::host_path(const std::string& board_path) const {
  const bool ends_up =
      board_path.size() >= 3 && board_path.compare(board_path.size() - 3, 3, "/..") == 0;
  if (board_path.find("/../") != std::string::npos || ends_up) {
    throw std::invalid_argument("boardsim: board path climbs out: " + board_path);
  }
  const PathMap* best = nullptr;
  size_t best_len = 0;
  for (const auto& m : PATH_MAPS) {
    const size_t n = strlen(m.board);
    const bool match =
        board_path.compare(0, n, m.board) == 0 && (board_path.size() == n || board_path[n] == '/');
    if (match && n > best_len) {
      best = &m;
      best_len = n;
    }
  }
  if (best == nullptr) throw std::invalid_argument("boardsim: not a board path: " + board_path);
  return dir(best->sandbox) + board_path.substr(best_len);
}

std::string Sandbox::private_path(const std::string& name) const {
  return dir(".boardsim") + "/" + name;
}

const std::vector<std::string>& Sandbox::standin_names() {
  static const std::vector<std::string> names{"date", "hwclock"};
  return names;
}

// As the kernel does, the date stand-in refuses a time before 1970 given
// as MMDDhhmmYYYY.ss: a program that asks for one would fail on the organ.
const char DATE_BEFORE_1970_REFUSED[] =
    "case \"$1\" in\n"
    "  ????????[0-9][0-9][0-9][0-9].[0-9][0-9])\n"
    "    year=${1#????????}; year=${year%.??}\n"
    "    if [ \"$year\" -lt 1970 ]; then\n"
    "      echo 'date: cannot set date: Invalid argument' >&2; exit 1\n"
    "    fi ;;\n"
    "esac\n";

// The stand-in records its whole command line as one line (a single
// O_APPEND write, so concurrent calls do not interleave) and exits with the
// status the test chose.
void Sandbox::write_standin(const std::string& name, int status) const {
  const std::string script =
      "#!/bin/sh\n"
      "# boardsim stand-in: records the call instead of touching the clock\n"
      "if [ $# -eq 0 ]; then line='" +
      name + "'; else line=\"" + name +
      " $*\"; fi\n"
      "printf '%s\\n' \"$line\" >> '" +
      standin_log() + "'\n" + (name == "date" ? DATE_BEFORE_1970_REFUSED : "") + "exit " +
      std::to_string(status) + "\n";
  const std::string path = dir("bin") + "/" + name;
  const std::string temp = path + ".new";
  write_whole_file(temp, script);
  if (chmod(temp.c_str(), 0755) != 0) fail("chmod " + temp);
  // rename keeps a run that executes the old script at that moment intact.
  if (rename(temp.c_str(), path.c_str()) != 0) fail("rename " + temp);
}

const std::vector<std::string>& Sandbox::host_nodes() {
  static const std::vector<std::string> nodes{"null",    "zero", "full", "random",
                                              "urandom", "tty",  "ptmx"};
  return nodes;
}

void make_dirs(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir " + part);
    if (slash == std::string::npos) break;
  }
}

void remove_tree(const std::string& path) {
  nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void write_whole_file(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("open " + path);
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int saved = errno;
      close(fd);
      errno = saved;
      fail("write " + path);
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) fail("close " + path);
}

bool read_whole_file(const std::string& path, std::string& content) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  content.clear();
  char buf[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    content.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

}  // namespace boardsim
