// The files a job names come from the user: the job files, the binary images
// and the boot record files. Any of them may turn out to be a FIFO, a socket
// or a device, which could block the open or a read for ever or never end.
// Each is therefore opened without waiting and taken only when it is a
// regular file; reads then block as usual.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kovrel.h"

int input_file_open(const char* name) {
  // O_NOCTTY: a terminal named by mistake must not become the controlling one.
  int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    log_error("cannot open <%s>\n", name);
    return -1;
  }
  // The 64-bit status call: the plain one fails on the 32-bit board for a
  // file whose size or inode number needs 64 bits.
  struct stat64 status = {};
  const bool known = fstat64(fd, &status) == 0;
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
