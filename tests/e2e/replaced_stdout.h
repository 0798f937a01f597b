// For a command whose standard output is not the simulator's capture pipe
// but a descriptor the test chose (a pipe nobody reads, /dev/full): while one
// of these lives, the test's own descriptor 1 is that descriptor, so a
// command started then with passthrough_stdio, which hands the caller's
// streams to the child, writes there. Nothing may print in between.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace e2e {

class ReplacedStdout {
 public:
  explicit ReplacedStdout(int fd) {
    fflush(stdout);
    saved_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    replaced_ = saved_ >= 0 && dup2(fd, STDOUT_FILENO) == STDOUT_FILENO;
  }
  ~ReplacedStdout() {
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
    }
  }
  ReplacedStdout(const ReplacedStdout&) = delete;
  ReplacedStdout& operator=(const ReplacedStdout&) = delete;
  bool ok() const { return replaced_; }

 private:
  int saved_ = -1;
  bool replaced_ = false;
};

}  // namespace e2e
