// What the simulator reads from the host's /proc: which host process a run's
// program is, once only its PID inside the run's PID namespace is known.
#include "proc_fs.h"

#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace boardsim {

namespace {

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

}  // namespace boardsim
