// Opening a file that other programs write, in places anyone may write to.
// The open never waits: a FIFO in the file's place would hold the program
// until something wrote to it, and a device could feed it without end. What
// is not a regular file counts as a file that is not there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "housekeeping.h"

int regular_file_open(const char* path, int flags, struct stat* info) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags);
  if (fd < 0) {
    return -1;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return -1;
  }
  if (info != nullptr) {
    *info = status;
  }
  return fd;
}

FILE* regular_file_stream(const char* path) {
  const int fd = regular_file_open(path, 0, nullptr);
  if (fd < 0) {
    return nullptr;
  }
  FILE* stream = fdopen(fd, "r");
  if (stream == nullptr) {
    close(fd);
  }
  return stream;
}
