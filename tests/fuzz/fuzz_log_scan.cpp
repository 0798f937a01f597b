// The system log holds whatever any program wrote: long lines, NUL bytes, no
// final line end. log_scan must find the text exactly when one line of the
// file holds it, which a plain search of the same bytes line by line tells.
//
// Input: the first byte is the length of the text sought (modulo 32), the
// next bytes are the text (cut at a NUL, as a C string is), the rest is the
// log.
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
  const int found = log_scan(path, text);
  const std::string_view log_text(reinterpret_cast<const char*>(log), log_size);
  fuzz_require(found == (any_line_holds(log_text, text) ? 1 : 0),
               "found exactly when a line holds the text");
  return 0;
}
