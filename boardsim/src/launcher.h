// Starting a command on the board: everything the forked child does before
// the program runs (namespaces, the mounts that put the sandbox over the
// board's fixed paths, the optional PID namespace with its init and the Panel
// stand-in). The plan is built in the simulator before the fork, so the child
// only executes it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "boardsim/types.h"

namespace boardsim {

class Sandbox;

struct MountStep {
  // ReadOnly: the bind at target made read-only.
  enum class Kind { Bind, RecursiveBind, Tmpfs, Mkdir, ReadOnly };
  Kind kind;
  std::string source;  // what a bind mounts
  std::string target;
};

struct LaunchPlan {
  std::vector<std::string> argv;  // what is executed (runner prefix included)
  std::vector<std::string> env;   // the complete environment
  std::string cwd;                // "" = inherited
  std::vector<MountStep> mounts;
  bool user_namespace = false;  // not root: mounts need a user namespace
  uid_t uid = 0;
  gid_t gid = 0;
  bool pid_namespace = false;
  Panel panel = Panel::None;
  std::string panel_count_path;  // the stand-in's SIGUSR2 count
  std::string panel_pid_path;    // its PID as its namespace sees it
  // Child ends of the standard streams; -1 keeps the caller's.
  int stdin_fd = -1;
  int stdout_fd = -1;
  int stderr_fd = -1;
  int info_fd = -1;         // write end: the supervisor reports the program's PID here
  bool foreground = false;  // take over the caller's terminal (the boardsim command)
  bool core_dumps = true;   // false: a crash of the program writes no core file
};

// Makes process group pgrp the foreground of the terminal on descriptor 0,
// so that the program may read it and gets the keyboard's signals.
void take_terminal(pid_t pgrp);

// The mounts of a run: sandbox /dev (with the host's ordinary nodes and the
// pty slaves as ttyS<n>), /tmp, /home/organ, the RTC attribute directory and
// the stand-ins over the real date and hwclock.
// Host directories the run needs that lie under /tmp or /home (a checkout or
// build tree there) are mounted back at their own paths, so the overmounts do
// not hide the program, its shim, its arguments or its working directory;
// only those directories, not what lies beside them.
std::vector<MountStep> board_mounts(const Sandbox& sandbox,
                                    const std::vector<std::string>& tty_slaves,
                                    const std::vector<std::string>& host_paths_used,
                                    const std::vector<std::string>& read_only_paths = {});

// The host directories a run uses (working directory, absolute paths among
// its arguments and preloads) that the overmounts of /tmp and /home would
// hide: a path that names a directory gives that directory, any other path
// the directory that holds it; never /tmp or /home itself, nor anything of
// /home/organ. A directory inside another one listed is left out.
std::vector<std::string> hidden_host_dirs(const std::vector<std::string>& paths);

// Runs in the forked child; never returns. Exit status 125 when the board
// cannot be set up, 127 when the program cannot be executed.
[[noreturn]] void launch_child(LaunchPlan plan);

// Whether the supervisor (an init of its own, or the Panel) stands between
// the simulator's child and the program.
bool plan_supervised(const LaunchPlan& plan);

}  // namespace boardsim
