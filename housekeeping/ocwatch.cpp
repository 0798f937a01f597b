// ocwatch: returns (status 0) once the system log reports an over-current.
// Each batch of log writes is answered by one full scan of the log a second
// later, so the lines of a burst are all in place when it is read.
#include <sys/inotify.h>
#include <unistd.h>

#include "housekeeping.h"

namespace {

constexpr char LOG_PATH[] = "/tmp/messages";
constexpr char OVERCURRENT_TEXT[] = "50 over-current";
constexpr size_t EVENT_BUFFER_SIZE = 1024;
constexpr unsigned SCAN_DELAY_S = 1;  // after each batch of events

}  // namespace

// Process-wide state: the watch on the log.
static int log_inotify = -1;
static int log_watch = -1;

// Blocks until the log has been modified; a failed read is tried again.
static void log_change_wait(void) {
  alignas(struct inotify_event) char events[EVENT_BUFFER_SIZE];
  while (read(log_inotify, events, sizeof events) <= 0) {
  }
}

int main(void) {
  if (log_scan(LOG_PATH, OVERCURRENT_TEXT) == 1) {
    return 0;
  }
  log_inotify = inotify_init();
  if (log_inotify < 0) {
    printf("inotify_init failed, aborting.\n");
    return -1;
  }
  // Without a watch no event comes and the program waits for ever, which is
  // all it could do without a log anyway.
  log_watch = inotify_add_watch(log_inotify, LOG_PATH, IN_MODIFY);
  do {
    log_change_wait();
    sleep(SCAN_DELAY_S);
  } while (log_scan(LOG_PATH, OVERCURRENT_TEXT) != 1);
  inotify_rm_watch(log_inotify, log_watch);
  close(log_inotify);
  return 0;
}
