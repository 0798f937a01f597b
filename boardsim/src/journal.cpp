#include "boardsim/journal.h"

#include <time.h>

#include <cstdio>

namespace boardsim {

uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

void Journal::add(Event e) {
  if (e.t_ns == 0) e.t_ns = monotonic_ns();
  events_.push_back(std::move(e));
}

void Journal::note(const std::string& text, int device) {
  Event e;
  e.kind = EventKind::Note;
  e.device = device;
  e.text = text;
  add(std::move(e));
}

std::vector<Event> Journal::of(EventKind kind, int device) const {
  std::vector<Event> found;
  for (const auto& e : events_) {
    if (e.kind == kind && (device < 0 || e.device == device)) found.push_back(e);
  }
  return found;
}

std::vector<uint8_t> Journal::bytes(EventKind kind, int device) const {
  std::vector<uint8_t> all;
  for (const auto& e : events_) {
    if (e.kind == kind && (device < 0 || e.device == device)) {
      all.insert(all.end(), e.data.begin(), e.data.end());
    }
  }
  return all;
}

std::string Journal::bytes_text(EventKind kind, int device) const {
  const auto b = bytes(kind, device);
  return std::string(b.begin(), b.end());
}

namespace {

const char* kind_name(EventKind kind) {
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
  }
  return "?";
}

// Serial traffic is mostly ASCII boot records: show it as text when it is
// printable, as hexadecimal otherwise.
std::string render(const std::vector<uint8_t>& bytes, bool as_text) {
  std::string out;
  char hex[4];
  const size_t shown = bytes.size() > 64 ? 64 : bytes.size();
  for (size_t i = 0; i < shown; ++i) {
    const uint8_t b = bytes[i];
    if (as_text && b >= 0x20 && b < 0x7F) {
      out += static_cast<char>(b);
    } else {
      std::snprintf(hex, sizeof hex, as_text ? "\\%02X" : "%02X ", b);
      out += hex;
    }
  }
  if (bytes.size() > shown) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

}  // namespace

std::string Journal::to_text() const {
  std::string text;
  const uint64_t t0 = events_.empty() ? 0 : events_.front().t_ns;
  char head[96];
  for (const auto& e : events_) {
    std::snprintf(head, sizeof head, "%10.3f ms  %-10s", static_cast<double>(e.t_ns - t0) / 1e6,
                  kind_name(e.kind));
    text += head;
    if (e.device >= 0) text += " dev " + std::to_string(e.device);
    if (e.request != 0) {
      std::snprintf(head, sizeof head, " req 0x%08X", e.request);
      text += head;
    }
    if (e.has_value) text += " value " + std::to_string(e.value);
    if (e.kind != EventKind::Note && e.kind != EventKind::SerialSpeed &&
        e.kind != EventKind::SerialToSlave && e.kind != EventKind::SerialFromSlave) {
      text += " -> " + std::to_string(e.result);
      if (e.result < 0) text += " (errno " + std::to_string(e.err) + ")";
    }
    const bool serial = e.kind == EventKind::SerialToSlave || e.kind == EventKind::SerialFromSlave;
    // A plain read carries the bytes the program received; everything else what it sent.
    const char* label = e.kind == EventKind::SpiRead ? "  rx " : "  tx ";
    if (!e.data.empty()) text += (serial ? "  \"" : label) + render(e.data, serial) + (serial ? "\"" : "");
    if (!e.rx.empty()) text += "  rx " + render(e.rx, false);
    if (!e.text.empty()) text += "  " + e.text;
    text += "\n";
  }
  return text;
}

}  // namespace boardsim
