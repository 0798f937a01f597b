// Serves the preload shim's requests: the spidev driver of the five chip
// selects (settings, transfers, faults, far ends), the frame-buffer journal
// and the faults injected on GPIO writes.
// The board's poll loop reads whole requests from the shim connections and
// hands them here; this class never touches a socket itself.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "boardsim/far_end.h"
#include "boardsim/journal.h"
#include "boardsim/models/scripted_spi.h"
#include "boardsim/protocol.h"
#include "boardsim/types.h"

namespace boardsim {

class DeviceServer {
 public:
  DeviceServer(const BoardConfig& config, Journal& journal);

  void attach(int device, std::shared_ptr<SpiFarEnd> far_end);
  ScriptedSpi& scripted(int device);
  SpiDeviceState& state(int device);
  void add_fault(const SpiFault& fault);
  void add_gpio_fault(const GpioFault& fault);
  void clear_faults();
  void start_run();  // a new command starts: fault call counters back to 0

  // One complete request from connection `connection` (an ID unique for the
  // board's lifetime); returns the whole reply, header and payload.
  std::vector<uint8_t> handle(int connection, const boardsim_request& request,
                              const std::vector<uint8_t>& payload);
  // When the transfers of the request handled last are off the bus (0:
  // none took bus time); its reply is held until then.
  uint64_t reply_due_ns() const;
  // The program closed the descriptor (or exited): the connection ended.
  void connection_closed(int connection);
  // When the board asked to write the oldest GPIO request that the driver
  // took whole and that has not been taken back yet (0: none known). The
  // request's bytes reach the simulator through the FIFO only afterwards,
  // and perhaps late on a loaded machine, while the board's own clock ran
  // from the moment its write returned.
  uint64_t take_gpio_time();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace boardsim
