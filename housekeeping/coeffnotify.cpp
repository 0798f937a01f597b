// coeffnotify: tells the Panel process, by SIGUSR2, each time the audio
// coefficients file is modified. Resident; ends only when it is killed.
//
// It runs as root beside files in the world-writable /tmp and hands two of
// them to the Panel's user, so neither is ever opened through a symbolic
// link: a link planted there would otherwise give any file on the board away.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "housekeeping.h"

namespace {

constexpr char PANEL_MARKER_PATH[] = "/tmp/Panel_init_done";
constexpr char COEFFS_PATH[] = "/tmp/audiocoeffs-file";
constexpr char NOTIFY_PATH[] = "/tmp/audiocoeffs-file-notify";

constexpr uid_t PANEL_USER = 1001;
constexpr gid_t PANEL_GROUP = 1001;
constexpr mode_t CREATE_MODE = 0666;  // less the file-creation mask
constexpr size_t EVENT_BUFFER_SIZE = 1024;

}  // namespace

// Process-wide state: the Panel's process ID, read once, and the watch.
static int32_t panel_pid;
static int coeffs_inotify = -1;
static int coeffs_watch = -1;

// Reads the Panel's process ID; -1 when the Panel is not (validly) there.
static int panel_pid_load(void) {
  FILE* marker = fopen(PANEL_MARKER_PATH, "r");
  if (marker == nullptr) {
    return -1;
  }
  const int result = panel_marker_read(marker, &panel_pid);
  fclose(marker);
  return result;
}

// Gives a file just opened to the Panel's user; the result is not needed.
// Only a plain file with no other name is given: a hard link planted in /tmp
// would otherwise hand over the file it names elsewhere on the file system.
static void panel_file_chown(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
    return;
  }
  if (fchown(fd, PANEL_USER, PANEL_GROUP) != 0) {
    // The Panel may then be unable to rewrite it; nothing else depends on it.
  }
}

// Creates the coefficients file when it is missing. An existing file, or a
// link in its place (the exclusive create refuses both), is left untouched.
static void coeffs_file_create(void) {
  const int coeffs = open(COEFFS_PATH, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, CREATE_MODE);
  if (coeffs >= 0) {
    panel_file_chown(coeffs);
    close(coeffs);
  }
}

// Ends with the watch in place (0), or with its message and nothing open.
static int coeffs_watch_start(void) {
  int result = -1;
  coeffs_inotify = inotify_init();
  if (coeffs_inotify < 0) {
    printf("inotify_init failed, aborting.\n");
  } else if ((coeffs_watch = inotify_add_watch(coeffs_inotify, COEFFS_PATH, IN_MODIFY)) < 0) {
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
static void panel_notify(void) {
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
static void coeffs_watch_loop(void) {
  alignas(struct inotify_event) char events[EVENT_BUFFER_SIZE];
  for (;;) {
    if (read(coeffs_inotify, events, sizeof events) > 0) {
      panel_notify();
    }
  }
}

int main(void) {
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
