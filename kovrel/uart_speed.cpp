// Line speeds that have no termios constant (56000 is the one the slaves need
// most, 14400 and 28800 have none on Linux either) go through the kernel's
// arbitrary-speed interface. Its header redefines the termios types, so it
// lives in a unit of its own that never sees <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "kovrel.h"

int uart_port_set_custom_speed(int fd, uint32_t baud) {
  struct termios2 settings = {};
  if (ioctl(fd, TCGETS2, &settings) != 0) {
    return -1;
  }
  // Output and input speed both become the exact rate in c_ospeed/c_ispeed.
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ospeed = baud;
  settings.c_ispeed = baud;
  // TCSETS2 applies at once, as TCSANOW does.
  return ioctl(fd, TCSETS2, &settings) == 0 ? 0 : -1;
}

int uart_port_custom_speed_read(int fd, uint32_t* output_baud, uint32_t* input_baud) {
  struct termios2 settings = {};
  if (ioctl(fd, TCGETS2, &settings) != 0) return -1;
  *output_baud = settings.c_ospeed;
  *input_baud = settings.c_ispeed;
  return 0;
}
