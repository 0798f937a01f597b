// The value types of the simulator's API: how a board is configured and
// faulted, what a command is and what its run returned, the journal's events
// and the GPIO request record. Plain data, shared by the board, its journal
// and the far-end models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace boardsim {

struct BoardConfig {
  int serial_ports = 3;                       // /dev/ttyS0 .. ttyS<n-1> exist
  size_t spi_buffer_size = 4096;              // driver buffer; larger messages: EMSGSIZE
  uint32_t spi_controller_max_hz = 24000000;  // read-back of a higher speed gives this
  uint32_t spi_default_speed_hz = 1000000;    // max_speed_hz of a device before any write
  uint32_t spi_supported_modes = 0x3F;        // mode bits the controller accepts (CPHA..LOOP)
  uint32_t spi_supported_bits = 0xFFFF;       // bit n-1 set: n bits per word accepted (1..16)
  std::string workdir;  // where the sandbox directory is made; "" = $BOARDSIM_WORKDIR or /var/tmp
  bool keep_sandbox = false;  // leave the sandbox directory behind (debugging)
  // The line takes real time: serial characters leave the board's port and
  // reach it one character time (10 bit times) apart, and an SPI transfer
  // returns after its bus time. false: bytes move at once (quick
  // experiments only; a program that passes so may fail on the organ).
  bool wire_time = true;
  // The serial driver keeps each port's speed whatever a program asks, as a
  // UART whose clock cannot make the speed may: the request succeeds, and
  // the settings read back show the old speed.
  bool serial_keeps_speed = false;
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
  double timeout_s = 30;         // a command still running then is killed
  std::vector<std::string> env;  // extra NAME=VALUE
  std::string cwd;               // inside the board; "" = the caller's working directory
  bool pid_namespace = false;    // run in a PID namespace of its own (the Panel too)
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

enum class EventKind {
  GpioWrite,        // one write to /dev/gpio0 (data = the bytes the driver took, normally 12)
  SerialToSlave,    // bytes the board wrote on a serial port (device = port)
  SerialFromSlave,  // bytes a far end sent to the board (device = port)
  SerialSpeed,      // the board's port speed changed (value = baud)
  SpiOpen,          // device = chip select; result/err = what open returned
  SpiClose,
  SpiIoctl,     // request, value (setting written or read back), result/err
  SpiRead,      // data = bytes returned to the program
  SpiWrite,     // data = bytes the far end received
  SpiTransfer,  // one spi_ioc_transfer: data = tx (empty without tx), rx = rx
  FbIoctl,      // request, value (when has_value)
  FbWrite,      // data = bytes written to /dev/fb0
  Note,         // text: a model's free-form remark
  Annotation    // unit, text: one protocol unit a far-end model recognised
};

// The line a note or an annotation belongs to: device is then a serial port
// or an SPI chip select.
enum class Bus { None, Serial, Spi };

struct Event {
  uint64_t t_ns = 0;  // CLOCK_MONOTONIC
  EventKind kind = EventKind::Note;
  int device = -1;
  int pid = 0;
  uint32_t request = 0;
  int64_t value = 0;
  bool has_value = false;
  int result = 0;
  int err = 0;
  std::vector<uint8_t> data;
  std::vector<uint8_t> rx;
  // spi_ioc_transfer fields of a SpiTransfer (as the program gave them)
  uint32_t speed_hz = 0;
  uint8_t bits_per_word = 0;
  uint8_t cs_change = 0;
  uint16_t delay_usecs = 0;
  // What the bytes of a serial event travelled at: the port's speed in baud.
  uint32_t baud = 0;
  // Of a SerialToSlave event: the earliest moment its bytes can have reached
  // the simulator's side of the line, as far as the simulator can tell (0:
  // it cannot). t_ns is when it read them; between the two it was looking at
  // the line, busy, or waiting for a processor, so a late read widens the
  // span instead of hiding in t_ns. What the kernel does between the
  // program's write and the line (its pty hand-over) is not seen.
  uint64_t t_min_ns = 0;
  // When the bytes of a serial event or the clocks of an SPI event were on
  // the wire (CLOCK_MONOTONIC; 0 without wire time). The characters of one
  // serial event follow each other back to back, one character time each.
  uint64_t wire_start_ns = 0;
  uint64_t wire_end_ns = 0;
  // The settings a SpiRead, SpiWrite or SpiTransfer ran with on the wire
  // (the device settings standing in for 0, the speed clamped to the
  // controller's); 0 when no byte moved.
  uint32_t wire_hz = 0;
  uint8_t wire_bits = 0;
  uint32_t wire_mode = 0;
  Bus bus = Bus::None;  // of a Note or Annotation
  std::string unit;     // of an Annotation: "boot-record", "frame", ... (see TRACE.md)
  std::string text;
};

// The GPIO request record as the board writes it to /dev/gpio0.
struct GpioRequest {
  uint8_t op;
  uint8_t padding[3];
  uint32_t mask;
  uint32_t value;
};
static_assert(sizeof(GpioRequest) == 12, "GPIO request is 12 bytes");

}  // namespace boardsim
