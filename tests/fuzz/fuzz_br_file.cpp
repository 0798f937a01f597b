// Boot record files come from a download, a copy or an editor, and may be cut
// or damaged on the way: br_file_check must refuse every file whose records
// kovrel could not send as they are. Whatever it accepts is read again record
// by record, and the records must hold by the rules the slave relies on,
// worked out here from the raw bytes alone: every word of the file is one
// record, of upper-case hexadecimal digits (the slave takes no others), as
// many as its control byte calls for (none beyond the command for a read
// request). The last record needs no line end: it is replayed whole, and a
// file cut inside a record is caught by the record's length.
//
// Input: the whole input is the br file.
#include <cctype>

#include "fuzz_input.h"
#include "kovrel.h"

namespace {

constexpr size_t COMMAND_CHARS = 10;
constexpr size_t RECORD_MAX = 72;
constexpr unsigned READ_BIT = 0x20;
constexpr unsigned COUNT_BITS = 0x1F;
constexpr unsigned NOT_HEX = 16;

unsigned hex_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return NOT_HEX;
}

bool blank(uint8_t byte) { return isspace(byte) != 0; }

// Runs of non-blank bytes, as "%s" reads them.
size_t word_count(const uint8_t* data, size_t size) {
  size_t words = 0;
  for (size_t i = 0; i < size; ++i) {
    if (!blank(data[i]) && (i == 0 || blank(data[i - 1]))) ++words;
  }
  return words;
}

void check_record(const char* word, long length) {
  fuzz_require(
      length >= static_cast<long>(COMMAND_CHARS) && length <= static_cast<long>(RECORD_MAX),
      "a record holds its command and at most 72 characters");
  for (long i = 0; i < length; ++i) {
    fuzz_require(hex_value(word[i]) != NOT_HEX, "a record is upper-case hexadecimal digits only");
  }
  const unsigned control = hex_value(word[8]) * 16 + hex_value(word[9]);
  const size_t wanted =
      (control & READ_BIT) != 0 ? COMMAND_CHARS : COMMAND_CHARS + 2 * (control & COUNT_BITS);
  fuzz_require(static_cast<size_t>(length) == wanted,
               "a record is as long as its control byte says");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kovrel_reset_state();
  FILE* file = fuzz_stream(data, size);
  if (file == nullptr) return 0;
  if (br_file_check(file, "fuzz.br") == 0) {
    char word[BOOT_RECORD_TEXT_MAX + 1];
    int line_number = 1;
    int previous_line = 1;
    size_t records = 0;
    long length = 0;
    while ((length = br_record_read(file, "fuzz.br", word, &line_number)) > 0) {
      check_record(word, length);
      fuzz_require(line_number >= previous_line, "records come in line order");
      previous_line = line_number;
      ++records;
    }
    fuzz_require(length == 0, "an accepted file reads to its end again");
    fuzz_require(records == word_count(data, size), "every word of an accepted file is a record");
  }
  fclose(file);
  return 0;
}
