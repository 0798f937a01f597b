#include "measured_run.h"

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

const char* const MEASURE_TAG = "MEASURE";

long status_kb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0) return std::strtol(line.c_str() + n + 1, nullptr, 10);
  }
  return -1;
}

long microseconds(const timeval& t) { return t.tv_sec * 1000000L + t.tv_usec; }

}  // namespace

int measure_child(char** argv) {
  pid_t pid = fork();
  if (pid < 0) return 127;
  if (pid == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execv(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  long hwm_kb = -1;
  bool options_set = false;
  for (;;) {
    if (wait4(pid, &status, 0, &usage) < 0) return 127;
    if (WIFEXITED(status) || WIFSIGNALED(status)) break;
    int deliver = 0;
    if (!options_set) {
      ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXIT));
      options_set = true;
    } else if ((status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      hwm_kb = status_kb(pid, "VmHWM:");
    } else if (WIFSTOPPED(status) && WSTOPSIG(status) != SIGTRAP) {
      deliver = WSTOPSIG(status);
    }
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
  }
  fprintf(stderr, "%s %ld %ld %ld\n", MEASURE_TAG, microseconds(usage.ru_utime),
          microseconds(usage.ru_stime), hwm_kb);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string self_path() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  return path;
}

Measured run_measured(boardsim::Board& board, const std::vector<std::string>& argv,
                      double timeout_s) {
  boardsim::Command command;
  command.argv = {self_path(), MEASURE_ROLE};
  command.argv.insert(command.argv.end(), argv.begin(), argv.end());
  command.timeout_s = timeout_s;
  const auto start = std::chrono::steady_clock::now();
  const boardsim::RunResult r = board.run(command);
  Measured m;
  m.wall_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  m.status = r.status;
  m.err = r.err;
  const size_t at = r.err.rfind(MEASURE_TAG);
  if (at != std::string::npos) {
    std::istringstream in(r.err.substr(at + std::strlen(MEASURE_TAG)));
    in >> m.user_us >> m.sys_us >> m.hwm_kb;
  }
  return m;
}

std::string firmware(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 16);
  }
  return bytes;
}

}  // namespace bench
