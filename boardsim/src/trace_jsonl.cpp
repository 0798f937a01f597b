// The journal as JSON lines, one object per event, for tests and scripts.
// The field names are fixed and listed in boardsim/TRACE.md; a field that
// does not apply to an event is left out, never written empty. Bytes are
// upper-case hexadecimal strings, all of them: "tx" what the board sent,
// "rx" what it received.
#include <cstdio>
#include <string>

#include "boardsim/journal.h"
#include "event_decode.h"

namespace boardsim {

namespace {

// A JSON string. Text from a far end may hold any byte: control characters
// and bytes above 0x7E are written as \u00XX, so every line is valid UTF-8.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  char escape[8];
  for (char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    if (b == '"' || b == '\\') {
      out += '\\';
      out += ch;
    } else if (b < 0x20 || b > 0x7E) {
      std::snprintf(escape, sizeof escape, "\\u%04X", b);
      out += escape;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

class Line {
 public:
  void field(const char* name, const std::string& json_value) {
    text_ += text_.empty() ? "{" : ",";
    text_ += "\"";
    text_ += name;
    text_ += "\":" + json_value;
  }
  void text(const char* name, const std::string& value) { field(name, json_string(value)); }
  void number(const char* name, long long value) { field(name, std::to_string(value)); }
  void bytes(const char* name, const std::vector<uint8_t>& value) {
    field(name, "\"" + hex_bytes(value, "") + "\"");
  }
  std::string done() { return text_ + "}\n"; }

 private:
  std::string text_;
};

void add_device(Line& line, const Event& e) {
  if (e.device < 0) return;
  const Bus bus = event_bus(e);
  if (bus == Bus::Serial) line.number("port", e.device);
  if (bus == Bus::Spi) line.number("cs", e.device);
}

void add_result(Line& line, const Event& e) {
  line.number("result", e.result);
  if (e.result < 0) line.number("errno", e.err);
}

void add_wire(Line& line, const Event& e) {
  if (e.wire_hz == 0) return;
  line.number("wire_hz", e.wire_hz);
  line.number("wire_bits", e.wire_bits);
  line.number("wire_mode", e.wire_mode);
}

void add_gpio(Line& line, const Event& e, GpioLines& lines) {
  const GpioDecoded d = lines.apply(e.data);
  line.bytes("tx", e.data);
  if (!d.whole) {
    add_result(line, e);
    return;
  }
  line.number("op", d.op);
  line.number("mask", d.mask);
  line.number("value", d.value);
  line.text("reset", level_name(d.reset));
}

void add_body(Line& line, const Event& e, GpioLines& lines) {
  switch (e.kind) {
    case EventKind::GpioWrite: add_gpio(line, e, lines); break;
    case EventKind::SerialToSlave:
    case EventKind::SerialFromSlave:
      if (e.baud != 0) line.number("baud", e.baud);
      line.bytes(e.kind == EventKind::SerialToSlave ? "tx" : "rx", e.data);
      break;
    case EventKind::SerialSpeed: line.number("baud", e.value); break;
    case EventKind::SpiOpen: add_result(line, e); break;
    case EventKind::SpiClose: break;
    case EventKind::SpiIoctl:
    case EventKind::FbIoctl:
      line.number("request", e.request);
      line.text("request_name", e.kind == EventKind::SpiIoctl ? spi_request_name(e.request)
                                                              : fb_request_name(e.request));
      if (e.has_value) line.number("value", e.value);
      add_result(line, e);
      break;
    case EventKind::SpiRead:
    case EventKind::SpiWrite:
      add_wire(line, e);
      if (!e.data.empty()) line.bytes(e.kind == EventKind::SpiRead ? "rx" : "tx", e.data);
      add_result(line, e);
      break;
    case EventKind::SpiTransfer:
      line.number("request", e.request);
      line.text("request_name", spi_request_name(e.request));
      line.number("speed_hz", e.speed_hz);
      line.number("bits_per_word", e.bits_per_word);
      line.number("cs_change", e.cs_change);
      line.number("delay_usecs", e.delay_usecs);
      add_wire(line, e);
      if (!e.data.empty()) line.bytes("tx", e.data);
      if (!e.rx.empty()) line.bytes("rx", e.rx);
      add_result(line, e);
      break;
    case EventKind::FbWrite:
      line.bytes("tx", e.data);
      add_result(line, e);
      break;
    case EventKind::Note: line.text("text", e.text); break;
    case EventKind::Annotation:
      line.text("bus", e.bus == Bus::Serial ? "tty" : e.bus == Bus::Spi ? "spi" : "none");
      line.text("unit", e.unit);
      line.text("text", e.text);
      break;
  }
}

}  // namespace

std::string Journal::to_jsonl() const {
  std::string out;
  const uint64_t t0 = events_.empty() ? 0 : events_.front().t_ns;
  GpioLines lines;
  for (const auto& e : events_) {
    Line line;
    line.field("t_ms", milliseconds(e.t_ns, t0, 6));
    line.text("kind", event_kind_name(e.kind));
    if (e.pid > 0) line.number("pid", e.pid);
    add_device(line, e);
    add_body(line, e, lines);
    if (e.wire_end_ns != 0) {
      line.field("wire_start_ms", milliseconds(e.wire_start_ns, t0, 6));
      line.field("wire_end_ms", milliseconds(e.wire_end_ns, t0, 6));
    }
    out += line.done();
  }
  return out;
}

}  // namespace boardsim
