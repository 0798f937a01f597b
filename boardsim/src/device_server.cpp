// The simulated spidev driver of the five chip selects and the frame-buffer
// journal, behind the preload shim. It answers as the kernel driver does in
// what a program can observe: settings that outlive the descriptor and the
// process, the device settings standing in for 0 in a transfer, EMSGSIZE above
// the driver buffer, EINVAL for partial words and unsupported settings, and the
// speed read back clamped to the controller. Injected faults come last, after
// the request has been found valid, as a failing bus would. GPIO writes are
// shown here before they go into the FIFO, so that a fault can stand in for
// the driver's answer.
#include "device_server.h"

#include <linux/spi/spidev.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

namespace boardsim {

namespace {

constexpr int SPI_DEVICES = 5;                       // chip selects 0..4 of SPI bus 2
constexpr size_t SETTING_BYTES = 4;                  // a setting travels widened to 32 bits
constexpr uint32_t MODE_USER_MASK = (1u << 17) - 1;  // mode bits a program may set
constexpr uint32_t LSB_FIRST = 0x08;
constexpr uint8_t DEFAULT_BITS_PER_WORD = 8;  // what a written 0 means
constexpr unsigned MAX_BITS_PER_WORD = 32;
constexpr unsigned IOC_NR_MESSAGE = 0;

struct Reply {
  int result = 0;
  int err = 0;
  std::vector<uint8_t> payload;
};

Reply failure(int err) { return Reply{-1, err, {}}; }

void put_u32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::vector<uint8_t> encode(const Reply& r) {
  std::vector<uint8_t> out(sizeof(boardsim_reply) + r.payload.size());
  put_u32(out, 0, static_cast<uint32_t>(r.result));
  put_u32(out, 4, static_cast<uint32_t>(r.err));
  put_u32(out, 8, static_cast<uint32_t>(r.payload.size()));
  put_u32(out, 12, 0);
  if (!r.payload.empty())
    std::memcpy(out.data() + sizeof(boardsim_reply), r.payload.data(), r.payload.size());
  return out;
}

// Bytes one word occupies in a buffer at this word size.
size_t word_bytes(unsigned bits) { return bits <= 8 ? 1 : bits <= 16 ? 2 : 4; }

// The transfer records as they arrive: fixed little-endian layout.
boardsim_xfer decode_xfer(const uint8_t* p) {
  boardsim_xfer x{};
  x.len = get_u32(p);
  x.speed_hz = get_u32(p + 4);
  x.delay_usecs = static_cast<uint16_t>(p[8] | p[9] << 8);
  x.bits_per_word = p[10];
  x.cs_change = p[11];
  x.has_tx = p[12];
  x.has_rx = p[13];
  x.tx_nbits = p[14];
  x.rx_nbits = p[15];
  return x;
}

bool is_setting(uint32_t request) {
  switch (request) {
    case SPI_IOC_WR_MODE:
    case SPI_IOC_RD_MODE:
    case SPI_IOC_WR_MODE32:
    case SPI_IOC_RD_MODE32:
    case SPI_IOC_WR_LSB_FIRST:
    case SPI_IOC_RD_LSB_FIRST:
    case SPI_IOC_WR_BITS_PER_WORD:
    case SPI_IOC_RD_BITS_PER_WORD:
    case SPI_IOC_WR_MAX_SPEED_HZ:
    case SPI_IOC_RD_MAX_SPEED_HZ: return true;
    default: return false;
  }
}

struct Connection {
  int device = -1;  // chip select opened on it; -1: frame-buffer or not yet opened
  int pid = 0;
};

// What the far end of one exchange recognised, kept until the exchange's own
// event is in the journal, so that each annotation follows the bytes it reads.
class PendingAnnotations : public Annotator {
 public:
  void annotate(const std::string& unit, const std::string& text) override {
    units_.emplace_back(unit, text);
  }
  void move_to(Journal& journal, int device) {
    for (const auto& [unit, text] : units_) journal.annotate(Bus::Spi, device, unit, text);
    units_.clear();
  }

 private:
  std::vector<std::pair<std::string, std::string>> units_;
};

}  // namespace

struct DeviceServer::Impl {
  Impl(const BoardConfig& c, Journal& j) : config(c), journal(j) {
    for (int d = 0; d < SPI_DEVICES; ++d) {
      states[d].max_speed_hz = config.spi_default_speed_hz;
      scripted[d] = std::make_shared<ScriptedSpi>();
      far_ends[d] = scripted[d];
    }
  }

  BoardConfig config;
  Journal& journal;
  std::array<SpiDeviceState, SPI_DEVICES> states{};
  std::array<std::shared_ptr<ScriptedSpi>, SPI_DEVICES> scripted{};
  std::array<std::shared_ptr<SpiFarEnd>, SPI_DEVICES> far_ends{};
  std::vector<SpiFault> faults;
  std::array<std::array<int, 3>, SPI_DEVICES> calls{};  // per device, per SpiOp
  std::vector<GpioFault> gpio_faults;
  int gpio_calls = 0;
  std::deque<uint64_t> gpio_taken_ns;  // one per 12-byte request taken whole
  std::map<int, Connection> connections;
  PendingAnnotations annotations;
  uint64_t bus_free_ns = 0;  // when the bus's last transfer ends
  uint64_t reply_due = 0;    // when the request being handled is off the bus

  static void check_device(int device) {
    if (device < 0 || device >= SPI_DEVICES) throw std::out_of_range("no such spidev chip select");
  }

  bool bits_supported(unsigned bits) const {
    return bits >= 1 && bits <= MAX_BITS_PER_WORD && (config.spi_supported_bits >> (bits - 1)) & 1u;
  }

  // What the controller runs at for a requested speed (0: as fast as it can).
  uint32_t clamp_speed(uint32_t hz) const {
    return (hz == 0 || hz > config.spi_controller_max_hz) ? config.spi_controller_max_hz : hz;
  }

  // Counts the call and returns the fault that hits it, if any.
  const SpiFault* count_call(int device, SpiOp op) {
    const int n = ++calls[device][static_cast<size_t>(op)];
    for (const auto& f : faults) {
      const int run = f.count > 1 ? f.count : 1;
      if (f.device == device && f.op == op && n >= f.nth && n < f.nth + run) return &f;
    }
    return nullptr;
  }

  static size_t short_length(const SpiFault& f, size_t requested, size_t word) {
    size_t n = f.short_len != 0 ? f.short_len : requested / 2;
    if (n > requested) n = requested;
    return n - n % word;
  }

  // Runs one exchange with the far end and notes in the event what it ran
  // with on the wire.
  void exchange(Event& e, const uint8_t* tx, uint8_t* rx, size_t len, uint8_t bits,
                uint32_t speed_hz, bool cs_change) {
    if (len == 0) return;
    const int device = e.device;
    e.wire_hz = speed_hz;
    e.wire_bits = bits;
    e.wire_mode = states[device].mode;
    SpiExchange x;
    x.device = device;
    x.tx = tx;
    x.rx = rx;
    x.len = len;
    x.bits_per_word = bits;
    x.speed_hz = speed_hz;
    x.mode = states[device].mode;
    x.cs_change = cs_change;
    x.annotator = &annotations;
    if (config.wire_time && speed_hz != 0) {
      // The controller selects the device half a clock period before the
      // first edge, clocks the words out one after the other, releases the
      // device half a period after the last edge and the bus half a period
      // later (as the wire dump draws it).
      constexpr uint64_t NS_PER_S = 1000000000;
      const uint64_t clocks = len / word_bytes(bits) * bits;
      const uint64_t half = (NS_PER_S / 2 + speed_hz - 1) / speed_hz;
      const uint64_t start = std::max(monotonic_ns(), bus_free_ns);
      e.wire_start_ns = start;
      e.wire_end_ns = start + 3 * half + (clocks * NS_PER_S + speed_hz - 1) / speed_hz;
      bus_free_ns = e.wire_end_ns;
      reply_due = std::max(reply_due, e.wire_end_ns);
      x.wire_start_ns = e.wire_start_ns;
      x.wire_end_ns = e.wire_end_ns;
    } else {
      x.wire_start_ns = x.wire_end_ns = monotonic_ns();
    }
    far_ends[device]->exchange(x);
  }

  Event event(EventKind kind, int device, int pid) const {
    Event e;
    e.kind = kind;
    e.device = device;
    e.pid = pid;
    return e;
  }

  void record(Event e, const Reply& r) {
    e.result = r.result;
    e.err = r.err;
    add(std::move(e));
  }

  // The event, then what the far end recognised in it.
  void add(Event e) {
    const int device = e.device;
    journal.add(std::move(e));
    annotations.move_to(journal, device);
  }

  Reply spi_open(int connection, const boardsim_request& req) {
    Event e = event(EventKind::SpiOpen, req.device, req.pid);
    Reply r;
    if (req.device < 0 || req.device >= SPI_DEVICES || !states[req.device].present) {
      r = failure(ENOENT);
    } else if (connections[connection].device >= 0) {
      r = failure(EBUSY);  // the shim opens one device per connection
    } else {
      connections[connection] = Connection{req.device, req.pid};
    }
    record(std::move(e), r);
    return r;
  }

  // A plain read (tx null) or write (rx null): one half-duplex exchange.
  Reply spi_half_duplex(int device, const boardsim_request& req,
                        const std::vector<uint8_t>& payload) {
    const bool is_read = req.op == BOARDSIM_OP_SPI_READ;
    const SpiOp op = is_read ? SpiOp::Read : SpiOp::Write;
    const size_t count = is_read ? req.arg : payload.size();
    const SpiDeviceState& st = states[device];
    const size_t word = word_bytes(st.bits_per_word);
    Event e = event(is_read ? EventKind::SpiRead : EventKind::SpiWrite, device, req.pid);
    const SpiFault* fault = count_call(device, op);
    Reply r;
    if (count > config.spi_buffer_size) {
      r = failure(EMSGSIZE);
    } else if (count % word != 0) {
      r = failure(EINVAL);
    } else if (fault != nullptr && fault->kind != FaultKind::Short) {
      r = failure(fault->kind == FaultKind::Eio      ? EIO
                  : fault->kind == FaultKind::Eagain ? EAGAIN
                                                     : EINTR);
    } else {
      const size_t moved = fault != nullptr ? short_length(*fault, count, word) : count;
      const uint32_t speed = clamp_speed(st.max_speed_hz);
      if (is_read) {
        r.payload.assign(moved, 0);
        exchange(e, nullptr, r.payload.data(), moved, st.bits_per_word, speed, false);
        e.data = r.payload;
      } else {
        e.data.assign(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(moved));
        exchange(e, e.data.data(), nullptr, moved, st.bits_per_word, speed, false);
      }
      r.result = static_cast<int>(moved);
    }
    record(std::move(e), r);
    return r;
  }

  // A setting written or read back; value is what the journal shows.
  Reply spi_setting(int device, uint32_t request, const std::vector<uint8_t>& payload,
                    uint32_t& value, bool& has_value) {
    SpiDeviceState& st = states[device];
    if (!is_setting(request)) return failure(ENOTTY);
    if (_IOC_DIR(request) == _IOC_WRITE) {
      if (payload.size() < SETTING_BYTES) return failure(EINVAL);
      value = get_u32(payload.data());
      has_value = true;
    }
    switch (request) {
      case SPI_IOC_WR_MODE:
      case SPI_IOC_WR_MODE32: {
        const uint32_t mode = request == SPI_IOC_WR_MODE ? (value & 0xFFu) : value;
        if ((mode & ~MODE_USER_MASK) != 0 || (mode & ~config.spi_supported_modes) != 0)
          return failure(EINVAL);
        st.mode = mode;
        return Reply{};
      }
      case SPI_IOC_WR_LSB_FIRST: {
        const bool lsb = (value & 0xFFu) != 0;
        if (lsb && (config.spi_supported_modes & LSB_FIRST) == 0) return failure(EINVAL);
        st.mode = lsb ? (st.mode | LSB_FIRST) : (st.mode & ~LSB_FIRST);
        return Reply{};
      }
      case SPI_IOC_WR_BITS_PER_WORD: {
        const unsigned asked = value & 0xFFu;
        const unsigned bits = asked == 0 ? DEFAULT_BITS_PER_WORD : asked;
        if (!bits_supported(bits)) return failure(EINVAL);
        st.bits_per_word = static_cast<uint8_t>(bits);
        return Reply{};
      }
      case SPI_IOC_WR_MAX_SPEED_HZ:
        st.max_speed_hz = value;  // kept as asked; reads back clamped
        return Reply{};
      case SPI_IOC_RD_MODE: value = st.mode & 0xFFu; break;
      case SPI_IOC_RD_MODE32: value = st.mode; break;
      case SPI_IOC_RD_LSB_FIRST: value = (st.mode & LSB_FIRST) != 0 ? 1 : 0; break;
      case SPI_IOC_RD_BITS_PER_WORD: value = st.bits_per_word; break;
      case SPI_IOC_RD_MAX_SPEED_HZ: value = clamp_speed(st.max_speed_hz); break;
      default: return failure(ENOTTY);
    }
    has_value = true;
    Reply r;
    r.payload.assign(SETTING_BYTES, 0);
    put_u32(r.payload, 0, value);
    return r;
  }

  struct Record {
    boardsim_xfer x;
    const uint8_t* tx;  // into the payload; null without tx
    uint8_t bits;       // effective
  };

  // Parses and checks a whole message the way the driver does before any
  // byte moves: buffer totals first (EMSGSIZE), then each transfer (EINVAL).
  int parse_message(int device, uint32_t request, const std::vector<uint8_t>& payload,
                    std::vector<Record>& records) {
    const size_t ioc_size = _IOC_SIZE(request);
    if (_IOC_DIR(request) != _IOC_WRITE) return ENOTTY;
    if (ioc_size % sizeof(spi_ioc_transfer) != 0) return EINVAL;
    const size_t n = ioc_size / sizeof(spi_ioc_transfer);
    if (payload.size() < n * sizeof(boardsim_xfer)) return EINVAL;
    size_t offset = n * sizeof(boardsim_xfer);
    uint64_t total = 0, tx_total = 0, rx_total = 0;
    for (size_t i = 0; i < n; ++i) {
      Record rec{decode_xfer(payload.data() + i * sizeof(boardsim_xfer)), nullptr, 0};
      total += rec.x.len;
      // A transfer with neither buffer still clocks its length out of the driver buffer.
      if (rec.x.has_tx || !rec.x.has_rx) tx_total += rec.x.len;
      if (rec.x.has_rx) rx_total += rec.x.len;
      if (total > INT_MAX || tx_total > config.spi_buffer_size ||
          rx_total > config.spi_buffer_size) {
        return EMSGSIZE;
      }
      if (rec.x.has_tx) {
        if (payload.size() - offset < rec.x.len) return EINVAL;
        rec.tx = payload.data() + offset;
        offset += rec.x.len;
      }
      records.push_back(rec);
    }
    for (auto& rec : records) {
      rec.bits = rec.x.bits_per_word != 0 ? rec.x.bits_per_word : states[device].bits_per_word;
      if (!bits_supported(rec.bits) || rec.x.len % word_bytes(rec.bits) != 0) return EINVAL;
    }
    return 0;
  }

  // Runs the records in order; a short fault gives the far ends only the
  // first `budget` bytes of the message, cut at whole words.
  Reply run_message(int device, int pid, uint32_t request, const std::vector<Record>& records,
                    size_t budget) {
    Reply r;
    size_t moved_total = 0;
    for (const auto& rec : records) {
      size_t moved = rec.x.len < budget ? rec.x.len : budget;
      moved -= moved % word_bytes(rec.bits);
      if (moved == 0 && rec.x.len != 0) break;
      budget -= moved;
      Event e = event(EventKind::SpiTransfer, device, pid);
      e.request = request;
      e.speed_hz = rec.x.speed_hz;
      e.bits_per_word = rec.x.bits_per_word;
      e.cs_change = rec.x.cs_change;
      e.delay_usecs = rec.x.delay_usecs;
      if (rec.tx != nullptr) e.data.assign(rec.tx, rec.tx + moved);
      std::vector<uint8_t> rx(moved, 0);
      const uint32_t speed =
          clamp_speed(rec.x.speed_hz != 0 ? rec.x.speed_hz : states[device].max_speed_hz);
      exchange(e, rec.tx, rec.x.has_rx ? rx.data() : nullptr, moved, rec.bits, speed,
               rec.x.cs_change != 0);
      if (config.wire_time && e.wire_end_ns != 0 && rec.x.delay_usecs != 0) {
        bus_free_ns += static_cast<uint64_t>(rec.x.delay_usecs) * 1000;
        reply_due = std::max(reply_due, bus_free_ns);
      }
      if (rec.x.has_rx) {
        r.payload.insert(r.payload.end(), rx.begin(), rx.end());
        e.rx = std::move(rx);
      }
      e.result = static_cast<int>(moved);
      add(std::move(e));
      moved_total += moved;
      if (moved < rec.x.len) break;
    }
    r.result = static_cast<int>(moved_total);
    return r;
  }

  Reply spi_message(int device, int pid, uint32_t request, const std::vector<uint8_t>& payload) {
    const SpiFault* fault = count_call(device, SpiOp::Transfer);
    std::vector<Record> records;
    const int invalid = parse_message(device, request, payload, records);
    if (invalid != 0) return failure(invalid);
    size_t requested = 0;
    for (const auto& rec : records) requested += rec.x.len;
    if (fault == nullptr) return run_message(device, pid, request, records, requested);
    switch (fault->kind) {
      case FaultKind::Eio: return failure(EIO);
      case FaultKind::Eagain: return failure(EAGAIN);
      case FaultKind::Eintr: return failure(EINTR);
      case FaultKind::Short: break;
    }
    const size_t first_word = records.empty() ? 1 : word_bytes(records.front().bits);
    return run_message(device, pid, request, records, short_length(*fault, requested, first_word));
  }

  Reply spi_ioctl(int device, const boardsim_request& req, const std::vector<uint8_t>& payload) {
    Event e = event(EventKind::SpiIoctl, device, req.pid);
    e.request = req.request;
    Reply r;
    if (_IOC_TYPE(req.request) != SPI_IOC_MAGIC) {
      r = failure(ENOTTY);
    } else if (_IOC_NR(req.request) == IOC_NR_MESSAGE) {
      r = spi_message(device, req.pid, req.request, payload);
    } else {
      uint32_t value = 0;
      bool has_value = false;
      r = spi_setting(device, req.request, payload, value, has_value);
      e.value = value;
      e.has_value = has_value;
    }
    record(std::move(e), r);
    return r;
  }

  Reply fb_request(const boardsim_request& req, const std::vector<uint8_t>& payload) {
    Reply r;
    if (req.op == BOARDSIM_OP_FB_IOCTL) {
      Event e = event(EventKind::FbIoctl, -1, req.pid);
      e.request = req.request;
      e.has_value = (req.flags & BOARDSIM_FLAG_HAS_VALUE) != 0;
      if (e.has_value) e.value = req.arg;
      record(std::move(e), r);
    } else {
      Event e = event(EventKind::FbWrite, -1, req.pid);
      e.data = payload;
      r.result = static_cast<int>(payload.size());
      record(std::move(e), r);
    }
    return r;
  }

  // The driver's answer to a GPIO write: the whole count unless a fault hits
  // it. A hit write is journalled here, with the bytes the driver took of it
  // (none for an error); one taken whole is journalled when the simulator
  // reads it from the FIFO.
  Reply gpio_write(const boardsim_request& req, const std::vector<uint8_t>& payload) {
    const int n = ++gpio_calls;
    const GpioFault* fault = nullptr;
    for (const auto& f : gpio_faults) {
      if (f.nth == n) fault = &f;
    }
    if (fault == nullptr) {
      // Bounded: the times of the last 4096 requests at most are kept for a
      // board that writes faster than the simulator reads them, and only
      // whole requests have a time. One write's requests share its time.
      constexpr size_t GPIO_TIMES_KEPT = 4096;
      if (payload.size() % sizeof(GpioRequest) == 0) {
        const uint64_t taken_ns = monotonic_ns();
        for (size_t i = 0; i < payload.size() / sizeof(GpioRequest); ++i) {
          if (gpio_taken_ns.size() == GPIO_TIMES_KEPT) gpio_taken_ns.pop_front();
          gpio_taken_ns.push_back(taken_ns);
        }
      }
      return Reply{static_cast<int>(payload.size()), 0, {}};
    }
    Event e = event(EventKind::GpioWrite, 0, req.pid);
    Reply r;
    if (fault->kind == FaultKind::Short) {
      size_t taken = fault->short_len != 0 ? fault->short_len : payload.size() / 2;
      if (taken >= payload.size()) taken = payload.size() > 0 ? payload.size() - 1 : 0;
      e.data.assign(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(taken));
      r.result = static_cast<int>(taken);
    } else {
      r = failure(fault->kind == FaultKind::Eio      ? EIO
                  : fault->kind == FaultKind::Eagain ? EAGAIN
                                                     : EINTR);
    }
    record(std::move(e), r);
    return r;
  }

  Reply handle(int connection, const boardsim_request& req, const std::vector<uint8_t>& payload) {
    switch (req.op) {
      case BOARDSIM_OP_SPI_OPEN: return spi_open(connection, req);
      case BOARDSIM_OP_GPIO_WRITE: return gpio_write(req, payload);
      case BOARDSIM_OP_FB_IOCTL:
      case BOARDSIM_OP_FB_WRITE: return fb_request(req, payload);
      case BOARDSIM_OP_SPI_READ:
      case BOARDSIM_OP_SPI_WRITE:
      case BOARDSIM_OP_SPI_IOCTL: break;
      default:
        journal.note("unknown shim request " + std::to_string(req.op));
        return failure(ENOSYS);
    }
    const auto it = connections.find(connection);
    if (it == connections.end() || it->second.device < 0) {
      journal.note("spidev request on a connection without an open device");
      return failure(EBADF);
    }
    const int device = it->second.device;
    if (req.op == BOARDSIM_OP_SPI_IOCTL) return spi_ioctl(device, req, payload);
    return spi_half_duplex(device, req, payload);
  }

  void closed(int connection) {
    const auto it = connections.find(connection);
    if (it == connections.end()) return;
    if (it->second.device >= 0)
      journal.add(event(EventKind::SpiClose, it->second.device, it->second.pid));
    connections.erase(it);
  }
};

DeviceServer::DeviceServer(const BoardConfig& config, Journal& journal)
    : impl_(std::make_shared<Impl>(config, journal)) {}

void DeviceServer::attach(int device, std::shared_ptr<SpiFarEnd> far_end) {
  Impl::check_device(device);
  impl_->far_ends[device] = far_end ? std::move(far_end) : impl_->scripted[device];
}

ScriptedSpi& DeviceServer::scripted(int device) {
  Impl::check_device(device);
  return *impl_->scripted[device];
}

SpiDeviceState& DeviceServer::state(int device) {
  Impl::check_device(device);
  return impl_->states[device];
}

void DeviceServer::add_fault(const SpiFault& fault) { impl_->faults.push_back(fault); }

void DeviceServer::add_gpio_fault(const GpioFault& fault) { impl_->gpio_faults.push_back(fault); }

void DeviceServer::clear_faults() {
  impl_->faults.clear();
  impl_->gpio_faults.clear();
}

void DeviceServer::start_run() {
  for (auto& per_device : impl_->calls) per_device.fill(0);
  impl_->gpio_calls = 0;
  impl_->gpio_taken_ns.clear();
}

uint64_t DeviceServer::take_gpio_time() {
  auto& times = impl_->gpio_taken_ns;
  if (times.empty()) return 0;
  const uint64_t at = times.front();
  times.pop_front();
  return at;
}

std::vector<uint8_t> DeviceServer::handle(int connection, const boardsim_request& request,
                                          const std::vector<uint8_t>& payload) {
  impl_->reply_due = 0;
  return encode(impl_->handle(connection, request, payload));
}

uint64_t DeviceServer::reply_due_ns() const { return impl_->reply_due; }

void DeviceServer::connection_closed(int connection) { impl_->closed(connection); }

}  // namespace boardsim
