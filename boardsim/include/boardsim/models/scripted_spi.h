// The default far end of every chip select until a model is attached.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "boardsim/far_end.h"

namespace boardsim {

// The default far end of a device until a model is attached: answers reads
// from a queue of bytes (0x00 once it is empty) and captures every byte the
// board sends. Tests of the simulator itself use it.
class ScriptedSpi : public SpiFarEnd {
 public:
  void exchange(SpiExchange& x) override;
  std::deque<uint8_t> answers;
  std::vector<uint8_t> captured;
};

}  // namespace boardsim
