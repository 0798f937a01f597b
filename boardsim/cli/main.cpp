// boardsim [board options] -- PROGRAM ARGS...
// Runs one program on a simulated board and passes its standard streams and
// exit status through, for trying a program or a job file by hand.
// boardsim [board options] --serve DIR
// Serves the far ends to a board outside the simulator instead (serve.cpp).
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "boardsim/models/registry.h"
#include "boardsim/vcd.h"
#include "serve.h"

namespace {

constexpr int USAGE_ERROR = 2;
constexpr int SPI_DEVICES = 5;
// Far beyond any settings file or firmware image a board holds; a larger
// --file is a mistake (a device, a disk image) that would fill the sandbox.
constexpr off_t FILE_LIMIT = 64L << 20;

struct Attachment {
  std::vector<int> devices;
  std::string model;
  std::string args;
};

struct Options {
  boardsim::BoardConfig config;
  std::string trace;
  bool trace_jsonl = false;
  bool trace_format_given = false;
  std::string vcd;
  boardsim::VcdOptions vcd_options;
  bool vcd_window_given = false;
  double timeout_s = 0;  // 0: no limit
  std::vector<Attachment> spi;
  std::vector<Attachment> tty;
  std::vector<boardsim::SpiFault> faults;
  std::vector<boardsim::GpioFault> gpio_faults;
  std::vector<std::pair<std::string, std::string>> files;  // board path, host file
  std::string serve_dir;  // --serve: no program; the far ends serve an outside board
  std::vector<std::string> argv;
};

const char* const USAGE =
    "usage: boardsim [board options] -- PROGRAM ARGS...\n"
    "       boardsim [board options] --serve DIR\n"
    "Runs PROGRAM on a simulated board: its /tmp, /home/organ, /sys/class/rtc/rtc0 and\n"
    "/dev are a private sandbox, /dev/ttyS<n> are pseudo-terminals, /dev/gpio0 a FIFO,\n"
    "/dev/spidev2.0-4 the simulated SPI driver, date and hwclock stand-ins that record\n"
    "their calls. A board program is named without a path; other commands run as given.\n"
    "The program's standard streams and exit status are passed through (128+N when\n"
    "killed by signal N). With --serve, the far ends serve a board outside the simulator\n"
    "(a virtual machine's UARTs) over Unix sockets instead.\n"
    "\n"
    "Options (an option's value may also follow it as --OPTION=VALUE):\n"
    "  --help                        this text\n"
    "  --version                     the version of boardsim and its package\n"
    "  --trace FILE                  write the decoded journal of device events to FILE\n"
    "  --trace-format text|jsonl     the journal as text (default) or JSON lines\n"
    "  --vcd FILE                    write the board's lines as a Value Change Dump to FILE\n"
    "                                (serial TX/RX, SPI bus 2, slaves' reset line)\n"
    "  --vcd-window FROM_MS:TO_MS    draw only what the board did in this time span\n"
    "                                (milliseconds from the first event; TO_MS may be empty)\n"
    "  --timeout SECONDS             kill the program (or stop serving) after SECONDS\n"
    "                                (default: no limit)\n"
    "  --spi DEVICES=MODEL[:ARGS]    attach an SPI far end to chip selects DEVICES\n"
    "                                (4, 0-4 or 0,2; one model object for all of them)\n"
    "  --tty PORT=MODEL[:ARGS]       attach a serial far end to /dev/ttyS<PORT>\n"
    "  --spi-max-hz HZ               SPI controller maximum speed\n"
    "  --spi-fault DEV:OP:N:KIND[:COUNT]\n"
    "                                fail the Nth OP (read|write|xfer) on DEV with KIND\n"
    "                                (eio|short|eagain|eintr), COUNT calls in a row\n"
    "  --gpio-fault N:KIND           fail the Nth write to /dev/gpio0 with EIO (eio) or\n"
    "                                take only half of it (short)\n"
    "  --ports N                     number of serial ports (default 3)\n"
    "  --file BOARDPATH=HOSTFILE     copy HOSTFILE into the board at BOARDPATH first\n"
    "  --keep-sandbox                leave the sandbox directory behind\n"
    "  --no-wire-time                move serial bytes and SPI transfers at once instead of\n"
    "                                at the line's speed (quick experiments only: a program\n"
    "                                that passes so may still fail on the organ)\n"
    "  --serve DIR                   run no program: listen on DIR/ttyS<PORT> for each --tty\n"
    "                                and on DIR/gpio0 for the 12-byte GPIO requests; serve\n"
    "                                the board that connects until it closes a connection\n"
    "\n";

bool parse_number(const std::string& text, long min, long max, long& value) {
  // strtol would also take leading blanks and a sign; a number is digits.
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  value = strtol(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value >= min && value <= max;
}

// "FROM:TO" in milliseconds, TO possibly empty (to the end).
bool parse_window(const std::string& text, boardsim::VcdOptions& o) {
  constexpr double NS_PER_MS = 1e6;
  constexpr double LIMIT_MS = 1e12;  // far beyond any run, well inside 64 bits of ns
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  auto milliseconds = [](const std::string& part, double& ms) {
    char* end = nullptr;
    errno = 0;
    ms = strtod(part.c_str(), &end);
    return !part.empty() && errno == 0 && *end == '\0' && std::isfinite(ms) && ms >= 0 &&
           ms < LIMIT_MS;
  };
  double from = 0;
  double to = 0;
  if (!milliseconds(text.substr(0, colon), from)) return false;
  const std::string to_text = text.substr(colon + 1);
  if (!to_text.empty() && (!milliseconds(to_text, to) || to <= from)) return false;
  o.from_ns = static_cast<uint64_t>(llround(from * NS_PER_MS));
  o.to_ns = to_text.empty() ? UINT64_MAX : static_cast<uint64_t>(llround(to * NS_PER_MS));
  return true;
}

// "4", "0-4", "0,2", "0-1,3"
bool parse_devices(const std::string& text, int limit, std::vector<int>& devices) {
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, ',');) {
    const size_t dash = part.find('-');
    long first = 0;
    long last = 0;
    if (dash == std::string::npos) {
      if (!parse_number(part, 0, limit - 1, first)) return false;
      last = first;
    } else if (!parse_number(part.substr(0, dash), 0, limit - 1, first) ||
               !parse_number(part.substr(dash + 1), 0, limit - 1, last) || last < first) {
      return false;
    }
    for (long d = first; d <= last; ++d) devices.push_back(static_cast<int>(d));
  }
  return !devices.empty();
}

bool parse_attachment(const std::string& text, int limit, Attachment& a) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || !parse_devices(text.substr(0, eq), limit, a.devices)) return false;
  const std::string model = text.substr(eq + 1);
  const size_t colon = model.find(':');
  a.model = model.substr(0, colon);
  a.args = colon == std::string::npos ? "" : model.substr(colon + 1);
  return !a.model.empty();
}

bool parse_fault(const std::string& text, boardsim::SpiFault& f) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string p; std::getline(in, p, ':');) parts.push_back(p);
  if (parts.size() < 4 || parts.size() > 5) return false;
  long device = 0;
  long nth = 0;
  long count = 1;
  if (!parse_number(parts[0], 0, SPI_DEVICES - 1, device) ||
      !parse_number(parts[2], 1, 1000000, nth)) {
    return false;
  }
  if (parts.size() == 5 && !parse_number(parts[4], 1, 1000000, count)) return false;
  f.device = static_cast<int>(device);
  f.nth = static_cast<int>(nth);
  f.count = static_cast<int>(count);
  if (parts[1] == "read") {
    f.op = boardsim::SpiOp::Read;
  } else if (parts[1] == "write") {
    f.op = boardsim::SpiOp::Write;
  } else if (parts[1] == "xfer") {
    f.op = boardsim::SpiOp::Transfer;
  } else {
    return false;
  }
  if (parts[3] == "eio") {
    f.kind = boardsim::FaultKind::Eio;
  } else if (parts[3] == "short") {
    f.kind = boardsim::FaultKind::Short;
  } else if (parts[3] == "eagain") {
    f.kind = boardsim::FaultKind::Eagain;
  } else if (parts[3] == "eintr") {
    f.kind = boardsim::FaultKind::Eintr;
  } else {
    return false;
  }
  return true;
}

// "N:short" or "N:eio"
bool parse_gpio_fault(const std::string& text, boardsim::GpioFault& f) {
  const size_t colon = text.find(':');
  long nth = 0;
  if (colon == std::string::npos || !parse_number(text.substr(0, colon), 1, 1000000, nth)) {
    return false;
  }
  f.nth = static_cast<int>(nth);
  const std::string kind = text.substr(colon + 1);
  if (kind == "eio") {
    f.kind = boardsim::FaultKind::Eio;
  } else if (kind == "short") {
    f.kind = boardsim::FaultKind::Short;
  } else {
    return false;
  }
  return true;
}

// The options, read with getopt_long: "--trace FILE" and "--trace=FILE" alike.
enum OptionId {
  OPT_HELP = 256,
  OPT_VERSION,
  OPT_KEEP_SANDBOX,
  OPT_NO_WIRE_TIME,
  OPT_TRACE,
  OPT_TRACE_FORMAT,
  OPT_VCD,
  OPT_VCD_WINDOW,
  OPT_TIMEOUT,
  OPT_SPI,
  OPT_TTY,
  OPT_SPI_MAX_HZ,
  OPT_SPI_FAULT,
  OPT_GPIO_FAULT,
  OPT_PORTS,
  OPT_SERVE,
  OPT_FILE,
};

const struct option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, OPT_HELP},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"keep-sandbox", no_argument, nullptr, OPT_KEEP_SANDBOX},
    {"no-wire-time", no_argument, nullptr, OPT_NO_WIRE_TIME},
    {"trace", required_argument, nullptr, OPT_TRACE},
    {"trace-format", required_argument, nullptr, OPT_TRACE_FORMAT},
    {"vcd", required_argument, nullptr, OPT_VCD},
    {"vcd-window", required_argument, nullptr, OPT_VCD_WINDOW},
    {"timeout", required_argument, nullptr, OPT_TIMEOUT},
    {"spi", required_argument, nullptr, OPT_SPI},
    {"tty", required_argument, nullptr, OPT_TTY},
    {"spi-max-hz", required_argument, nullptr, OPT_SPI_MAX_HZ},
    {"spi-fault", required_argument, nullptr, OPT_SPI_FAULT},
    {"gpio-fault", required_argument, nullptr, OPT_GPIO_FAULT},
    {"ports", required_argument, nullptr, OPT_PORTS},
    {"serve", required_argument, nullptr, OPT_SERVE},
    {"file", required_argument, nullptr, OPT_FILE},
    {nullptr, 0, nullptr, 0},
};

// "--trace" for OPT_TRACE, as the error messages name an option.
std::string option_name(int id) {
  for (const option* opt = LONG_OPTIONS; opt->name != nullptr; ++opt) {
    if (opt->val == id) return std::string("--") + opt->name;
  }
  return "?";
}

// Takes the value of one option that has one; false when it is bad.
bool take_value(int id, const std::string& value, Options& o) {
  long n = 0;
  switch (id) {
    case OPT_TRACE: o.trace = value; return true;
    case OPT_TRACE_FORMAT:
      o.trace_jsonl = value == "jsonl";
      o.trace_format_given = true;
      return value == "text" || value == "jsonl";
    case OPT_VCD: o.vcd = value; return true;
    case OPT_VCD_WINDOW: o.vcd_window_given = true; return parse_window(value, o.vcd_options);
    case OPT_TIMEOUT: {
      // A finite number of seconds up to about 30 years (what "no limit"
      // stands for), in decimal digits with a fraction at most; strtod alone
      // would also take "inf", "1e10" or "0x10".
      constexpr double MAX_TIMEOUT_S = 1e9;
      const size_t point = value.find('.');
      const std::string whole = value.substr(0, point);
      const std::string fraction = point == std::string::npos ? "" : value.substr(point + 1);
      if (whole.empty() || whole.find_first_not_of("0123456789") != std::string::npos ||
          fraction.find_first_not_of("0123456789") != std::string::npos) {
        return false;
      }
      char* end = nullptr;
      errno = 0;
      o.timeout_s = strtod(value.c_str(), &end);
      return *end == '\0' && errno == 0 && std::isfinite(o.timeout_s) && o.timeout_s > 0 &&
             o.timeout_s <= MAX_TIMEOUT_S;
    }
    case OPT_SPI: {
      Attachment a;
      const bool ok = parse_attachment(value, SPI_DEVICES, a);
      o.spi.push_back(a);
      return ok;
    }
    case OPT_TTY: {
      Attachment a;
      const bool ok = parse_attachment(value, 64, a) && a.devices.size() == 1;
      o.tty.push_back(a);
      return ok;
    }
    case OPT_SPI_MAX_HZ:
      if (!parse_number(value, 1, 0xFFFFFFFFL, n)) return false;
      o.config.spi_controller_max_hz = static_cast<uint32_t>(n);
      return true;
    case OPT_SPI_FAULT: {
      boardsim::SpiFault f;
      const bool ok = parse_fault(value, f);
      o.faults.push_back(f);
      return ok;
    }
    case OPT_GPIO_FAULT: {
      boardsim::GpioFault f;
      const bool ok = parse_gpio_fault(value, f);
      o.gpio_faults.push_back(f);
      return ok;
    }
    case OPT_PORTS:
      if (!parse_number(value, 1, 64, n)) return false;
      o.config.serial_ports = static_cast<int>(n);
      return true;
    case OPT_SERVE: o.serve_dir = value; return !value.empty();
    case OPT_FILE: {
      const size_t eq = value.find('=');
      if (eq == std::string::npos || eq == 0 || eq + 1 >= value.size()) return false;
      o.files.emplace_back(value.substr(0, eq), value.substr(eq + 1));
      return true;
    }
    default: return false;
  }
}

// Returns -1 when the options are good, else the exit status to end with.
int parse_options(int argc, char** argv, Options& o) {
  // '+': the options end at the first word that is not one (what follows
  // "--" is the program's); ':': a missing value is told apart from an
  // unknown option, and getopt itself prints nothing.
  opterr = 0;
  optind = 1;
  const char* last_value = nullptr;
  for (;;) {
    const int word = optind;  // where the option being read starts
    const int id = getopt_long(argc, argv, "+:", LONG_OPTIONS, nullptr);
    if (id == -1) break;
    if (id == ':') {
      fprintf(stderr, "boardsim: %s needs an argument\n", option_name(optopt).c_str());
      return USAGE_ERROR;
    }
    if (id == '?') {
      if (optopt >= OPT_HELP) {
        fprintf(stderr, "boardsim: %s takes no argument (see --help)\n",
                option_name(optopt).c_str());
      } else {
        fprintf(stderr, "boardsim: unknown option %s (see --help)\n", argv[word]);
      }
      return USAGE_ERROR;
    }
    if (id == OPT_HELP) {
      fputs(USAGE, stdout);
      fputs(boardsim::models_help().c_str(), stdout);
      return 0;
    }
    if (id == OPT_VERSION) {
      printf("boardsim (organ-boardsim) %s\n", BOARDSIM_VERSION);
      return 0;
    }
    if (id == OPT_KEEP_SANDBOX) {
      o.config.keep_sandbox = true;
      continue;
    }
    if (id == OPT_NO_WIRE_TIME) {
      o.config.wire_time = false;
      continue;
    }
    last_value = optarg;
    if (!take_value(id, optarg, o)) {
      fprintf(stderr, "boardsim: bad %s argument '%s' (see --help)\n", option_name(id).c_str(),
              optarg);
      return USAGE_ERROR;
    }
  }
  int i = optind;
  // A word before "--" that is not an option is refused as one, as the
  // program comes only after "--" (which getopt has taken, unless it was an
  // option's value).
  const bool after_separator = i > 1 && strcmp(argv[i - 1], "--") == 0 && argv[i - 1] != last_value;
  if (i < argc && !after_separator) {
    fprintf(stderr, "boardsim: unknown option %s (see --help)\n", argv[i]);
    return USAGE_ERROR;
  }
  for (; i < argc; ++i) o.argv.push_back(argv[i]);
  if ((o.trace_format_given && o.trace.empty()) || (o.vcd_window_given && o.vcd.empty())) {
    fprintf(stderr, "boardsim: %s (see --help)\n",
            o.trace.empty() && o.trace_format_given ? "--trace-format needs --trace"
                                                    : "--vcd-window needs --vcd");
    return USAGE_ERROR;
  }
  o.vcd_options.serial_ports = o.config.serial_ports;
  if (!o.serve_dir.empty() && !o.argv.empty()) {
    fputs("boardsim: --serve runs no program (see --help)\n", stderr);
    return USAGE_ERROR;
  }
  if (o.serve_dir.empty() && o.argv.empty()) {
    fputs("boardsim: no program given (see --help)\n", stderr);
    return USAGE_ERROR;
  }
  return -1;
}

// A signal meant to stop the command goes to the program, so that the
// command still ends through its normal path and removes the sandbox. One
// that comes before the program runs is passed on once it does.
volatile sig_atomic_t forward_to = 0;
volatile sig_atomic_t held_signal = 0;

void forward_signal(int sig) {
  if (forward_to > 0) {
    kill(static_cast<pid_t>(forward_to), sig);
  } else {
    held_signal = sig;
  }
}

void catch_stop_signals() {
  struct sigaction sa {};
  sa.sa_handler = forward_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
}

void forward_stop_signals_to(pid_t program) {
  forward_to = program;
  if (held_signal != 0 && program > 0) kill(program, held_signal);
}

// Writes one output file of the run; false (after saying why) when it fails.
bool write_output(const std::string& path, const std::function<bool(std::ostream&)>& write) {
  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  bool ok = out.is_open() && write(out);
  if (out.is_open()) out.close();
  ok = ok && !out.fail();
  if (!ok) {
    const int err = errno;
    fprintf(stderr, "boardsim: cannot write %s%s%s\n", path.c_str(), err != 0 ? ": " : "",
            err != 0 ? strerror(err) : "");
  }
  return ok;
}

// The decoded journal and the wire dump the options ask for; false when one
// of them could not be written.
bool write_outputs(const boardsim::Journal& journal, const Options& o) {
  bool ok = true;
  if (!o.trace.empty()) {
    ok = write_output(o.trace, [&](std::ostream& out) {
      out << (o.trace_jsonl ? journal.to_jsonl() : journal.to_text());
      return static_cast<bool>(out);
    });
  }
  if (!o.vcd.empty()) {
    ok = write_output(
             o.vcd,
             [&](std::ostream& out) { return boardsim::write_vcd(journal, out, o.vcd_options); }) &&
         ok;
  }
  return ok;
}

// --serve: a stop signal ends the serving (it has no program to go to), and
// the journal is written as after a program.
int serve(boardsim::Board& board, const Options& o) {
  std::vector<int> ports;
  for (const auto& a : o.tty) ports.push_back(a.devices[0]);
  const int status = boardsim_cli::serve_outside_board(board, o.serve_dir, ports, o.timeout_s,
                                                       [] { return held_signal != 0; });
  const bool written = write_outputs(board.journal(), o);
  return status == 0 && !written ? 1 : status;
}

// Reads one --file: only a regular file of at most FILE_LIMIT bytes, so that
// a device (/dev/zero, a FIFO, a terminal) neither reads without end nor
// blocks, and a directory is not taken for an empty file. O_NONBLOCK keeps
// the open itself from waiting on a FIFO with no writer.
std::string read_host_file(const std::string& path, std::string& content) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "cannot read " + path + ": " + strerror(errno);
  struct stat st {};
  std::string error;
  if (fstat(fd, &st) != 0) {
    error = "cannot read " + path + ": " + strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    error = "bad --file " + path + ": not a regular file";
  } else if (st.st_size > FILE_LIMIT) {
    error = "bad --file " + path + ": larger than 64 MiB";
  }
  // Read up to one byte past the limit: a file that grows while it is read
  // is refused too rather than read without end.
  char buffer[65536];
  while (error.empty()) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + path + ": " + strerror(errno);
    } else if (n == 0) {
      break;
    } else if (content.size() + static_cast<size_t>(n) > static_cast<size_t>(FILE_LIMIT)) {
      error = "bad --file " + path + ": larger than 64 MiB";
    } else {
      content.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  return error;
}

// Attaches the models and copies the files; an error message when it fails.
std::string prepare(boardsim::Board& board, const Options& o) {
  std::string error;
  for (const auto& a : o.spi) {
    auto model = boardsim::make_spi_model(a.model, a.args, error);
    if (!model) return error;
    for (int d : a.devices) board.attach_spi(d, model);
  }
  for (const auto& a : o.tty) {
    if (a.devices[0] >= o.config.serial_ports) {
      return "no serial port " + std::to_string(a.devices[0]);
    }
    auto model = boardsim::make_serial_model(a.model, a.args, error);
    if (!model) return error;
    board.attach_serial(a.devices[0], model);
  }
  for (const auto& f : o.faults) board.add_fault(f);
  for (const auto& f : o.gpio_faults) board.add_gpio_fault(f);
  for (const auto& [board_path, host_file] : o.files) {
    std::string content;
    error = read_host_file(host_file, content);
    if (!error.empty()) return error;
    board.write_file(board_path, content);
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int early = parse_options(argc, argv, o);
  if (early >= 0) return early;
  catch_stop_signals();
  try {
    boardsim::Board board(o.config);
    const std::string error = prepare(board, o);
    if (!error.empty()) {
      fprintf(stderr, "boardsim: %s\n", error.c_str());
      return USAGE_ERROR;
    }
    if (o.config.keep_sandbox) {
      const std::string tmp = board.host_path("/tmp");
      fprintf(stderr, "boardsim: sandbox kept in %s\n", tmp.substr(0, tmp.rfind('/')).c_str());
    }
    if (!o.serve_dir.empty()) return serve(board, o);
    boardsim::Command command;
    command.argv = o.argv;
    command.passthrough_stdio = true;
    command.timeout_s = o.timeout_s > 0 ? o.timeout_s : 1e9;
    auto process = board.start(command);
    forward_stop_signals_to(process->pid());
    const boardsim::RunResult result = process->wait(command.timeout_s);
    fflush(stdout);
    const bool written = write_outputs(board.journal(), o);
    if (result.timed_out) {
      fprintf(stderr, "boardsim: %s timed out after %g s and was killed\n", o.argv[0].c_str(),
              o.timeout_s);
    }
    // A run whose journal was asked for and lost did not succeed.
    if (result.status == 0 && !written) return 1;
    return result.status < 0 ? 1 : result.status;
  } catch (const std::exception& e) {
    fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
