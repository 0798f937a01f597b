// The host's /proc as the simulator reads it.
#pragma once

#include <sys/types.h>

namespace boardsim {

// The host PID of the process of group `group` whose innermost namespace
// PID is `inner` (-1 when there is none).
pid_t find_host_pid(pid_t inner, pid_t group);

}  // namespace boardsim
