// Collects what the code under test prints on standard output, by pointing
// descriptor 1 at a scratch file for the capture's lifetime.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

class StdoutCapture {
 public:
  StdoutCapture() : file_(tmpfile()) {
    fflush(stdout);
    if (file_ != nullptr) {
      saved_ = dup(STDOUT_FILENO);
      dup2(fileno(file_), STDOUT_FILENO);
    }
  }
  ~StdoutCapture() {
    restore();
    if (file_ != nullptr) {
      fclose(file_);
    }
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Ends the capture and returns everything printed during it.
  std::string text() {
    restore();
    std::string out;
    if (file_ == nullptr) {
      return "<no scratch file for the capture>";
    }
    rewind(file_);
    char chunk[256];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, file_)) > 0) {
      out.append(chunk, got);
    }
    return out;
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      fflush(stdout);
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
      saved_ = -1;
    }
  }
  FILE* file_;
  int saved_ = -1;
};
