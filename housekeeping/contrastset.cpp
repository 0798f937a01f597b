// contrastset: applies the saved display contrast through the display driver,
// then shows the start-up picture and issues the driver's follow-up request.
// Nothing it does on the frame buffer is checked: the start-up goes on with
// or without a display.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

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

}  // namespace

int main(void) {
  const int frame_buffer = open(FRAME_BUFFER_PATH, O_RDWR);
  int32_t level = contrast_level_load(SETTINGS_PATH);
  printf("Contrast: %d\n", static_cast<int>(level));
  if (frame_buffer >= 0) {
    ioctl(frame_buffer, FB_CONTRAST_REQUEST, &level);
    if (write(frame_buffer, boot_picture.data(), boot_picture.size()) !=
        static_cast<ssize_t>(boot_picture.size())) {
      // A display that takes less shows less; there is nothing to retry.
    }
    ioctl(frame_buffer, FB_FOLLOW_UP_REQUEST);
    close(frame_buffer);
  }
  return 0;
}
