// Reading boot record files: one record per line, as a -w download wrote it
// or as someone edited it. A file is checked whole before any of it is sent:
// a damaged or cut file must send nothing rather than part of an image. A
// last record without its line end is whole (an editor may leave it off); a
// file cut inside a record fails the length its control byte calls for.
#include <cctype>
#include <cstdio>

#include "kovrel.h"

namespace {

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool is_lower_case_hex_digit(char c) { return c >= 'a' && c <= 'f'; }

// Only for a record already known to be upper-case hexadecimal.
int hex_digit_value(char c) { return c >= '0' && c <= '9' ? c - '0' : c - 'A' + 10; }

bool all_of(const char* text, size_t length, bool (*test)(char)) {
  for (size_t i = 0; i < length; ++i) {
    if (!test(text[i])) return false;
  }
  return true;
}

bool any_of(const char* text, size_t length, bool (*test)(char)) {
  for (size_t i = 0; i < length; ++i) {
    if (test(text[i])) return true;
  }
  return false;
}

// Characters a record must have: the command, and for a write record the
// data field its count calls for (a read request carries none).
size_t record_chars_wanted(const char* command) {
  const int control = hex_digit_value(command[BOOT_RECORD_ADDRESS_CHARS]) * 16 +
                      hex_digit_value(command[BOOT_RECORD_ADDRESS_CHARS + 1]);
  if ((control & CONTROL_READ) != 0) return BOOT_RECORD_COMMAND_CHARS;
  return BOOT_RECORD_COMMAND_CHARS + 2 * static_cast<size_t>(control & CONTROL_COUNT_MASK);
}

// Reads the next white-space separated word (as "%s" reads it) into `word`,
// at most `max` characters and a terminator. Returns its length, 0 at the end
// of the file, -1 for a longer word. The line ends passed before the word are
// counted in *line_number; the character after the word is left unread, so
// that its line end is counted by the next call.
long word_read(FILE* file, char* word, size_t max, int* line_number) {
  int c = getc(file);
  while (c != EOF && isspace(c)) {
    if (c == '\n') ++*line_number;
    c = getc(file);
  }
  if (c == EOF) return 0;
  size_t length = 0;
  while (c != EOF && !isspace(c)) {
    if (length == max) return -1;
    word[length++] = static_cast<char>(c);
    c = getc(file);
  }
  if (c != EOF) ungetc(c, file);
  word[length] = '\0';
  return static_cast<long>(length);
}

}  // namespace

long br_record_read(FILE* file, const char* name, char* word, int* line_number) {
  const long length = word_read(file, word, BOOT_RECORD_TEXT_MAX, line_number);
  const int line_at = *line_number;
  if (length < 0) {
    log_error("boot record longer than %d chars in <%s> line %d\n",
              static_cast<int>(BOOT_RECORD_TEXT_MAX), name, line_at);
    return -1;
  }
  if (length == 0) return 0;
  const size_t chars = static_cast<size_t>(length);
  if (!all_of(word, chars, is_hex_digit)) {
    log_error("boot record not hexadecimal in <%s> line %d\n", name, line_at);
    return -1;
  }
  // The slave bootstrap reads upper-case digits only: a record in lower case
  // would be sent, answered and ignored, and the replay would pass for done.
  if (any_of(word, chars, is_lower_case_hex_digit)) {
    log_error("boot record in lower-case hexadecimal in <%s> line %d\n", name, line_at);
    return -1;
  }
  if (chars < BOOT_RECORD_COMMAND_CHARS) {
    log_error("boot record shorter than %d chars in <%s> line %d\n",
              static_cast<int>(BOOT_RECORD_COMMAND_CHARS), name, line_at);
    return -1;
  }
  const size_t wanted = record_chars_wanted(word);
  if (chars != wanted) {
    log_error("boot record of %d chars where its control byte calls for %d in <%s> line %d\n",
              static_cast<int>(chars), static_cast<int>(wanted), name, line_at);
    return -1;
  }
  return length;
}

int br_file_check(FILE* file, const char* name) {
  char word[BOOT_RECORD_TEXT_MAX + 1];
  int line_number = 1;
  long length = 1;
  while (length > 0) length = br_record_read(file, name, word, &line_number);
  if (length < 0) return -1;
  if (ferror(file) != 0) {
    log_error("cannot read <%s>\n", name);
    return -1;
  }
  if (fseek(file, 0, SEEK_SET) != 0) {
    log_error("cannot read <%s>\n", name);
    return -1;
  }
  return 0;
}
