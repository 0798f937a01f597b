// yalmet: writes the SPI settings given on the command line to one device, in
// the fixed order mode, bits per word, speed, then reads all three back and
// reports the values in force.
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iterator>

#include "bench_common.h"

namespace {

constexpr const char* YALMET_OPTIONS = "s:m:w:f:h";

// The usage line lists -dD, which the option string does not accept.
constexpr const char* const USAGE_LINES[] = {
    "\nUsage: yalmet -sS [-mM] [-wW] [-fF] [-dD] ",
    "  -sS /dev/spiS is the target device - not optional",
    "  -mM set mode (W=SPI_MODE_0..3) - optional",
    "  -wW set bits per word (W=1..16) - optional",
    "  -fF set speed in Hz - optional",
    "  -h this help",
};
constexpr BenchUsage USAGE{"SPI DEVICE CONFIGURATION", 1, 3, 'r', USAGE_LINES,
                           std::size(USAGE_LINES)};

int device_number = -1;
uint8_t mode = 0;
uint8_t bits_per_word = 0;
uint32_t max_speed_hz = 0;
bool mode_given = false;
bool bits_given = false;
bool speed_given = false;
char device_path[BENCH_DEVICE_PATH_SIZE];
int device_fd = -1;

int options_read(int argc, char** argv) {
  opterr = 0;
  int option;
  while ((option = getopt(argc, argv, YALMET_OPTIONS)) != -1) {
    switch (option) {
      case 's': device_number = bench_number(optarg); break;
      case 'm':  // only the low 8 bits reach the driver
        mode = static_cast<uint8_t>(bench_number(optarg));
        mode_given = true;
        break;
      case 'w':
        bits_per_word = static_cast<uint8_t>(bench_number(optarg));
        bits_given = true;
        break;
      case 'f':
        max_speed_hz = static_cast<uint32_t>(bench_number(optarg));
        speed_given = true;
        break;
      case 'h': bench_usage_print(USAGE); return -1;
      default: bench_option_unrecognized(USAGE, optopt); return -1;
    }
  }
  return 0;
}

int setting_request(unsigned long request, void* value, const char* message) {
  const int result = ioctl(device_fd, request, value);
  if (result < 0) {
    printf(message, result);
    return -1;
  }
  return 0;
}

// The first refused setting stops: later ones are neither written nor read.
int settings_write() {
  if (mode_given && setting_request(SPI_IOC_WR_MODE, &mode, "\nSPI_IOC_WR_MODE error = %d\n") != 0)
    return -1;
  if (bits_given && setting_request(SPI_IOC_WR_BITS_PER_WORD, &bits_per_word,
                                    "\nSPI_IOC_WR_BITS_PER_WORD error = %d\n") != 0)
    return -1;
  if (speed_given && setting_request(SPI_IOC_WR_MAX_SPEED_HZ, &max_speed_hz,
                                     "\nSPI_IOC_WR_MAX_SPEED_HZ error = %d\n") != 0)
    return -1;
  return 0;
}

int settings_read() {
  if (setting_request(SPI_IOC_RD_MODE, &mode, "\nSPI_IOC_RD_MODE error = %d\n") != 0) return -1;
  if (setting_request(SPI_IOC_RD_BITS_PER_WORD, &bits_per_word,
                      "\nSPI_IOC_RD_BITS_PER_WORD error = %d\n") != 0)
    return -1;
  if (setting_request(SPI_IOC_RD_MAX_SPEED_HZ, &max_speed_hz,
                      "\nSPI_IOC_RD_MAX_SPEED_HZ error = %d\n") != 0)
    return -1;
  return 0;
}

void report_print() {
  printf(
      "\nActual %s setup is:\n  mode          = %d\n  bits_per_word = %d\n  max_speed     = %d "
      "Hz\n",
      device_path, mode, bits_per_word, static_cast<int>(max_speed_hz));
}

}  // namespace

int main(int argc, char** argv) {
  if (options_read(argc, argv) != 0) return BENCH_FAILURE;
  if (device_number < 0) {
    bench_parameter_missing(USAGE);
    return BENCH_FAILURE;
  }
  if (bench_device_path(device_path, device_number) != 0) return BENCH_FAILURE;
  device_fd = bench_device_open(device_path);
  if (device_fd < 0) return BENCH_FAILURE;

  int status = BENCH_FAILURE;
  if (settings_write() == 0 && settings_read() == 0) {
    report_print();
    status = BENCH_SUCCESS;
  }
  close(device_fd);
  return status;
}
