// The system log holds whatever any program wrote: long lines, NUL bytes, no
// final line end. log_scan must find the text exactly when one line of the
// file holds it, which a plain search of the same bytes line by line tells,
// and so must the same scan in blocks of a few bytes, where the text crosses
// block ends.
//
// Input: the first byte is the length of the text sought (modulo 32) and,
// divided by 32, one less than the small block size; the next bytes are the
// text (cut at a NUL, as a C string is), the rest is the log.
#include <fcntl.h>
#include <unistd.h>

#include <string_view>

#include "fuzz_input.h"
#include "housekeeping.h"

namespace {

constexpr size_t TEXT_MAX = 31;

// Whether one line of log, each taken with its line end, holds text.
bool any_line_holds(std::string_view log, std::string_view text) {
  while (!log.empty()) {
    const size_t end = log.find('\n');
    const size_t length = end == std::string_view::npos ? log.size() : end + 1;
    if (log.substr(0, length).find(text) != std::string_view::npos) return true;
    log.remove_prefix(length);
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t wanted = data[0] % (TEXT_MAX + 1);
  if (size - 1 < wanted) return 0;
  char text[TEXT_MAX + 1] = {};
  for (size_t i = 0; i < wanted && data[1 + i] != 0; ++i) text[i] = static_cast<char>(data[1 + i]);
  const uint8_t* log = data + 1 + wanted;
  const size_t log_size = size - 1 - wanted;
  const char* path = fuzz_file(log, log_size);
  if (path == nullptr) return 0;
  const std::string_view log_text(reinterpret_cast<const char*>(log), log_size);
  const int expected = any_line_holds(log_text, text) ? 1 : 0;
  fuzz_require(log_scan(path, text) == expected, "found exactly when a line holds the text");
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return 0;
  const size_t small_block = 1 + data[0] / (TEXT_MAX + 1);
  fuzz_require(log_scan_stream(fd, text, small_block) == expected,
               "small blocks find what whole lines hold");
  close(fd);
  return 0;
}
