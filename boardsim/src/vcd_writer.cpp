// The Value Change Dump of the board's lines: the header with one wire per
// signal, the levels at the window's start, then the lanes' edges merged in
// time order, each change written once.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/vcd.h"
#include "wire_lanes.h"

namespace boardsim {

namespace {

constexpr int SPI_CHIP_SELECTS = 5;
// The timescale is the coarser of these under which the shortest interval
// drawn (half an SPI clock period, a UART bit) still spans this many ticks:
// 10 ns keeps a long run's sample count low for PulseView, 1 ns draws
// clocks above 10 MHz.
constexpr uint64_t COARSE_TICK_NS = 10;
constexpr uint64_t FINE_TICK_NS = 1;
constexpr double TICKS_PER_INTERVAL = 5;
// The dump goes on this long after the last drawing ends, so that a viewer
// shows the last stop bit whole and a decoder can sample it.
constexpr uint64_t TAIL_NS = 1000;

// The signals of a dump, in the order they are declared.
class Signals {
 public:
  explicit Signals(int ports) : ports_(ports > 0 ? ports : 0) {
    for (int p = 0; p < ports_; ++p) {
      names_.push_back("ttyS" + std::to_string(p) + "_tx");
      names_.push_back("ttyS" + std::to_string(p) + "_rx");
    }
    spi_.sclk = add("spi2_sclk");
    spi_.mosi = add("spi2_mosi");
    spi_.miso = add("spi2_miso");
    spi_.cs0 = add("spi2_cs0");
    for (int cs = 1; cs < SPI_CHIP_SELECTS; ++cs) add("spi2_cs" + std::to_string(cs));
    reset_ = add("slave_reset_n");
  }
  int ports() const { return ports_; }
  int tx(int port) const { return 2 * port; }
  int rx(int port) const { return 2 * port + 1; }
  const SpiSignals& spi() const { return spi_; }
  int reset() const { return reset_; }
  size_t count() const { return names_.size(); }
  const std::string& name(int signal) const { return names_[static_cast<size_t>(signal)]; }

  // Short identifiers from the printable characters, leaving out '#' and
  // '$', which start a timestamp or a keyword in some readers.
  static std::string id(int signal) {
    static const std::string CHARS = [] {
      std::string chars;
      for (char c = '!'; c <= '~'; ++c) {
        if (c != '#' && c != '$') chars += c;
      }
      return chars;
    }();
    const size_t n = CHARS.size();
    const size_t s = static_cast<size_t>(signal);
    if (s < n) return std::string(1, CHARS[s]);
    return std::string(1, CHARS[s / n - 1]) + CHARS[s % n];
  }

 private:
  int add(const std::string& name) {
    names_.push_back(name);
    return static_cast<int>(names_.size() - 1);
  }
  int ports_;
  std::vector<std::string> names_;
  SpiSignals spi_;
  int reset_ = 0;
};

uint64_t since_start(const Event& e, uint64_t t0) { return e.t_ns >= t0 ? e.t_ns - t0 : 0; }

bool in_window(uint64_t t_ns, const VcdOptions& o) { return t_ns >= o.from_ns && t_ns < o.to_ns; }

// Writes the changes, each once, under timestamps that only appear when
// something changes at them.
class ChangeWriter {
 public:
  ChangeWriter(std::ostream& out, size_t signals, uint64_t tick_ns)
      : out_(out), tick_ns_(tick_ns), levels_(signals, '?') {}

  void initial(uint64_t t_ns, const std::vector<char>& levels) {
    out_ << "#" << ticks(t_ns) << "\n$dumpvars\n";
    for (size_t s = 0; s < levels.size(); ++s) {
      levels_[s] = levels[s];
      out_ << levels[s] << Signals::id(static_cast<int>(s)) << "\n";
    }
    out_ << "$end\n";
    written_tick_ = ticks(t_ns);
    last_ns_ = t_ns;
  }

  void change(const Edge& edge) {
    last_ns_ = std::max(last_ns_, edge.t_ns);
    char& level = levels_[static_cast<size_t>(edge.signal)];
    if (level == edge.level) return;
    level = edge.level;
    const uint64_t tick = ticks(edge.t_ns);
    if (tick != written_tick_) {
      out_ << "#" << tick << "\n";
      written_tick_ = tick;
    }
    out_ << edge.level << Signals::id(edge.signal) << "\n";
  }

  void end(uint64_t t_ns) {
    const uint64_t tick = ticks(std::max(t_ns, last_ns_));
    if (tick != written_tick_) out_ << "#" << tick << "\n";
  }

 private:
  uint64_t ticks(uint64_t t_ns) const { return (t_ns + tick_ns_ / 2) / tick_ns_; }

  std::ostream& out_;
  uint64_t tick_ns_;
  std::vector<char> levels_;
  uint64_t written_tick_ = UINT64_MAX;
  uint64_t last_ns_ = 0;
};

// The lanes of a dump and their merge.
class Wires {
 public:
  explicit Wires(const Signals& signals) : spi_(signals.spi()), reset_(signals.reset()) {
    for (int p = 0; p < signals.ports(); ++p) {
      tx_.push_back(std::make_unique<SerialLane>(signals.tx(p)));
      rx_.push_back(std::make_unique<SerialLane>(signals.rx(p)));
    }
  }

  void add(const Event& e, uint64_t t_ns, bool drawn) {
    const size_t port = static_cast<size_t>(e.device);
    switch (e.kind) {
      case EventKind::SerialToSlave:
        if (e.device >= 0 && port < tx_.size()) tx_[port]->add(e, t_ns, drawn);
        break;
      case EventKind::SerialFromSlave:
        if (e.device >= 0 && port < rx_.size()) rx_[port]->add(e, t_ns, drawn);
        break;
      case EventKind::SpiRead:
      case EventKind::SpiWrite:
      case EventKind::SpiTransfer:
        if (e.device >= 0 && e.device < SPI_CHIP_SELECTS) spi_.add(e, t_ns, drawn);
        break;
      case EventKind::GpioWrite: reset_.add(e, t_ns, drawn); break;
      default: break;
    }
    if (drawn) drawn_until_ = std::max({drawn_until_, lane_end(e)});
  }

  // Hands every edge before `limit` to the writer, oldest first.
  void flush(uint64_t limit, ChangeWriter& writer) {
    for (;;) {
      Lane* earliest = nullptr;
      uint64_t earliest_t = limit;
      for (Lane* lane : lanes()) {
        uint64_t t = 0;
        if (lane->next_time(t) && t < earliest_t) {
          earliest = lane;
          earliest_t = t;
        }
      }
      if (earliest == nullptr) return;
      writer.change(earliest->take());
    }
  }

  uint64_t drawn_until() const { return drawn_until_; }

 private:
  std::vector<Lane*> lanes() {
    std::vector<Lane*> all{&spi_, &reset_};
    for (auto& lane : tx_) all.push_back(lane.get());
    for (auto& lane : rx_) all.push_back(lane.get());
    return all;
  }

  uint64_t lane_end(const Event& e) const {
    const size_t port = static_cast<size_t>(e.device);
    switch (e.kind) {
      case EventKind::SerialToSlave: return port < tx_.size() ? tx_[port]->busy_until() : 0;
      case EventKind::SerialFromSlave: return port < rx_.size() ? rx_[port]->busy_until() : 0;
      case EventKind::SpiRead:
      case EventKind::SpiWrite:
      case EventKind::SpiTransfer: return spi_.busy_until();
      default: return 0;
    }
  }

  std::vector<std::unique_ptr<SerialLane>> tx_;
  std::vector<std::unique_ptr<SerialLane>> rx_;
  SpiLane spi_;
  ResetLane reset_;
  uint64_t drawn_until_ = 0;
};

uint64_t tick_for(const std::vector<Event>& events, uint64_t t0, const VcdOptions& o) {
  for (const auto& e : events) {
    const double interval = shortest_interval_ns(e);
    if (interval > 0 && interval < TICKS_PER_INTERVAL * COARSE_TICK_NS &&
        in_window(since_start(e, t0), o)) {
      return FINE_TICK_NS;
    }
  }
  return COARSE_TICK_NS;
}

void write_header(std::ostream& out, const Signals& signals, uint64_t tick_ns,
                  const VcdOptions& o) {
  out << "$comment\n"
         "  boardsim: the simulated board's lines. Serial lines 8-N-1, idle high, at the\n"
         "  port's speed of the moment (tx: board to slave); SPI bus 2 with each transfer's\n"
         "  clock, mode and word size, chip selects active low; the slaves' reset line\n"
         "  (low: held in reset; x: not driven yet). Time 0 is the journal's first event.\n";
  if (o.from_ns != 0 || o.to_ns != UINT64_MAX) {
    out << "  Window: what the board did from " << o.from_ns << " ns";
    if (o.to_ns != UINT64_MAX) out << " to " << o.to_ns << " ns";
    out << ".\n";
  }
  out << "$end\n$version boardsim $end\n$timescale " << tick_ns << " ns $end\n"
      << "$scope module board $end\n";
  for (size_t s = 0; s < signals.count(); ++s) {
    const int signal = static_cast<int>(s);
    out << "$var wire 1 " << Signals::id(signal) << " " << signals.name(signal) << " $end\n";
  }
  out << "$upscope $end\n$enddefinitions $end\n";
}

// The levels at the window's start: lines idle, the reset line as the
// requests before the window left it.
std::vector<char> initial_levels(const std::vector<Event>& events, uint64_t t0,
                                 const Signals& signals, const VcdOptions& o) {
  std::vector<char> levels(signals.count(), '1');
  const SpiSignals& spi = signals.spi();
  levels[static_cast<size_t>(spi.sclk)] = '0';
  levels[static_cast<size_t>(spi.mosi)] = '0';
  levels[static_cast<size_t>(spi.miso)] = '0';
  GpioLines lines;
  for (const auto& e : events) {
    if (since_start(e, t0) >= o.from_ns) break;
    if (e.kind == EventKind::GpioWrite) lines.apply(e.data);
  }
  const Level reset = lines.reset();
  levels[static_cast<size_t>(signals.reset())] = reset == Level::Undriven ? 'x'
                                                 : reset == Level::High   ? '1'
                                                                          : '0';
  return levels;
}

}  // namespace

bool write_vcd(const Journal& journal, std::ostream& out, const VcdOptions& options) {
  const std::vector<Event>& events = journal.events();
  const uint64_t t0 = events.empty() ? 0 : events.front().t_ns;
  const Signals signals(options.serial_ports);
  const uint64_t tick_ns = tick_for(events, t0, options);
  write_header(out, signals, tick_ns, options);
  ChangeWriter writer(out, signals.count(), tick_ns);
  writer.initial(options.from_ns, initial_levels(events, t0, signals, options));
  Wires wires(signals);
  // Each event where it was on the wire: a serial character or an SPI
  // transfer at the start the simulator gave it (an answer reaches the
  // journal only when its last character has arrived), anything else when
  // the journal saw it. A journal filled by hand may hold an event stamped
  // before the one ahead of it; the dump's time never runs backwards.
  std::vector<std::pair<uint64_t, size_t>> order;
  order.reserve(events.size());
  uint64_t seen = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    seen = std::max(seen, since_start(e, t0));
    const uint64_t at =
        e.wire_end_ns != 0 ? (e.wire_start_ns >= t0 ? e.wire_start_ns - t0 : 0) : seen;
    order.emplace_back(at, i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [t, i] : order) {
    // Nothing queued from now on starts before t: what lies before is final.
    wires.flush(t, writer);
    wires.add(events[i], t, in_window(t, options));
  }
  wires.flush(UINT64_MAX, writer);
  writer.end(wires.drawn_until() + TAIL_NS);
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace boardsim
