// fenwix: loopback test of an SPI link whose far end returns each word one
// word late. Sends a constant or random block as one full-duplex message,
// logs every received unit and prints PASSED or FAILED.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>

#include "bench_common.h"
#include "fenwix_compare.h"

namespace {

constexpr const char* FENWIX_OPTIONS = "s:n:d:o:h";
constexpr int PATTERN_BASE = 16;

constexpr const char* const USAGE_LINES[] = {
    "Usage: fenwix -sS -nN [-dD] [-oO]",
    "  -sS /dev/spiS is the target device - not optional",
    "  -nN block write/read size - not optional",
    "  -dD send all D (hex base) - optional, default is random",
    "  -oO output file name - optional",
};
constexpr BenchUsage USAGE{"SPI LOOPBACK TEST", 1, 6, 'r', USAGE_LINES, std::size(USAGE_LINES)};

int device_number = -1;
int block_size = 0;
bool constant_pattern = false;
uint8_t pattern_byte = 0;
char log_name[BENCH_FILE_NAME_SIZE] = "./fenwix.log";
uint8_t* tx_buffer = nullptr;
uint8_t* rx_buffer = nullptr;
uint8_t bits_per_word = 0;
char device_path[BENCH_DEVICE_PATH_SIZE];

int options_read(int argc, char** argv) {
  opterr = 0;
  int option;
  while ((option = getopt(argc, argv, FENWIX_OPTIONS)) != -1) {
    switch (option) {
      case 's': device_number = bench_number(optarg); break;
      case 'n': block_size = bench_number(optarg); break;
      case 'd':  // "55", "0x55" and "155" all give the byte 0x55
        pattern_byte = static_cast<uint8_t>(strtoul(optarg, nullptr, PATTERN_BASE) & 0xFFu);
        constant_pattern = true;
        break;
      case 'o':
        if (bench_file_name_store(log_name, optarg) != 0) return -1;
        break;
      case 'h': bench_usage_print(USAGE); return -1;
      default: bench_option_unrecognized(USAGE, optopt); return -1;
    }
  }
  return 0;
}

// A negative size cannot be allocated; it is reported as such without asking
// the allocator for an absurd amount.
int buffers_prepare() {
  const size_t size = static_cast<size_t>(block_size);
  tx_buffer = block_size > 0 ? static_cast<uint8_t*>(malloc(size)) : nullptr;
  if (tx_buffer == nullptr) {
    printf("\nCannot allocate memory for write buffer\n");
    return -1;
  }
  if (constant_pattern) {
    for (size_t i = 0; i < size; ++i) tx_buffer[i] = pattern_byte;
  } else {
    srand(static_cast<unsigned>(time(nullptr)));
    for (size_t i = 0; i < size; ++i) tx_buffer[i] = static_cast<uint8_t>(rand() & 0xFF);
  }
  rx_buffer = static_cast<uint8_t*>(malloc(size));
  if (rx_buffer == nullptr) {
    printf("\nCannot allocate memory for read buffer\n");
    return -1;
  }
  bench_rx_fill(rx_buffer, size);
  return 0;
}

int run() {
  if (bench_device_path(device_path, device_number) != 0) return -1;
  if (buffers_prepare() != 0) return -1;
  size_t transferred = 0;
  if (bench_exchange(device_path, tx_buffer, rx_buffer, static_cast<size_t>(block_size), 0,
                     &bits_per_word, &transferred) != 0) {
    return -1;
  }
  printf("\nLoopback test of %d/%d bytes (%d bits data) --> ", static_cast<int>(transferred),
         block_size, bits_per_word);
  FILE* log = bench_output_open(log_name);
  if (log == nullptr) return -1;
  const bool mismatch = fenwix_log_write(log, tx_buffer, rx_buffer, transferred, bits_per_word);
  if (bench_output_close(log, log_name) != 0) return -1;
  // Bytes that did not move were never compared: no pass for them.
  const bool complete = transferred == static_cast<size_t>(block_size);
  printf(mismatch || !complete ? "FAILED\n" : "PASSED\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (options_read(argc, argv) != 0) return BENCH_FAILURE;
  if (device_number < 0 || block_size == 0) {
    bench_parameter_missing(USAGE);
    return BENCH_FAILURE;
  }
  const int status = run();
  free(tx_buffer);
  free(rx_buffer);
  return status == 0 ? BENCH_SUCCESS : BENCH_FAILURE;
}
