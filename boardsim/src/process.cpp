#include <dirent.h>
#include <signal.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "board_impl.h"
#include "panel.h"

namespace boardsim {

namespace {

constexpr double KILL_COLLECT_S = 10;

// Reads one field of a /proc/<pid>/status file ("" when absent).
std::string status_field(const std::string& pid, const std::string& field) {
  std::ifstream in("/proc/" + pid + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) return line.substr(field.size() + 1);
  }
  return "";
}

pid_t process_group_of(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string stat;
  std::getline(in, stat);
  const size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return -1;
  std::istringstream rest(stat.substr(close_paren + 1));
  std::string state;
  long ppid = 0;
  long pgrp = 0;
  rest >> state >> ppid >> pgrp;
  return static_cast<pid_t>(pgrp);
}

}  // namespace

pid_t find_host_pid(pid_t inner, pid_t group) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  const std::string wanted = std::to_string(inner);
  pid_t found = -1;
  while (dirent* d = readdir(proc)) {
    const std::string pid = d->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::istringstream ids(status_field(pid, "NSpid"));
    std::vector<std::string> nspids;
    for (std::string id; ids >> id;) nspids.push_back(id);
    if (nspids.size() < 2 || nspids.back() != wanted || process_group_of(pid) != group) continue;
    found = static_cast<pid_t>(std::stol(nspids.front()));
    break;
  }
  closedir(proc);
  return found;
}

Process::Process(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Process::~Process() {
  if (!impl_->settled()) kill(SIGKILL);
}

pid_t Process::pid() const {
  RunState& run = *impl_->run;
  if (run.program <= 0 && !impl_->settled()) {
    impl_->board->find_program_pid(run, deadline_after(KILL_COLLECT_S));
  }
  return run.program;
}

bool Process::wait_until(const std::function<bool()>& pred, double timeout_s) {
  if (impl_->settled()) return pred();
  return impl_->board->pump(pred, deadline_after(timeout_s));
}

bool Process::running() {
  if (impl_->settled()) return false;
  impl_->board->drain();
  return !impl_->run->exited;
}

RunResult Process::wait(double timeout_s) {
  if (!impl_->settled()) {
    impl_->result = impl_->board->finish(impl_->run, deadline_after(timeout_s));
    impl_->collected = true;
  }
  return impl_->result;
}

RunResult Process::kill(int sig) {
  if (!impl_->settled()) {
    RunState& run = *impl_->run;
    if (!run.exited) {
      const pid_t target = pid();
      if (target > 0) {
        ::kill(target, sig);
      } else {
        impl_->board->kill_run(run, sig);
      }
    }
    return wait(KILL_COLLECT_S);
  }
  return impl_->result;
}

int Process::panel_signals() const {
  const int count = read_panel_number(impl_->run->panel_count_path);
  return count < 0 ? 0 : count;
}

pid_t Process::panel_pid() const { return read_panel_number(impl_->run->panel_pid_path); }

std::string Process::out_so_far() const {
  return impl_->settled() ? impl_->result.out : impl_->run->result.out;
}

}  // namespace boardsim
