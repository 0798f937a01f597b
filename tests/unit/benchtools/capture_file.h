// A temporary stdio stream whose whole content a test can read back.
#pragma once

#include <cstdio>
#include <string>

class CaptureFile {
 public:
  CaptureFile() : file_(tmpfile()) {}
  ~CaptureFile() {
    if (file_ != nullptr) fclose(file_);
  }
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

  FILE* get() const { return file_; }
  std::string text() const {
    std::string content;
    if (file_ == nullptr) return content;
    fflush(file_);
    rewind(file_);
    int c;
    while ((c = fgetc(file_)) != EOF) content.push_back(static_cast<char>(c));
    return content;
  }

 private:
  FILE* file_;
};
