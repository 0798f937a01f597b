#include "wire_lanes.h"

#include <algorithm>
#include <cmath>

namespace boardsim {

namespace {

constexpr double NS_PER_SECOND = 1e9;
constexpr int CHARACTER_BITS = 10;  // start bit, 8 data bits, stop bit
constexpr int DATA_BITS = 8;
constexpr uint32_t CPHA = 0x01;
constexpr uint32_t CPOL = 0x02;
constexpr uint32_t CS_HIGH = 0x04;
constexpr uint32_t LSB_FIRST = 0x08;

uint64_t at(uint64_t start_ns, double offset_ns) {
  return start_ns + static_cast<uint64_t>(std::llround(offset_ns));
}

char level_of(bool high) { return high ? '1' : '0'; }

// Bytes one word occupies in a buffer at this word size, as the driver lays them out.
size_t word_bytes(unsigned bits) { return bits <= 8 ? 1 : bits <= 16 ? 2 : 4; }

// Word n of a buffer (little-endian words); zeros past its end, which is
// what the controller sends or the idle line gives where a side has no buffer.
uint32_t word_of(const std::vector<uint8_t>& bytes, size_t n, size_t size) {
  uint32_t word = 0;
  for (size_t k = 0; k < size; ++k) {
    const size_t i = n * size + k;
    if (i < bytes.size()) word |= static_cast<uint32_t>(bytes[i]) << (8 * k);
  }
  return word;
}

}  // namespace

bool Lane::next_time(uint64_t& t_ns) {
  while (ready_.empty()) {
    if (!expand(ready_)) return false;
  }
  t_ns = ready_.front().t_ns;
  return true;
}

Edge Lane::take() {
  const Edge edge = ready_.front();
  ready_.pop_front();
  return edge;
}

// ---------------------------------------------------------------- serial

void SerialLane::add(const Event& e, uint64_t t_ns, bool drawn) {
  if (e.baud == 0) return;  // a port without a speed draws nothing
  const double bit_ns = NS_PER_SECOND / e.baud;
  for (uint8_t byte : e.data) {
    const uint64_t start = std::max(t_ns, busy_until_);
    busy_until_ = at(start, CHARACTER_BITS * bit_ns);
    if (drawn) pending_.push_back({start, bit_ns, byte});
  }
}

bool SerialLane::expand(std::deque<Edge>& edges) {
  if (pending_.empty()) return false;
  const Character c = pending_.front();
  pending_.pop_front();
  edges.push_back({c.start_ns, signal_, '0'});
  for (int bit = 0; bit < DATA_BITS; ++bit) {
    edges.push_back({at(c.start_ns, (bit + 1) * c.bit_ns), signal_, level_of((c.byte >> bit) & 1)});
  }
  edges.push_back({at(c.start_ns, (CHARACTER_BITS - 1) * c.bit_ns), signal_, '1'});
  return true;
}

// ---------------------------------------------------------------- SPI
//
// A transfer of n bits starting at T, with h half a clock period and
// t(k) = T + k * h: at t(0) the clock goes to its idle level for the mode,
// at t(1) the chip select becomes active; bit i has its leading clock edge
// at t(2i + 2) and its trailing edge at t(2i + 3). With CPHA 0 the data of
// bit i are on the lines from t(2i + 1), half a period before the leading
// edge that samples them; with CPHA 1 they change on the leading edge and
// are sampled on the trailing one. The chip select is released at
// t(2n + 2) and the bus is free from t(2n + 3), plus the transfer's delay.

void SpiLane::add(const Event& e, uint64_t t_ns, bool drawn) {
  if (e.wire_hz == 0 || e.wire_bits == 0 || e.result <= 0) return;  // no byte moved
  Transfer x{&e, std::max(t_ns, busy_until_), NS_PER_SECOND / (2.0 * e.wire_hz), 0,
             word_bytes(e.wire_bits)};
  x.words = static_cast<size_t>(e.result) / x.word_bytes;
  const double bits = static_cast<double>(x.words) * e.wire_bits;
  busy_until_ = at(x.start_ns, (2 * bits + 3) * x.half_ns) + 1000ull * e.delay_usecs;
  if (drawn) pending_.push_back(x);
}

bool SpiLane::expand(std::deque<Edge>& edges) {
  if (pending_.empty()) return false;
  Transfer& x = pending_.front();
  const Event& e = *x.event;
  const bool cs_high = (e.wire_mode & CS_HIGH) != 0;
  const int cs = signals_.cs0 + e.device;
  if (x.next_word == 0) {
    edges.push_back({x.start_ns, signals_.sclk, level_of((e.wire_mode & CPOL) != 0)});
    edges.push_back({x.start_ns, cs, level_of(!cs_high)});
    edges.push_back({at(x.start_ns, x.half_ns), cs, level_of(cs_high)});
  }
  if (x.next_word < x.words) {
    expand_word(x, edges);
    ++x.next_word;
    return true;
  }
  const double bits = static_cast<double>(x.words) * e.wire_bits;
  edges.push_back({at(x.start_ns, (2 * bits + 2) * x.half_ns), cs, level_of(!cs_high)});
  pending_.pop_front();
  return true;
}

void SpiLane::expand_word(const Transfer& x, std::deque<Edge>& edges) const {
  const Event& e = *x.event;
  const unsigned bits = e.wire_bits;
  const bool cpol = (e.wire_mode & CPOL) != 0;
  const bool cpha = (e.wire_mode & CPHA) != 0;
  const bool lsb_first = (e.wire_mode & LSB_FIRST) != 0;
  const bool is_read = e.kind == EventKind::SpiRead;
  const bool is_write = e.kind == EventKind::SpiWrite;
  const std::vector<uint8_t> none;
  const std::vector<uint8_t>& mosi = is_read ? none : e.data;
  const std::vector<uint8_t>& miso = is_read ? e.data : is_write ? none : e.rx;
  const uint32_t out = word_of(mosi, x.next_word, x.word_bytes);
  const uint32_t in = word_of(miso, x.next_word, x.word_bytes);
  for (unsigned j = 0; j < bits; ++j) {
    const unsigned bit = lsb_first ? j : bits - 1 - j;
    const double i = static_cast<double>(x.next_word) * bits + j;  // bit index in the transfer
    const uint64_t data_at = at(x.start_ns, (cpha ? 2 * i + 2 : 2 * i + 1) * x.half_ns);
    edges.push_back({data_at, signals_.mosi, level_of((out >> bit) & 1u)});
    edges.push_back({data_at, signals_.miso, level_of((in >> bit) & 1u)});
    edges.push_back({at(x.start_ns, (2 * i + 2) * x.half_ns), signals_.sclk, level_of(!cpol)});
    edges.push_back({at(x.start_ns, (2 * i + 3) * x.half_ns), signals_.sclk, level_of(cpol)});
  }
}

// ---------------------------------------------------------------- reset

void ResetLane::add(const Event& e, uint64_t t_ns, bool drawn) {
  const GpioDecoded d = lines_.apply(e.data);
  if (d.drives_reset && drawn)
    pending_.push_back({t_ns, signal_, level_of(d.reset == Level::High)});
}

bool ResetLane::expand(std::deque<Edge>& edges) {
  if (pending_.empty()) return false;
  edges.push_back(pending_.front());
  pending_.pop_front();
  return true;
}

double shortest_interval_ns(const Event& e) {
  switch (e.kind) {
    case EventKind::SerialToSlave:
    case EventKind::SerialFromSlave: return e.baud != 0 ? NS_PER_SECOND / e.baud : 0;
    case EventKind::SpiRead:
    case EventKind::SpiWrite:
    case EventKind::SpiTransfer:
      return e.wire_hz != 0 && e.result > 0 ? NS_PER_SECOND / (2.0 * e.wire_hz) : 0;
    default: return 0;
  }
}

}  // namespace boardsim
