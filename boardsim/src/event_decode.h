// What the text and the JSON forms of the journal share: the names of the
// event kinds and devices, the request numbers of spidev and of the frame
// buffer by name, the GPIO request with the level it leaves on the slaves'
// reset line, and bytes as hexadecimal text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "boardsim/journal.h"

namespace boardsim {

const char* event_kind_name(EventKind kind);

// The line an event happened on (its kind tells, or a note's own bus).
Bus event_bus(const Event& e);
// "ttyS0" for a serial port, "spidev2.3" for a chip select, "" otherwise.
std::string event_device_name(const Event& e);

// "SPI_IOC_WR_MAX_SPEED_HZ", "SPI_IOC_MESSAGE(1)", or the request's fields
// spelled as the kernel's macros would build it ("_IOR('k', 9, 4)").
std::string spi_request_name(uint32_t request);
// "FB_CONTRAST_REQUEST", "FB_FOLLOW_UP_REQUEST", or the request's fields.
std::string fb_request_name(uint32_t request);
// "_IOW('g', 6, 4)", "_IO('g', 4)".
std::string ioc_fields(uint32_t request);

enum class Level { Undriven, Low, High };
const char* level_name(Level level);  // "undriven", "low", "high"

// One GPIO request decoded, with the reset line's level after it.
struct GpioDecoded {
  bool whole = false;  // the record had its 12 bytes
  uint8_t op = 0;
  uint32_t mask = 0;
  uint32_t value = 0;
  bool drives_reset = false;  // the request set the reset line's level
  Level reset = Level::Undriven;
};

// The board's GPIO lines as the requests leave them, as the simulated driver
// treats them: operation 1 drives the lines under the mask to the value, any
// other operation leaves every line as it is. Lines start undriven.
class GpioLines {
 public:
  GpioDecoded apply(const std::vector<uint8_t>& record);
  Level reset() const { return reset_; }

 private:
  Level reset_ = Level::Undriven;
};

// Bytes as upper-case hexadecimal pairs joined by `separator`; past `limit`
// bytes the rest is left out and " ... (N bytes)" says how many there were.
std::string hex_bytes(const std::vector<uint8_t>& bytes, const char* separator,
                      size_t limit = SIZE_MAX);

// Milliseconds from `t0_ns` with nanosecond digits, as both forms print them.
std::string milliseconds(uint64_t t_ns, uint64_t t0_ns, int decimals);

}  // namespace boardsim
