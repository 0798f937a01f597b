// wrong_board: a board program that does the slave bring-up right except for
// one rule of the far end's firmware, chosen by name, so that the end-to-end
// tests can show that the simulated board refuses what the organ's slaves
// would refuse. Each side (serial bootstrap, SPI sound modules) is one file;
// wrong_board.cpp holds the rules and picks one.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A run of the serial bootstrap: reset pulse, start-up pause, sync 'A', then
// boot records.
struct SerialRun {
  int reset_low_ms;        // the pulse's low phase
  int listen_after_ms;     // from the pulse's end to the sync character
  const char* records[2];  // after the sync, in order (nullptr: none)
  bool one_write;          // the records go out together, not each after its answer
  int baud = 38400;        // the port's speed: 38400 (the bootstrap's) or 57600
};

// A run of one frame and its jump to the sound module in slot 0.
struct SpiRun {
  uint32_t mode;            // SPI mode bits written to the device
  uint32_t speed_hz;        // its maximum clock
  size_t header_split;      // 0: the header in one transfer; else its first part's bytes
  bool header_with_data;    // header and data in one transfer
  bool data_with_jump;      // the data and the jump's header in one transfer
  uint16_t verify_wait_us;  // from the jump to the checksum read, on the bus
};

// Each prints what the far end answered on standard output and returns 0
// once every step was made, -1 when a system call failed (said on stderr).
int serial_run(const SerialRun& run);
int spi_run(const SpiRun& run);

// A system call that failed: its step and errno on stderr; returns -1.
int step_failed(const char* step);
