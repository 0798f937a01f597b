// The files a job names come from the user: the job files, the binary images
// and the boot record files. Any of them may turn out to be a FIFO, a socket
// or a device. Each is therefore opened without waiting, so that a FIFO with
// no writer cannot hold the open; reads then block as usual. A job file is
// read line by line to its end, so a pipe, a FIFO or a device serves as well
// as a file (`-u <(make_job)`, `-s /dev/null`); only a directory is refused.
// A binary image and a br file must be regular files: an image's size is
// taken before it is sent, and a br file is read twice, once to check it and
// once to send it. Both executors read their binary images through the size
// and read routines here.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "kovrel.h"

static_assert(sizeof(off_t) == 8, "64-bit file offsets (_FILE_OFFSET_BITS=64)");

namespace {

constexpr uint64_t ADDRESS_SPACE_END = UINT64_C(1) << 32;  // one past 0xFFFFFFFF

}  // namespace

int input_file_open(const char* name, InputKind kind) {
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
  const bool refused =
      kind == InputKind::REGULAR ? !S_ISREG(status.st_mode) : S_ISDIR(status.st_mode);
  if (known && refused) {
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

FILE* input_file_fopen(const char* name, InputKind kind) {
  int fd = input_file_open(name, kind);
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

int download_range_check(uint32_t address, uint64_t size, const char* name) {
  if (size > ADDRESS_SPACE_END - address) {
    log_error("<%s> of %llu bytes from address %08X passes address FFFFFFFF\n", name,
              static_cast<unsigned long long>(size), static_cast<unsigned>(address));
    return -1;
  }
  return 0;
}
