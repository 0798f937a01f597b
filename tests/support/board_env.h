// What the end-to-end tests need to know of the machine that runs them.
#pragma once

#include <unistd.h>

#include <cstdlib>

namespace test_support {

// The programs run through an emulator (the ARM build under qemu-arm).
inline bool programs_emulated() {
  const char* runner = std::getenv("BOARDSIM_RUNNER");
  return runner != nullptr && *runner != '\0';
}

inline bool running_as_root() { return geteuid() == 0; }

// How long a test waits for something a program does before it fails:
// generous, since the programs may run under qemu-arm and the sanitisers on
// a loaded machine.
constexpr double EVENT_DEADLINE_S = 30;

}  // namespace test_support
