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
  void note(const std::string& text) override;
  void annotate(const std::string& unit, const std::string& text) override;

  void attach(std::shared_ptr<SerialFarEnd> far_end) { far_end_ = std::move(far_end); }
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
  };
  void flush();

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
  std::vector<uint8_t> outgoing_;  // due, not yet taken by the pty
  uint32_t speed_ = 0;
  Look last_look_;  // the start of the last read that left nothing behind
  bool connected_ = false;
  bool hung_up_ = false;
};

}  // namespace boardsim
