#include "boardsim/journal.h"

#include <time.h>

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

void Journal::add_received(Event e) {
  if (!events_.empty() && e.wire_start_ns != 0) {
    Event& last = events_.back();
    if (last.kind == e.kind && last.device == e.device && last.baud == e.baud &&
        last.wire_end_ns == e.wire_start_ns) {
      last.data.insert(last.data.end(), e.data.begin(), e.data.end());
      last.wire_end_ns = e.wire_end_ns;
      return;
    }
  }
  add(std::move(e));
}

void Journal::note(const std::string& text, int device) {
  Event e;
  e.kind = EventKind::Note;
  e.device = device;
  e.text = text;
  add(std::move(e));
}

void Journal::note(Bus bus, int device, const std::string& text) {
  Event e;
  e.kind = EventKind::Note;
  e.bus = bus;
  e.device = device;
  e.text = text;
  add(std::move(e));
}

void Journal::annotate(Bus bus, int device, const std::string& unit, const std::string& text) {
  Event e;
  e.kind = EventKind::Annotation;
  e.bus = bus;
  e.device = device;
  e.unit = unit;
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

}  // namespace boardsim
