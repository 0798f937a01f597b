// contrastset: applies the saved display contrast through the display driver,
// then shows the start-up picture and issues the driver's follow-up request.
// Nothing it does on the frame buffer is checked: the start-up goes on with
// or without a display. Nor does it wait on the display: a frame buffer that
// does not take the picture within a bounded time is left as it is, since
// the start-up after this step (the Panel's signals among it) must not stop.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>

#include "boot_picture.h"
#include "housekeeping.h"

namespace {

constexpr char FRAME_BUFFER_PATH[] = "/dev/fb0";
constexpr char SETTINGS_PATH[] = "/home/organ/actual_state/global_set";

// Private requests of the display driver, of type 'g': the contrast (number
// 6, the 32-bit level written to the driver) and the follow-up (number 4, no
// data). The numbers are the driver's; the encoding must not drift from them.
constexpr char FB_REQUEST_TYPE = 'g';
constexpr unsigned long FB_CONTRAST_REQUEST = _IOW(FB_REQUEST_TYPE, 6, int32_t);
constexpr unsigned long FB_FOLLOW_UP_REQUEST = _IO(FB_REQUEST_TYPE, 4);
static_assert(FB_CONTRAST_REQUEST == 0x40046706, "the driver's contrast request number");
static_assert(FB_FOLLOW_UP_REQUEST == 0x6704, "the driver's follow-up request number");

// How long the picture may take to go into a frame buffer that is not ready:
// a real one takes it at once; 20 waits of 50 ms are a second at most.
constexpr int FB_WRITE_WAIT_MS = 50;
constexpr int FB_WRITE_WAITS = 20;

// The frame buffer, opened without waiting. A character device is the
// display (the board's) and a regular file stands in for one; anything else
// in its place (a FIFO nobody reads) is no display. -1 when there is none.
int frame_buffer_open() {
  const int fd = open(FRAME_BUFFER_PATH, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !(S_ISCHR(info.st_mode) || S_ISREG(info.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

// One write of the picture; what a busy device does not take is offered
// again for a bounded time (an interrupted or refused write, a part taken).
void picture_write(int frame_buffer) {
  size_t done = 0;
  int waits = 0;
  while (done < boot_picture.size()) {
    const ssize_t written =
        write(frame_buffer, boot_picture.data() + done, boot_picture.size() - done);
    if (written > 0) {
      done += static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if ((written == 0 || errno == EAGAIN || errno == EWOULDBLOCK) && waits < FB_WRITE_WAITS) {
      ++waits;
      struct pollfd ready = {frame_buffer, POLLOUT, 0};
      (void)poll(&ready, 1, FB_WRITE_WAIT_MS);
      continue;
    }
    return;  // a display that takes less shows less
  }
}

}  // namespace

int main(void) {
  // A console closed under it (a pipe nobody reads) must not end the run
  // with SIGPIPE: the level is still applied and the status is 0.
  signal(SIGPIPE, SIG_IGN);
  const int frame_buffer = frame_buffer_open();
  int32_t level = contrast_level_load(SETTINGS_PATH);
  printf("Contrast: %d\n", static_cast<int>(level));
  // Out before the display is touched: a display that holds the program
  // must not take the line with it.
  fflush(stdout);
  if (frame_buffer >= 0) {
    ioctl(frame_buffer, FB_CONTRAST_REQUEST, &level);
    picture_write(frame_buffer);
    ioctl(frame_buffer, FB_FOLLOW_UP_REQUEST);
    close(frame_buffer);
  }
  return 0;
}
