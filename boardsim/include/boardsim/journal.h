// The journal: everything the programs did at the board's devices, with a
// monotonic timestamp taken by the simulator when it saw the event.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace boardsim {

enum class EventKind {
  GpioWrite,       // one write to /dev/gpio0 (data = the bytes the driver took, normally 12)
  SerialToSlave,   // bytes the board wrote on a serial port (device = port)
  SerialFromSlave, // bytes a far end sent to the board (device = port)
  SerialSpeed,     // the board's port speed changed (value = baud)
  SpiOpen,         // device = chip select; result/err = what open returned
  SpiClose,
  SpiIoctl,        // request, value (setting written or read back), result/err
  SpiRead,         // data = bytes returned to the program
  SpiWrite,        // data = bytes the far end received
  SpiTransfer,     // one spi_ioc_transfer: data = tx (empty without tx), rx = rx
  FbIoctl,         // request, value (when has_value)
  FbWrite,         // data = bytes written to /dev/fb0
  Note,            // text: a model's remark (for example a speed mismatch)
  Annotation       // unit, text: one protocol unit a far-end model recognised
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

class Journal {
 public:
  void add(Event e);  // stamps t_ns when it is 0
  void note(const std::string& text, int device = -1);
  void note(Bus bus, int device, const std::string& text);
  void annotate(Bus bus, int device, const std::string& unit, const std::string& text);
  void clear() { events_.clear(); }
  const std::vector<Event>& events() const { return events_; }
  // The events of one kind (and one device unless device is -1), in order.
  std::vector<Event> of(EventKind kind, int device = -1) const;
  // All data bytes of one kind and device, concatenated in order.
  std::vector<uint8_t> bytes(EventKind kind, int device = -1) const;
  std::string bytes_text(EventKind kind, int device = -1) const;  // same, as a string
  // The decoded journal, one event a line, times in milliseconds from the
  // first event (what `boardsim --trace` writes).
  std::string to_text() const;
  // The same events as JSON lines with the field names of boardsim/TRACE.md
  // (`boardsim --trace-format jsonl`).
  std::string to_jsonl() const;

 private:
  std::vector<Event> events_;
};

uint64_t monotonic_ns();

}  // namespace boardsim
