// The journal: everything the programs did at the board's devices, with a
// monotonic timestamp taken by the simulator when it saw the event.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "boardsim/types.h"

namespace boardsim {

class Journal {
 public:
  void add(Event e);  // stamps t_ns when it is 0
  // Characters from a far end: joined to the journal's last event when that
  // holds the characters right before them on the same line (back to back
  // on the wire, nothing journalled between), so that an answer reads as one.
  void add_received(Event e);
  void note(const std::string& text, int device = -1);
  void note(Bus bus, int device, const std::string& text);
  void annotate(Bus bus, int device, const std::string& unit, const std::string& text);
  void clear() { events_.clear(); }
  const std::vector<Event>& events() const { return events_; }
  // The events of one kind (and one device unless device is -1), in order.
  std::vector<Event> of(EventKind kind, int device = -1) const;
  // All data bytes of one kind and device, concatenated in order.
  std::vector<uint8_t> bytes(EventKind kind, int device = -1) const;
  std::string bytes_text(EventKind kind, int device = -1) const;  // same, as a string
  // The decoded journal, one event a line, times in milliseconds from the
  // first event (what `boardsim --trace` writes).
  std::string to_text() const;
  // The same events as JSON lines with the field names of boardsim/TRACE.md
  // (`boardsim --trace-format jsonl`).
  std::string to_jsonl() const;

 private:
  std::vector<Event> events_;
};

uint64_t monotonic_ns();

}  // namespace boardsim
