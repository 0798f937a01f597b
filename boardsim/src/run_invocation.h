// What a command executes on the board, and with which environment.
#pragma once

#include <string>
#include <vector>

#include "boardsim/types.h"
#include "sandbox.h"

namespace boardsim {

// The argument vector and the complete environment of a run of command on
// the board whose sandbox is given. Throws std::runtime_error when the
// shim's directory cannot be made.
void resolve_command(const Command& command, const Sandbox& sandbox, std::vector<std::string>& argv,
                     std::vector<std::string>& env);

}  // namespace boardsim
