// boardsim --serve DIR: the simulated far ends serve a board outside the
// simulator (a virtual machine whose UARTs are host sockets) instead of a
// program run on the simulated board.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "boardsim/board.h"

namespace boardsim_cli {

// Listens on the Unix stream sockets DIR/ttyS<N>, one for each of `ports`,
// and DIR/gpio0, which carries the board's 12-byte GPIO requests (the
// slaves' reset line). Waits until the board has connected to every one, then
// serves it until it closes a connection or stop() holds. Returns 0 then, or 1
// after saying why it could not serve (an endpoint that cannot be made, a
// board that did not connect and finish within timeout_s; 0: no limit).
int serve_outside_board(boardsim::Board& board, const std::string& dir,
                        const std::vector<int>& ports, double timeout_s,
                        const std::function<bool()>& stop);

}  // namespace boardsim_cli
