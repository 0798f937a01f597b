// Points one of the test's own descriptors (standard output or standard
// error) elsewhere for the object's lifetime:
// - at a scratch file, whose text take() returns: the redirection is at the
//   descriptor, so unbuffered stdio and plain write() are caught alike;
// - or at a descriptor the test chose (a pipe nobody reads, /dev/full), so
//   that a command started meanwhile with passthrough_stdio, which hands the
//   test's streams to the child, writes there. Nothing may print in between.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace test_support {

class OutputCapture {
 public:
  // Catches what is written on `fd`.
  explicit OutputCapture(int fd = STDOUT_FILENO) : fd_(fd), file_(tmpfile()) {
    if (file_ != nullptr) redirect(fileno(file_));
  }
  // Sends what is written on `fd` to `target` instead; take() gives "".
  OutputCapture(int fd, int target) : fd_(fd) { redirect(target); }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  ~OutputCapture() {
    restore();
    if (file_ != nullptr) fclose(file_);
  }

  // The descriptor was pointed where it was asked to.
  bool ok() const { return redirected_; }

  // Everything caught since the capture began; the capture ends here.
  std::string take() {
    restore();
    std::string text;
    if (file_ == nullptr) return text;
    rewind(file_);
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, file_)) > 0) text.append(chunk, got);
    return text;
  }

 private:
  void redirect(int target) {
    fflush(nullptr);
    // Kept above the standard three and closed on exec, so that a command
    // started meanwhile inherits the redirected descriptor only.
    saved_ = fcntl(fd_, F_DUPFD_CLOEXEC, 3);
    redirected_ = saved_ >= 0 && dup2(target, fd_) == fd_;
  }

  void restore() {
    if (saved_ < 0) return;
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }

  int fd_;
  FILE* file_ = nullptr;
  int saved_ = -1;
  bool redirected_ = false;
};

}  // namespace test_support
