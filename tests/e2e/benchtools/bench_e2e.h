// Shared pieces of the bench tools' end-to-end tests: running a tool on a
// board, the usage texts as the technician sees them, and journal queries.
#pragma once

#include <linux/spi/spidev.h>

#include <cstdint>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "support/bytes.h"
#include "support/text.h"

namespace bench_e2e {

using test_support::bytes_of;
using test_support::hex_0x;
using test_support::lines_of;

// Runs a tool in /tmp of the board, so a default "./fenwix.log" stays in the
// sandbox.
inline boardsim::RunResult run_tool(boardsim::Board& board, std::vector<std::string> argv) {
  boardsim::Command command;
  command.argv = std::move(argv);
  command.cwd = "/tmp";
  return board.run(command);
}

inline std::string usage_of(const std::string& tool) {
  if (tool == "yalmet") {
    return "\nSPI DEVICE CONFIGURATION (v1.3r)\n\n"
           "\nUsage: yalmet -sS [-mM] [-wW] [-fF] [-dD] \n"
           "  -sS /dev/spiS is the target device - not optional\n"
           "  -mM set mode (W=SPI_MODE_0..3) - optional\n"
           "  -wW set bits per word (W=1..16) - optional\n"
           "  -fF set speed in Hz - optional\n"
           "  -h this help\n";
  }
  if (tool == "dasmo") {
    return "\nSPI DEVICE READ & WRITE (v1.5r)\n\n"
           "Usage: dasmo -sS -iI [-oO] [-a] [-dD]\n"
           "  -sS /dev/spiS is the target device - not optional\n"
           "  -iI input file name (binary) - not optional\n"
           "  -oO output file name - optional\n"
           "  -a ascii output (default is binary) - optional\n"
           "  -dD message delay usec between transfers (D=0..0xFFFF) - optional\n";
  }
  if (tool == "fenwix") {
    return "\nSPI LOOPBACK TEST (v1.6r)\n\n"
           "Usage: fenwix -sS -nN [-dD] [-oO]\n"
           "  -sS /dev/spiS is the target device - not optional\n"
           "  -nN block write/read size - not optional\n"
           "  -dD send all D (hex base) - optional, default is random\n"
           "  -oO output file name - optional\n";
  }
  if (tool == "quorla") {
    return "\nSPI CRC TEST (v1.3r)\n\n"
           "Usage: quorla -sS -nN [-lL]\n"
           "  -sS /dev/spiS is the target device - not optional\n"
           "  -nN block word size (must be in 1..65535 range ) - optional, default is 256\n"
           "  -lL number of test loop - optional, default is 1\n"
           "  NOTE\n"
           "     Sends a formatted packet:\n"
           "     * size\n"
           "     * N data words\n"
           "     * checksum\n"
           "     This utility requires the counter-party application on slave side\n";
  }
  return "\nSPI DEVICE CONTINUOS WRITE & READ ACCESS (v1.2r)\n\n"
         "Usage: brevik -sS -wW -rR\n"
         "  -sS /dev/spiS is the target device - not optional\n"
         "  -wW write size - not optional\n"
         "  -rR read size - not optional\n"
         "  -lL loop number (default is infinite) - optional\n";
}

// The ioctl requests made on a device, in order, with their values.
struct IoctlCall {
  uint32_t request;
  int64_t value;
  bool operator==(const IoctlCall& other) const {
    return request == other.request && value == other.value;
  }
};

inline std::vector<IoctlCall> ioctl_calls(const boardsim::Journal& journal, int device) {
  std::vector<IoctlCall> calls;
  for (const auto& e : journal.of(boardsim::EventKind::SpiIoctl, device)) {
    if (e.request == SPI_IOC_MESSAGE(1)) continue;
    calls.push_back({e.request, e.value});
  }
  return calls;
}

}  // namespace bench_e2e
