// The simulated board: a sandbox mounted over the board's fixed paths inside
// a private mount namespace, pseudo-terminals for the serial ports, a FIFO for
// the GPIO device, the spidev driver behind the preload shim, the far-end
// models, and the journal. Several commands run one after another on one Board
// share its device state, as programs on the real board share the drivers.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/far_end.h"
#include "boardsim/journal.h"
#include "boardsim/models/scripted_spi.h"
#include "boardsim/types.h"

namespace boardsim {

class Board;

// A command started in the background (watchers, endless loops). The
// simulator only runs while one of these calls pumps it.
class Process {
 public:
  ~Process();         // kills the command if it still runs
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
