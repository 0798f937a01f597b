// Framing: one SPI frame is a 12-byte header (address, size, checksum) and,
// for a download, the data. A size of 0 makes it a jump frame.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "kovrel.h"

uint8_t frame_data[SPI_FRAME_MAX_DATA];

// The header goes out straight from the three JobCommand fields, so they must
// sit next to each other exactly as the header lays out its words, and the
// words must already be in the wire's byte order (least significant first).
static_assert(sizeof(SpiFrameHeader) == 12, "a frame header is 12 bytes");
static_assert(offsetof(SpiFrameHeader, frame_address) == 0, "address at offset 0");
static_assert(offsetof(SpiFrameHeader, frame_size) == 4, "size at offset 4");
static_assert(offsetof(SpiFrameHeader, frame_checksum) == 8, "checksum at offset 8");
static_assert(offsetof(JobCommand, frame_size) == offsetof(JobCommand, frame_address) + 4,
              "frame_size follows frame_address in JobCommand");
static_assert(offsetof(JobCommand, frame_checksum) == offsetof(JobCommand, frame_address) + 8,
              "frame_checksum follows frame_size in JobCommand");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "header words are written as stored: the wire wants the low byte first");

uint32_t frame_checksum_of(const uint8_t* data, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) {
    sum += static_cast<uint32_t>(data[i]) | (static_cast<uint32_t>(data[i + 1]) << 8);
  }
  return sum;
}

namespace {

constexpr size_t DUMP_BYTES_PER_LINE = 16;
constexpr size_t DUMP_GROUP_BYTES = 8;
// "\n" + "\t%08X " + the group gap "  " + 16 x " %02X" + terminator.
constexpr size_t DUMP_LINE_SIZE = 1 + 10 + 2 + DUMP_BYTES_PER_LINE * 3 + 1;

// Appends to a dump line; false when the text would not fit.
__attribute__((format(printf, 3, 4))) bool dump_append(char* text, size_t& used, const char* format,
                                                       ...) {
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(text + used, DUMP_LINE_SIZE - used, format, arguments);
  va_end(arguments);
  if (length < 0 || static_cast<size_t>(length) >= DUMP_LINE_SIZE - used) return false;
  used += static_cast<size_t>(length);
  return true;
}

// One dump line of up to 16 bytes from data[first], preceded by the line end
// that closes the previous line.
bool dump_line_format(char* text, uint32_t address, const uint8_t* data, size_t first,
                      size_t size) {
  size_t used = 0;
  text[0] = '\0';
  if (first != 0 && !dump_append(text, used, "\n")) return false;
  if (!dump_append(text, used, "\t%08X ", static_cast<unsigned>(address + first))) return false;
  for (size_t i = first; i < size && i < first + DUMP_BYTES_PER_LINE; ++i) {
    if (i != first && i % DUMP_GROUP_BYTES == 0 && !dump_append(text, used, "  ")) {
      return false;
    }
    if (!dump_append(text, used, " %02X", static_cast<unsigned>(data[i]))) return false;
  }
  return true;
}

}  // namespace

void frame_dump(uint32_t address, const uint8_t* data, size_t size) {
  char text[DUMP_LINE_SIZE];
  log_verbose("\n");
  for (size_t first = 0; first < size; first += DUMP_BYTES_PER_LINE) {
    if (!dump_line_format(text, address, data, first, size)) return;
    log_verbose("%s", text);
  }
  log_verbose("\n");
}

int spi_send_frame() {
  const uint32_t size = job_command.frame_size;
  if (size > SPI_FRAME_MAX_DATA) {
    log_error("frame of %u bytes is larger than %u\n", static_cast<unsigned>(size),
              static_cast<unsigned>(SPI_FRAME_MAX_DATA));
    return -1;
  }
  current_device = open(device_path, O_RDWR);
  if (current_device < 0) {
    log_error("cannot open <%s>\n", device_path);
    return -1;
  }
  int result = write_all(&job_command.frame_address, sizeof(SpiFrameHeader));
  if (size != 0) {
    log_verbose("\tDownload: address = %08X - size = %d bytes",
                static_cast<unsigned>(job_command.frame_address), static_cast<int>(size));
  } else {
    log_verbose("\tJump:     address = %08X", static_cast<unsigned>(job_command.frame_address));
  }
  if (result == 0 && size != 0) {
    result = write_all(frame_data, size);
    if ((verbosity & PHASE_SPI) != 0) {
      frame_dump(job_command.frame_address, frame_data, size);
    }
  }
  close_current_device();
  return result;
}
