#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

constexpr mode_t OUTPUT_MODE = 0666;  // less the umask, as for any file a user creates
constexpr int OPEN_FLAGS = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The status of the directory that holds path's last name; false when it
// cannot be had (the open that follows then fails on its own).
bool parent_status(const char* path, struct stat* info) {
  char dir[PATH_MAX];
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) {
    dir[0] = '.';
    dir[1] = '\0';
  } else {
    size_t length = static_cast<size_t>(slash - path);
    if (length == 0) length = 1;  // "/name": the root
    if (length >= sizeof dir) return false;
    memcpy(dir, path, length);
    dir[length] = '\0';
  }
  return stat(dir, info) == 0 && S_ISDIR(info->st_mode);
}

bool shared_directory(const struct stat& dir) {
  return (dir.st_mode & S_ISVTX) != 0 && (dir.st_mode & S_IWOTH) != 0;
}

bool trusted_owner(uid_t owner, const struct stat& dir) {
  return owner == geteuid() || owner == dir.st_uid;
}

bool kind_wanted(mode_t mode, OutputKind kind) {
  return S_ISREG(mode) || (kind == OutputKind::RegularFileOrDevice && S_ISCHR(mode));
}

// Every directory on the way to path's last name: a symbolic link among
// them that sits in a sticky directory everyone may write to is followed
// only when it is this user's or that directory's owner's (a link planted
// as /tmp/bench -> /etc must not take "/tmp/bench/shadow" there).
bool way_trusted(const char* path) {
  char prefix[PATH_MAX];
  const size_t length = strlen(path);
  if (length >= sizeof prefix) return true;  // the open fails on its own
  memcpy(prefix, path, length + 1);
  char* const last = strrchr(prefix, '/');
  for (char* p = prefix + 1; last != nullptr && p <= last; ++p) {
    if (*p != '/' || p[-1] == '/') continue;
    *p = '\0';
    struct stat link {};
    struct stat dir {};
    const bool planted = lstat(prefix, &link) == 0 && S_ISLNK(link.st_mode) &&
                         parent_status(prefix, &dir) && shared_directory(dir) &&
                         !trusted_owner(link.st_uid, dir);
    *p = '/';
    if (planted) return false;
  }
  return true;
}

int refuse(int fd, int error) {
  if (fd >= 0) close(fd);
  errno = error;
  return -1;
}

}  // namespace

int output_file_open(const char* path, bool truncate, OutputKind kind) {
  if (!way_trusted(path)) return refuse(-1, EACCES);
  struct stat dir {};
  const bool shared = parent_status(path, &dir) && shared_directory(dir);
  int follow = O_NOFOLLOW;
  struct stat name {};
  if (lstat(path, &name) == 0 && S_ISLNK(name.st_mode)) {
    if (shared && !trusted_owner(name.st_uid, dir)) return refuse(-1, EACCES);
    // Only its owner or the directory's may replace a link in a sticky
    // directory, so the one looked at is the one followed.
    follow = 0;
  }
  // An existing name first, so that a file made here is told from one that
  // was there; without following a link that was not looked at (ELOOP).
  bool created = false;
  int fd = open(path, OPEN_FLAGS | follow);
  if (fd < 0 && errno == ENOENT) {
    fd = open(path, OPEN_FLAGS | O_CREAT | O_EXCL, OUTPUT_MODE);
    created = fd >= 0;
  }
  if (fd < 0) return -1;
  struct stat file {};
  if (fstat(fd, &file) != 0) return refuse(fd, errno);
  if (!kind_wanted(file.st_mode, kind)) return refuse(fd, EINVAL);
  if (!created && follow != 0 && shared && S_ISREG(file.st_mode) &&
      (!trusted_owner(file.st_uid, dir) || file.st_nlink > 1)) {
    return refuse(fd, EACCES);
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return refuse(fd, errno);
  if (truncate && !created && S_ISREG(file.st_mode) && ftruncate(fd, 0) != 0) {
    return refuse(fd, errno);
  }
  return fd;
}
