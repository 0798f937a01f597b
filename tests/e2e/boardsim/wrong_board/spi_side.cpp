// The SPI side of wrong_board: /dev/spidev2.0 (the sound module in slot 0)
// set to a mode, 16-bit words and a clock; one frame of FRAME_BYTES data
// bytes and its jump, then the module's checksum answer.
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "wrong_board.h"

namespace {

constexpr uint32_t FRAME_ADDRESS = 0x00008000;
constexpr size_t FRAME_BYTES = 16;  // data byte i is 0x10 + 0x11 * i (mod 256)
constexpr size_t HEADER_BYTES = 12;
constexpr uint8_t WORD_BITS = 16;
constexpr uint32_t VERIFY_READ_PAUSE_US = 10000;  // after a jump sent with the data

void le32_put(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Address, size and checksum, little-endian: the module's frame header.
void header_fill(uint8_t* header, uint32_t address, uint32_t size, uint32_t checksum) {
  le32_put(header, address);
  le32_put(header + 4, size);
  le32_put(header + 8, checksum);
}

int spi_write(int fd, const uint8_t* bytes, size_t n) {
  if (write(fd, bytes, n) != static_cast<ssize_t>(n)) return step_failed("spidev write");
  return 0;
}

int spi_setup(int fd, const SpiRun& run) {
  const uint8_t mode = static_cast<uint8_t>(run.mode);
  const uint8_t bits = WORD_BITS;
  const uint32_t speed = run.speed_hz;
  if (ioctl(fd, SPI_IOC_WR_MODE, &mode) != 0) return step_failed("SPI_IOC_WR_MODE");
  if (ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits) != 0)
    return step_failed("SPI_IOC_WR_BITS_PER_WORD");
  if (ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed) != 0)
    return step_failed("SPI_IOC_WR_MAX_SPEED_HZ");
  return 0;
}

// The frame's header and data, in the transfers the run gives.
int frame_send(int fd, const SpiRun& run, const uint8_t* frame, const uint8_t* jump) {
  const uint8_t* data = frame + HEADER_BYTES;
  if (run.header_with_data) return spi_write(fd, frame, HEADER_BYTES + FRAME_BYTES);
  if (run.header_split > 0) {
    if (spi_write(fd, frame, run.header_split) != 0) return -1;
    if (spi_write(fd, frame + run.header_split, HEADER_BYTES - run.header_split) != 0) return -1;
  } else if (spi_write(fd, frame, HEADER_BYTES) != 0) {
    return -1;
  }
  if (!run.data_with_jump) return spi_write(fd, data, FRAME_BYTES);
  uint8_t both[FRAME_BYTES + HEADER_BYTES];
  memcpy(both, data, FRAME_BYTES);
  memcpy(both + FRAME_BYTES, jump, HEADER_BYTES);
  return spi_write(fd, both, sizeof both);
}

// The jump and the checksum read in one message, so that the pause between
// them is the bus's (delay_usecs), not the machine's; prints the answer.
int jump_and_checksum(int fd, const SpiRun& run, const uint8_t* jump) {
  uint8_t answer[2] = {0, 0};
  struct spi_ioc_transfer transfers[2] = {};
  int count = 0;
  if (!run.data_with_jump) {
    transfers[count].tx_buf = reinterpret_cast<uintptr_t>(jump);
    transfers[count].len = HEADER_BYTES;
    transfers[count].delay_usecs = run.verify_wait_us;
    ++count;
  } else if (usleep(VERIFY_READ_PAUSE_US) != 0) {
    return step_failed("pause");
  }
  transfers[count].rx_buf = reinterpret_cast<uintptr_t>(answer);
  transfers[count].len = sizeof answer;
  ++count;
  if (ioctl(fd, SPI_IOC_MESSAGE(count), transfers) < 0) return step_failed("SPI_IOC_MESSAGE");
  // 16-bit words: the word as the processor holds it, low byte first.
  printf("checksum: 0x%04X\n", static_cast<unsigned>(answer[0] | answer[1] << 8));
  return 0;
}

int spi_steps(int fd, const SpiRun& run) {
  uint8_t frame[HEADER_BYTES + FRAME_BYTES];
  uint32_t sum = 0;
  for (size_t i = 0; i < FRAME_BYTES; ++i) {
    frame[HEADER_BYTES + i] = static_cast<uint8_t>(0x10 + 0x11 * i);
  }
  // The module's checksum: 16-bit words, low byte first, summed in 32 bits.
  for (size_t i = 0; i < FRAME_BYTES; i += 2) {
    sum += frame[HEADER_BYTES + i] | static_cast<uint32_t>(frame[HEADER_BYTES + i + 1]) << 8;
  }
  header_fill(frame, FRAME_ADDRESS, FRAME_BYTES, sum);
  uint8_t jump[HEADER_BYTES];
  header_fill(jump, FRAME_ADDRESS, 0, sum);
  if (spi_setup(fd, run) != 0 || frame_send(fd, run, frame, jump) != 0) return -1;
  return jump_and_checksum(fd, run, jump);
}

}  // namespace

int spi_run(const SpiRun& run) {
  const int fd = open("/dev/spidev2.0", O_RDWR | O_CLOEXEC);
  if (fd < 0) return step_failed("open /dev/spidev2.0");
  int result = spi_steps(fd, run);
  if (close(fd) != 0 && result == 0) result = step_failed("close /dev/spidev2.0");
  return result;
}
