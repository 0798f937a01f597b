// Running the test client board_client on a Board: a command whose steps are
// the system calls a board program makes (see clients/board_client.c).
#pragma once

#include <string>
#include <vector>

#include "boardsim/board.h"

namespace board_test {

inline boardsim::Command client(std::vector<std::string> steps) {
  boardsim::Command c;
  c.argv = {"board_client"};
  c.argv.insert(c.argv.end(), steps.begin(), steps.end());
  c.timeout_s = 60;
  return c;
}

}  // namespace board_test
