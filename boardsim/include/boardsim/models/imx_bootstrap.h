// The slave i.MX serial bootstrap as the board sees it on a serial line, as
// strict as the firmware: it listens only from LISTEN_AFTER_NS after a reset
// pulse whose low phase lasted RESET_LOW_NS; sync 'A' -> ':'; ASCII boot
// records, each character echoed as it arrives ('*' refusal after the
// command, one more character once a write is stored, read answers), a
// sparse memory image, jumps (after which the code runs and the bootstrap no
// longer answers), and the line-speed change record (exactly value x 38400 / 211
// baud from then on; a character either way between ends more than 2 % apart
// is lost to a framing error). Storing a record takes STORE_NS_PER_BYTE per
// data byte; a record that starts before the last one is stored is lost.
// Every refusal is annotated. Options make it misbehave for fault tests.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/far_end.h"

namespace boardsim {

struct ImxOptions {
  bool silent = false;      // answers nothing at all
  char sync_answer = ':';   // answer to the sync character
  bool short_echo = false;  // every command echo and read answer one character short
  bool short_data = false;  // every data echo without its closing character
  bool refuse = false;      // '*' after every command echo, as for a bad count or size
  int extra_char = -1;      // 0..255: sent after every command echo (not '*' semantics)
  uint64_t delay_us = 0;    // every answer delayed by this much
  // The refusal '*' this much after the echo it follows (implies refuse):
  // a firmware that checks the count only after echoing the command.
  uint64_t refusal_delay_us = 0;
  // The echo of a command's last character this much late, and what follows
  // it behind it: a receive path that holds the last characters back (a
  // loaded board's scheduler) while the first ones came in time.
  uint64_t late_echo_us = 0;
};

class ImxBootstrap : public SerialFarEnd {
 public:
  static constexpr uint32_t SPEED_CHANGE_ADDRESS = 0x002060A8;
  static constexpr uint32_t RESET_LINE = 0x00100000;
  static constexpr uint32_t RESET_SPEED = 38400;
  static constexpr char TRAILER = '>';                    // after a data echo or a read answer
  static constexpr uint64_t RESET_LOW_NS = 10000000;      // shortest reset pulse taken
  static constexpr uint64_t LISTEN_AFTER_NS = 100000000;  // from the pulse's end
  // What the simulator's own reading of the GPIO requests may add or take
  // from the times it sees (its loop's latency), allowed for above.
  static constexpr uint64_t GPIO_SLACK_NS = 1000000;
  // Storing a write record: 1.1 ms for a 28-byte chunk (under the board's
  // 20 ms pause), 160 us for a word, less than the one character time
  // kovrel's pacing leaves before the next record at 57600 baud.
  static constexpr uint64_t STORE_NS_PER_BYTE = 40000;

  explicit ImxBootstrap(ImxOptions options = {});

  // "silent", "sync=C", "short-echo", "short-data", "refuse", "extra=C", "delay=US",
  // comma-separated; "" is the well-behaved slave. false and error set on a
  // word it does not know.
  static bool parse_options(const std::string& args, ImxOptions& options, std::string& error);

  void on_bytes(SerialLink& link, const uint8_t* data, size_t n) override;
  void on_gpio(SerialLink& link, const GpioRequest& request) override;

  // Inspection for tests.
  bool listening() const { return listening_; }
  bool synced() const { return synced_; }
  double line_speed() const { return line_speed_; }  // baud the slave's UART runs at now
  const std::map<uint32_t, uint8_t>& memory() const { return memory_; }
  std::vector<uint8_t> memory_bytes(uint32_t address, size_t n) const;  // 0 where unwritten
  const std::vector<uint32_t>& jumps() const { return jumps_; }
  int records() const { return records_; }  // complete records accepted
  // Runs of the board's characters lost to a speed difference.
  int mismatches() const { return mismatches_; }
  // Runs of the slave's answers lost to a speed difference.
  int lost_answers() const { return lost_answers_; }
  void poke(uint32_t address, uint8_t value) { memory_[address] = value; }

 private:
  void on_char(SerialLink& link, char c);
  void on_command(SerialLink& link);
  void on_data_complete(SerialLink& link);
  // Sends text, later_us after the answer delay (0: with it), unless the
  // board's port is too far from the slave's speed to take it.
  void answer(SerialLink& link, const std::string& text, uint64_t later_us = 0);
  bool speed_garbles(SerialLink& link);
  bool answer_garbles(SerialLink& link);
  void echo(SerialLink& link, char c);
  uint64_t read_value(uint32_t address, size_t bytes) const;

  ImxOptions options_;
  bool reset_held_ = false;
  uint64_t reset_low_ns_ = 0;    // when the reset line went low
  uint64_t listen_from_ns_ = 0;  // 0: not before a proper reset pulse
  bool running_code_ = false;    // after a JUMP
  uint64_t stored_at_ns_ = 0;    // when the last write record is stored
  bool record_lost_ = false;     // the record being received is dropped
  std::string refusal_;          // the last refusal annotated (one per kind in a row)
  std::string answer_refusal_;   // the speeds of the last answers lost ("" if they went)
  bool listening_ = false;
  bool synced_ = false;
  double line_speed_ = RESET_SPEED;
  std::string command_;       // command characters received so far
  std::string data_;          // data characters of the record being received
  size_t data_expected_ = 0;  // characters; 0: waiting for a command
  uint32_t address_ = 0;
  uint8_t control_ = 0;
  std::map<uint32_t, uint8_t> memory_;
  std::vector<uint32_t> jumps_;
  int records_ = 0;
  int mismatches_ = 0;
  int lost_answers_ = 0;
};

// The model as the boardsim command's "imx:ARGS" builds it (arguments as
// ImxBootstrap::parse_options takes them); nullptr and error set on bad ones.
std::shared_ptr<ImxBootstrap> make_imx_bootstrap(const std::string& args, std::string& error);

}  // namespace boardsim
