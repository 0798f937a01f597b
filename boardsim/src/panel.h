// The Panel stand-in: the board's front-panel application as the
// housekeeping programs see it, a process that takes SIGUSR2 and, when asked,
// announces itself in /tmp/Panel_init_done.
#pragma once

#include <sys/types.h>

#include <string>

namespace boardsim {

// Forks the stand-in and returns its PID once its SIGUSR2 handler is in
// place and its files are written (-1 on failure). The count of signals
// received is kept in count_path (replaced whole at every change), its PID as
// its own namespace sees it in pid_path.
pid_t start_panel(bool with_marker, const std::string& count_path, const std::string& pid_path);

// What the stand-in recorded; -1 when nothing is there (yet).
int read_panel_number(const std::string& path);

}  // namespace boardsim
