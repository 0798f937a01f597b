// ocwatch: returns (status 0) once the system log reports an over-current.
// Each batch of log writes is answered by one full scan of the log a second
// later, so the lines of a burst are all in place when it is read.
//
// The watch follows the file that is the log now: a logger that rotates it
// (renames or deletes it and starts a new one) moves the watch to the new
// file, and while there is no log at all the watch is tried again each
// second. Every time a watch is set, the log is scanned once more, since a
// report written before the watch raised no event for it.
//
// What is at the log's name but no regular file (a FIFO, a link to a
// device) counts as no log: a watch on it would sit on a node the logger
// never writes (/dev/zero's), and the real log that later takes the name
// would go unseen. The name is looked at again each second instead.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "housekeeping.h"

namespace {

constexpr char LOG_PATH[] = "/tmp/messages";
constexpr char OVERCURRENT_TEXT[] = "50 over-current";
constexpr size_t EVENT_BUFFER_SIZE = 1024;
constexpr unsigned SCAN_DELAY_S = 1;   // after each batch of events
constexpr unsigned WATCH_RETRY_S = 1;  // between tries while there is no log
// Writes, and what ends the file's time as the log: moved away, deleted, or
// its last name taken (a link count change shows as an attribute change).
constexpr uint32_t LOG_WATCH_MASK = IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;

// Process-wide state: the watch on the log.
int log_inotify = -1;
int log_watch = -1;

// Blocks until the log has been modified or replaced; a failed read is tried
// again.
void log_change_wait() {
  alignas(struct inotify_event) char events[EVENT_BUFFER_SIZE];
  while (read(log_inotify, events, sizeof events) <= 0) {
  }
}

// Whether the log's name now names a regular file (through a link too).
bool log_is_regular() {
  struct stat info {};
  return stat(LOG_PATH, &info) == 0 && S_ISREG(info.st_mode);
}

void log_watch_drop() {
  if (log_watch >= 0) {
    inotify_rm_watch(log_inotify, log_watch);
    log_watch = -1;
  }
}

// Ends with the watch on the regular file now named by the log path. Adding
// a watch on a file already watched gives its watch back, so a new watch
// means a new file: the old one's watch goes, and writes to the rotated file
// cost nothing. The kind is looked at once the watch is set, so that a log
// that takes the name after the look still raises an event.
void log_watch_follow() {
  for (;;) {
    const int watch = inotify_add_watch(log_inotify, LOG_PATH, LOG_WATCH_MASK);
    if (watch >= 0 && log_is_regular()) {
      if (log_watch >= 0 && log_watch != watch) {
        inotify_rm_watch(log_inotify, log_watch);
      }
      log_watch = watch;
      return;
    }
    if (watch >= 0 && watch != log_watch) {
      inotify_rm_watch(log_inotify, watch);
    }
    log_watch_drop();
    sleep(WATCH_RETRY_S);
  }
}

}  // namespace

int main() {
  if (log_scan(LOG_PATH, OVERCURRENT_TEXT) == 1) {
    return 0;
  }
  log_inotify = inotify_init();
  if (log_inotify < 0) {
    printf("inotify_init failed, aborting.\n");
    return -1;
  }
  log_watch_follow();
  while (log_scan(LOG_PATH, OVERCURRENT_TEXT) != 1) {
    log_change_wait();
    sleep(SCAN_DELAY_S);
    log_watch_follow();
  }
  inotify_rm_watch(log_inotify, log_watch);
  close(log_inotify);
  return 0;
}
