#include "event_decode.h"

#include <linux/spi/spidev.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "boardsim/far_end.h"
#include "boardsim/models/imx_bootstrap.h"

namespace boardsim {

namespace {

constexpr size_t GPIO_RECORD = sizeof(GpioRequest);
constexpr uint8_t GPIO_SET = 1;  // the operation that drives lines to a value
constexpr unsigned IOC_NR_MESSAGE = 0;

// The display driver's two private requests, as the display programs use them.
constexpr uint32_t FB_CONTRAST_REQUEST = 0x40046706;
constexpr uint32_t FB_FOLLOW_UP_REQUEST = 0x6704;

struct RequestName {
  uint32_t request;
  const char* name;
};

constexpr std::array<RequestName, 10> SPI_SETTINGS{{
    {SPI_IOC_WR_MODE, "SPI_IOC_WR_MODE"},
    {SPI_IOC_RD_MODE, "SPI_IOC_RD_MODE"},
    {SPI_IOC_WR_MODE32, "SPI_IOC_WR_MODE32"},
    {SPI_IOC_RD_MODE32, "SPI_IOC_RD_MODE32"},
    {SPI_IOC_WR_LSB_FIRST, "SPI_IOC_WR_LSB_FIRST"},
    {SPI_IOC_RD_LSB_FIRST, "SPI_IOC_RD_LSB_FIRST"},
    {SPI_IOC_WR_BITS_PER_WORD, "SPI_IOC_WR_BITS_PER_WORD"},
    {SPI_IOC_RD_BITS_PER_WORD, "SPI_IOC_RD_BITS_PER_WORD"},
    {SPI_IOC_WR_MAX_SPEED_HZ, "SPI_IOC_WR_MAX_SPEED_HZ"},
    {SPI_IOC_RD_MAX_SPEED_HZ, "SPI_IOC_RD_MAX_SPEED_HZ"},
}};

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

const char* event_kind_name(EventKind kind) {
  switch (kind) {
    case EventKind::GpioWrite: return "gpio-write";
    case EventKind::SerialToSlave: return "tty-out";
    case EventKind::SerialFromSlave: return "tty-in";
    case EventKind::SerialSpeed: return "tty-speed";
    case EventKind::SpiOpen: return "spi-open";
    case EventKind::SpiClose: return "spi-close";
    case EventKind::SpiIoctl: return "spi-ioctl";
    case EventKind::SpiRead: return "spi-read";
    case EventKind::SpiWrite: return "spi-write";
    case EventKind::SpiTransfer: return "spi-xfer";
    case EventKind::FbIoctl: return "fb-ioctl";
    case EventKind::FbWrite: return "fb-write";
    case EventKind::Note: return "note";
    case EventKind::Annotation: return "annotation";
  }
  return "?";
}

Bus event_bus(const Event& e) {
  switch (e.kind) {
    case EventKind::SerialToSlave:
    case EventKind::SerialFromSlave:
    case EventKind::SerialSpeed: return Bus::Serial;
    case EventKind::SpiOpen:
    case EventKind::SpiClose:
    case EventKind::SpiIoctl:
    case EventKind::SpiRead:
    case EventKind::SpiWrite:
    case EventKind::SpiTransfer: return Bus::Spi;
    default: return e.bus;
  }
}

std::string event_device_name(const Event& e) {
  if (e.device < 0) return "";
  switch (event_bus(e)) {
    case Bus::Serial: return "ttyS" + std::to_string(e.device);
    case Bus::Spi: return "spidev2." + std::to_string(e.device);
    case Bus::None: break;
  }
  return "";
}

std::string ioc_fields(uint32_t request) {
  const unsigned dir = _IOC_DIR(request);
  const unsigned type = _IOC_TYPE(request);
  char type_text[8];
  if (type >= 0x20 && type < 0x7F && type != '\'') {
    std::snprintf(type_text, sizeof type_text, "'%c'", type);
  } else {
    std::snprintf(type_text, sizeof type_text, "0x%02X", type);
  }
  char text[64];
  if (dir == _IOC_NONE) {
    std::snprintf(text, sizeof text, "_IO(%s, %u)", type_text, _IOC_NR(request));
  } else {
    const char* macro = dir == _IOC_WRITE ? "_IOW" : dir == _IOC_READ ? "_IOR" : "_IOWR";
    std::snprintf(text, sizeof text, "%s(%s, %u, %u)", macro, type_text, _IOC_NR(request),
                  _IOC_SIZE(request));
  }
  return text;
}

std::string spi_request_name(uint32_t request) {
  for (const auto& known : SPI_SETTINGS) {
    if (known.request == request) return known.name;
  }
  if (_IOC_TYPE(request) == SPI_IOC_MAGIC && _IOC_NR(request) == IOC_NR_MESSAGE &&
      _IOC_DIR(request) == _IOC_WRITE && _IOC_SIZE(request) % sizeof(spi_ioc_transfer) == 0) {
    return "SPI_IOC_MESSAGE(" + std::to_string(_IOC_SIZE(request) / sizeof(spi_ioc_transfer)) + ")";
  }
  return ioc_fields(request);
}

std::string fb_request_name(uint32_t request) {
  if (request == FB_CONTRAST_REQUEST) return "FB_CONTRAST_REQUEST";
  if (request == FB_FOLLOW_UP_REQUEST) return "FB_FOLLOW_UP_REQUEST";
  return ioc_fields(request);
}

const char* level_name(Level level) {
  switch (level) {
    case Level::Undriven: return "undriven";
    case Level::Low: return "low";
    case Level::High: return "high";
  }
  return "?";
}

GpioDecoded GpioLines::apply(const std::vector<uint8_t>& record) {
  GpioDecoded d;
  d.whole = record.size() == GPIO_RECORD;
  if (d.whole) {
    d.op = record[0];
    d.mask = le32(&record[4]);
    d.value = le32(&record[8]);
    d.drives_reset = d.op == GPIO_SET && (d.mask & ImxBootstrap::RESET_LINE) != 0;
    if (d.drives_reset)
      reset_ = (d.value & ImxBootstrap::RESET_LINE) != 0 ? Level::High : Level::Low;
  }
  d.reset = reset_;
  return d;
}

std::string hex_bytes(const std::vector<uint8_t>& bytes, const char* separator, size_t limit) {
  std::string out;
  const size_t shown = bytes.size() > limit ? limit : bytes.size();
  const size_t separator_len = std::strlen(separator);
  out.reserve(shown * (2 + separator_len));
  static const char DIGITS[] = "0123456789ABCDEF";
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0) out += separator;
    out += DIGITS[bytes[i] >> 4];
    out += DIGITS[bytes[i] & 0xF];
  }
  if (shown < bytes.size()) out += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

std::string milliseconds(uint64_t t_ns, uint64_t t0_ns, int decimals) {
  const uint64_t ns = t_ns >= t0_ns ? t_ns - t0_ns : 0;
  constexpr uint64_t NS_PER_MS = 1000000;
  char text[48];
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, "%06u", static_cast<unsigned>(ns % NS_PER_MS));
  fraction[decimals < 6 ? decimals : 6] = '\0';
  std::snprintf(text, sizeof text, "%llu.%s", static_cast<unsigned long long>(ns / NS_PER_MS),
                fraction);
  return text;
}

}  // namespace boardsim
