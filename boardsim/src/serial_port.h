// One serial port of the board: a pseudo-terminal whose slave side is the
// board's /dev/ttyS<n> and whose master side the simulator owns. It lives as
// long as the Board, so line settings persist from one command to the next.
// A port may instead be connected to a board outside the simulator (a
// virtual machine's UART): its line is then a connected stream socket, whose
// speed nobody tells the simulator.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/far_end.h"
#include "boardsim/journal.h"

namespace boardsim {

class SerialPort : public SerialLink {
 public:
  SerialPort(int port, Journal& journal);  // throws std::runtime_error
  ~SerialPort() override;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // SerialLink
  void send(const void* data, size_t n, uint64_t delay_us) override;
  uint32_t board_speed() const override;
  uint32_t wire_speed() const override;
  uint64_t now_ns() const override;
  void note(const std::string& text) override;
  void annotate(const std::string& unit, const std::string& text) override;

  void attach(std::shared_ptr<SerialFarEnd> far_end) { far_end_ = std::move(far_end); }
  // Tells the far end of a GPIO request the board made at `at_ns` (0: now).
  void gpio_request(const GpioRequest& request, uint64_t at_ns);
  void set_wire_time(bool on) { wire_time_ = on; }

  // The port's output queue as the board's UART shows it: the characters
  // written and not yet sent whole, and how long until the last one is.
  // The line is read first, so every byte written before the question counts.
  struct Queue {
    uint32_t chars = 0;
    uint64_t drained_in_ns = 0;
  };
  Queue output_queue();
  // The line runs over `socket` (taken over, closed with the port) from now
  // on; the pseudo-terminal is closed.
  void connect(int socket);
  bool connected() const { return connected_; }
  // The board at the other end of a connected line has closed it.
  bool hung_up() const { return hung_up_; }
  SerialFarEnd* far_end() const { return far_end_.get(); }

  int master_fd() const { return hung_up_ ? -1 : master_; }
  const std::string& slave_path() const { return slave_path_; }
  bool wants_write() const { return !outgoing_.empty() && !hung_up_; }
  // The earliest time a delayed send falls due (0: none pending).
  uint64_t next_due_ns() const;

  // Loop callbacks: bytes from the board; room to write; a timer tick; a
  // check of the board's line speed.
  void on_readable();
  void on_writable();
  void on_tick(uint64_t now_ns);
  void check_speed();
  // No program on the board has the port open any more. The kernel forgets a
  // port's exclusive use (TIOCEXCL) when its last user closes it; this pty
  // stays open here, so the mark is dropped by hand, as a real port's would
  // go with a program that was killed while it held it.
  void last_user_gone();
  // Looks at the line again without reading it, when the loop starts: the
  // thread may have slept elsewhere since its last read, not watching the
  // line, so only a line found empty now tells when later bytes arrived.
  void look_again();

 private:
  struct Pending {
    uint64_t due_ns;
    std::vector<uint8_t> bytes;
    uint64_t wire_start_ns;  // 0: without wire time
    uint32_t baud;           // the speed its characters were sent at
  };
  // A due character of the far end's, not yet taken by the pty.
  struct Outgoing {
    uint64_t wire_start_ns;
    uint64_t wire_end_ns;
    uint32_t baud;
  };
  // A character of the board's on its way to the far end.
  struct OnWire {
    uint64_t end_ns;
    uint8_t byte;
    uint32_t baud;
  };
  void flush();
  void deliver(uint64_t now_ns);
  bool timed() const { return wire_time_ && speed_ != 0; }

 public:
  // A moment the simulator looked at the line (read it), and how long its
  // thread had then spent running or waiting for a processor; at_ns 0: no
  // look to go by.
  struct Look {
    uint64_t at_ns = 0;
    uint64_t busy_ns = 0;
    bool busy_known = false;
  };

 private:
  int port_;
  Journal& journal_;
  int master_ = -1;
  int slave_ = -1;  // held open so the master never sees a hang-up
  std::string slave_path_;
  std::shared_ptr<SerialFarEnd> far_end_;
  std::deque<Pending> scheduled_;
  std::vector<uint8_t> outgoing_;       // due, not yet taken by the pty
  std::deque<Outgoing> outgoing_wire_;  // per byte of outgoing_
  std::deque<OnWire> tx_wire_;          // the board's characters not yet delivered
  uint64_t tx_free_ns_ = 0;             // when the board's last character ends
  uint64_t rx_free_ns_ = 0;             // when the far end's last character ends
  uint64_t delivering_ns_ = 0;          // the end of the character being delivered
  uint32_t delivering_baud_ = 0;
  bool wire_time_ = true;
  uint32_t speed_ = 0;
  Look last_look_;  // the start of the last read that left nothing behind
  bool connected_ = false;
  bool hung_up_ = false;
};

}  // namespace boardsim
