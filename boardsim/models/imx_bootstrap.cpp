#include "boardsim/models/imx_bootstrap.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace boardsim {

namespace {

constexpr size_t ADDRESS_CHARS = 8;
constexpr size_t COMMAND_CHARS = 10;
constexpr uint8_t COUNT_MASK = 0x1F;
constexpr uint8_t READ_BIT = 0x20;
constexpr int WIDTH_SHIFT = 6;
constexpr char SYNC_CHAR = 'A';
constexpr char REFUSAL = '*';

// The speed-change record's value sets the UART's divisor: the slave then
// runs at value x 38400 / 211 baud exactly, whatever speed the board meant
// (a change value of 7, meant for 1200, gives 1273.9).
double speed_of_value(uint32_t value) { return value * 38400.0 / 211.0; }

// How far the two ends of the line may be apart and still understand each
// other, relative to the slave's speed. Beyond it the receiver's sample of
// the stop bit no longer falls in the stop bit: every character is taken
// with a framing error and dropped.
constexpr double SPEED_TOLERANCE = 0.02;

// Infinite for a slave whose UART was stopped (a change value of 0).
double speed_difference(uint32_t board, double slave) {
  if (slave <= 0) return HUGE_VAL;
  return std::fabs(static_cast<double>(board) - slave) / slave;
}

// A speed in baud, to a tenth: the slave's speeds are rarely whole.
std::string baud_text(double baud) {
  char text[32];
  snprintf(text, sizeof text, "%.1f", baud);
  return text;
}

// "(5.8 % apart, more than 2 %)"
std::string apart_text(uint32_t board, double slave) {
  if (slave <= 0) return "(the slave's UART is stopped)";
  char text[64];
  snprintf(text, sizeof text, "(%.1f %% apart, more than %.0f %%)",
           100.0 * speed_difference(board, slave), 100.0 * SPEED_TOLERANCE);
  return text;
}

// Whether the board's port at `board` baud (0: the line does not tell, a
// socket) and the slave are too far apart to understand each other.
bool speeds_apart(uint32_t board, double slave) {
  return board != 0 && speed_difference(board, slave) > SPEED_TOLERANCE;
}

// The refusal of characters lost either way: "board sends at 1200 baud,
// slave listens at 1273.9 baud (5.8 % apart, more than 2 %): ...".
std::string lost_text(bool board_sends, uint32_t board, double slave) {
  const std::string board_side = std::to_string(board) + " baud";
  const std::string slave_side = baud_text(slave) + " baud";
  const std::string speeds =
      board_sends ? "board sends at " + board_side + ", slave listens at " + slave_side
                  : "slave answers at " + slave_side + ", board listens at " + board_side;
  return speeds + " " + apart_text(board, slave) + ": characters lost to framing errors";
}

bool parse_hex(const std::string& text, uint32_t& value) {
  value = 0;
  for (char c : text) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;  // the bootstrap takes upper-case digits only
    }
    value = value << 4 | digit;
  }
  return true;
}

std::string hex(uint64_t value, size_t digits) {
  static const char DIGITS[] = "0123456789ABCDEF";
  std::string text(digits, '0');
  for (size_t i = digits; i-- > 0;) {
    text[i] = DIGITS[value & 0xF];
    value >>= 4;
  }
  return text;
}

// Bytes per access for the width field; 0 for the invalid width 2.
size_t access_bytes(uint8_t control) {
  switch (control >> WIDTH_SHIFT) {
    case 0: return 1;
    case 1: return 2;
    case 3: return 4;
    default: return 0;
  }
}

// A record's address and control as the annotations show them:
// "001122FC C4 (32-bit, count 4, write)".
std::string record_text(uint32_t address, uint8_t control) {
  const size_t access = access_bytes(control);
  const std::string width = access == 0 ? "invalid width" : std::to_string(8 * access) + "-bit";
  return hex(address, ADDRESS_CHARS) + " " + hex(control, 2) + " (" + width + ", count " +
         std::to_string(control & COUNT_MASK) + ", " +
         ((control & READ_BIT) != 0 ? "read" : "write") + ")";
}

bool parse_char_option(const std::string& word, const std::string& prefix, int& out) {
  if (word.compare(0, prefix.size(), prefix) != 0 || word.size() != prefix.size() + 1) return false;
  out = static_cast<unsigned char>(word[prefix.size()]);
  return true;
}

// Digits only, at most a minute: a longer answer delay is no bootstrap's,
// and a bound keeps the sum with the store time in range.
bool parse_us_option(const std::string& digits, const char* name, uint64_t& out,
                     std::string& error) {
  constexpr uint64_t MAX_DELAY_US = 60000000;
  if (digits.empty() || digits.size() > 8 ||
      digits.find_first_not_of("0123456789") != std::string::npos ||
      std::stoull(digits) > MAX_DELAY_US) {
    error = std::string("imx: bad ") + name + " '" + digits + "' (0 to 60000000 microseconds)";
    return false;
  }
  out = std::stoull(digits);
  return true;
}

}  // namespace

ImxBootstrap::ImxBootstrap(ImxOptions options) : options_(options) {}

bool ImxBootstrap::parse_options(const std::string& args, ImxOptions& options, std::string& error) {
  std::istringstream in(args);
  std::string word;
  while (std::getline(in, word, ',')) {
    int c = 0;
    if (word.empty()) continue;
    if (word == "silent") {
      options.silent = true;
    } else if (word == "short-echo") {
      options.short_echo = true;
    } else if (word == "short-data") {
      options.short_data = true;
    } else if (word == "refuse") {
      options.refuse = true;
    } else if (parse_char_option(word, "sync=", c)) {
      options.sync_answer = static_cast<char>(c);
    } else if (parse_char_option(word, "extra=", c)) {
      options.extra_char = c;
    } else if (word.compare(0, 6, "delay=") == 0) {
      if (!parse_us_option(word.substr(6), "delay", options.delay_us, error)) return false;
    } else if (word.compare(0, 13, "late-refusal=") == 0) {
      if (!parse_us_option(word.substr(13), "late-refusal", options.refusal_delay_us, error))
        return false;
      options.refuse = true;
    } else if (word.compare(0, 10, "late-echo=") == 0) {
      if (!parse_us_option(word.substr(10), "late-echo", options.late_echo_us, error)) return false;
    } else {
      error = "imx: unknown option '" + word + "'";
      return false;
    }
  }
  return true;
}

void ImxBootstrap::on_gpio(SerialLink& link, const GpioRequest& request) {
  if ((request.mask & RESET_LINE) == 0 || request.op != 1) return;
  const uint64_t now = link.now_ns();
  if ((request.value & RESET_LINE) == 0) {
    // Reset held: the processor stops; whatever it was parsing is lost.
    if (!reset_held_) reset_low_ns_ = now;
    reset_held_ = true;
    listening_ = false;
    synced_ = false;
    running_code_ = false;
    listen_from_ns_ = 0;
    stored_at_ns_ = 0;
    record_lost_ = false;
    refusal_.clear();
    command_.clear();
    data_.clear();
    data_expected_ = 0;
    line_speed_ = RESET_SPEED;
    answer_refusal_.clear();
  } else if (reset_held_) {
    reset_held_ = false;
    const uint64_t low = now - reset_low_ns_;
    if (low + GPIO_SLACK_NS < RESET_LOW_NS) {
      link.annotate("refused", "pulse of " + std::to_string(low / 1000) +
                                   " us, shorter than 10 ms: the slave does not start");
      return;
    }
    // The bootstrap starts up before it listens; what comes sooner is lost.
    listening_ = true;
    listen_from_ns_ = now + LISTEN_AFTER_NS - GPIO_SLACK_NS;
  }
}

// A character the board sent at a speed more than SPEED_TOLERANCE away from
// the slave's arrives with a framing error and is lost. Noted once for each
// run of such characters (and again when the board's speed changes).
bool ImxBootstrap::speed_garbles(SerialLink& link) {
  const uint32_t board = link.wire_speed();
  if (!speeds_apart(board, line_speed_)) {
    if (refusal_.compare(0, 6, "speed ") == 0) refusal_.clear();
    return false;
  }
  const std::string refusal = "speed " + std::to_string(board) + " " + baud_text(line_speed_);
  if (refusal_ != refusal) {
    refusal_ = refusal;
    ++mismatches_;
    link.annotate("refused", lost_text(true, board, line_speed_));
  }
  return true;
}

// The slave's answers leave at its speed; a board whose port is more than
// SPEED_TOLERANCE away takes each of them with a framing error and drops it.
// Judged by the board's speed when the slave starts the answer.
bool ImxBootstrap::answer_garbles(SerialLink& link) {
  const uint32_t board = link.board_speed();
  if (!speeds_apart(board, line_speed_)) {
    answer_refusal_.clear();
    return false;
  }
  const std::string refusal = std::to_string(board) + " " + baud_text(line_speed_);
  if (answer_refusal_ != refusal) {
    answer_refusal_ = refusal;
    ++lost_answers_;
    link.annotate("refused", lost_text(false, board, line_speed_));
  }
  return true;
}

void ImxBootstrap::on_bytes(SerialLink& link, const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (!listening_) continue;
    if (running_code_) {
      if (refusal_ != "running") {
        refusal_ = "running";
        link.annotate("refused", "the slave runs its code since the jump: no bootstrap answers");
      }
      continue;
    }
    if (link.now_ns() < listen_from_ns_) {
      if (refusal_ != "early") {
        refusal_ = "early";
        link.annotate("refused",
                      "character before the bootstrap listens (100 ms after the "
                      "reset pulse): lost");
      }
      continue;
    }
    if (speed_garbles(link)) continue;
    if (refusal_ != "lost") refusal_.clear();
    on_char(link, static_cast<char>(data[i]));
  }
}

void ImxBootstrap::answer(SerialLink& link, const std::string& text, uint64_t later_us) {
  if (options_.silent || text.empty() || record_lost_ || answer_garbles(link)) return;
  link.send(text.data(), text.size(), options_.delay_us + later_us);
}

void ImxBootstrap::echo(SerialLink& link, char c) { answer(link, std::string(1, c)); }

void ImxBootstrap::on_char(SerialLink& link, char c) {
  if (!synced_) {
    if (c == SYNC_CHAR) {
      synced_ = true;
      answer(link, std::string(1, options_.sync_answer));
      link.annotate("sync", options_.silent
                                ? "'A', not answered"
                                : std::string("'A' answered '") + options_.sync_answer + "'");
    }
    return;
  }
  if (data_expected_ > 0) {
    data_ += c;
    echo(link, c);
    if (data_.size() == data_expected_) on_data_complete(link);
    return;
  }
  if (command_.empty()) {
    // A new record: it is lost when the last one is not stored yet.
    record_lost_ = link.now_ns() < stored_at_ns_;
    if (record_lost_) {
      refusal_ = "lost";
      link.annotate("refused", "record started " +
                                   std::to_string((stored_at_ns_ - link.now_ns()) / 1000) +
                                   " us before the last one was stored: lost");
    }
  }
  command_ += c;
  if (command_.size() < COMMAND_CHARS) {
    echo(link, c);
  } else {
    on_command(link);
  }
}

void ImxBootstrap::on_command(SerialLink& link) {
  const std::string command = command_;
  command_.clear();
  uint32_t address = 0;
  uint32_t control = 0;
  if (!parse_hex(command.substr(0, ADDRESS_CHARS), address) ||
      !parse_hex(command.substr(ADDRESS_CHARS), control)) {
    echo(link, command.back());
    link.annotate("refused", "not a boot record command: " + command);
    record_lost_ = false;
    return;
  }
  address_ = address;
  control_ = static_cast<uint8_t>(control);
  // The command's last character: a short echo drops it from a write's
  // echo (a read's answer loses its last character instead).
  if (!(options_.short_echo && (control_ & READ_BIT) == 0)) {
    answer(link, std::string(1, command.back()), options_.late_echo_us);
  }
  const size_t count = control_ & COUNT_MASK;
  const size_t access = access_bytes(control_);
  const bool refused = options_.refuse || access == 0 || count % access != 0;

  if (refused) {
    answer(link, std::string(1, REFUSAL), options_.refusal_delay_us);
    link.annotate("boot-record", record_text(address_, control_) + ": refused with '*'");
    record_lost_ = false;
    return;
  }
  if ((control_ & READ_BIT) != 0) {
    // The answer lists the values from the lowest address on.
    std::string value;
    for (size_t offset = 0; offset < count; offset += access) {
      value += hex(read_value(address_ + static_cast<uint32_t>(offset), access), 2 * access);
    }
    std::string reply = value + TRAILER;
    if (options_.short_echo) reply.pop_back();
    if (!record_lost_) {
      ++records_;
      answer(link, reply);
      link.annotate("boot-record", record_text(address_, control_) + " answer " + value);
    }
    record_lost_ = false;
    return;
  }
  if (options_.extra_char >= 0)
    answer(link, std::string(1, static_cast<char>(options_.extra_char)));
  if (count == 0) {
    if (!record_lost_) {
      ++records_;
      jumps_.push_back(address_);
      running_code_ = true;
      link.annotate("jump", record_text(address_, control_) + ": slave runs from " +
                                hex(address_, ADDRESS_CHARS));
    }
    record_lost_ = false;
    return;
  }
  data_.clear();
  data_expected_ = 2 * count;
}

void ImxBootstrap::on_data_complete(SerialLink& link) {
  const std::string data = data_;
  data_.clear();
  data_expected_ = 0;
  if (record_lost_) {
    record_lost_ = false;
    return;
  }
  const size_t access = access_bytes(control_);
  const size_t digits = 2 * access;
  uint64_t last_value = 0;
  for (size_t pos = 0; pos + digits <= data.size(); pos += digits) {
    uint32_t value = 0;
    if (!parse_hex(data.substr(pos, digits), value)) {
      link.annotate("refused", "not a hexadecimal data field: " + data);
      return;
    }
    // The value is stored in the processor's little-endian byte order.
    const uint32_t at = address_ + static_cast<uint32_t>(pos / 2);
    for (size_t i = 0; i < access; ++i) {
      memory_[at + static_cast<uint32_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    }
    last_value = value;
  }
  ++records_;
  const std::string record = record_text(address_, control_) + " data " + data;
  if (address_ == SPEED_CHANGE_ADDRESS && access == 4 && data.size() == 8) {
    // A register, not memory: the firmware closes the record at the speed
    // it came at, then sets the new divisor, which applies at once. (A board
    // that listens at the new speed at once loses that character.)
    if (!options_.short_data) answer(link, std::string(1, TRAILER));
    line_speed_ = speed_of_value(static_cast<uint32_t>(last_value));
    link.annotate("speed-change", record + ": slave now at " + baud_text(line_speed_) + " baud");
    return;
  }
  // The closing character goes out once the record is stored.
  const uint64_t store_ns = STORE_NS_PER_BYTE * (data.size() / 2);
  stored_at_ns_ = link.now_ns() + store_ns;
  if (!options_.short_data) answer(link, std::string(1, TRAILER), store_ns / 1000);
  link.annotate("boot-record", record);
}

uint64_t ImxBootstrap::read_value(uint32_t address, size_t bytes) const {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes; ++i) {
    auto it = memory_.find(address + static_cast<uint32_t>(i));
    if (it != memory_.end()) value |= static_cast<uint64_t>(it->second) << (8 * i);
  }
  return value;
}

std::vector<uint8_t> ImxBootstrap::memory_bytes(uint32_t address, size_t n) const {
  std::vector<uint8_t> bytes(n, 0);
  for (size_t i = 0; i < n; ++i) {
    auto it = memory_.find(address + static_cast<uint32_t>(i));
    if (it != memory_.end()) bytes[i] = it->second;
  }
  return bytes;
}

std::shared_ptr<ImxBootstrap> make_imx_bootstrap(const std::string& args, std::string& error) {
  ImxOptions options;
  if (!ImxBootstrap::parse_options(args, options, error)) return nullptr;
  return std::make_shared<ImxBootstrap>(options);
}

}  // namespace boardsim
