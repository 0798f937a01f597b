// The simulated board: a sandbox mounted over the board's fixed paths inside
// a private mount namespace, pseudo-terminals for the serial ports, a FIFO for
// the GPIO device, the spidev driver behind the preload shim, the far-end
// models, and the journal. Several commands run one after another on one Board
// share its device state, as programs on the real board share the drivers.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/far_end.h"
#include "boardsim/journal.h"

namespace boardsim {

struct BoardConfig {
  int serial_ports = 3;                     // /dev/ttyS0 .. ttyS<n-1> exist
  size_t spi_buffer_size = 4096;            // driver buffer; larger messages: EMSGSIZE
  uint32_t spi_controller_max_hz = 24000000;  // read-back of a higher speed gives this
  uint32_t spi_default_speed_hz = 1000000;  // max_speed_hz of a device before any write
  uint32_t spi_supported_modes = 0x3F;      // mode bits the controller accepts (CPHA..LOOP)
  uint32_t spi_supported_bits = 0xFFFF;     // bit n-1 set: n bits per word accepted (1..16)
  std::string workdir;  // where the sandbox directory is made; "" = $BOARDSIM_WORKDIR or /var/tmp
  bool keep_sandbox = false;                // leave the sandbox directory behind (debugging)
};

// Settings of one spidev device, kept for the Board's lifetime across opens
// and processes, as the kernel driver keeps them.
struct SpiDeviceState {
  uint32_t mode = 0;
  uint8_t bits_per_word = 8;
  uint32_t max_speed_hz = 0;  // set from BoardConfig::spi_default_speed_hz
  bool present = true;        // false: open fails with ENOENT
};

enum class SpiOp { Read, Write, Transfer };
enum class FaultKind { Eio, Short, Eagain, Eintr };

// A fault injected on one device: the nth call of `op` on it (counted from 1,
// per command run, failed calls included) and, for EAGAIN/EINTR runs, the
// count-1 calls after it fail the same way. A Short call moves short_len bytes
// (0: half the request, rounded down to whole words).
struct SpiFault {
  int device = 0;
  SpiOp op = SpiOp::Write;
  int nth = 1;
  FaultKind kind = FaultKind::Eio;
  int count = 1;
  size_t short_len = 0;
};

// A fault injected on the GPIO device: its nth write (counted from 1, per
// command run, failed writes included) fails with EIO (Eio; Eagain and Eintr
// give their own errno), or the driver takes only short_len bytes of it
// (Short; 0: half the request). A failed or short write does not reach the
// reset line.
struct GpioFault {
  int nth = 1;
  FaultKind kind = FaultKind::Eio;
  size_t short_len = 0;
};

enum class Panel {
  None,        // no Panel stand-in
  WithMarker,  // stand-in started; it writes "/tmp/Panel_init_done" as "Panel <pid>\n"
  NoMarker     // stand-in started; the test writes the marker itself
};

struct Command {
  std::vector<std::string> argv;  // argv[0]: a board program name, or any command
  std::string stdin_data;
  double timeout_s = 30;          // a command still running then is killed
  std::vector<std::string> env;   // extra NAME=VALUE
  std::string cwd;                // inside the board; "" = the caller's working directory
  bool pid_namespace = false;     // run in a PID namespace of its own (the Panel too)
  Panel panel = Panel::None;
  // The command reads and writes the caller's own standard streams instead
  // of stdin_data and captured pipes (the boardsim command); out and err of
  // its RunResult stay empty.
  bool passthrough_stdio = false;
};

struct RunResult {
  int status = -1;         // exit status 0..255; 128 + signal when killed by one
  bool timed_out = false;  // killed at its time limit
  int signal = 0;          // the signal that ended it, 0 when it exited
  std::string out;
  std::string err;
};

class Board;

// A command started in the background (watchers, endless loops). The
// simulator only runs while one of these calls pumps it.
class Process {
 public:
  ~Process();  // kills the command if it still runs
  pid_t pid() const;  // the program's process ID as seen from the host
  // Runs the simulator until pred() holds (checked between events and at
  // least every 10 ms) or the time is up; returns pred()'s last value.
  bool wait_until(const std::function<bool()>& pred, double timeout_s);
  bool running();
  RunResult wait(double timeout_s);  // until the command ends (killed at the limit)
  RunResult kill(int sig = 9);       // signal it, then collect it
  int panel_signals() const;         // SIGUSR2 counted by the Panel stand-in
  pid_t panel_pid() const;           // the stand-in's PID inside the namespace
  std::string out_so_far() const;

 private:
  friend class Board;
  struct Impl;
  explicit Process(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

class Board {
 public:
  explicit Board(BoardConfig config = {});
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // Far ends. One model object may be attached to several devices.
  void attach_spi(int device, std::shared_ptr<SpiFarEnd> far_end);
  void attach_serial(int port, std::shared_ptr<SerialFarEnd> far_end);
  ScriptedSpi& scripted_spi(int device);  // the default far end of a device

  SpiDeviceState& spi(int device);
  void add_fault(const SpiFault& fault);
  void add_gpio_fault(const GpioFault& fault);
  void clear_faults();  // SPI and GPIO faults alike

  // Sandbox files, named by their path on the board: "/tmp/...",
  // "/home/organ/...", "/sys/class/rtc/rtc0/...", "/dev/fb0".
  std::string host_path(const std::string& board_path) const;
  void write_file(const std::string& board_path, const std::string& content);
  std::string read_file(const std::string& board_path) const;  // "" when missing
  bool file_exists(const std::string& board_path) const;
  void remove_file(const std::string& board_path);

  // The stand-ins for `date` and `hwclock`: their exit status, and the calls
  // they recorded, one line each ("date 090902462001.40", "hwclock -w").
  void set_standin_status(const std::string& name, int status);
  std::vector<std::string> standin_calls() const;

  RunResult run(const Command& command);
  std::unique_ptr<Process> start(const Command& command);

  // A board outside the simulator (a virtual machine's UARTs, its GPIO
  // stand-in forwarding the requests): the serial line of `port` and the
  // stream of 12-byte GPIO requests come over connected stream sockets
  // instead of the pseudo-terminal and the FIFO. The Board takes the
  // descriptors over. The line's speed is not known on a socket: its bytes
  // are journalled without one, and far ends are not told of changes.
  void connect_serial(int port, int socket);
  void connect_gpio(int socket);
  enum class ServeEnd { HungUp, Stopped, TimedOut };
  // Serves the connected board until it closes a connection (HungUp),
  // stop() holds (checked at least every 10 ms) or timeout_s passes; what
  // it sent up to then is all served and journalled.
  ServeEnd serve(const std::function<bool()>& stop, double timeout_s);

  Journal& journal();

  // Resolves a board program name to the executable under test (host build,
  // or the ARM build run through qemu-arm under `make check-arm`).
  static std::string program_path(const std::string& name);

  struct Impl;

 private:
  friend class Process;
  std::unique_ptr<Impl> impl_;
};

}  // namespace boardsim
