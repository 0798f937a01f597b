// The default far end of every chip select: a script of answer bytes and a
// capture of everything the board sent, enough for the simulator's own tests
// and for programs whose far end does not matter.
#include "boardsim/models/scripted_spi.h"

namespace boardsim {

namespace {
constexpr uint8_t IDLE_LINE = 0x00;  // what the board clocks in once the script is spent
}

void ScriptedSpi::exchange(SpiExchange& x) {
  if (x.tx != nullptr) captured.insert(captured.end(), x.tx, x.tx + x.len);
  if (x.rx == nullptr) return;
  for (size_t i = 0; i < x.len; ++i) {
    if (answers.empty()) {
      x.rx[i] = IDLE_LINE;
    } else {
      x.rx[i] = answers.front();
      answers.pop_front();
    }
  }
}

}  // namespace boardsim
