// kovrel: the slave bootstrap manager. All state is process-wide and lives
// for the whole run; this header is the one place where it is declared.
// Each unit owns the definitions of its own part of the state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------------------
// Run settings (set from the options, then read-only) -- run_sequence.cpp

constexpr size_t JOB_NAME_MAX = 200;  // characters, terminator not counted
extern char uart_job_name[JOB_NAME_MAX + 1];
extern char spi_job_name[JOB_NAME_MAX + 1];
extern int32_t uart_port;
extern int32_t uart_baud;
extern bool uart_rx;
extern bool br_generation;
extern int verbosity;

constexpr int32_t UART_DEFAULT_BAUD = 38400;

// ---------------------------------------------------------------------------
// Run state -- run_sequence.cpp

// A phase's number is also its bit in `verbosity` (-v 1 UART, 2 SPI, 3 both).
enum Phase { PHASE_OPTIONS = 0, PHASE_UART = 1, PHASE_SPI = 2 };
extern int current_phase;
extern int current_device;  // -1 when no device is open
constexpr size_t DEVICE_PATH_SIZE = 16;
extern char device_path[DEVICE_PATH_SIZE];
extern int32_t uart_byte_time_us;

int kovrel_main(int argc, char** argv);
// Reads the options into the run settings; 0, or -1 when the run must end
// (reported, usage printed where due).
int options_read(int argc, char** argv);
void print_usage();
// Puts every process-wide setting and state back to its start value (and
// closes an open device), so that tests can run one case after another.
void kovrel_reset_state();

// ---------------------------------------------------------------------------
// Console and device I/O -- console_io.cpp

// The rule of 80 '-' that section banners and syntax reports print.
#define RULE_80 "--------------------------------------------------------------------------------"
// Section banner prefix: an empty line, the rule, a line end; the title follows.
#define SECTION_BANNER "\n" RULE_80 "\n"

void log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
int log_syntax_error();
void log_debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_verbose(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Exactly n bytes to / from current_device; 0 or -1 (reported).
int write_all(const void* buffer, size_t n);
int read_all(void* buffer, size_t n);
// One read of up to max bytes from current_device, repeated only while the
// device answers EAGAIN or EINTR (bounded like read_all). Returns the count
// read, or -1 with errno set; a stalled device is reported before -1.
long read_once(void* buffer, size_t max);
// Closes current_device if it is open and marks it closed; a serial port
// taken with device_exclusive_take is given back first.
void close_current_device();
// Two programs at one device interleave their bytes or switch each other's
// settings, and each thinks it succeeded. Every device kovrel drives is
// therefore locked for its phase with an advisory lock that the bench tools
// take too. device_lock locks `fd`, the device `name`, at once or not at all:
// 0, or -1 reported ("<%s> is in use by another program" when another
// program holds it, "cannot lock <%s>" otherwise).
int device_lock(int fd, const char* name);
// Makes current_device, a serial port, refuse every further open (TIOCEXCL)
// until close_current_device or device_exclusive_release; 0, or -1 with
// errno set.
int device_exclusive_take();
// Gives the exclusive use back (TIOCNXCL); the port stays open.
void device_exclusive_release();
// Drops whatever the serial port (current_device) received that nobody will
// read: the slaves' echoes and answers when they are not checked.
void uart_discard_input();
// Waits until current_device has sent what it holds (a serial port's output
// queue is empty), bounded like write_all: 0, or -1 after the stall report.
int drain_output();
// Waits until current_device's transmitter has sent its last character (a
// UART still holds characters in its FIFO and shift register after the
// kernel's queue is empty): asks the driver every poll_us where it can tell,
// under the stall bound (0, or -1 after the stall report); where it cannot,
// sleeps fallback_us, the time a full transmitter takes to empty.
int drain_transmitter(int64_t poll_us, int64_t fallback_us);
// Both waits, for a line whose character takes char_time_us: returns when
// the last character written has left the UART (0), or -1 after the stall
// report. A pause after it counts from that moment.
int uart_drain(int32_t char_time_us);
// Pauses on the serial and SPI links. Each one ends `microseconds` after its
// origin: the moment the last transfer completed (write_all, read_all,
// read_once and drain_output mark it; a device written without them calls
// pause_origin_now), or the end of the pause before it when no transfer came
// between. The sleep lasts until then, also across signals, and that moment
// becomes the origin of the next pause; a pause whose end has already passed
// returns at once. Nothing for 0 or less beyond that.
void link_pause_us(int64_t microseconds);
// Makes now the origin of the next pause.
void pause_origin_now();

// The devices kovrel opens by number: the GPIO unit of the slaves' reset
// line, the serial ports, and the chip selects of SPI bus 2.
constexpr char GPIO_DEVICE_STEM[] = "/dev/gpio";
constexpr char UART_DEVICE_STEM[] = "/dev/ttyS";
constexpr char SPI_DEVICE_STEM[] = "/dev/spidev2.";
// The stem followed by the number in decimal ("/dev/ttyS3"), bounded by the
// path's size: 0, or -1 when the name does not fit (path then holds the part
// that fit). Nothing is reported.
int device_path_format(char (&path)[DEVICE_PATH_SIZE], const char* stem, int number);

// ---------------------------------------------------------------------------
// Job file reader -- job_reader.cpp

enum JobKind {
  JOB_NONE = 0,
  JOB_COMMENT = 1,
  JOB_BIN_FILE = 2,
  JOB_WAIT = 3,
  JOB_JUMP = 4,
  JOB_WRITE_32 = 5,
  JOB_WRITE_16 = 6,
  JOB_WRITE_8 = 7,
  JOB_READ_32 = 8,
  JOB_READ_16 = 9,
  JOB_READ_8 = 10,
  JOB_BR_FILE = 11,
  JOB_BIT_RATE = 12,
  JOB_MODE = 13
};

// Boot record control byte: bits 0-4 count, bit 5 read, bits 6-7 width.
constexpr uint8_t CONTROL_COUNT_MASK = 0x1F;
constexpr uint8_t CONTROL_READ = 0x20;
constexpr int CONTROL_WIDTH_SHIFT = 6;
constexpr uint8_t CONTROL_WIDTH_MASK = 0xC0;
constexpr int WIDTH_8 = 0;
constexpr int WIDTH_16 = 1;
constexpr int WIDTH_32 = 3;

constexpr size_t BOOT_RECORD_DATA_MAX = 32;
constexpr size_t LINE_SIZE = 200;      // line and token buffers
constexpr size_t BIN_FILE_SIZE = 200;  // up to 199 characters
constexpr size_t BR_FILE_SIZE = 203;   // up to 202 characters (".br" appended)
constexpr int32_t SPI_DEFAULT_SPEED_HZ = 100000;

struct JobCommand {
  JobKind kind;
  int32_t params_left;
  uint32_t address;
  uint8_t control;
  uint8_t data[BOOT_RECORD_DATA_MAX];
  int32_t wait_ms;
  char bin_file[BIN_FILE_SIZE];
  char br_file[BR_FILE_SIZE];
  // The SpiFrameHeader of the next SPI frame: kept adjacent, in this order,
  // so that the 12 header bytes are written straight from them.
  uint32_t frame_address;
  uint32_t frame_size;
  uint32_t frame_checksum;
  int32_t spi_speed_hz;
  uint8_t spi_mode;
};

// The one JobCommand of the run.
extern JobCommand job_command;
// Its value at the start of a run.
constexpr JobCommand JOB_COMMAND_START = {
    JOB_NONE, 0, 0, 0, {}, 0, {}, {}, 0, 0, 0, SPI_DEFAULT_SPEED_HZ, 0};

// The reader's buffers: the current line as read, and the token being decoded.
extern char line[LINE_SIZE];
extern char token[LINE_SIZE];

enum class JobLine { END, BLANK, COMMAND, FAILED };

JobLine job_read_line(FILE* job_file);
int token1_decode();
int token2_decode();
int token3_decode();
int token4_decode();
int module_decode();
extern int (*const token_decoders[5])();

// ---------------------------------------------------------------------------
// Job run frame -- run_job.cpp

int run_job();

// One row of an executor's dispatch table: a job kind and the handler that
// carries it out (0, or -1 reported). An executor refuses the kinds it has
// no row for.
struct JobAction {
  JobKind kind;
  int (*run)();
};

// ---------------------------------------------------------------------------
// UART link -- uart_link.cpp

constexpr uint32_t BAUD_CHANGE_ADDRESS = 0x002060A8;

// Opens the serial port of the run and locks it, before the slaves are
// reset: a second bring-up must stop before its reset pulse breaks the
// first one's download. 0, or -1 reported (another program holds the port);
// a port that cannot be opened is left for open_uart to report.
int uart_port_claim();
// Closes a port claimed and not yet taken over by open_uart.
void uart_port_release();
int reset_slaves();
int open_uart();
int sync_slaves();
int change_slave_baud();
int32_t uart_byte_time_for(int32_t baud);
uint32_t baud_change_value(int32_t baud);

// The record written to the GPIO device to drive the slaves' reset line. The
// driver takes it in the board's little-endian order, which is also the
// order of both targets this builds for.
struct GpioRequest {
  uint8_t op;
  uint8_t padding[3];
  uint32_t mask;
  uint32_t value;
};
static_assert(sizeof(GpioRequest) == 12, "the GPIO driver takes 12-byte requests");
static_assert(offsetof(GpioRequest, mask) == 4 && offsetof(GpioRequest, value) == 8,
              "GPIO request field offsets");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "GPIO requests are little-endian");

// Sets the board's port (current_device) to baud for input and output, at
// once; 0 or -1 (errno set, not reported).
int uart_port_set_speed(int32_t baud);
// Speeds without a termios constant go through the kernel's arbitrary-speed
// interface (uart_speed.cpp, kept apart because its header clashes with
// <termios.h>). 0 or -1 (errno set).
int uart_port_set_custom_speed(int fd, uint32_t baud);
// The output and input speeds in baud that the driver reports for fd; 0 or
// -1 (errno set).
int uart_port_custom_speed_read(int fd, uint32_t* output_baud, uint32_t* input_baud);
// POSIX lets a setting call succeed when only part of it took effect, and a
// UART driver that cannot make a speed may keep the old one: true when the
// speed read back is the one asked, within the 2 % that a UART's divisor
// rounding may take off it (the slaves' receivers take as much).
bool uart_speed_matches(uint32_t actual, int32_t wanted);

// ---------------------------------------------------------------------------
// Boot records -- boot_record.cpp

int boot_record_write();
int boot_record_read();

constexpr size_t BOOT_RECORD_ADDRESS_CHARS = 8;
constexpr size_t BOOT_RECORD_CONTROL_CHARS = 2;
constexpr size_t BOOT_RECORD_COMMAND_CHARS = BOOT_RECORD_ADDRESS_CHARS + BOOT_RECORD_CONTROL_CHARS;
// Longest record text: the command and 31 data bytes.
constexpr size_t BOOT_RECORD_TEXT_MAX = BOOT_RECORD_COMMAND_CHARS + 2 * CONTROL_COUNT_MASK;

// value as `digits` upper-case hex digits and a terminator (size >= digits + 1).
void boot_record_hex(char* out, uint32_t value, int digits);
// The data field of job_command encoded by its width: 2 x count characters
// and a terminator. Returns the character count, or -1 for width 2 or a
// buffer too small.
int boot_record_data_text(char* out, size_t size);

// ---------------------------------------------------------------------------
// Boot record files: reading and checking -- br_file.cpp

// The next record of an open br file into `word` (BOOT_RECORD_TEXT_MAX + 1
// bytes): its length, 0 at the end of the file, or -1 for a word that is no
// record (longer than 72 characters, not upper-case hexadecimal, or not as
// long as its control byte says), reported with `name` and its line. *line_number counts
// the lines read so far: 1 before the first call.
long br_record_read(FILE* file, const char* name, char* word, int* line_number);
// Checks every record of the open br file, then rewinds it. 0, or -1
// (reported).
int br_file_check(FILE* file, const char* name);

// ---------------------------------------------------------------------------
// Boot record files: writing -- br_output.cpp

// The br file a UART BIN_FILE download writes with -w, under a temporary
// name beside job_command.br_file until the download has succeeded; appended
// to by boot_record_write; null when no download writes one.
extern FILE* br_output;
// Creates the temporary file and opens br_output on it; 0 or -1 (reported).
int br_output_open();
// After a successful download: the temporary file, on disk, replaces the br
// file. 0, or -1 (reported); br_output is closed either way.
int br_output_commit();
// After a failed download: the temporary file goes, an earlier br file stays.
void br_output_discard();

// ---------------------------------------------------------------------------
// Files a job names -- input_file.cpp

// What an input file may be: a regular file (binary images, br files), or
// anything that can be read to its end but a directory (job files: pipes,
// FIFOs and character devices too).
enum class InputKind { REGULAR, STREAM };
// Opens a job file, binary image or br file for reading without blocking on
// the open, and only when it is of `kind`. A descriptor in blocking mode, or
// -1 (reported: "cannot open <%s>" or "<%s> is not a regular file").
int input_file_open(const char* name, InputKind kind = InputKind::REGULAR);
// The same as a stdio stream; null (reported) on failure.
FILE* input_file_fopen(const char* name, InputKind kind = InputKind::REGULAR);
// The size of the open file `name`; -1 (reported as "cannot read <%s>") when
// its status cannot be had.
int64_t input_file_size(int fd, const char* name);
// The slaves and modules have 32-bit addresses: a download of `size` bytes
// from `address` must end at 0xFFFFFFFF at the latest, or it would wrap to
// address 0. 0, or -1 (reported with the file's name).
int download_range_check(uint32_t address, uint64_t size, const char* name);
// Reads `size` bytes of the open file `name` into buffer, repeating the read
// after a signal or a part; fewer only when the file ends first. The count,
// or -1 (reported as "cannot read <%s>") for a read that failed.
long input_file_read(int fd, void* buffer, size_t size, const char* name);

// ---------------------------------------------------------------------------
// UART executor -- uart_exec.cpp

int uart_job_exec();

// ---------------------------------------------------------------------------
// SPI link and module search -- spi_link.cpp

constexpr int SPI_DEVICE_COUNT = 5;
constexpr int SPI_SLOT_COUNT = 4;
constexpr int SPI_BROADCAST_DEVICE = 4;

extern uint8_t module_mask;
extern uint16_t module_dsp_count[SPI_SLOT_COUNT];

// Opens and locks the five devices for the whole SPI phase (the operations
// open them again, one at a time): 0, or -1 reported, nothing sent.
int spi_devices_claim();
void spi_devices_release();
int spi_setup();  // set-up and module search at the start of the SPI phase
int spi_set_speed();
int spi_set_bits_per_word();
int spi_set_mode();
int module_search();
// Builds "/dev/spidev2.<number>" in device_path; 0 or -1 (reported).
int spi_device_name(int number);
// Builds the name and opens the device read-write as current_device; 0 or -1
// (reported as "cannot open <%s>").
int spi_device_open(int number);
// The 16-bit word of a read answer, whose low byte comes first.
uint16_t spi_word_of(const uint8_t bytes[2]);

// ---------------------------------------------------------------------------
// Framing -- spi_frame.cpp

constexpr size_t SPI_FRAME_MAX_DATA = 4096;

struct SpiFrameHeader {
  uint32_t frame_address;
  uint32_t frame_size;  // 0: a jump frame
  uint32_t frame_checksum;
};

extern uint8_t frame_data[SPI_FRAME_MAX_DATA];

int spi_send_frame();
uint32_t frame_checksum_of(const uint8_t* data, size_t size);
// The hex dump of a data frame, through log_verbose: 16 bytes a line, each
// line headed by the address of its first byte.
void frame_dump(uint32_t address, const uint8_t* data, size_t size);

// ---------------------------------------------------------------------------
// SPI executor -- spi_exec.cpp

int spi_job_exec();
