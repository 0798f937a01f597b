// coeffnotify: tells the Panel process, by SIGUSR2, each time the audio
// coefficients file is modified. Resident; ends only when it is killed.
//
// It runs as root beside files in the world-writable /tmp and hands two of
// them to the Panel's user, so neither is ever opened through a symbolic
// link: a link planted there would otherwise give any file on the board away.
// For the same reason it signals only a process named by a marker that the
// Panel's user or root wrote: SIGUSR2 ends a process that does not expect it.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>

#include "housekeeping.h"

namespace {

constexpr char PANEL_MARKER_PATH[] = "/tmp/Panel_init_done";
constexpr char COEFFS_PATH[] = "/tmp/audiocoeffs-file";
constexpr char NOTIFY_PATH[] = "/tmp/audiocoeffs-file-notify";

constexpr uid_t PANEL_USER = 1001;
constexpr gid_t PANEL_GROUP = 1001;
constexpr uid_t ROOT_USER = 0;
constexpr mode_t CREATE_MODE = 0666;  // less the file-creation mask
constexpr size_t EVENT_BUFFER_SIZE = 1024;
// A symbolic link in place of the coefficients file is watched as a link:
// the events of the file it names elsewhere are not the Panel's business.
constexpr uint32_t COEFFS_WATCH_MASK = IN_MODIFY | IN_DONT_FOLLOW;

// Process-wide state: the Panel's process ID, read once, and the watch.
int32_t panel_pid;
int coeffs_inotify = -1;
int coeffs_watch = -1;

// Whose marker names the process to signal: root's, the Panel user's, or
// that of the user this program runs as, who may signal that process anyway.
bool marker_owner_trusted(uid_t owner) {
  return owner == ROOT_USER || owner == PANEL_USER || owner == geteuid();
}

// Reads the Panel's process ID; -1 when the Panel is not (validly) there.
// The marker is read only as a regular file, not through a link, and only a
// bounded part of it: a FIFO would hold the program, a device feed it forever.
int panel_pid_load() {
  struct stat info {};
  const int marker = regular_file_open(PANEL_MARKER_PATH, O_NOFOLLOW, &info);
  if (marker < 0) {
    return -1;
  }
  const int result = marker_owner_trusted(info.st_uid) ? panel_marker_load(marker, &panel_pid) : -1;
  close(marker);
  return result;
}

// Gives a file just opened to the Panel's user; the result is not needed.
// Only a plain file with no other name, already root's or the Panel user's,
// is given: a hard link planted in /tmp would otherwise hand over the file it
// names elsewhere, and a file of another user is not ours to give.
void panel_file_chown(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
      (info.st_uid != ROOT_USER && info.st_uid != PANEL_USER)) {
    return;
  }
  if (fchown(fd, PANEL_USER, PANEL_GROUP) != 0) {
    // The Panel may then be unable to rewrite it; nothing else depends on it.
  }
}

// Creates the coefficients file when it is missing. An existing file, or a
// link in its place (the exclusive create refuses both), is left untouched.
void coeffs_file_create() {
  const int coeffs = open(COEFFS_PATH, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, CREATE_MODE);
  if (coeffs >= 0) {
    panel_file_chown(coeffs);
    close(coeffs);
  }
}

// Ends with the watch in place (0), or with its message and nothing open.
int coeffs_watch_start() {
  int result = -1;
  coeffs_inotify = inotify_init();
  if (coeffs_inotify < 0) {
    printf("inotify_init failed, aborting.\n");
  } else if ((coeffs_watch = inotify_add_watch(coeffs_inotify, COEFFS_PATH, COEFFS_WATCH_MASK)) <
             0) {
    printf("inotify_add_watch failed.\n");
    close(coeffs_inotify);
    coeffs_inotify = -1;
  } else {
    result = 0;
  }
  return result;
}

// One notification: the line (flushed, as the program never exits to flush
// it), the notification marker present and the Panel's, then the signal.
// A link in place of the marker is not opened, and the signal still goes.
// The open does not wait: a FIFO planted there would otherwise hold it until
// something read the FIFO, and with it every later notification.
void panel_notify() {
  printf("Sending AUDIOCOEFFSFILENOTIFY to Panel\n");
  fflush(stdout);
  const int notify =
      open(NOTIFY_PATH, O_WRONLY | O_CREAT | O_SYNC | O_NOFOLLOW | O_NONBLOCK, CREATE_MODE);
  if (notify >= 0) {
    panel_file_chown(notify);
    close(notify);
  }
  kill(panel_pid, SIGUSR2);
}

// Every successful read is one notification, however many events it held.
void coeffs_watch_loop() {
  alignas(struct inotify_event) char events[EVENT_BUFFER_SIZE];
  for (;;) {
    if (read(coeffs_inotify, events, sizeof events) > 0) {
      panel_notify();
    }
  }
}

}  // namespace

int main() {
  // A console that is a closed pipe loses the lines, not the signals.
  signal(SIGPIPE, SIG_IGN);
  if (panel_pid_load() != 0) {
    printf("Panel not running. Aborting.\n");
    return 0;
  }
  coeffs_file_create();
  if (coeffs_watch_start() != 0) {
    return 0;
  }
  coeffs_watch_loop();
  return 0;
}
