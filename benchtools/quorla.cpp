// quorla: sends packets of a size word and N random 16-bit words to the
// counter-party program on the slave, reads back the sum it computed, and
// stops at the first mismatch.
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>

#include "bench_common.h"
#include "quorla_packet.h"

namespace {

constexpr const char* QUORLA_OPTIONS = "s:n:l:h";
constexpr int LOOPS_DEFAULT = 1;
constexpr uint8_t PACKET_BITS_PER_WORD = 16;

// The -nN line names QUORLA_WORDS_MAX and QUORLA_WORDS_DEFAULT.
static_assert(QUORLA_WORDS_MAX == 65535 && QUORLA_WORDS_DEFAULT == 256, "usage text numbers");
constexpr const char* const USAGE_LINES[] = {
    "Usage: quorla -sS -nN [-lL]",
    "  -sS /dev/spiS is the target device - not optional",
    "  -nN block word size (must be in 1..65535 range ) - optional, default is 256",
    "  -lL number of test loop - optional, default is 1",
    "  NOTE",
    "     Sends a formatted packet:",
    "     * size",
    "     * N data words",
    "     * checksum",
    "     This utility requires the counter-party application on slave side",
};
constexpr BenchUsage USAGE{"SPI CRC TEST", 1, 3, 'r', USAGE_LINES, std::size(USAGE_LINES)};

int device_number = -1;
int data_words = QUORLA_WORDS_DEFAULT;
int loop_count = LOOPS_DEFAULT;
uint8_t* packet = nullptr;
uint8_t reply[QUORLA_REPLY_BYTES];
char device_path[BENCH_DEVICE_PATH_SIZE];

int options_read(int argc, char** argv) {
  opterr = 0;
  int option;
  while ((option = getopt(argc, argv, QUORLA_OPTIONS)) != -1) {
    switch (option) {
      case 's': device_number = bench_number(optarg); break;
      case 'n':
        data_words = bench_number(optarg);
        if (data_words < QUORLA_WORDS_MIN || data_words > QUORLA_WORDS_MAX) {
          printf("\nParameter out of range\n");
          return -1;
        }
        break;
      case 'l':
        loop_count = bench_number(optarg);
        if (loop_count <= 0) {
          printf("\nParameter out of range\n");
          return -1;
        }
        break;
      case 'h': bench_usage_print(USAGE); return -1;
      default: bench_option_unrecognized(USAGE, optopt); return -1;
    }
  }
  return 0;
}

// One packet and its reply; true when the reply carried the expected sum.
// The reply area is refilled before every read, and a read that did not
// return all four bytes never passes, so stale or partial data cannot.
bool iteration_run(int fd, int iteration) {
  srand(static_cast<unsigned>(time(nullptr) + iteration));
  const uint32_t expected = quorla_packet_fill(packet, data_words);
  // A refused write ends the sending silently; the reply still decides.
  (void)bench_write_all(fd, packet, quorla_packet_bytes(data_words));
  bench_rx_fill(reply, sizeof reply);
  const ssize_t got = bench_read_once(fd, reply, sizeof reply);
  const uint32_t received = quorla_reply_value(reply);
  printf("Iteration %d: sent (1 + %d) words", iteration + 1, data_words);
  const bool passed = got == static_cast<ssize_t>(sizeof reply) && received == expected;
  if (passed) {
    printf("... PASSED (CRC 0x%08X)\n", received);
  } else {
    printf("... FAILED (Expected CRC 0x%08X - Received CRC 0x%08X)\n", expected, received);
  }
  return passed;
}

int packets_exchange() {
  const int fd = bench_device_open(device_path);
  if (fd < 0) return -1;
  uint8_t bits_per_word = PACKET_BITS_PER_WORD;
  const int result = ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits_per_word);
  if (result < 0) {
    printf("\nSPI_IOC_WR_BITS_PER_WORD error = %d\n", result);
  } else {
    for (int i = 0; i < loop_count && iteration_run(fd, i); ++i) {
    }
  }
  close(fd);
  return result < 0 ? -1 : 0;
}

int run() {
  if (bench_device_path(device_path, device_number) != 0) return -1;
  packet = static_cast<uint8_t*>(malloc(quorla_packet_bytes(data_words)));
  if (packet == nullptr) {
    printf("\nCannot allocate memory for write buffer\n");
    return -1;
  }
  return packets_exchange();
}

}  // namespace

int main(int argc, char** argv) {
  if (options_read(argc, argv) != 0) return BENCH_FAILURE;
  if (device_number < 0) {
    bench_parameter_missing(USAGE);
    return BENCH_FAILURE;
  }
  const int status = run();
  free(packet);
  return status == 0 ? BENCH_SUCCESS : BENCH_FAILURE;
}
