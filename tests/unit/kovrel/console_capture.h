// Test support: catches what the code under test writes to standard output
// or standard error (file descriptor level, so unbuffered stdio and plain
// write() are caught alike), and gives a job reader a text as its job file.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

class FdCapture {
 public:
  explicit FdCapture(int fd) : fd_(fd) {
    fflush(nullptr);
    file_ = tmpfile();
    saved_ = dup(fd_);
    if (file_ != nullptr) dup2(fileno(file_), fd_);
  }
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;
  ~FdCapture() {
    restore();
    if (file_ != nullptr) fclose(file_);
  }

  // Everything written since the capture began; the capture ends here.
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
  void restore() {
    if (saved_ < 0) return;
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }

  int fd_;
  int saved_ = -1;
  FILE* file_ = nullptr;
};

// A job file holding `text`, read through stdio like the real one.
class JobText {
 public:
  explicit JobText(const std::string& text) : file_(tmpfile()) {
    if (file_ != nullptr) {
      fwrite(text.data(), 1, text.size(), file_);
      rewind(file_);
    }
  }
  JobText(const JobText&) = delete;
  JobText& operator=(const JobText&) = delete;
  ~JobText() {
    if (file_ != nullptr) fclose(file_);
  }
  FILE* get() const { return file_; }

 private:
  FILE* file_;
};

// The exact text of one log_error report of `message`.
inline std::string error_report(const std::string& message) {
  return "\nERROR : " + message + "\n";
}

inline const std::string& rule_80() {
  static const std::string rule(80, '-');
  return rule;
}

// A text as a test-case label: line ends and other control characters
// escaped, long runs shortened, so that case names stay on one line.
inline std::string printable(const std::string& text) {
  constexpr size_t LABEL_MAX = 48;
  if (text.size() > LABEL_MAX) return "<" + std::to_string(text.size()) + " chars>";
  std::string label;
  for (char c : text) {
    if (c == '\n') {
      label += "\\n";
    } else if (c == '\r') {
      label += "\\r";
    } else if (c == '\t') {
      label += "\\t";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      label += "\\x" + std::to_string(static_cast<unsigned char>(c));
    } else {
      label += c;
    }
  }
  return label;
}
