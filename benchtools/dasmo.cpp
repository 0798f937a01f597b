// dasmo: sends a whole file over one SPI device as a single full-duplex
// message, prints a summary and writes the bytes clocked in, raw or as
// hexadecimal text, to the console or to a file.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "bench_common.h"
#include "dasmo_output.h"

namespace {

constexpr const char* DASMO_OPTIONS = "s:i:o:ad:h";
constexpr unsigned DELAY_LIMIT_US = 0x10000;  // delay_usecs is 16 bits

constexpr const char* const USAGE_LINES[] = {
    "Usage: dasmo -sS -iI [-oO] [-a] [-dD]",
    "  -sS /dev/spiS is the target device - not optional",
    "  -iI input file name (binary) - not optional",
    "  -oO output file name - optional",
    "  -a ascii output (default is binary) - optional",
    "  -dD message delay usec between transfers (D=0..0xFFFF) - optional",
};
constexpr BenchUsage USAGE{"SPI DEVICE READ & WRITE", 1, 5, 'r', USAGE_LINES,
                           std::size(USAGE_LINES)};

int device_number = -1;
char input_name[BENCH_FILE_NAME_SIZE];
char output_name[BENCH_FILE_NAME_SIZE];
bool text_output = false;
uint16_t delay_usecs = 0;
size_t file_size = 0;
uint8_t* tx_buffer = nullptr;
uint8_t* rx_buffer = nullptr;
uint8_t bits_per_word = 0;
char device_path[BENCH_DEVICE_PATH_SIZE];

int options_read(int argc, char** argv) {
  opterr = 0;
  int option;
  while ((option = getopt(argc, argv, DASMO_OPTIONS)) != -1) {
    switch (option) {
      case 's': device_number = bench_number(optarg); break;
      case 'i':
        if (bench_file_name_store(input_name, optarg) != 0) return -1;
        break;
      case 'o':
        if (bench_file_name_store(output_name, optarg) != 0) return -1;
        break;
      case 'a': text_output = true; break;
      case 'd': {
        const int value = bench_number(optarg);
        if (static_cast<unsigned>(value) >= DELAY_LIMIT_US) {
          printf("\nDelay between transfers out of range <%d>\n", value);
          return -1;
        }
        delay_usecs = static_cast<uint16_t>(value);
        break;
      }
      case 'h': bench_usage_print(USAGE); return -1;
      default: bench_option_unrecognized(USAGE, optopt); return -1;
    }
  }
  return 0;
}

// Both buffers at the file's size (at least one byte, so an empty file is
// not taken for a failed allocation); the transmit buffer starts zeroed so a
// short read of the file never sends uninitialised memory. The size comes
// from seeking to the end, which a pipe cannot do.
int buffers_allocate(FILE* input) {
  long size = -1;
  if (fseek(input, 0, SEEK_END) == 0) size = ftell(input);
  if (size < 0 || fseek(input, 0, SEEK_SET) != 0) {
    printf("\nCould not seek %s\n", input_name);
    return -1;
  }
  if (size > INT_MAX) {
    printf("\nCould not open %s\n", input_name);
    return -1;
  }
  file_size = static_cast<size_t>(size);
  const size_t allocation = file_size > 0 ? file_size : 1;
  tx_buffer = static_cast<uint8_t*>(calloc(allocation, 1));
  if (tx_buffer == nullptr) {
    printf("\nCannot allocate memory for write buffer\n");
    return -1;
  }
  rx_buffer = static_cast<uint8_t*>(malloc(allocation));
  if (rx_buffer == nullptr) {
    printf("\nCannot allocate memory for read buffer\n");
    return -1;
  }
  bench_rx_fill(rx_buffer, allocation);
  return 0;
}

// Opened without waiting, so that a FIFO without a writer is found unfit
// (it cannot be seeked) instead of holding the run; then read as any file.
FILE* input_open() {
  const int fd = open(input_name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return nullptr;
  const int flags = fcntl(fd, F_GETFL);
  FILE* input = nullptr;
  if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) input = fdopen(fd, "r");
  if (input == nullptr) close(fd);
  return input;
}

int input_load() {
  FILE* input = input_open();
  if (input == nullptr) {
    printf("\nCould not open %s\n", input_name);
    return -1;
  }
  const int status = buffers_allocate(input);
  // A short read leaves zeros in the transmit buffer, never stale memory.
  if (status == 0 && fread(tx_buffer, 1, file_size, input) < file_size) clearerr(input);
  fclose(input);
  return status;
}

// The capture is the run's result: a write that failed (a full disk, a
// closed console) fails the run instead of leaving a capture cut short.
int output_write(size_t n) {
  DasmoForm form{text_output, bench_uses_words(bits_per_word), DasmoDestination::Console};
  if (output_name[0] == '\0') {
    dasmo_output_write(stdout, rx_buffer, n, form);
    return bench_output_check(stdout, "standard output");
  }
  FILE* out = bench_output_open(output_name);
  if (out == nullptr) return -1;
  form.destination = DasmoDestination::File;
  dasmo_output_write(out, rx_buffer, n, form);
  return bench_output_close(out, output_name);
}

int run() {
  if (bench_device_path(device_path, device_number) != 0) return -1;
  if (input_load() != 0) return -1;
  // The device is closed before anything is written out.
  size_t transferred = 0;
  if (bench_exchange(device_path, tx_buffer, rx_buffer, file_size, delay_usecs, &bits_per_word,
                     &transferred) != 0) {
    return -1;
  }
  printf("\nWrite/Read %d/%d bytes (%d bits data)\n", static_cast<int>(transferred),
         static_cast<int>(file_size), bits_per_word);
  return output_write(transferred);
}

}  // namespace

int main(int argc, char** argv) {
  if (options_read(argc, argv) != 0) return BENCH_FAILURE;
  if (device_number < 0 || input_name[0] == '\0') {
    bench_parameter_missing(USAGE);
    return BENCH_FAILURE;
  }
  const int status = run();
  free(tx_buffer);
  free(rx_buffer);
  return status == 0 ? BENCH_SUCCESS : BENCH_FAILURE;
}
