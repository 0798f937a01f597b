// What the five SPI bench tools share: the usage text and option errors, the
// bounded device path and file names, opening the device and reading its word
// size, the receive fill, the full-duplex and half-duplex transfer loops, and
// the check that an output file got everything written to it.
// Every function that can fail prints its own message and returns -1.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// main returns this after every option, file, memory or device error; the
// shell sees it as status 255.
constexpr int BENCH_FAILURE = -1;
constexpr int BENCH_SUCCESS = 0;

// "/dev/spidev2.%d" with its NUL fits 16 characters for device numbers 0..99.
constexpr size_t BENCH_DEVICE_PATH_SIZE = 16;
constexpr int BENCH_DEVICE_NUMBER_MAX = 99;
// File names of at most 99 characters and their NUL.
constexpr size_t BENCH_FILE_NAME_SIZE = 100;
// What a receive buffer holds where nothing was received: the character '?'.
constexpr uint8_t BENCH_RX_FILL = 0x3F;
// Word sizes above this travel as 16-bit words, two bytes, low byte first.
constexpr uint8_t BENCH_BYTE_BITS = 8;
constexpr size_t BENCH_WORD_BYTES = 2;

// A tool's usage text: an empty line, "<title> (v<major>.<minor><letter>)",
// an empty line, then each line as written.
struct BenchUsage {
  const char* title;
  int major;
  int minor;
  char letter;
  const char* const* lines;
  size_t line_count;
};

void bench_usage_print(const BenchUsage& usage);
// An option getopt did not accept (unknown, or without its argument).
void bench_option_unrecognized(const BenchUsage& usage, int option);
void bench_parameter_missing(const BenchUsage& usage);

// strtol in base 10 without an end check (non-numeric text gives 0), kept to
// the int range so that 32- and 64-bit longs give the same value.
int bench_number(const char* text);
// Copies a file name into its buffer; a longer name is refused with a message.
int bench_file_name_store(char (&name)[BENCH_FILE_NAME_SIZE], const char* text);
// Formats "/dev/spidev2.<device>"; a number above 99 is refused with a message
// rather than truncated into a path naming another device.
int bench_device_path(char (&path)[BENCH_DEVICE_PATH_SIZE], int device);

// Creates or truncates an output file (a capture, a log) as fopen's "w"
// does, but without waiting (a FIFO is refused) and never through a name
// another user planted in a sticky directory such as /tmp (see
// output_file.h). The stream, or null after "\nCould not open <name>\n".
FILE* bench_output_open(const char* name);

// Whether everything written to an output file reached it: its error flag,
// then the close (where a full disk shows). Closes out either way; 0, or -1
// after "\nCould not write <name>".
int bench_output_close(FILE* out, const char* name);
// The same for an output that stays open (standard output): flushed, not
// closed.
int bench_output_check(FILE* out, const char* name);

// Opens the device read-write and takes its advisory lock (the one kovrel
// holds for its SPI phase); the descriptor, or -1 after the message ("Could
// not open", or "<path> is in use by another program").
int bench_device_open(const char* path);
int bench_bits_read(int fd, uint8_t* bits_per_word);
bool bench_uses_words(uint8_t bits_per_word);

void bench_rx_fill(uint8_t* buffer, size_t size);

// The loop number after loop_number: counting from 1, and back to 1 after the
// largest int, so that a loop without end never overflows its counter.
int bench_loop_next(int loop_number);

// Device calls answered EAGAIN or EINTR are made again (the only answers
// that are), for as long as the device keeps making progress: after 2 s
// without any the answer stands as the call's failure.

// Full-duplex transfer of len bytes with the device's speed and word size,
// repeated for the part not yet transferred. Ends silently at the first
// failed request (or one that moves nothing); returns the bytes transferred.
size_t bench_transfer(int fd, const uint8_t* tx, uint8_t* rx, size_t len, uint16_t delay_usecs);

// The whole run of a full-duplex tool on its device: open it, read its word
// size, transfer len bytes, close it. 0 with bits_per_word and transferred
// set, or -1 after the open or word-size message.
int bench_exchange(const char* path, const uint8_t* tx, uint8_t* rx, size_t len,
                   uint16_t delay_usecs, uint8_t* bits_per_word, size_t* transferred);

// Half-duplex: write or read size bytes, repeating the call for the part not
// yet done. Returns size, or the result (negative, or 0 for a call that moved
// nothing) of the call that stopped it.
ssize_t bench_write_all(int fd, const uint8_t* data, size_t size);
ssize_t bench_read_all(int fd, uint8_t* data, size_t size);
// One read of up to size bytes (an EAGAIN or EINTR answer asked again); its
// result.
ssize_t bench_read_once(int fd, uint8_t* data, size_t size);

// The unit (byte, or 16-bit word low byte first) at offset in the first n
// bytes of buffer. The high byte of a word cut off at n reads as the receive
// fill: it was never received, and nothing past n is read.
uint16_t bench_unit(const uint8_t* buffer, size_t n, size_t offset, bool words);
