// The board's lines as a Value Change Dump (IEEE 1364), for PulseView,
// GTKWave and sigrok's protocol decoders: every serial port's TX (board to
// slave) and RX at the port's speed, 8-N-1, idle high; SPI bus 2 as SCLK,
// MOSI, MISO and five active-low chip selects, each transfer with its own
// clock, mode and word size; and the slaves' reset line. boardsim/TRACE.md
// tells how the journal's events become a timeline.
#pragma once

#include <cstdint>
#include <ostream>

#include "boardsim/journal.h"

namespace boardsim {

struct VcdOptions {
  int serial_ports = 3;  // ttyS0 .. ttyS<n-1> get a TX and an RX line
  // The window, in nanoseconds from the journal's first event: what the
  // board did from from_ns up to (not including) to_ns is drawn, each byte
  // and transfer whole and where the whole dump would draw it.
  uint64_t from_ns = 0;
  uint64_t to_ns = UINT64_MAX;
};

// Writes the dump; false when the stream failed.
bool write_vcd(const Journal& journal, std::ostream& out, const VcdOptions& options = {});

}  // namespace boardsim
