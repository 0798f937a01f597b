// What a test can see of a running watcher from outside, through /proc, so
// that it waits for events instead of sleeping: the inotify descriptor and its
// watch, and whether the program sits in a blocking read of that descriptor.
// The same holds for a program run under qemu-arm: its descriptors and its
// blocking read are those of the emulator process.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/board_env.h"
#include "support/text.h"

namespace housekeeping_e2e {

using test_support::count_lines;
using test_support::EVENT_DEADLINE_S;
using test_support::running_as_root;

struct InotifyState {
  int fd = -1;                // the program's inotify descriptor, -1 when it has none
  bool watched = false;       // a watch is in place on it
  std::vector<ino_t> inodes;  // the watched files, one per watch
};

// Looks through the program's descriptors for an inotify instance; a watch
// shows as an "inotify wd:" line in the descriptor's fdinfo, with the inode
// number of its file in hexadecimal ("ino:").
inline InotifyState inotify_state(pid_t pid) {
  InotifyState state;
  const std::string dir_path = "/proc/" + std::to_string(pid) + "/fdinfo";
  DIR* dir = opendir(dir_path.c_str());
  if (dir == nullptr) return state;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string link_path = "/proc/" + std::to_string(pid) + "/fd/" + entry->d_name;
    char target[64] = {};
    const ssize_t n = readlink(link_path.c_str(), target, sizeof target - 1);
    if (n <= 0 || std::string(target, static_cast<size_t>(n)) != "anon_inode:inotify") continue;
    state.fd = atoi(entry->d_name);
    std::ifstream info(dir_path + "/" + entry->d_name);
    std::string line;
    while (std::getline(info, line)) {
      if (line.rfind("inotify wd:", 0) != 0) continue;
      state.watched = true;
      const size_t ino = line.find(" ino:");
      if (ino != std::string::npos) {
        state.inodes.push_back(static_cast<ino_t>(strtoull(line.c_str() + ino + 5, nullptr, 16)));
      }
    }
    break;
  }
  closedir(dir);
  return state;
}

// The process state letter from /proc/<pid>/stat ('S' sleeping, 'T' stopped).
inline char process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos || close_paren + 2 >= text.size()) return '?';
  return text[close_paren + 2];
}

// True when the program sleeps in read() on its inotify descriptor. Every
// event queued before this holds has then been read: a read with events
// queued does not sleep, and an event queued while it sleeps wakes it at once.
inline bool blocked_in_inotify_read(pid_t pid) {
  const InotifyState inotify = inotify_state(pid);
  if (inotify.fd < 0 || process_state(pid) != 'S') return false;
  std::ifstream syscall_file("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  std::string fd_text;
  if (!(syscall_file >> number >> fd_text)) return false;
  return number == SYS_read && strtol(fd_text.c_str(), nullptr, 16) == inotify.fd &&
         process_state(pid) == 'S';
}

// True when the program sleeps in a timed sleep (sleep() is clock_nanosleep
// in the C library; the emulator makes the same call for an ARM program).
inline bool in_timed_sleep(pid_t pid) {
  std::ifstream syscall_file("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  if (!(syscall_file >> number)) return false;
  return (number == SYS_clock_nanosleep || number == SYS_nanosleep) && process_state(pid) == 'S';
}

struct Ownership {
  bool exists = false;
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = 0;
  off_t size = 0;
  bool symlink = false;
};

inline Ownership ownership(const std::string& host_path) {
  Ownership o;
  struct stat st {};
  if (lstat(host_path.c_str(), &st) != 0) return o;
  o.exists = true;
  o.uid = st.st_uid;
  o.gid = st.st_gid;
  o.mode = st.st_mode & 07777;
  o.size = st.st_size;
  o.symlink = S_ISLNK(st.st_mode);
  return o;
}

// The inode number of a file on the host, 0 when there is none.
inline ino_t inode_of(const std::string& host_path) {
  struct stat st {};
  return stat(host_path.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace housekeeping_e2e
