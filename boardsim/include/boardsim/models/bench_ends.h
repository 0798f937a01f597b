// SPI far ends for the bench tools: two loopbacks, the counter-party of the
// packet test and a sink. Any of them may be attached to any chip select;
// tests construct them directly to configure them and to look inside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/far_end.h"

namespace boardsim {

// Returns every word it receives in the following word time, as a shift
// register of one word would. The word held before anything was received is
// `first`. The held word carries over from one exchange to the next; a plain
// read shifts in zeros, as the board's controller sends them.
class LateLoopback : public SpiFarEnd {
 public:
  explicit LateLoopback(uint16_t first = 0) : held_(first) {}
  void exchange(SpiExchange& x) override;

 private:
  uint16_t held_;
};

// Returns every word in the same word time (MISO wired to MOSI).
class SameLoopback : public SpiFarEnd {
 public:
  void exchange(SpiExchange& x) override;
};

// The slave-side counter-party of the packet test. It takes 16-bit words
// (low byte first) from the board's writes: a size word N, then N data words,
// possibly spread over several writes. Once a packet is complete, the next
// read answers the 32-bit sum of its data words as two words, low half first;
// the rest of that read, and reads with no answer pending, are idle zeros.
class ChecksumPeer : public SpiFarEnd {
 public:
  // wrong_packet: the packet (counted from 1) whose answer is off by one; 0: none.
  explicit ChecksumPeer(int wrong_packet = 0) : wrong_packet_(wrong_packet) {}
  void exchange(SpiExchange& x) override;
  int packets() const { return packets_; }  // complete packets received

 private:
  void word_take(uint16_t word);
  int wrong_packet_;
  int packets_ = 0;
  bool in_packet_ = false;
  uint32_t remaining_ = 0;
  uint32_t words_ = 0;  // data words of the packet being received
  uint32_t sum_ = 0;
  bool answer_pending_ = false;
  uint32_t answer_ = 0;
  bool low_byte_pending_ = false;
  uint8_t low_byte_ = 0;
  Annotator* annotator_ = nullptr;  // of the exchange being served
};

// Takes every byte written (kept in `received`) and answers every byte read
// with the pattern byte.
class PatternSink : public SpiFarEnd {
 public:
  explicit PatternSink(uint8_t pattern = 0xA5) : pattern_(pattern) {}
  void exchange(SpiExchange& x) override;
  std::vector<uint8_t> received;

 private:
  uint8_t pattern_;
};

// One of them by the name the boardsim command gives it ("loopback-late",
// "loopback-same", "checksum", "sink") with its arguments; nullptr and error
// set on a bad argument.
std::shared_ptr<SpiFarEnd> make_bench_far_end(const std::string& name, const std::string& args,
                                              std::string& error);

}  // namespace boardsim
