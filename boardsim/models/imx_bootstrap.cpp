#include "boardsim/models/imx_bootstrap.h"

#include <array>
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

// The speeds the bootstrap can be moved to; a requested value is mapped to
// the nearest of them.
constexpr std::array<uint32_t, 11> SPEEDS{600,   1200,  2400,  4800,  9600, 14400,
                                          19200, 28800, 38400, 56000, 57600};

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

uint32_t nearest_speed(uint32_t value) {
  const double requested = value * 38400.0 / 211.0;
  uint32_t best = SPEEDS[0];
  for (uint32_t s : SPEEDS) {
    if (std::abs(s - requested) < std::abs(best - requested)) best = s;
  }
  return best;
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
    } else if (word.compare(0, 6, "delay=") == 0 && word.size() > 6 &&
               word.find_first_not_of("0123456789", 6) == std::string::npos) {
      options.delay_us = std::strtoull(word.c_str() + 6, nullptr, 10);
    } else {
      error = "imx: unknown option '" + word + "'";
      return false;
    }
  }
  return true;
}

void ImxBootstrap::on_gpio(SerialLink& link, const GpioRequest& request) {
  (void)link;
  if ((request.mask & RESET_LINE) == 0 || request.op != 1) return;
  if ((request.value & RESET_LINE) == 0) {
    // Reset held: the processor stops; whatever it was parsing is lost.
    reset_held_ = true;
    listening_ = false;
    synced_ = false;
    command_.clear();
    data_.clear();
    data_expected_ = 0;
    line_speed_ = RESET_SPEED;
  } else if (reset_held_) {
    reset_held_ = false;
    listening_ = true;
  }
}

void ImxBootstrap::check_speed(SerialLink& link) {
  const uint32_t board = link.board_speed();
  if (board == 0 || board == line_speed_) return;  // 0: the line does not tell
  ++mismatches_;
  link.note("imx: board sends at " + std::to_string(board) + " baud, slave listens at " +
            std::to_string(line_speed_));
}

void ImxBootstrap::on_bytes(SerialLink& link, const uint8_t* data, size_t n) {
  if (!listening_) return;
  check_speed(link);
  for (size_t i = 0; i < n; ++i) on_char(link, static_cast<char>(data[i]));
}

void ImxBootstrap::answer(SerialLink& link, const std::string& text) {
  if (options_.silent || text.empty()) return;
  link.send(text.data(), text.size(), options_.delay_us);
}

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
  // The bootstrap echoes each character as it takes it.
  if (data_expected_ > 0) {
    data_ += c;
    answer(link, std::string(1, c));
    if (data_.size() == data_expected_) on_data_complete(link);
    return;
  }
  command_ += c;
  if (command_.size() < COMMAND_CHARS) {
    answer(link, std::string(1, c));
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
    answer(link, std::string(1, command.back()));
    link.note("imx: not a boot record command: " + command);
    return;
  }
  address_ = address;
  control_ = static_cast<uint8_t>(control);
  // The command's last character: a short echo drops it from a write's
  // echo (a read's answer loses its last character instead).
  if (!(options_.short_echo && (control_ & READ_BIT) == 0)) {
    answer(link, std::string(1, command.back()));
  }
  const size_t count = control_ & COUNT_MASK;
  const size_t access = access_bytes(control_);
  const bool refused = options_.refuse || access == 0 || count % access != 0;

  if (refused) {
    answer(link, std::string(1, REFUSAL));
    link.annotate("boot-record", record_text(address_, control_) + ": refused with '*'");
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
    ++records_;
    answer(link, reply);
    link.annotate("boot-record", record_text(address_, control_) + " answer " + value);
    return;
  }
  if (options_.extra_char >= 0)
    answer(link, std::string(1, static_cast<char>(options_.extra_char)));
  if (count == 0) {
    ++records_;
    jumps_.push_back(address_);
    link.annotate("jump", record_text(address_, control_) + ": slave runs from " +
                              hex(address_, ADDRESS_CHARS));
    return;
  }
  data_.clear();
  data_expected_ = 2 * count;
}

void ImxBootstrap::on_data_complete(SerialLink& link) {
  const std::string data = data_;
  data_.clear();
  data_expected_ = 0;
  const size_t access = access_bytes(control_);
  const size_t digits = 2 * access;
  uint64_t last_value = 0;
  for (size_t pos = 0; pos + digits <= data.size(); pos += digits) {
    uint32_t value = 0;
    if (!parse_hex(data.substr(pos, digits), value)) {
      link.note("imx: not a hexadecimal data field: " + data);
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
  if (!options_.short_data) answer(link, std::string(1, TRAILER));
  const std::string record = record_text(address_, control_) + " data " + data;
  if (address_ == SPEED_CHANGE_ADDRESS && access == 4 && data.size() == 8) {
    line_speed_ = nearest_speed(static_cast<uint32_t>(last_value));
    link.annotate("speed-change",
                  record + ": slave now at " + std::to_string(line_speed_) + " baud");
    link.note("imx: line speed now " + std::to_string(line_speed_));
  } else {
    link.annotate("boot-record", record);
  }
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
