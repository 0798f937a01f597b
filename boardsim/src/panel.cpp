#include "panel.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "sandbox.h"

namespace boardsim {

namespace {

constexpr const char* MARKER_PATH = "/tmp/Panel_init_done";

volatile sig_atomic_t usr2_count = 0;

void on_usr2(int) { usr2_count = usr2_count + 1; }

// Readers never see a half-written number: a new file replaces the old.
bool publish(const std::string& path, const std::string& text) {
  const std::string temp = path + ".new";
  try {
    write_whole_file(temp, text);
  } catch (...) {
    return false;
  }
  return rename(temp.c_str(), path.c_str()) == 0;
}

[[noreturn]] void panel_main(bool with_marker, const std::string& count_path,
                             const std::string& pid_path, int ready_fd) {
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    for (int fd = 0; fd < 3; ++fd) dup2(null_fd, fd);
    if (null_fd > 2) close(null_fd);
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  sigset_t usr2;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  sigset_t waiting;
  sigprocmask(SIG_BLOCK, &usr2, &waiting);
  sigdelset(&waiting, SIGUSR2);
  struct sigaction sa {};
  sa.sa_handler = on_usr2;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR2, &sa, nullptr);

  const std::string pid_text = std::to_string(getpid());
  bool ok = publish(pid_path, pid_text + "\n") && publish(count_path, "0\n");
  if (ok && with_marker) ok = publish(MARKER_PATH, "Panel " + pid_text + "\n");
  const char ready = ok ? 'R' : 'F';
  if (write(ready_fd, &ready, 1) != 1) _exit(1);
  close(ready_fd);
  int published = 0;
  for (;;) {
    // SIGUSR2 is taken only here, so no count is lost between the check
    // and the wait; signals arriving while the file is written stay pending.
    sigsuspend(&waiting);
    const int now = usr2_count;
    if (now != published && publish(count_path, std::to_string(now) + "\n")) published = now;
  }
}

}  // namespace

pid_t start_panel(bool with_marker, const std::string& count_path, const std::string& pid_path) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    panel_main(with_marker, count_path, pid_path, ready[1]);
  }
  close(ready[1]);
  char answer = 0;
  ssize_t n = 0;
  do {
    n = read(ready[0], &answer, 1);
  } while (n < 0 && errno == EINTR);
  close(ready[0]);
  if (pid > 0 && (n != 1 || answer != 'R')) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

int read_panel_number(const std::string& path) {
  std::string text;
  if (!read_whole_file(path, text) || text.empty()) return -1;
  char* end = nullptr;
  const long value = strtol(text.c_str(), &end, 10);
  return end == text.c_str() ? -1 : static_cast<int>(value);
}

}  // namespace boardsim
