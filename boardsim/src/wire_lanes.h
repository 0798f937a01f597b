// The board's lines drawn from the journal, one lane per independently timed
// wire: each serial line in each direction, the SPI bus, the reset line. The
// simulator moves bytes without wire time, so a lane gives every byte or
// transfer its real duration: it starts when the journal saw it, or when the
// lane's previous drawing ends if that is later, as a real UART's FIFO or a
// busy SPI controller would hold it back. A lane hands out its edges in time
// order, expanding one character or one SPI word at a time, so a long run
// never holds more than the drawings still in flight.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "boardsim/journal.h"
#include "event_decode.h"

namespace boardsim {

// A level change on one signal, nanoseconds from the journal's first event.
struct Edge {
  uint64_t t_ns = 0;
  int signal = 0;
  char level = '0';  // '0', '1' or 'x'
};

class Lane {
 public:
  virtual ~Lane() = default;
  // The time of the next edge; false when nothing more is pending.
  bool next_time(uint64_t& t_ns);
  Edge take();  // only after next_time returned true
  // When everything queued on the lane so far has been drawn.
  uint64_t busy_until() const { return busy_until_; }

 protected:
  // Appends the edges of the next pending drawing; false when none is left.
  virtual bool expand(std::deque<Edge>& edges) = 0;
  uint64_t busy_until_ = 0;

 private:
  std::deque<Edge> ready_;
};

// One direction of a serial port: 8-N-1 characters, least significant bit
// first, each at the speed the journal gives its bytes.
class SerialLane : public Lane {
 public:
  explicit SerialLane(int signal) : signal_(signal) {}
  // Queues the event's bytes; drawn false only advances the lane's time.
  void add(const Event& e, uint64_t t_ns, bool drawn);

 private:
  struct Character {
    uint64_t start_ns;
    double bit_ns;
    uint8_t byte;
  };
  bool expand(std::deque<Edge>& edges) override;
  int signal_;
  std::deque<Character> pending_;
};

// The signals of SPI bus 2 in a dump.
struct SpiSignals {
  int sclk = 0;
  int mosi = 0;
  int miso = 0;
  int cs0 = 0;  // chip select n is cs0 + n
};

// SPI bus 2: every read, write and transfer in its own chip-select
// assertion, clocked at the transfer's speed in its mode, its words at their
// size. MOSI carries what the board sent (zeros for a read), MISO what it
// received (zeros for a write).
class SpiLane : public Lane {
 public:
  explicit SpiLane(const SpiSignals& signals) : signals_(signals) {}
  void add(const Event& e, uint64_t t_ns, bool drawn);

 private:
  struct Transfer {
    const Event* event;
    uint64_t start_ns;
    double half_ns;  // half a clock period
    size_t words;
    size_t word_bytes;
    size_t next_word = 0;  // the word to expand next; words: the release
  };
  bool expand(std::deque<Edge>& edges) override;
  void expand_word(const Transfer& x, std::deque<Edge>& edges) const;
  SpiSignals signals_;
  std::deque<Transfer> pending_;
};

// The slaves' reset line, as the GPIO requests drive it.
class ResetLane : public Lane {
 public:
  explicit ResetLane(int signal) : signal_(signal) {}
  void add(const Event& e, uint64_t t_ns, bool drawn);
  Level level() const { return lines_.reset(); }

 private:
  bool expand(std::deque<Edge>& edges) override;
  int signal_;
  GpioLines lines_;
  std::deque<Edge> pending_;
};

// The shortest time a drawn event's wire needs to show (half an SPI clock
// period, one UART bit), in nanoseconds; 0 for an event that draws nothing.
double shortest_interval_ns(const Event& e);

}  // namespace boardsim
