// A temporary stdio stream: a job file holding a given text for a reader, or
// an output whose whole content the test reads back.
#pragma once

#include <cstdio>
#include <string>

namespace test_support {

class ScratchFile {
 public:
  explicit ScratchFile(const std::string& text = "") : file_(tmpfile()) {
    if (file_ == nullptr) return;
    fwrite(text.data(), 1, text.size(), file_);
    rewind(file_);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile() {
    if (file_ != nullptr) fclose(file_);
  }

  FILE* get() const { return file_; }

  // Everything the stream holds, from its start.
  std::string text() const {
    std::string content;
    if (file_ == nullptr) return content;
    fflush(file_);
    rewind(file_);
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, file_)) > 0) content.append(chunk, got);
    return content;
  }

 private:
  FILE* file_;
};

}  // namespace test_support
