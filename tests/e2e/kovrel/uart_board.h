// A simulated board with the slave bootstrap model on /dev/ttyS0, and what
// the UART tests need to read the line: the bytes kovrel sent, their
// timestamps, and the boot record text a download should produce.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "boardsim/models/imx_bootstrap.h"
#include "support/bytes.h"
#include "support/text.h"

namespace uart_test {

using test_support::bytes_of;
using test_support::contains_in_order;
using test_support::hex;

constexpr const char* JOB_PATH = "/tmp/uart_job.txt";
constexpr const char* SPI_JOB_PATH = "/tmp/spi_job.txt";
constexpr uint64_t NS_PER_US = 1000;

// The simulator stamps an event when it reads it, which on a loaded machine
// can be several milliseconds after the write; a gap measured from such an
// event comes out short by as much. A pause that was left out still shows
// as a gap near zero, well below its length minus this slack.
constexpr int64_t OBSERVATION_SLACK_US = 5000;

// What the simulator cannot see of a byte's way: the kernel's hand-over from
// the board's side of the pty to its own, a kernel worker that can start
// late on a loaded machine (up to 9 ms seen on two cores with two busy loops
// and two compilers beside the suite).
constexpr int64_t HAND_OVER_SLACK_US = 10000;

class UartBoard : public ::testing::Test {
 protected:
  void SetUp() override { attach({}); }

  void attach(const boardsim::ImxOptions& options) {
    slave = std::make_shared<boardsim::ImxBootstrap>(options);
    board.attach_serial(0, slave);
  }

  // Runs `kovrel OPTIONS -u JOB` on the board with a fresh journal.
  boardsim::RunResult run_job(const std::string& job,
                              const std::vector<std::string>& options = {}) {
    board.write_file(JOB_PATH, job);
    board.journal().clear();
    boardsim::Command command;
    command.argv = {"kovrel"};
    command.argv.insert(command.argv.end(), options.begin(), options.end());
    command.argv.push_back("-u");
    command.argv.push_back(JOB_PATH);
    command.timeout_s = 60;
    return board.run(command);
  }

  // Every byte kovrel wrote on the serial line, in order.
  std::string wire() { return board.journal().bytes_text(boardsim::EventKind::SerialToSlave, 0); }

  // When the simulator saw byte `offset` of the line (the event that carried it).
  uint64_t wire_byte_ns(size_t offset) {
    size_t seen = 0;
    for (const auto& e : board.journal().of(boardsim::EventKind::SerialToSlave, 0)) {
      if (offset < seen + e.data.size()) return e.t_ns;
      seen += e.data.size();
    }
    ADD_FAILURE() << "no byte " << offset << " on the line";
    return 0;
  }

  // Microseconds from the byte at `earlier` to the byte at `later`.
  int64_t gap_us(size_t earlier, size_t later) {
    return static_cast<int64_t>(wire_byte_ns(later) - wire_byte_ns(earlier)) /
           static_cast<int64_t>(NS_PER_US);
  }

  // When the simulator read each byte of the line, and the earliest moment
  // the byte can have reached it (0: not known), whatever the reads made of
  // kovrel's writes.
  struct ByteTime {
    uint64_t read_ns;
    uint64_t earliest_ns;
  };

  std::vector<ByteTime> byte_times() {
    std::vector<ByteTime> times;
    for (const auto& e : board.journal().of(boardsim::EventKind::SerialToSlave, 0)) {
      times.insert(times.end(), e.data.size(), ByteTime{e.t_ns, e.t_min_ns});
    }
    return times;
  }

  boardsim::Board board;
  std::shared_ptr<boardsim::ImxBootstrap> slave;
};

// Tests that assert on real time: the ctest label timing runs them one at a
// time.
class UartTiming : public UartBoard {};

// A firmware image: deterministic, different for every seed.
inline std::string firmware(size_t size, uint32_t seed = 1) {
  std::string image(size, '\0');
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& byte : image) {
    x = x * 1103515245u + 12345u;
    byte = static_cast<char>(x >> 16);
  }
  return image;
}

// The data field of a record: bytes one by one (8-bit) or little-endian
// words (32-bit), as the slave stores them.
inline std::string data_field(const std::string& bytes, bool words) {
  std::string text;
  const size_t step = words ? 4 : 1;
  for (size_t i = 0; i < bytes.size(); i += step) {
    uint32_t value = 0;
    for (size_t k = 0; k < step; ++k) {
      value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + k])) << (8 * k);
    }
    text += hex(value, static_cast<int>(2 * step));
  }
  return text;
}

// A reset-line request: op, three padding bytes, mask 0x00100000, value,
// little-endian.
inline std::vector<uint8_t> gpio_record(uint8_t op, uint8_t value_byte2) {
  return {op, 0, 0, 0, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, value_byte2, 0x00};
}

// The three requests of the reset pulse, in order.
inline std::vector<std::vector<uint8_t>> reset_pulse_records() {
  return {gpio_record(1, 0x00), gpio_record(0, 0x00), gpio_record(1, 0x10)};
}

inline std::string record(uint32_t address, uint8_t control, const std::string& data = "") {
  return hex(address, 8) + hex(control, 2) + data;
}

}  // namespace uart_test
