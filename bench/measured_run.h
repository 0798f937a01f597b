// What the benchmarks share: a program run on the simulated board under the
// benchmark's own binary in its --measure role, which starts the program as
// its traced child and reports the child's CPU time (wait4) and peak resident
// size (VmHWM read at its exit, not that of the forked copy), and the
// deterministic firmware images they download.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "boardsim/board.h"

namespace bench {

constexpr const char* MEASURE_ROLE = "--measure";

struct Measured {
  int status = -1;
  long user_us = -1;
  long sys_us = -1;
  long hwm_kb = -1;
  double wall_ms = 0;
  std::string err;  // the program's standard error
};

// The --measure role: runs argv[0] with its arguments, prints the figures on
// standard error, returns the program's exit status.
int measure_child(char** argv);

// Runs argv on the board through the --measure role of this binary.
Measured run_measured(boardsim::Board& board, const std::vector<std::string>& argv,
                      double timeout_s = 600);

std::string self_path();

// `size` pseudo-random bytes, the same on every machine for the same seed.
std::string firmware(size_t size, uint32_t seed);

}  // namespace bench
