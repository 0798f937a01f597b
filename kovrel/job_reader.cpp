// Job file reader: turns one line of a UART or SPI job into the fields of the
// run's JobCommand, testing every parameter as it is decoded and reporting
// every syntax error itself, so that the executors only see valid commands.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kovrel.h"

JobCommand job_command = JOB_COMMAND_START;
char line[LINE_SIZE];
char token[LINE_SIZE];

namespace {

constexpr int MAX_TOKENS = 5;  // keyword, three parameters, and the fifth that is refused
constexpr int NOT_IN_PHASE = -1;
constexpr char COMMENT_CHAR = ';';
constexpr const char* WHITE_SPACE = " \t\r\n\v\f";
constexpr const char* BR_FILE_SUFFIX = ".br";

struct Keyword {
  const char* name;
  JobKind kind;
  int uart_params;  // parameter count in the UART job, or NOT_IN_PHASE
  int spi_params;   // parameter count in the SPI job, or NOT_IN_PHASE
};

// In the order they are compared.
constexpr Keyword KEYWORDS[] = {
    {"BIN_FILE", JOB_BIN_FILE, 2, 3},
    {"WAIT", JOB_WAIT, 1, 1},
    {"JUMP", JOB_JUMP, 1, 2},
    {"BR_FILE", JOB_BR_FILE, 1, NOT_IN_PHASE},
    {"WRITE_32", JOB_WRITE_32, 2, NOT_IN_PHASE},
    {"WRITE_16", JOB_WRITE_16, 2, NOT_IN_PHASE},
    {"WRITE_8", JOB_WRITE_8, 2, NOT_IN_PHASE},
    {"READ_32", JOB_READ_32, 1, NOT_IN_PHASE},
    {"READ_16", JOB_READ_16, 1, NOT_IN_PHASE},
    {"READ_8", JOB_READ_8, 1, NOT_IN_PHASE},
    {"BIT_RATE", JOB_BIT_RATE, NOT_IN_PHASE, 1},
    {"MODE", JOB_MODE, NOT_IN_PHASE, 1},
};

constexpr int BROADCAST = -1;
struct Module {
  const char* name;
  int slot;    // bit of module_mask that must be set, or BROADCAST
  int device;  // SPI device number: the slot's chip select, or the broadcast one
};

constexpr Module MODULES[] = {
    {"M0", 0, 0},
    {"M1", 1, 1},
    {"M2", 2, 2},
    {"M3", 3, 3},
    {"ALL", BROADCAST, SPI_BROADCAST_DEVICE},
};

constexpr uint32_t MAX_16_BITS = 0xFFFF;
constexpr uint32_t MAX_8_BITS = 0xFF;
constexpr uint8_t MAX_SPI_MODE = 3;
constexpr uint32_t WORD_ALIGNMENT = 4;
constexpr uint32_t HALFWORD_ALIGNMENT = 2;

bool uart_job() { return current_phase == PHASE_UART; }

// Every decoder error: the message, then the separator, the line and the token.
int syntax_error(const char* message) {
  log_error("%s", message);
  return log_syntax_error();
}

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `text` the way the "%x" conversion does: optional sign, optional 0x
// or 0X, hexadecimal digits up to the first other character. A minus sign
// negates the value in 32 bits, so "-1" is 0xFFFFFFFF. A token without any
// digit, or whose digits do not fit in 32 bits, is refused with a report: a
// command must never run on a value the job file does not state.
int hex_parameter(const char* text, uint32_t* value) {
  bool negative = (*text == '-');
  if (*text == '-' || *text == '+') ++text;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && hex_digit_value(text[2]) >= 0) {
    text += 2;
  }
  if (hex_digit_value(*text) < 0) return syntax_error("number expected\n");
  uint64_t magnitude = 0;
  for (; hex_digit_value(*text) >= 0; ++text) {
    magnitude = magnitude * 16 + static_cast<uint64_t>(hex_digit_value(*text));
    if (magnitude > UINT32_MAX) return syntax_error("number out of range\n");
  }
  uint32_t result = static_cast<uint32_t>(magnitude);
  *value = negative ? 0u - result : result;
  return 0;
}

// Reads `text` the way the "%d" conversion does: optional sign, decimal
// digits up to the first other character; refused like hex_parameter when
// there is no digit or the value does not fit in 32 signed bits.
int decimal_parameter(const char* text, int32_t* value) {
  bool negative = (*text == '-');
  if (*text == '-' || *text == '+') ++text;
  if (*text < '0' || *text > '9') return syntax_error("number expected\n");
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t magnitude = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    magnitude = magnitude * 10 + (*text - '0');
    if (magnitude > limit) return syntax_error("number out of range\n");
  }
  *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  return 0;
}

void set_access(int width, int count) {
  uint8_t kept = job_command.control & CONTROL_READ;
  job_command.control =
      static_cast<uint8_t>(kept | (width << CONTROL_WIDTH_SHIFT) | (count & CONTROL_COUNT_MASK));
}

// Address of a single access: stored, tested for its alignment, then the
// width and count of the record set.
int access_address(uint32_t alignment, int width, int count) {
  if (hex_parameter(token, &job_command.address) != 0) return -1;
  if (job_command.address % alignment != 0) {
    return syntax_error(alignment == WORD_ALIGNMENT ? "bad address alignement (word)\n"
                                                    : "bad address alignement (halfword)\n");
  }
  set_access(width, count);
  return 0;
}

int jump_address() {
  if (uart_job()) return access_address(WORD_ALIGNMENT, WIDTH_32, 0);
  if (hex_parameter(token, &job_command.frame_address) != 0) return -1;
  if (job_command.frame_address % HALFWORD_ALIGNMENT != 0) {
    return syntax_error("bad address alignement (halfword)\n");
  }
  job_command.frame_size = 0;
  return 0;
}

int copy_text(char* target, size_t size, const char* text) {
  int written = snprintf(target, size, "%s", text);
  if (written < 0 || static_cast<size_t>(written) >= size) {
    return syntax_error("name too long\n");
  }
  return 0;
}

int spi_mode_parameter() {
  int32_t mode = 0;
  if (decimal_parameter(token, &mode) != 0) return -1;
  job_command.spi_mode = static_cast<uint8_t>(static_cast<uint32_t>(mode) & 0xFF);
  if (job_command.spi_mode > MAX_SPI_MODE) return syntax_error("invalid SPI mode\n");
  return 0;
}

// The boot record file written during a download: the binary file's name cut
// at its last '.', wherever that is, with ".br" appended.
int derive_br_file() {
  const char* dot = strrchr(job_command.bin_file, '.');
  size_t stem = dot != nullptr ? static_cast<size_t>(dot - job_command.bin_file)
                               : strlen(job_command.bin_file);
  int written = snprintf(job_command.br_file, sizeof job_command.br_file, "%.*s%s",
                         static_cast<int>(stem), job_command.bin_file, BR_FILE_SUFFIX);
  if (written < 0 || static_cast<size_t>(written) >= sizeof job_command.br_file) {
    return syntax_error("name too long\n");
  }
  return 0;
}

int write_data_16() {
  uint32_t value = 0;
  if (hex_parameter(token, &value) != 0) return -1;
  if (value > MAX_16_BITS) return syntax_error("16 bits data out of range\n");
  job_command.data[0] = static_cast<uint8_t>(value);
  job_command.data[1] = static_cast<uint8_t>(value >> 8);
  return 0;
}

int write_data_8() {
  uint32_t value = 0;
  if (hex_parameter(token, &value) != 0) return -1;
  if (value > MAX_8_BITS) return syntax_error("8 bits data out of range\n");
  job_command.data[0] = static_cast<uint8_t>(value);
  return 0;
}

int write_data_32() {
  uint32_t value = 0;
  if (hex_parameter(token, &value) != 0) return -1;
  for (int i = 0; i < 4; ++i) {
    job_command.data[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  return 0;
}

bool is_white(char c) { return c != '\0' && strchr(WHITE_SPACE, c) != nullptr; }

// Copies the next token at *scan into `token` and moves *scan behind it.
// Returns false when only white space is left.
bool next_token(const char** scan) {
  const char* start = *scan;
  while (is_white(*start)) ++start;
  size_t length = 0;
  while (start[length] != '\0' && !is_white(start[length]) && length < LINE_SIZE - 1) {
    token[length] = start[length];
    ++length;
  }
  token[length] = '\0';
  *scan = start + length;
  return length > 0;
}

void upper_case_token() {
  for (char* c = token; *c != '\0'; ++c) {
    *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
  }
}

// Reads the next line into `line`: at most LINE_SIZE - 1 characters, up to and
// including its line end. Returns the count read (NUL bytes included), 0 at
// the end of the file.
size_t line_read(FILE* job_file) {
  size_t length = 0;
  while (length < LINE_SIZE - 1) {
    const int c = getc(job_file);
    if (c == EOF) break;
    line[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[length] = '\0';
  return length;
}

// Copies `length` characters of `text` to `out` (2 x length + 1 bytes at
// least), each NUL shown as the two characters \0.
void nul_shown(char* out, const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\0') {
      *out++ = '\\';
      *out++ = '0';
    } else {
      *out++ = text[i];
    }
  }
  *out = '\0';
}

// A line holding a NUL (a binary or UTF-16 file taken for a job) is refused
// whole: read as text it would end at the NUL, and whatever follows would be
// dropped without a word. The usual report, with every NUL shown as \0 and
// the token that holds the first one.
void nul_line_report(size_t length) {
  const char* first_nul = static_cast<const char*>(memchr(line, '\0', length));
  const size_t nul = static_cast<size_t>(first_nul - line);
  size_t start = nul;
  while (start > 0 && !is_white(line[start - 1])) --start;
  size_t end = nul;
  while (end < length && !is_white(line[end])) ++end;
  char shown_line[2 * LINE_SIZE];
  char shown_token[2 * LINE_SIZE];
  nul_shown(shown_line, line, length);
  nul_shown(shown_token, line + start, end - start);
  log_error("NUL character in line\n");
  log_error(SECTION_BANNER "%s", shown_line);
  log_error("token --> %s\n", shown_token);
}

}  // namespace

int token1_decode() {
  job_command.control = static_cast<uint8_t>(job_command.control & ~CONTROL_READ);
  if (token[0] == COMMENT_CHAR) {
    job_command.kind = JOB_COMMENT;
    return 0;
  }
  for (const Keyword& keyword : KEYWORDS) {
    int params = uart_job() ? keyword.uart_params : keyword.spi_params;
    if (params != NOT_IN_PHASE && strcmp(token, keyword.name) == 0) {
      job_command.kind = keyword.kind;
      if (keyword.kind == JOB_READ_32 || keyword.kind == JOB_READ_16 ||
          keyword.kind == JOB_READ_8) {
        job_command.control = static_cast<uint8_t>(job_command.control | CONTROL_READ);
      }
      return params;
    }
  }
  return syntax_error(uart_job() ? "invalid UART job keyword\n" : "invalid SPI job keyword\n");
}

int token2_decode() {
  switch (job_command.kind) {
    case JOB_BIN_FILE:
      return hex_parameter(token, uart_job() ? &job_command.address : &job_command.frame_address);
    case JOB_WAIT: return decimal_parameter(token, &job_command.wait_ms);
    case JOB_JUMP: return jump_address();
    case JOB_WRITE_32:
    case JOB_READ_32: return access_address(WORD_ALIGNMENT, WIDTH_32, 4);
    case JOB_WRITE_16:
    case JOB_READ_16: return access_address(HALFWORD_ALIGNMENT, WIDTH_16, 2);
    case JOB_WRITE_8:
    case JOB_READ_8: return access_address(1, WIDTH_8, 1);
    case JOB_BR_FILE: return copy_text(job_command.br_file, sizeof job_command.br_file, token);
    case JOB_BIT_RATE: return decimal_parameter(token, &job_command.spi_speed_hz);
    case JOB_MODE: return spi_mode_parameter();
    default: return syntax_error("unexpected token\n");
  }
}

int token3_decode() {
  switch (job_command.kind) {
    case JOB_BIN_FILE:
      if (copy_text(job_command.bin_file, sizeof job_command.bin_file, token) != 0) return -1;
      return uart_job() && br_generation ? derive_br_file() : 0;
    case JOB_JUMP: return uart_job() ? syntax_error("unexpected token\n") : module_decode();
    case JOB_WRITE_32: return write_data_32();
    case JOB_WRITE_16: return write_data_16();
    case JOB_WRITE_8: return write_data_8();
    default: return syntax_error("unexpected token\n");
  }
}

int token4_decode() {
  if (!uart_job() && job_command.kind == JOB_BIN_FILE) return module_decode();
  return syntax_error("unexpected token\n");
}

int module_decode() {
  device_path[0] = '\0';
  for (const Module& module : MODULES) {
    if (strcmp(token, module.name) != 0) continue;
    bool found =
        module.slot == BROADCAST ? module_mask != 0 : (module_mask & (1u << module.slot)) != 0;
    // A module the search did not find fails the line without a report of
    // its own; the frame's failure banner tells the job ended.
    if (!found) return -1;
    return device_path_format(device_path, SPI_DEVICE_STEM, module.device);
  }
  return syntax_error("bad sound module\n");
}

int (*const token_decoders[MAX_TOKENS])() = {token1_decode, token2_decode, token3_decode,
                                             token4_decode, log_syntax_error};

JobLine job_read_line(FILE* job_file) {
  const size_t length = line_read(job_file);
  // A file that cannot be read must not pass for one that has ended.
  if (ferror(job_file) != 0) {
    log_error("job file read failed (%d)\n", errno);
    return JobLine::FAILED;
  }
  if (length == 0) return JobLine::END;
  job_command.kind = JOB_NONE;
  if (memchr(line, '\0', length) != nullptr) {
    nul_line_report(length);
    return JobLine::FAILED;
  }
  const char* scan = line;
  int result = 0;
  for (int position = 0; position < MAX_TOKENS && next_token(&scan); ++position) {
    if (position == 0) {
      upper_case_token();
      result = token1_decode();
      job_command.params_left = result;
    } else {
      result = token_decoders[position]();
      --job_command.params_left;
    }
    if (job_command.kind == JOB_NONE || job_command.kind == JOB_COMMENT) break;
    if (result < 0) return JobLine::FAILED;
  }
  if (result < 0) return JobLine::FAILED;
  if (job_command.kind == JOB_NONE) return JobLine::BLANK;
  if (job_command.params_left != 0) {
    log_error(SECTION_BANNER "%s", line);
    log_error("Parameter missing\n");
    return JobLine::FAILED;
  }
  return JobLine::COMMAND;
}
