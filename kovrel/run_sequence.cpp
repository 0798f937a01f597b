// The run sequence of kovrel: the options into the run settings, the usage
// text, then the UART phase and the SPI phase in that order, and the exit
// status. Also the definitions of the run settings and run state.
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "kovrel.h"

char uart_job_name[JOB_NAME_MAX + 1];
char spi_job_name[JOB_NAME_MAX + 1];
int32_t uart_port = 0;
int32_t uart_baud = UART_DEFAULT_BAUD;
bool uart_rx = false;
bool br_generation = false;
int verbosity = 0;
int current_phase = PHASE_OPTIONS;
int current_device = -1;
char device_path[DEVICE_PATH_SIZE];
int32_t uart_byte_time_us = 0;

namespace {

constexpr const char* OPTION_STRING = "v:p:b:ru:ws:h";
constexpr int VERSION_MAJOR = 1;
constexpr int VERSION_MINOR = 0;
constexpr char VERSION_LETTER = 'r';
constexpr char COMMENT_CHAR = ';';
constexpr int VERBOSITY_MAX = 3;
constexpr int32_t SUPPORTED_BAUDS[] = {600,   1200,  2400,  4800,  9600, 14400,
                                       19200, 28800, 38400, 56000, 57600};
// Lets the slaves settle after the UART job before the SPI phase talks to them.
constexpr int64_t AFTER_UART_JOB_PAUSE_US = 100000;
// Timer slack of the process, in nanoseconds. A normal thread's default of
// 50 us lets the kernel end every sleep that much late, to batch wake-ups;
// a UART bring-up makes three sleeps per boot record and waits for nothing
// else, so the least slack the kernel takes keeps each pause at its length.
constexpr unsigned long PAUSE_TIMER_SLACK_NS = 1;

constexpr const char USAGE_BLOCK_1[] =
    "\n"
    "SLAVE BOOTSTRAP MANAGER - ARM (v%d.%d%c)\n"
    "\n"
    "Usage: kovrel [-vV] [-uU [-pP] [-r] [-w]] [-sS]\n"
    "\n"
    "  -vV Verbose - optional\n"
    "      Possible value are:\n"
    "        0 - Silent (default if omitted)\n"
    "        1 - UART verbose\n"
    "        2 - SPI verbose\n"
    "        3 - UART & SPI verbose\n"
    "\n\n";

constexpr const char USAGE_BLOCK_2[] =
    "  -uU File name for UART job - optional\n"
    "      Example: -uuart_job.txt\n"
    "      File syntax:\n"
    "        * Each line begining with '%c' is a comment\n"
    "        * Single 32 bits data write\n"
    "            WRITE_32 HexAd HexData\n"
    "              HexAd    Word aligned address\n"
    "              HexData  32 bits data to write\n"
    "              Example: WRITE_32 0x001122FC 0xCAFEDECA\n"
    "        * Single 16 bits data write\n"
    "            WRITE_16 HexAd HexData\n"
    "              HexAd    Halfword aligned address\n"
    "              HexData  16 bits data to write\n"
    "              Example: WRITE_16 0x001122FE 0xCAFE\n"
    "        * Single 8 bits data write\n"
    "            WRITE_8 HexAd HexData\n"
    "              HexAd    Address\n"
    "              HexData  8 bits data to write\n"
    "              Example: WRITE_8 0x001122FF 0xCA\n"
    "        * Single 32 bits data read\n"
    "            READ_32 HexAd\n"
    "              HexAd    Word aligned address\n"
    "              Example: READ_32 0x001122FC\n"
    "        * Single 16 bits data read\n"
    "            READ_16 HexAd\n"
    "              HexAd    Halfword aligned address\n"
    "              Example: READ_16 0x001122FE\n"
    "        * Single 8 bits data read\n"
    "            READ_8 HexAd\n"
    "              HexAd    Address\n"
    "              Example: READ_8 0x001122FF\n"
    "        * Binary file download\n"
    "            BIN_FILE HexAd FName\n"
    "              HexAd    Address\n"
    "              FName    Binary file name\n"
    "              Example: BIN_FILE 0x0000100F prog.bin\n"
    "        * Boot record file download\n"
    "            BR_FILE FName\n"
    "              FName    Boot record file name\n"
    "              Example: BR_FILE prog.br\n"
    "        * Wait before next command execution\n"
    "            WAIT msec\n"
    "              msec     Wait duration in msec\n"
    "              Example: WAIT 100\n"
    "        * Jump to entry point\n"
    "            JUMP HexAd\n"
    "              HexAd    Word aligned entry point address\n"
    "              Example: JUMP 0x00001000\n"
    "\n"
    "  -pP Define UART device to use\n"
    "        Should be present only if -uU is present\n"
    "        If omitted /dev/ttyS0 is used\n"
    "           Example: -p1 to use /dev/ttyS1\n"
    "\n"
    "  -bB Define UART baud rate (max 57600) - optional\n"
    "        Should be present only if -uU is present\n"
    "\n"
    "  -r  Enable UART Rx (single module) - default is disabled\n"
    "        Should be present only if -uU is present\n"
    "\n"
    "  -w  Enable Boot Record file generation - default is disabled\n"
    "        Should be present only if -uU is present;\n"
    "        The file is actually written only if uart job specifies BIN_FILE\n"
    "\n\n";

constexpr const char USAGE_BLOCK_3[] =
    "  -sS File name for SPI job - optional\n"
    "      Example: -sspi_job.txt\n"
    "\n"
    "      File syntax:\n"
    "        * Each line begining with '%c' is a comment\n"
    "        * Set SPI speed\n"
    "            BIT_RATE FreqHz\n"
    "              FreqHz   SPI clock frequency in Hz\n"
    "              Example: BIT_RATE 2000000\n"
    "              If omitted default to max possible speed\n"
    "        * Set SPI mode\n"
    "            MODE Mode\n"
    "              Mode     SPI clock mode\n"
    "                       Possible value are:\n"
    "                         0 - CPOL=0 and CPHA=0\n"
    "                         1 - CPOL=0 and CPHA=1\n"
    "                         2 - CPOL=1 and CPHA=0\n"
    "                         3 - CPOL=1 and CPHA=1\n"
    "              If omitted default to CPOL=0 and CPHA=0\n"
    "        * Binary file download\n"
    "            BIN_FILE HexAd FName Module\n"
    "              HexAd    Halfword aligned address\n"
    "              FName    Binary file name\n"
    "              Module   Target sound module\n"
    "                       Possible value are:\n"
    "                         M0  writes to SPI /CS_0\n"
    "                         M1  writes to SPI /CS_1\n"
    "                         M2  writes to SPI /CS_2\n"
    "                         M3  writes to SPI /CS_3\n"
    "                         ALL writes to SPI /CS_4 (for broadcast download)\n"
    "\n"
    "        * Wait before next command execution\n"
    "            WAIT msec\n"
    "              msec     Wait duration in msec\n"
    "              Example: WAIT 100\n"
    "        * Jump to entry point\n"
    "            JUMP HexAd Module\n"
    "              HexAd    Word aligned entry point address\n"
    "              Example: JUMP 0x00001000 ALL\n"
    "              Module   Target sound module\n"
    "                       Possible value are:\n"
    "                         M0  writes to SPI /CS_0\n"
    "                         M1  writes to SPI /CS_1\n"
    "                         M2  writes to SPI /CS_2\n"
    "                         M3  writes to SPI /CS_3\n"
    "                         ALL writes to SPI /CS_4 (for broadcast download)\n"
    "\n\n";

// A decimal option argument as strtol reads it with base 10 (no digits give
// 0), held to the 32-bit range so that the board and a 64-bit host agree.
int32_t decimal_argument(const char* text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool is_supported_baud(int32_t baud) {
  for (int32_t supported : SUPPORTED_BAUDS) {
    if (baud == supported) return true;
  }
  return false;
}

// A job file name is refused rather than cut: a shortened name would open
// another file.
int set_job_name(char option, char* name, const char* argument) {
  int length = snprintf(name, JOB_NAME_MAX + 1, "%s", argument);
  if (length < 0 || static_cast<size_t>(length) > JOB_NAME_MAX) {
    name[0] = '\0';
    log_error("-%c file name longer than %d characters\n", option, static_cast<int>(JOB_NAME_MAX));
    return -1;
  }
  return 0;
}

// The serial device name must fit the 16-byte device_path of the run.
int set_uart_port(int32_t port) {
  char path[DEVICE_PATH_SIZE];
  if (device_path_format(path, UART_DEVICE_STEM, static_cast<int>(port)) != 0) {
    log_error("-p %d gives a serial device name longer than %d characters\n", port,
              static_cast<int>(DEVICE_PATH_SIZE - 1));
    return -1;
  }
  uart_port = port;
  return 0;
}

int set_verbosity(int32_t value) {
  if (value < 0 || value > VERBOSITY_MAX) {
    log_error("bad -v option value\n");
    return -1;
  }
  verbosity = value;
  return 0;
}

int set_uart_baud(int32_t baud) {
  if (!is_supported_baud(baud)) {
    log_error("unsupported uart baud rate %d\n", baud);
    return -1;
  }
  uart_baud = baud;
  return 0;
}

// Handles one option as getopt returned it; 0 to go on, -1 to end the run.
int apply_option(int option, const char* argument) {
  switch (option) {
    case 'v': return set_verbosity(decimal_argument(argument));
    case 'p': return set_uart_port(decimal_argument(argument));
    case 'b': return set_uart_baud(decimal_argument(argument));
    case 'r': uart_rx = true; return 0;
    case 'w': br_generation = true; return 0;
    case 'u': return set_job_name('u', uart_job_name, argument);
    case 's': return set_job_name('s', spi_job_name, argument);
    case 'h': print_usage(); return -1;
    default:
      log_error("unrecognized options -%c\n", option);
      print_usage();
      return -1;
  }
}

int run_uart_phase() {
  current_phase = PHASE_UART;
  if (uart_port_claim() != 0 || reset_slaves() != 0 || open_uart() != 0 || sync_slaves() != 0) {
    return -1;
  }
  if (uart_baud != UART_DEFAULT_BAUD && change_slave_baud() != 0) return -1;
  log_verbose("UART byte trasmission time = %d usec\n", uart_byte_time_us);
  if (run_job() != 0) return -1;
  link_pause_us(AFTER_UART_JOB_PAUSE_US);
  return 0;
}

int run_spi_phase() {
  current_phase = PHASE_SPI;
  const int result = spi_setup() == 0 && run_job() == 0 ? 0 : -1;
  spi_devices_release();
  return result;
}

}  // namespace

int options_read(int argc, char** argv) {
  opterr = 0;
  int option = 0;
  while ((option = getopt(argc, argv, OPTION_STRING)) != -1) {
    if (apply_option(option, optarg) != 0) return -1;
  }
  return 0;
}

void print_usage() {
  printf(USAGE_BLOCK_1, VERSION_MAJOR, VERSION_MINOR, VERSION_LETTER);
  printf(USAGE_BLOCK_2, COMMENT_CHAR);
  printf(USAGE_BLOCK_3, COMMENT_CHAR);
}

int kovrel_main(int argc, char** argv) {
  // Progress and error lines must appear in the order they are produced.
  setvbuf(stderr, nullptr, _IONBF, 0);
  // A console that went away (a closed pipe, a dropped session) must not end
  // a bring-up half way: its write errors are ignored, those of the devices
  // are still seen and reported.
  signal(SIGPIPE, SIG_IGN);
  // Where the kernel refuses, the pauses are only longer, never shorter.
  (void)prctl(PR_SET_TIMERSLACK, PAUSE_TIMER_SLACK_NS, 0, 0, 0);
  if (options_read(argc, argv) != 0) return -1;
  int result = 0;
  if (uart_job_name[0] != '\0') result = run_uart_phase();
  if (result == 0 && spi_job_name[0] != '\0') result = run_spi_phase();
  // The serial port stays open to the end, but free for the next user.
  device_exclusive_release();
  return result;
}

void kovrel_reset_state() {
  close_current_device();
  device_exclusive_release();
  uart_port_release();
  spi_devices_release();
  uart_job_name[0] = '\0';
  spi_job_name[0] = '\0';
  uart_port = 0;
  uart_baud = UART_DEFAULT_BAUD;
  uart_rx = false;
  br_generation = false;
  verbosity = 0;
  current_phase = PHASE_OPTIONS;
  device_path[0] = '\0';
  uart_byte_time_us = 0;
  pause_origin_now();
  job_command = JOB_COMMAND_START;
  line[0] = '\0';
  token[0] = '\0';
  module_mask = 0;
  memset(module_dsp_count, 0, sizeof module_dsp_count);
  // 0 makes getopt start over on a new argument vector.
  optind = 0;
}
