// The bench far ends (see bench_ends.h) and their factory by name.
#include "boardsim/models/bench_ends.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace boardsim {

namespace {

constexpr uint8_t BYTE_BITS = 8;

size_t word_bytes(const SpiExchange& x) { return x.bits_per_word > BYTE_BITS ? 2 : 1; }

uint16_t word_at(const uint8_t* data, size_t offset, size_t size) {
  if (data == nullptr) return 0;  // a plain read clocks out zeros
  return size == 2 ? static_cast<uint16_t>(data[offset] | data[offset + 1] << 8) : data[offset];
}

void word_put(uint8_t* data, size_t offset, size_t size, uint16_t word) {
  data[offset] = static_cast<uint8_t>(word & 0xFFu);
  if (size == 2) data[offset + 1] = static_cast<uint8_t>(word >> 8);
}

// "key=value" from the model's argument text; true with the value parsed in
// `base` when the text is exactly that, or empty (value left unchanged).
bool argument_parse(const std::string& args, const std::string& key, int base, unsigned long limit,
                    unsigned long& value, std::string& error) {
  if (args.empty()) return true;
  const std::string prefix = key + "=";
  if (args.compare(0, prefix.size(), prefix) == 0 && args.size() > prefix.size()) {
    const char* text = args.c_str() + prefix.size();
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = strtoul(text, &end, base);
    // strtoul would also take leading blanks, a sign and "0x"; a value is digits.
    const char* digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (errno == 0 && *end == '\0' && strspn(text, digits) == strlen(text) && parsed <= limit) {
      value = parsed;
      return true;
    }
  }
  error = "bad argument '" + args + "' (expected " + key + "=VALUE)";
  return false;
}

}  // namespace

void LateLoopback::exchange(SpiExchange& x) {
  const size_t size = word_bytes(x);
  for (size_t offset = 0; offset + size <= x.len; offset += size) {
    if (x.rx != nullptr) word_put(x.rx, offset, size, held_);
    held_ = word_at(x.tx, offset, size);
  }
}

void SameLoopback::exchange(SpiExchange& x) {
  if (x.rx == nullptr || x.tx == nullptr) return;
  for (size_t i = 0; i < x.len; ++i) x.rx[i] = x.tx[i];
}

void ChecksumPeer::word_take(uint16_t word) {
  if (!in_packet_) {
    in_packet_ = true;
    remaining_ = word;
    words_ = word;
    sum_ = 0;
  } else {
    sum_ += word;
    --remaining_;
  }
  if (in_packet_ && remaining_ == 0) {
    in_packet_ = false;
    ++packets_;
    answer_ = packets_ == wrong_packet_ ? sum_ + 1 : sum_;
    answer_pending_ = true;
    if (annotator_ != nullptr) {
      char text[96];
      std::snprintf(text, sizeof text, "%d: %u data words, sum 0x%08X", packets_, words_, sum_);
      annotator_->annotate("packet", text);
    }
  }
}

void ChecksumPeer::exchange(SpiExchange& x) {
  annotator_ = x.annotator;
  if (x.rx != nullptr && answer_pending_) {
    for (size_t i = 0; i < 4 && i < x.len; ++i) x.rx[i] = static_cast<uint8_t>(answer_ >> (8 * i));
    answer_pending_ = false;
    if (x.annotated()) {
      char text[96];
      std::snprintf(text, sizeof text, "0x%08X for packet %d, low half first%s", answer_, packets_,
                    packets_ == wrong_packet_ ? " (off by one on purpose)" : "");
      x.annotate("packet-sum", text);
    }
  }
  if (x.tx == nullptr) return;
  for (size_t i = 0; i < x.len; ++i) {
    if (!low_byte_pending_) {
      low_byte_ = x.tx[i];
      low_byte_pending_ = true;
    } else {
      low_byte_pending_ = false;
      word_take(static_cast<uint16_t>(low_byte_ | x.tx[i] << 8));
    }
  }
}

void PatternSink::exchange(SpiExchange& x) {
  if (x.tx != nullptr) received.insert(received.end(), x.tx, x.tx + x.len);
  if (x.rx != nullptr) {
    for (size_t i = 0; i < x.len; ++i) x.rx[i] = pattern_;
  }
}

std::shared_ptr<SpiFarEnd> make_bench_far_end(const std::string& name, const std::string& args,
                                              std::string& error) {
  unsigned long value = 0;
  if (name == "loopback-late") {
    if (!argument_parse(args, "first", 16, 0xFFFF, value, error)) return nullptr;
    return std::make_shared<LateLoopback>(static_cast<uint16_t>(value));
  }
  if (name == "loopback-same") {
    if (!args.empty()) {
      error = "loopback-same takes no arguments";
      return nullptr;
    }
    return std::make_shared<SameLoopback>();
  }
  if (name == "checksum") {
    if (!argument_parse(args, "wrong", 10, 0x7FFFFFFF, value, error)) return nullptr;
    return std::make_shared<ChecksumPeer>(static_cast<int>(value));
  }
  if (name == "sink") {
    value = 0xA5;
    if (!argument_parse(args, "pattern", 16, 0xFF, value, error)) return nullptr;
    return std::make_shared<PatternSink>(static_cast<uint8_t>(value));
  }
  error = "unknown bench model '" + name + "'";
  return nullptr;
}

}  // namespace boardsim
