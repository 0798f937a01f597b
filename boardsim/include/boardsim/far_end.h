// The far ends of the board's devices: what sits at the other end of an SPI
// chip select or a serial line. Models (slave bootstrap, sound modules, bench
// loopbacks, ...) implement these interfaces; the simulator calls them from
// its single poll loop, so a model needs no locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "boardsim/journal.h"
#include "boardsim/types.h"

namespace boardsim {

// Where a far end reports each protocol unit it recognised (a boot record, a
// frame, a packet), one line each, for the decoded journal. `unit` is a short
// fixed name ("frame", "jump", ...), `text` what the unit said.
class Annotator {
 public:
  virtual ~Annotator() = default;
  virtual void annotate(const std::string& unit, const std::string& text) = 0;
};

// One exchange on an SPI chip select, as the driver performs it.
struct SpiExchange {
  int device = 0;               // chip select 0..4
  const uint8_t* tx = nullptr;  // null: the board only reads (a plain read)
  uint8_t* rx = nullptr;        // null: the board only writes (a plain write)
  size_t len = 0;               // bytes, a whole number of words
  uint8_t bits_per_word = 8;    // effective for this exchange (never 0)
  uint32_t speed_hz = 0;        // effective for this exchange
  uint32_t mode = 0;
  bool cs_change = false;
  // When the exchange is on the wire (CLOCK_MONOTONIC ns): the device is
  // selected at the start and released at the end. Equal without wire time.
  uint64_t wire_start_ns = 0;
  uint64_t wire_end_ns = 0;
  Annotator* annotator = nullptr;  // null: nobody reads the annotations

  bool annotated() const { return annotator != nullptr; }
  void annotate(const std::string& unit, const std::string& text) const {
    if (annotator != nullptr) annotator->annotate(unit, text);
  }
};

class SpiFarEnd {
 public:
  virtual ~SpiFarEnd() = default;
  // Called once per read, write or spi_ioc_transfer. rx, when given, is
  // pre-filled with 0x00 (an idle line); the far end overwrites what it answers.
  virtual void exchange(SpiExchange& x) = 0;
};

// What a serial far end may do on its line.
class SerialLink {
 public:
  virtual ~SerialLink() = default;
  // Queue bytes for the board, delivered after delay_us (0: at once).
  virtual void send(const void* data, size_t n, uint64_t delay_us = 0) = 0;
  // The speed the board's port is set to now (from its termios), in baud;
  // 0 when the line does not tell (a board outside the simulator).
  virtual uint32_t board_speed() const = 0;
  // The speed the bytes being handed to on_bytes travelled at (the board's
  // port may have changed since they left it); board_speed() outside.
  virtual uint32_t wire_speed() const { return board_speed(); }
  // The time (CLOCK_MONOTONIC ns) the far end lives at: the end of the
  // character being delivered, else now. send() delays count from it.
  virtual uint64_t now_ns() const { return monotonic_ns(); }
  virtual void note(const std::string& text) = 0;  // into the journal
  // One protocol unit the far end recognised on the line (see Annotator).
  virtual void annotate(const std::string& unit, const std::string& text) {
    (void)unit;
    (void)text;
  }
};

class SerialFarEnd {
 public:
  virtual ~SerialFarEnd() = default;
  // Bytes the board wrote on the line, as they arrive: with wire time one
  // character each, at the moment its stop bit ends.
  virtual void on_bytes(SerialLink& link, const uint8_t* data, size_t n) = 0;
  // Every GPIO request written to /dev/gpio0 reaches every serial far end
  // (the slaves' reset line).
  virtual void on_gpio(SerialLink& link, const GpioRequest& request) {
    (void)link;
    (void)request;
  }
  // The board's port changed its speed.
  virtual void on_board_speed(SerialLink& link, uint32_t baud) {
    (void)link;
    (void)baud;
  }
};

}  // namespace boardsim
