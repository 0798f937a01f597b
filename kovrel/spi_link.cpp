// SPI link: device naming, the link settings applied to all five chip selects,
// and the search for populated module slots at the start of the SPI phase.
// Every device is opened for one operation and closed right after it, so a
// setting written here stays in the driver for every later user; beside
// those, each is held open for the phase's lock.
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "kovrel.h"

uint8_t module_mask = 0;
uint16_t module_dsp_count[SPI_SLOT_COUNT] = {};

namespace {

// The descriptors that hold the five devices' locks for the SPI phase.
int claimed_devices[SPI_DEVICE_COUNT] = {-1, -1, -1, -1, -1};

constexpr uint8_t SPI_BITS_PER_WORD = 16;
constexpr uint16_t MODULE_DSP_COUNT_MIN = 1;
constexpr uint16_t MODULE_DSP_COUNT_MAX = 4;

}  // namespace

int spi_device_name(int number) {
  if (device_path_format(device_path, SPI_DEVICE_STEM, number) != 0) {
    device_path[0] = '\0';
    log_error("bad SPI device number %d\n", number);
    return -1;
  }
  return 0;
}

int spi_device_open(int number) {
  if (spi_device_name(number) < 0) return -1;
  current_device = open(device_path, O_RDWR);
  if (current_device < 0) {
    log_error("cannot open <%s>\n", device_path);
    return -1;
  }
  return 0;
}

uint16_t spi_word_of(const uint8_t bytes[2]) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

namespace {

// One device: write the speed, read back what the driver made of it. The
// read-back replaces the speed asked for, so the next device gets that one.
int speed_apply(int number) {
  if (spi_device_open(number) < 0) return -1;
  int result = -1;
  uint32_t speed = static_cast<uint32_t>(job_command.spi_speed_hz);
  if (ioctl(current_device, SPI_IOC_WR_MAX_SPEED_HZ, &speed) < 0) {
    log_error("cannot set <%s> speed to %d Hz\n", device_path, job_command.spi_speed_hz);
  } else if (ioctl(current_device, SPI_IOC_RD_MAX_SPEED_HZ, &speed) < 0) {
    log_error("cannot read <%s> speed\n", device_path);
  } else {
    job_command.spi_speed_hz = static_cast<int32_t>(speed);
    result = 0;
  }
  close_current_device();  // already closed when an error was reported
  if (result == 0) log_verbose("\t<%s> speed = %d Hz\n", device_path, job_command.spi_speed_hz);
  return result;
}

int bits_per_word_apply(int number) {
  if (spi_device_open(number) < 0) return -1;
  uint8_t bits = SPI_BITS_PER_WORD;
  int result = ioctl(current_device, SPI_IOC_WR_BITS_PER_WORD, &bits) < 0 ? -1 : 0;
  if (result < 0) log_error("cannot set <%s> to 16 bits per word\n", device_path);
  close_current_device();
  if (result == 0) log_verbose("\t<%s> bits per word = 16\n", device_path);
  return result;
}

int mode_apply(int number) {
  if (spi_device_open(number) < 0) return -1;
  uint8_t mode = job_command.spi_mode;
  int result = ioctl(current_device, SPI_IOC_WR_MODE, &mode) < 0 ? -1 : 0;
  if (result < 0) {
    log_error("cannot set <%s> clock mode to %d\n", device_path, job_command.spi_mode);
  }
  close_current_device();
  if (result == 0) log_verbose("\t<%s> clock mode = %d\n", device_path, job_command.spi_mode);
  return result;
}

// Applies one setting to the five devices in order; the first failure stops
// it, and the devices before it keep the new setting.
// A WAIT after the setting counts from the last device's request, as it
// would from the last frame: the modules take the new clock or mode then.
int all_devices_apply(int (*apply)(int number)) {
  for (int number = 0; number < SPI_DEVICE_COUNT; ++number) {
    if (apply(number) < 0) return -1;
    pause_origin_now();
  }
  return 0;
}

// A module answers the very first read with its DSP count; nothing is sent
// before it.
int slot_search(int slot) {
  if (spi_device_open(slot) < 0) return -1;
  uint8_t answer[2] = {};
  int result = read_all(answer, sizeof answer);
  close_current_device();  // already closed when read_all reported an error
  if (result < 0) return -1;
  uint16_t count = spi_word_of(answer);
  if (count >= MODULE_DSP_COUNT_MIN && count <= MODULE_DSP_COUNT_MAX) {
    module_mask = static_cast<uint8_t>(module_mask | (1u << slot));
    module_dsp_count[slot] = count;
  } else {
    module_dsp_count[slot] = 0;
  }
  return 0;
}

}  // namespace

int spi_set_speed() {
  // A clock of zero or below has no meaning; it is refused before any
  // device is touched rather than handed to the driver as a huge unsigned.
  if (job_command.spi_speed_hz <= 0) {
    if (spi_device_name(0) == 0) {
      log_error("cannot set <%s> speed to %d Hz\n", device_path, job_command.spi_speed_hz);
    }
    return -1;
  }
  return all_devices_apply(speed_apply);
}

int spi_set_bits_per_word() { return all_devices_apply(bits_per_word_apply); }

int spi_set_mode() { return all_devices_apply(mode_apply); }

int module_search() {
  module_mask = 0;
  for (int slot = 0; slot < SPI_SLOT_COUNT; ++slot) {
    if (slot_search(slot) < 0) return -1;
  }
  return 0;
}

int spi_devices_claim() {
  for (int number = 0; number < SPI_DEVICE_COUNT; ++number) {
    if (spi_device_name(number) < 0) return -1;
    const int fd = open(device_path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      log_error("cannot open <%s>\n", device_path);
      spi_devices_release();
      return -1;
    }
    if (device_lock(fd, device_path) != 0) {
      close(fd);
      spi_devices_release();
      return -1;
    }
    claimed_devices[number] = fd;
  }
  return 0;
}

void spi_devices_release() {
  for (int& fd : claimed_devices) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

int spi_setup() {
  if (spi_devices_claim() < 0) return -1;
  if (spi_set_speed() < 0) return -1;
  log_verbose(SECTION_BANNER "Set default fixed SPI bits per word\n\n");
  if (spi_set_bits_per_word() < 0) return -1;
  log_verbose(SECTION_BANNER "Searching sound modules ...\n\n");
  if (module_search() < 0) return -1;
  if (module_mask == 0) {
    log_error("No sound module found");
    return -1;
  }
  return 0;
}
