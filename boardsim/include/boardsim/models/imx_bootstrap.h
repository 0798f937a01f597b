// The slave i.MX serial bootstrap as the board sees it on a serial line:
// reset by the GPIO line, sync 'A' -> ':', ASCII boot records (each
// character echoed as it arrives, '*' refusal, one more character after the
// data echo, read answers), a sparse memory
// image, jumps, and the line-speed change record. Options make it misbehave
// for fault tests.
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
};

class ImxBootstrap : public SerialFarEnd {
 public:
  static constexpr uint32_t SPEED_CHANGE_ADDRESS = 0x002060A8;
  static constexpr uint32_t RESET_LINE = 0x00100000;
  static constexpr uint32_t RESET_SPEED = 38400;
  static constexpr char TRAILER = '>';  // after a data echo or a read answer

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
  uint32_t line_speed() const { return line_speed_; }  // what the slave expects now
  const std::map<uint32_t, uint8_t>& memory() const { return memory_; }
  std::vector<uint8_t> memory_bytes(uint32_t address, size_t n) const;  // 0 where unwritten
  const std::vector<uint32_t>& jumps() const { return jumps_; }
  int records() const { return records_; }  // complete records accepted
  int mismatches() const { return mismatches_; }
  void poke(uint32_t address, uint8_t value) { memory_[address] = value; }

 private:
  void on_char(SerialLink& link, char c);
  void on_command(SerialLink& link);
  void on_data_complete(SerialLink& link);
  void answer(SerialLink& link, const std::string& text);
  void check_speed(SerialLink& link);
  uint64_t read_value(uint32_t address, size_t bytes) const;

  ImxOptions options_;
  bool reset_held_ = false;
  bool listening_ = false;
  bool synced_ = false;
  uint32_t line_speed_ = RESET_SPEED;
  std::string command_;       // command characters received so far
  std::string data_;          // data characters of the record being received
  size_t data_expected_ = 0;  // characters; 0: waiting for a command
  uint32_t address_ = 0;
  uint8_t control_ = 0;
  std::map<uint32_t, uint8_t> memory_;
  std::vector<uint32_t> jumps_;
  int records_ = 0;
  int mismatches_ = 0;
};

// The model as the boardsim command's "imx:ARGS" builds it (arguments as
// ImxBootstrap::parse_options takes them); nullptr and error set on bad ones.
std::shared_ptr<ImxBootstrap> make_imx_bootstrap(const std::string& args, std::string& error);

}  // namespace boardsim
