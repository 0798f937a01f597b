// What the end-to-end tests need to know of the machine that runs them.
#pragma once

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

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

// The boardsim command of this build, beside the test executable.
inline std::string boardsim_cli_path() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "boardsim";
  self[n] = '\0';
  const std::string dir(self);
  return dir.substr(0, dir.rfind('/')) + "/boardsim";
}

}  // namespace test_support
