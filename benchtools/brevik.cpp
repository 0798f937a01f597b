// brevik: exercises one SPI device continuously, writing a counting pattern
// of W bytes and reading R bytes in every loop, L times or without end.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "bench_common.h"

namespace {

constexpr const char* BREVIK_OPTIONS = "s:w:r:l:h";

constexpr const char* const USAGE_LINES[] = {
    "Usage: brevik -sS -wW -rR",
    "  -sS /dev/spiS is the target device - not optional",
    "  -wW write size - not optional",
    "  -rR read size - not optional",
    "  -lL loop number (default is infinite) - optional",
};
constexpr BenchUsage USAGE{
    "SPI DEVICE CONTINUOS WRITE & READ ACCESS", 1, 2, 'r', USAGE_LINES, std::size(USAGE_LINES)};

int device_number = -1;
int write_size = -1;
int read_size = -1;
int loop_count = -1;  // 0 or less: without end
int loop_number = 0;
uint8_t* write_buffer = nullptr;
uint8_t* read_buffer = nullptr;
uint8_t bits_per_word = 0;
char device_path[BENCH_DEVICE_PATH_SIZE];

int options_read(int argc, char** argv) {
  opterr = 0;
  int option;
  while ((option = getopt(argc, argv, BREVIK_OPTIONS)) != -1) {
    switch (option) {
      case 's': device_number = bench_number(optarg); break;
      case 'w': write_size = bench_number(optarg); break;
      case 'r': read_size = bench_number(optarg); break;
      case 'l': loop_count = bench_number(optarg); break;
      case 'h': bench_usage_print(USAGE); return -1;
      default: bench_option_unrecognized(USAGE, optopt); return -1;
    }
  }
  return 0;
}

int buffers_prepare() {
  if (write_size > 0) {
    write_buffer = static_cast<uint8_t*>(malloc(static_cast<size_t>(write_size)));
    if (write_buffer == nullptr) {
      printf("\nCannot allocate memory for write buffer\n");
      return -1;
    }
    for (int i = 0; i < write_size; ++i) write_buffer[i] = static_cast<uint8_t>(i & 0xFF);
  }
  if (read_size != 0) {
    read_buffer = static_cast<uint8_t*>(malloc(static_cast<size_t>(read_size)));
    if (read_buffer == nullptr) {
      printf("\nCannot allocate memory for read buffer\n");
      return -1;
    }
  }
  return 0;
}

// A call that moves nothing counts as failed, with its result 0, so that a
// silent device ends the run instead of holding it forever.
int loop_run(int fd) {
  loop_number = bench_loop_next(loop_number);
  if (write_size > 0) {
    printf("loop %d - wr %d bytes\n", loop_number, write_size);
    const ssize_t result = bench_write_all(fd, write_buffer, static_cast<size_t>(write_size));
    if (result != write_size) {
      printf("wr error %d\n", static_cast<int>(result));
      return -1;
    }
  }
  if (read_size != 0) {
    printf("loop %d - rd %d bytes\n", loop_number, read_size);
    bench_rx_fill(read_buffer, static_cast<size_t>(read_size));
    const ssize_t result = bench_read_all(fd, read_buffer, static_cast<size_t>(read_size));
    if (result != read_size) {
      printf("rd error %d\n", static_cast<int>(result));
      return -1;
    }
  }
  return 0;
}

int device_exercise() {
  const int fd = bench_device_open(device_path);
  if (fd < 0) return -1;
  int status = bench_bits_read(fd, &bits_per_word);
  if (status == 0 && bench_uses_words(bits_per_word)) {
    // Whole 16-bit words only: a size of 1 becomes 0.
    write_size &= ~1;
    read_size &= ~1;
  }
  while (status == 0) {
    status = loop_run(fd);
    if (status == 0 && loop_count > 0 && --loop_count == 0) break;
  }
  close(fd);
  return status;
}

int run() {
  if (bench_device_path(device_path, device_number) != 0) return -1;
  if (buffers_prepare() != 0) return -1;
  return device_exercise();
}

}  // namespace

int main(int argc, char** argv) {
  // The loop usually ends by a signal from outside, which leaves no chance
  // to flush: each line goes out whole as it is printed, also to a file or
  // a pipe.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (options_read(argc, argv) != 0) return BENCH_FAILURE;
  if (device_number < 0 || write_size < 0 || read_size < 0) {
    bench_parameter_missing(USAGE);
    return BENCH_FAILURE;
  }
  const int status = run();
  free(write_buffer);
  free(read_buffer);
  return status == 0 ? BENCH_SUCCESS : BENCH_FAILURE;
}
