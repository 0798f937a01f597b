// The sound-module firmware as the controller board sees it over SPI bus 2.
#include "boardsim/models/sound_modules.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace boardsim {

namespace {

constexpr size_t HEADER_SIZE = 12;
constexpr unsigned long WORD_MAX = 0xFFFF;
constexpr uint16_t FIRST_CPU_OK = 0x1;
constexpr uint16_t SECOND_CPU_OK = 0x2;
constexpr uint16_t ONE_CPU_MAX_DSPS = 2;  // more DSPs: a second i.MX processor

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A whole-token unsigned number (decimal or 0x-hexadecimal) up to max.
bool number_of(const std::string& text, unsigned long max, unsigned long& value) {
  // strtoul would also take leading blanks and signs; a number is digits.
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoul(text.c_str(), &end, 0);
  return errno == 0 && end != nullptr && *end == '\0' && value <= max;
}

// "SLOT:VALUE" of an option.
bool slot_pair(const std::string& text, unsigned long max, int& slot, unsigned long& value) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  unsigned long s = 0;
  if (!number_of(text.substr(0, colon), SoundModules::SLOTS - 1, s)) return false;
  if (!number_of(text.substr(colon + 1), max, value)) return false;
  slot = static_cast<int>(s);
  return true;
}

}  // namespace

bool SoundModules::configure(const std::string& args, std::string& error) {
  size_t start = 0;
  while (start < args.size()) {
    size_t comma = args.find(',', start);
    if (comma == std::string::npos) comma = args.size();
    const std::string item = args.substr(start, comma - start);
    start = comma + 1;
    size_t equals = item.find('=');
    if (equals == std::string::npos) {
      error = "sound: '" + item + "' is not NAME=VALUE";
      return false;
    }
    const std::string key = item.substr(0, equals);
    const std::string value_text = item.substr(equals + 1);
    int slot = 0;
    unsigned long value = 0;
    if (key == "answer" || key == "checksum") {
      if (!slot_pair(value_text, WORD_MAX, slot, value)) {
        error = "sound: " + key + " wants SLOT:VALUE with SLOT 0-3 and VALUE 0-0xFFFF";
        return false;
      }
      Module& m = modules_[static_cast<size_t>(slot)];
      (key == "answer" ? m.forced_search : m.forced_checksum) = static_cast<int>(value);
    } else if (key == "mode" || key == "max_hz") {
      const bool mode = key == "mode";
      if (!number_of(value_text, mode ? 3 : MAX_HZ_LIMIT, value) || (!mode && value == 0)) {
        error = mode ? "sound: mode wants 0-3" : "sound: max_hz wants 1-100000000";
        return false;
      }
      (mode ? mode_ : max_hz_) = static_cast<uint32_t>(value);
    } else if (key == "fail") {
      if (!slot_pair(value_text, 2, slot, value) || value == 0) {
        error = "sound: fail wants SLOT:CPU with SLOT 0-3 and CPU 1 or 2";
        return false;
      }
      modules_[static_cast<size_t>(slot)].cpu_fails[value - 1] = true;
    } else {
      unsigned long s = 0;
      if (!number_of(key, SLOTS - 1, s) || !number_of(value_text, 4, value) || value == 0) {
        error = "sound: '" + item + "' wants SLOT=DSPS with SLOT 0-3 and DSPS 1-4";
        return false;
      }
      Module& m = modules_[s];
      m.fitted = true;
      m.dsp_count = static_cast<uint16_t>(value);
    }
  }
  return true;
}

int SoundModules::read_answer(int slot, uint64_t now_ns) const {
  const Module& m = modules_.at(static_cast<size_t>(slot));
  if (m.downloading) return 0;
  if (m.jumped) {
    // The processors verify their code after the jump; until they are done
    // the word reads 0, as though nothing verified.
    if (now_ns < m.jump_ns + VERIFY_NS) return 0;
    return m.forced_checksum >= 0 ? m.forced_checksum : m.answer;
  }
  if (m.forced_search >= 0) return m.forced_search;
  return m.fitted ? m.dsp_count : -1;
}

// The firmware takes a frame's header from one chip-select transfer of
// exactly its 12 bytes and the data from the transfers after it, up to the
// size the header gave; a transfer that breaks this is refused whole.
bool SoundModules::takes_transfer(const SpiExchange& x) {
  Receiver& r = receivers_[static_cast<size_t>(x.device)];
  r.have_pending = false;  // a released chip select ends the word
  std::string why;
  if (r.header_len < HEADER_SIZE) {
    if (x.len != HEADER_SIZE) {
      why = "a header is one transfer of 12 bytes, this one has " + std::to_string(x.len);
    }
  } else if (x.len > r.size - r.received) {
    why = "the transfer runs " + std::to_string(x.len - (r.size - r.received)) +
          " bytes past its frame's data; a header comes in a transfer of its own";
  }
  if (why.empty()) return true;
  if (annotator_ != nullptr) annotator_->annotate("refused", why);
  return false;
}

void SoundModules::exchange(SpiExchange& x) {
  annotator_ = x.annotator;
  now_ns_ = x.wire_end_ns;
  const bool words = x.bits_per_word > 8;
  if (x.tx != nullptr && x.device >= 0 && x.device <= BROADCAST_DEVICE && takes_transfer(x)) {
    // Sampled on the wrong edge or clocked too fast, every word arrives
    // garbled; the frame is taken, but not what was sent.
    const uint32_t mode = x.mode & 3;
    const bool garbled = mode != mode_ || x.speed_hz > max_hz_;
    if (garbled && annotator_ != nullptr) {
      annotator_->annotate("garbled", "mode " + std::to_string(mode) + " at " +
                                          std::to_string(x.speed_hz) +
                                          " Hz: the modules take mode " + std::to_string(mode_) +
                                          " up to " + std::to_string(max_hz_) + " Hz");
    }
    // The bytes in the order they leave on the wire, most significant first.
    for (size_t i = 0; i < x.len; ++i) {
      size_t k = words ? (i % 2 == 0 ? (i + 1 < x.len ? i + 1 : i) : i - 1) : i;
      Receiver& r = receivers_[static_cast<size_t>(x.device)];
      if (!r.have_pending) {
        r.pending = x.tx[k];
        r.have_pending = true;
      } else {
        r.have_pending = false;
        on_wire_word(x.device, r.pending, x.tx[k], garbled);
      }
    }
  }
  if (x.rx != nullptr && x.len >= 2 && x.device < SLOTS) {
    int answer = read_answer(x.device, x.wire_start_ns);
    annotate_answer(x.device, answer, x.wire_start_ns);
    if (answer >= 0) {
      uint8_t high = static_cast<uint8_t>(answer >> 8);
      uint8_t low = static_cast<uint8_t>(answer & 0xFF);
      x.rx[0] = words ? low : high;
      x.rx[1] = words ? high : low;
    }
  }
}

// A 16-bit word off the wire carries two bytes of the frame, low half first.
// Garbled, the module samples each bit one place late (the last wraps round).
void SoundModules::on_wire_word(int device, uint8_t first, uint8_t second, bool garbled) {
  if (garbled) {
    const unsigned word = (static_cast<unsigned>(first) << 8) | second;
    const unsigned late = (word >> 1) | ((word & 1U) << 15);
    first = static_cast<uint8_t>(late >> 8);
    second = static_cast<uint8_t>(late & 0xFF);
  }
  on_byte(device, second);
  on_byte(device, first);
}

void SoundModules::on_byte(int device, uint8_t byte) {
  Receiver& r = receivers_[static_cast<size_t>(device)];
  if (r.header_len < HEADER_SIZE) {
    r.header[r.header_len++] = byte;
    if (r.header_len == HEADER_SIZE) header_complete(device);
    return;
  }
  data_byte(device, byte);
}

std::vector<int> SoundModules::targets(int device) const {
  std::vector<int> slots;
  for (int slot = 0; slot < SLOTS; ++slot) {
    if (modules_[static_cast<size_t>(slot)].fitted &&
        (device == BROADCAST_DEVICE || device == slot)) {
      slots.push_back(slot);
    }
  }
  return slots;
}

void SoundModules::header_complete(int device) {
  Receiver& r = receivers_[static_cast<size_t>(device)];
  r.address = le32(&r.header[0]);
  r.size = le32(&r.header[4]);
  r.checksum = le32(&r.header[8]);
  r.received = 0;
  r.sum = 0;
  r.odd_byte = false;
  if (r.size != 0) return;
  Frame frame{device, r.address, 0, r.checksum, false};
  for (int slot : targets(device)) jump(modules_[static_cast<size_t>(slot)], frame);
  annotate_jump(device, frame);
  r.header_len = 0;
}

void SoundModules::jump(Module& m, const Frame& frame) {
  Frame taken = frame;
  taken.verified = m.frames_ok && frame.checksum == m.last_checksum;
  m.frames.push_back(taken);
  const bool first = taken.verified && !m.cpu_fails[0];
  const bool second = m.dsp_count > ONE_CPU_MAX_DSPS && taken.verified && !m.cpu_fails[1];
  m.answer = static_cast<uint16_t>((first ? FIRST_CPU_OK : 0) | (second ? SECOND_CPU_OK : 0));
  m.jumped = true;
  m.downloading = false;
  m.entry = frame.address;
  m.jump_ns = now_ns_;
  // The next download and jump are verified on their own.
  m.frames_ok = true;
}

void SoundModules::store(int slot, uint32_t address, uint8_t byte) {
  const size_t s = static_cast<size_t>(slot);
  const uint32_t base = address - address % SoundModules::PAGE_BYTES;
  if (last_page_[s] == nullptr || last_base_[s] != base) {
    last_page_[s] = &modules_[s].pages[base];
    last_base_[s] = base;
  }
  last_page_[s]->bytes[address - base] = byte;
  last_page_[s]->written.set(address - base);
}

void SoundModules::data_byte(int device, uint8_t byte) {
  Receiver& r = receivers_[static_cast<size_t>(device)];
  // A frame larger than the module's buffer is consumed but not stored.
  if (r.size <= MAX_FRAME_DATA) {
    for (int slot : targets(device)) {
      store(slot, r.address + r.received, byte);
    }
  }
  if (!r.odd_byte) {
    r.low = byte;
    r.odd_byte = true;
  } else {
    r.sum += static_cast<uint32_t>(r.low) | (static_cast<uint32_t>(byte) << 8);
    r.odd_byte = false;
  }
  if (++r.received == r.size) frame_complete(device);
}

void SoundModules::frame_complete(int device) {
  Receiver& r = receivers_[static_cast<size_t>(device)];
  if (r.odd_byte) r.sum += r.low;
  Frame frame{device, r.address, r.size, r.checksum,
              r.size <= MAX_FRAME_DATA && r.sum == r.checksum};
  for (int slot : targets(device)) {
    Module& m = modules_[static_cast<size_t>(slot)];
    m.frames.push_back(frame);
    m.downloading = true;
    m.frames_ok = m.frames_ok && frame.verified;
    m.last_checksum = r.sum;
  }
  annotate_frame(device, frame, r.sum);
  r.header_len = 0;
}

std::vector<uint8_t> SoundModules::memory(int slot, uint32_t address, size_t size) const {
  const Module& m = modules_.at(static_cast<size_t>(slot));
  std::vector<uint8_t> bytes(size, 0);
  for (size_t i = 0; i < size; ++i) {
    const uint32_t at = address + static_cast<uint32_t>(i);
    auto page = m.pages.find(at - at % SoundModules::PAGE_BYTES);
    if (page != m.pages.end()) bytes[i] = page->second.bytes[at % SoundModules::PAGE_BYTES];
  }
  return bytes;
}

size_t SoundModules::bytes_written(int slot) const {
  size_t count = 0;
  for (const auto& entry : modules_.at(static_cast<size_t>(slot)).pages) {
    count += entry.second.written.count();
  }
  return count;
}

// ---------------------------------------------------------------- annotations

std::string SoundModules::slots_text(int device) const {
  const std::vector<int> slots = targets(device);
  if (slots.empty()) return "no module takes it";
  std::string text = slots.size() == 1 ? "taken by slot" : "taken by slots";
  for (size_t i = 0; i < slots.size(); ++i)
    text += (i == 0 ? " " : ", ") + std::to_string(slots[i]);
  return text;
}

void SoundModules::annotate_frame(int device, const Frame& frame, uint32_t sum) {
  if (annotator_ == nullptr) return;
  char text[160];
  std::snprintf(text, sizeof text, "address 0x%08X, %u bytes, checksum 0x%08X: ", frame.address,
                frame.size, frame.checksum);
  std::string verdict;
  if (frame.size > MAX_FRAME_DATA) {
    verdict = "larger than the module's buffer, not stored";
  } else if (sum == frame.checksum) {
    verdict = "module sum agrees";
  } else {
    char differs[48];
    std::snprintf(differs, sizeof differs, "module sum 0x%08X differs", sum);
    verdict = differs;
  }
  annotator_->annotate("frame", std::string(text) + verdict + "; " + slots_text(device));
}

void SoundModules::annotate_jump(int device, const Frame& frame) {
  if (annotator_ == nullptr) return;
  char text[96];
  std::snprintf(text, sizeof text, "address 0x%08X, checksum 0x%08X: ", frame.address,
                frame.checksum);
  std::string outcome;
  for (int slot : targets(device)) {
    const Module& m = modules_[static_cast<size_t>(slot)];
    outcome += (outcome.empty() ? "slot " : ", slot ") + std::to_string(slot) +
               (m.frames.back().verified ? " verified" : " not verified");
  }
  annotator_->annotate("jump", text + (outcome.empty() ? "no module takes it" : outcome));
}

void SoundModules::annotate_answer(int slot, int answer, uint64_t now_ns) {
  if (annotator_ == nullptr) return;
  const Module& m = modules_[static_cast<size_t>(slot)];
  char text[128];
  if (answer < 0) {
    std::snprintf(text, sizeof text, "slot %d does not answer (nothing drives the line)", slot);
  } else if (m.downloading) {
    std::snprintf(text, sizeof text,
                  "slot %d answers 0: it took frames and waits for its jump, nothing verified",
                  slot);
  } else if (m.jumped && now_ns < m.jump_ns + VERIFY_NS) {
    std::snprintf(text, sizeof text, "slot %d answers 0: still verifying its code after the jump",
                  slot);
  } else if (m.jumped) {
    const bool second = m.dsp_count > ONE_CPU_MAX_DSPS;
    std::snprintf(text, sizeof text, "slot %d answers 0x%04X: first i.MX %s, second i.MX %s", slot,
                  static_cast<unsigned>(answer),
                  (answer & FIRST_CPU_OK) != 0 ? "verified" : "not verified",
                  !second                         ? "absent"
                  : (answer & SECOND_CPU_OK) != 0 ? "verified"
                                                  : "not verified");
  } else {
    std::snprintf(text, sizeof text, "slot %d answers %d%s", slot, answer,
                  answer >= 1 && answer <= 4 ? " (a module)" : " (not a module)");
  }
  annotator_->annotate(m.jumped || m.downloading ? "checksum" : "search", text);
}

std::shared_ptr<SoundModules> make_sound_modules(const std::string& args, std::string& error) {
  auto modules = std::make_shared<SoundModules>();
  if (!modules->configure(args, error)) return nullptr;
  return modules;
}

}  // namespace boardsim
