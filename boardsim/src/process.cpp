// A command running in the background on a Board: its PID, pumping the
// simulator while a test waits for it, and collecting or killing it.
#include <signal.h>

#include "board_impl.h"
#include "panel.h"

namespace boardsim {

namespace {

constexpr double KILL_COLLECT_S = 10;

}  // namespace

Process::Process(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Process::~Process() {
  if (!impl_->settled()) kill(SIGKILL);
}

pid_t Process::pid() const {
  RunState& run = *impl_->run;
  if (run.program <= 0 && !impl_->settled()) {
    impl_->board->find_program_pid(run, deadline_after(KILL_COLLECT_S));
  }
  return run.program;
}

bool Process::wait_until(const std::function<bool()>& pred, double timeout_s) {
  if (impl_->settled()) return pred();
  return impl_->board->pump(pred, deadline_after(timeout_s));
}

bool Process::running() {
  if (impl_->settled()) return false;
  impl_->board->drain();
  return !impl_->run->exited;
}

RunResult Process::wait(double timeout_s) {
  if (!impl_->settled()) {
    impl_->result = impl_->board->finish(impl_->run, deadline_after(timeout_s));
    impl_->collected = true;
  }
  return impl_->result;
}

RunResult Process::kill(int sig) {
  if (!impl_->settled()) {
    RunState& run = *impl_->run;
    if (!run.exited) {
      const pid_t target = pid();
      if (target > 0) {
        ::kill(target, sig);
      } else {
        impl_->board->kill_run(run, sig);
      }
    }
    return wait(KILL_COLLECT_S);
  }
  return impl_->result;
}

int Process::panel_signals() const {
  const int count = read_panel_number(impl_->run->panel_count_path);
  return count < 0 ? 0 : count;
}

pid_t Process::panel_pid() const { return read_panel_number(impl_->run->panel_pid_path); }

std::string Process::out_so_far() const {
  return impl_->settled() ? impl_->result.out : impl_->run->result.out;
}

}  // namespace boardsim
