#include "serve.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "boardsim/journal.h"

namespace boardsim_cli {

namespace {

constexpr double NS_PER_SECOND = 1e9;
constexpr double NO_LIMIT_S = 1e9;
constexpr int POLL_SLICE_MS = 10;  // how often stop() is asked while nobody connects

// One socket the board connects to: a serial line, or (port -1) the stream
// of GPIO requests.
struct Endpoint {
  std::string path;
  int port = -1;
  int listen_fd = -1;
  int fd = -1;  // the board's connection, once accepted
};

void close_endpoint(Endpoint& e) {
  if (e.listen_fd >= 0) {
    close(e.listen_fd);
    unlink(e.path.c_str());
    e.listen_fd = -1;
  }
  if (e.fd >= 0) close(e.fd);
  e.fd = -1;
}

// The socket appears at its path only once it listens: it is bound under a
// temporary name and linked into place, so whoever finds the path can connect
// at once, and a path that already exists is never replaced.
bool listen_at(Endpoint& e, std::string& error) {
  const std::string temporary = e.path + ".boardsim-" + std::to_string(getpid());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (temporary.size() >= sizeof addr.sun_path) {
    error = e.path + ": the path is too long for a socket";
    return false;
  }
  memcpy(addr.sun_path, temporary.c_str(), temporary.size() + 1);
  e.listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  bool ok =
      e.listen_fd >= 0 && bind(e.listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ok = ok && listen(e.listen_fd, 1) == 0 && link(temporary.c_str(), e.path.c_str()) == 0;
  const int saved = errno;
  unlink(temporary.c_str());
  if (ok) return true;
  if (e.listen_fd >= 0) close(e.listen_fd);
  e.listen_fd = -1;
  error = e.path + ": " + strerror(saved);
  return false;
}

// Takes the first connection of every endpoint; the endpoint then stops
// listening and its path goes. False when the deadline or stop() came first.
bool accept_all(std::vector<Endpoint>& endpoints, uint64_t deadline_ns,
                const std::function<bool()>& stop) {
  for (;;) {
    std::vector<pollfd> waiting;
    std::vector<Endpoint*> owners;
    for (auto& e : endpoints) {
      if (e.fd >= 0) continue;
      waiting.push_back({e.listen_fd, POLLIN, 0});
      owners.push_back(&e);
    }
    if (waiting.empty()) return true;
    const uint64_t now = boardsim::monotonic_ns();
    if (stop() || now >= deadline_ns) return false;
    const int slice =
        static_cast<int>(std::min<uint64_t>(POLL_SLICE_MS, (deadline_ns - now) / 1000000 + 1));
    if (poll(waiting.data(), waiting.size(), slice) <= 0) continue;
    for (size_t i = 0; i < waiting.size(); ++i) {
      if (waiting[i].revents == 0) continue;
      Endpoint& e = *owners[i];
      e.fd = accept4(e.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (e.fd < 0) continue;  // the connection went again: keep listening
      close(e.listen_fd);
      e.listen_fd = -1;
      unlink(e.path.c_str());
    }
  }
}

std::string waiting_paths(const std::vector<Endpoint>& endpoints) {
  std::string text;
  for (const auto& e : endpoints) {
    if (e.fd < 0) text += (text.empty() ? "" : ", ") + e.path;
  }
  return text;
}

}  // namespace

int serve_outside_board(boardsim::Board& board, const std::string& dir,
                        const std::vector<int>& ports, double timeout_s,
                        const std::function<bool()>& stop) {
  const uint64_t start = boardsim::monotonic_ns();
  const uint64_t deadline =
      timeout_s > 0 ? start + static_cast<uint64_t>(timeout_s * NS_PER_SECOND) : UINT64_MAX;
  std::vector<Endpoint> endpoints;
  for (int port : ports) endpoints.push_back({dir + "/ttyS" + std::to_string(port), port});
  endpoints.push_back({dir + "/gpio0", -1});

  std::string error;
  for (auto& e : endpoints) {
    if (!listen_at(e, error)) {
      fprintf(stderr, "boardsim: cannot serve on %s\n", error.c_str());
      for (auto& other : endpoints) close_endpoint(other);
      return 1;
    }
  }
  std::string listing;
  for (const auto& e : endpoints) listing += " " + e.path;
  fprintf(stderr, "boardsim: serving on%s\n", listing.c_str());

  if (!accept_all(endpoints, deadline, stop)) {
    const bool stopped = stop();
    if (!stopped) {
      fprintf(stderr, "boardsim: nothing connected to %s within %g s\n",
              waiting_paths(endpoints).c_str(), timeout_s);
    }
    for (auto& e : endpoints) close_endpoint(e);
    return stopped ? 0 : 1;
  }
  for (auto& e : endpoints) {
    if (e.port >= 0) {
      board.connect_serial(e.port, e.fd);
    } else {
      board.connect_gpio(e.fd);
    }
    e.fd = -1;  // the board owns it now
  }
  const uint64_t now = boardsim::monotonic_ns();
  const double left_s =
      deadline == UINT64_MAX
          ? NO_LIMIT_S
          : static_cast<double>(deadline - std::min(deadline, now)) / NS_PER_SECOND;
  if (board.serve(stop, left_s) == boardsim::Board::ServeEnd::TimedOut) {
    fprintf(stderr, "boardsim: the board was still connected after %g s; stopped serving\n",
            timeout_s);
    return 1;
  }
  return 0;
}

}  // namespace boardsim_cli
