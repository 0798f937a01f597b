// The decoded journal as engineers read it: one event a line, the time in
// milliseconds from the first event, the kind, the device, then the request
// by name or the decoded record, the result, and the raw bytes beside it.
// The far-end models' annotations follow the bytes they decoded.
#include <cstring>
#include <string>

#include "boardsim/journal.h"
#include "event_decode.h"

namespace boardsim {

namespace {

// Raw SPI and frame-buffer bytes shown on a line; the JSON form keeps all.
constexpr size_t SHOWN_BYTES = 64;
constexpr int KIND_WIDTH = 11;

std::string result_text(const Event& e) {
  std::string text = " -> " + std::to_string(e.result);
  if (e.result < 0) text += " (errno " + std::to_string(e.err) + " " + std::strerror(e.err) + ")";
  return text;
}

// Serial bytes are mostly ASCII boot records: printable characters as they
// are, every other byte as \XX, so the text still holds every byte.
std::string quoted(const std::vector<uint8_t>& bytes) {
  std::string out = "\"";
  static const char DIGITS[] = "0123456789ABCDEF";
  for (uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
      out += static_cast<char>(b);
    } else {
      out += '\\';
      out += DIGITS[b >> 4];
      out += DIGITS[b & 0xF];
    }
  }
  return out + "\"";
}

std::string wire_settings(const Event& e) {
  return std::to_string(e.wire_hz) + " Hz, " + std::to_string(e.wire_bits) + " bits, mode " +
         std::to_string(e.wire_mode);
}

std::string gpio_text(const Event& e, GpioLines& lines) {
  const GpioDecoded d = lines.apply(e.data);
  if (!d.whole) {
    return std::to_string(e.data.size()) + " bytes  [" + hex_bytes(e.data, " ") + "]" +
           result_text(e);
  }
  char head[96];
  std::snprintf(head, sizeof head, "op %u%s mask 0x%08X value 0x%08X: reset line ", d.op,
                d.op == 1 ? " (set)" : "", d.mask, d.value);
  return head + std::string(d.drives_reset ? "" : "stays ") + level_name(d.reset) + "  [" +
         hex_bytes(e.data, " ") + "]";
}

std::string transfer_text(const Event& e) {
  const char* direction = !e.data.empty() && !e.rx.empty() ? "tx/rx "
                          : !e.data.empty()                ? "tx "
                          : !e.rx.empty()                  ? "rx "
                                                           : "";
  std::string text = spi_request_name(e.request) + " " + direction +
                     std::to_string(e.result > 0 ? e.result : 0) + " bytes speed " +
                     std::to_string(e.speed_hz) + " bits " + std::to_string(e.bits_per_word) +
                     " cs_change " + std::to_string(e.cs_change);
  if (e.delay_usecs != 0) text += " delay " + std::to_string(e.delay_usecs) + " us";
  if (e.wire_hz != 0) text += " (" + wire_settings(e) + ")";
  return text + result_text(e);
}

// When the event's bytes were on the wire: "  wire 110.305-110.565 ms".
std::string wire_span(const Event& e, uint64_t t0) {
  if (e.wire_end_ns == 0) return "";
  return "  wire " + milliseconds(e.wire_start_ns, t0, 3) + "-" +
         milliseconds(e.wire_end_ns, t0, 3) + " ms";
}

std::string event_body(const Event& e, GpioLines& lines) {
  switch (e.kind) {
    case EventKind::GpioWrite: return gpio_text(e, lines);
    case EventKind::SerialToSlave:
    case EventKind::SerialFromSlave:
      // A line from a board outside the simulator has no known speed.
      return (e.baud != 0 ? std::to_string(e.baud) + " baud  " : "") + quoted(e.data);
    case EventKind::SerialSpeed: return "now " + std::to_string(e.value) + " baud";
    case EventKind::SpiOpen: return result_text(e).substr(1);
    case EventKind::SpiClose: return "";
    case EventKind::SpiIoctl: {
      std::string text = spi_request_name(e.request);
      if (e.has_value) text += " " + std::to_string(e.value);
      return text + result_text(e);
    }
    case EventKind::SpiRead:
    case EventKind::SpiWrite: {
      const bool read = e.kind == EventKind::SpiRead;
      std::string text;
      if (e.result >= 0) text += std::to_string(e.result) + " bytes";
      if (e.wire_hz != 0) text += " (" + wire_settings(e) + ")";
      text += e.result >= 0 ? result_text(e) : result_text(e).substr(1);
      if (!e.data.empty())
        text += std::string(read ? "  rx " : "  tx ") + hex_bytes(e.data, " ", SHOWN_BYTES);
      return text;
    }
    case EventKind::SpiTransfer: {
      std::string text = transfer_text(e);
      if (!e.data.empty()) text += "  tx " + hex_bytes(e.data, " ", SHOWN_BYTES);
      if (!e.rx.empty()) text += "  rx " + hex_bytes(e.rx, " ", SHOWN_BYTES);
      return text;
    }
    case EventKind::FbIoctl: {
      std::string text = fb_request_name(e.request);
      if (e.request != 0 && fb_request_name(e.request) != ioc_fields(e.request)) {
        text += " " + ioc_fields(e.request);
      }
      if (e.has_value) text += " " + std::to_string(e.value);
      return text + result_text(e);
    }
    case EventKind::FbWrite:
      return std::to_string(e.data.size()) + " bytes" + result_text(e) + "  tx " +
             hex_bytes(e.data, " ", SHOWN_BYTES);
    case EventKind::Note: return e.text;
    case EventKind::Annotation: return e.unit + ": " + e.text;
  }
  return "";
}

}  // namespace

std::string Journal::to_text() const {
  std::string text;
  const uint64_t t0 = events_.empty() ? 0 : events_.front().t_ns;
  GpioLines lines;
  char head[64];
  for (const auto& e : events_) {
    const std::string ms = milliseconds(e.t_ns, t0, 3);
    std::snprintf(head, sizeof head, "%10s ms  %-*s", ms.c_str(), KIND_WIDTH,
                  event_kind_name(e.kind));
    text += head;
    const std::string device = event_device_name(e);
    if (!device.empty()) text += device + " ";
    text += event_body(e, lines);
    text += wire_span(e, t0);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text += "\n";
  }
  return text;
}

}  // namespace boardsim
