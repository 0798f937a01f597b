// contrastset: applies the saved display contrast through the display driver,
// then shows the start-up picture and issues the driver's follow-up request.
// Nothing it does on the frame buffer is checked: the start-up goes on with
// or without a display.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "boot_picture.h"
#include "housekeeping.h"

namespace {

constexpr char FRAME_BUFFER_PATH[] = "/dev/fb0";
constexpr char SETTINGS_PATH[] = "/home/organ/actual_state/global_set";

// Private requests of the display driver: contrast (a 4-byte argument
// written, type 'g', number 6) and the follow-up (no data, 'g', number 4).
constexpr unsigned long FB_CONTRAST_REQUEST = 0x40046706;
constexpr unsigned long FB_FOLLOW_UP_REQUEST = 0x6704;

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
