// The files a job names come from the user: the job files, the binary images
// and the boot record files. Any of them may turn out to be a FIFO, a socket
// or a device, which could block the open or a read for ever or never end.
// Each is therefore opened without waiting and taken only when it is a
// regular file; reads then block as usual. Both executors read their binary
// images through the size and read routines here.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "kovrel.h"

static_assert(sizeof(off_t) == 8, "64-bit file offsets (_FILE_OFFSET_BITS=64)");

int input_file_open(const char* name) {
  // O_NOCTTY: a terminal named by mistake must not become the controlling one.
  int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    log_error("cannot open <%s>\n", name);
    return -1;
  }
  // Built with 64-bit file offsets, the status call does not fail on the
  // 32-bit board for a file whose size or inode number needs 64 bits.
  struct stat status = {};
  const bool known = fstat(fd, &status) == 0;
  if (known && !S_ISREG(status.st_mode)) {
    close(fd);
    log_error("<%s> is not a regular file\n", name);
    return -1;
  }
  int flags = known ? fcntl(fd, F_GETFL) : -1;
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    log_error("cannot open <%s>\n", name);
    return -1;
  }
  return fd;
}

FILE* input_file_fopen(const char* name) {
  int fd = input_file_open(name);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "r");
  if (file == nullptr) {
    close(fd);
    log_error("cannot open <%s>\n", name);
  }
  return file;
}

int64_t input_file_size(int fd, const char* name) {
  // 64-bit file offsets, as for the open: the size of a large file must not
  // fail on the 32-bit board.
  struct stat status = {};
  if (fstat(fd, &status) != 0 || status.st_size < 0) {
    log_error("cannot read <%s>\n", name);
    return -1;
  }
  return static_cast<int64_t>(status.st_size);
}

long input_file_read(int fd, void* buffer, size_t size, const char* name) {
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, bytes + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      log_error("cannot read <%s>\n", name);
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<long>(got);
}
