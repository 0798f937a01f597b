// The inside of a Board: its sandbox, devices, shim socket and the commands
// running on it, all served by one poll loop (event_loop.cpp).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "device_server.h"
#include "launcher.h"
#include "sandbox.h"
#include "serial_port.h"

namespace boardsim {

// One command started on the board, from fork to collection.
struct RunState {
  pid_t child = -1;    // the simulator's child; its process group is the run's
  pid_t program = -1;  // the program as the host sees it (-1: not known yet)
  bool supervised = false;
  bool pid_namespace = false;
  bool capture = true;      // false: the command uses the caller's standard streams
  bool foreground = false;  // it holds the caller's terminal until it ends
  int pidfd = -1;
  int out_fd = -1;
  int err_fd = -1;
  int in_fd = -1;
  int info_fd = -1;          // the supervisor reports the program's PID here
  int32_t reported_pid = 0;  // as the supervisor saw it (namespace PID)
  std::string in_data;
  size_t in_done = 0;
  uint64_t deadline_ns = 0;
  uint64_t exited_ns = 0;
  bool exited = false;
  int wait_status = 0;
  bool board_gone = false;  // the Board was destroyed before the run was collected
  RunResult result;
  std::string panel_count_path;
  std::string panel_pid_path;

  bool finished() const { return exited && out_fd < 0 && err_fd < 0; }
};

struct Connection {
  int fd = -1;
  int id = 0;
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
  // Replies whose transfer is still on the bus, with the moment it ends.
  std::deque<std::pair<uint64_t, std::vector<uint8_t>>> held;
};

struct Board::Impl {
  explicit Impl(const BoardConfig& c);
  ~Impl();

  BoardConfig config;
  Journal journal;
  Sandbox sandbox;
  std::vector<std::unique_ptr<SerialPort>> ports;
  int gpio_fd = -1;
  std::vector<uint8_t> gpio_partial;
  bool gpio_connected = false;  // gpio_fd is a socket from a board outside
  bool gpio_hung_up = false;    // ... which has closed it
  DeviceServer server;
  int listen_fd = -1;
  std::map<int, Connection> connections;  // by descriptor
  int next_connection_id = 1;
  std::vector<std::shared_ptr<RunState>> runs;      // started and not yet collected
  std::vector<std::weak_ptr<RunState>> handed_out;  // the runs of Process objects
  int run_counter = 0;

  std::shared_ptr<RunState> launch(const Command& command);
  // Runs the loop until pred() holds or the deadline (CLOCK_MONOTONIC ns)
  // passes; returns pred()'s last value.
  bool pump(const std::function<bool()>& pred, uint64_t deadline_ns);
  // Serves whatever is ready now, without waiting.
  void drain();
  // Runs the loop until the run is finished; collects its result.
  RunResult finish(const std::shared_ptr<RunState>& run, uint64_t deadline_ns);
  void kill_run(RunState& run, int sig);
  // A board outside the simulator has closed one of its connections.
  bool outside_board_gone() const;
  void find_program_pid(RunState& run, uint64_t deadline_ns);

 private:
  LaunchPlan plan_run(const Command& command, RunState& run);
  void open_streams(RunState& run, LaunchPlan& plan);
  bool poll_once(uint64_t timeout_ns);
  // Has the serial ports look at their lines afresh: the thread may have
  // slept since the loop last ran, not watching them.
  void look_at_lines();
  void on_gpio();
  void on_accept();
  void on_connection(int fd, short revents);
  void close_connection(int fd);
  void release_held(Connection& c, uint64_t now_ns);
  bool send_out(Connection& c);  // false: the connection has gone
  void tty_queue_reply(const boardsim_request& request, std::vector<uint8_t>& out);
  void on_run_output(int& fd, std::string& sink);
  void on_run_stdin(RunState& run);
  void on_run_exit(RunState& run);
  void on_run_info(RunState& run);
  void check_deadlines(uint64_t now_ns);
  void check_speeds();
  uint64_t next_timeout_ns(uint64_t deadline_ns) const;
};

// The result of a finished run; its captured streams are moved into it.
RunResult result_of(RunState& run);
// Closes a descriptor once and marks it closed.
void close_fd(int& fd);
// CLOCK_MONOTONIC nanoseconds that many seconds from now (saturating).
uint64_t deadline_after(double seconds);

}  // namespace boardsim

namespace boardsim {

struct Process::Impl {
  Board::Impl* board = nullptr;  // valid while !run->board_gone
  std::shared_ptr<RunState> run;
  bool collected = false;
  RunResult result;  // once collected

  // Whether the run is over for the caller: collected, or its Board is gone
  // (which killed and reaped it).
  bool settled() {
    if (!collected && run->board_gone) {
      result = result_of(*run);
      collected = true;
    }
    return collected;
  }
};

}  // namespace boardsim
