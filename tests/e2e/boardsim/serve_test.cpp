// boardsim --serve: the far ends serve a board outside the simulator over
// Unix sockets, as the virtual machine of the kernel check connects its UARTs.
// The test stands in for that board: it connects, resets the slaves through
// the GPIO socket and talks to the bootstrap model.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/board_env.h"
#include "support/text.h"

namespace {

using test_support::slurp;

constexpr double BOUND_S = 20;  // for each wait; generous on a loaded machine

std::string cli_path() { return test_support::boardsim_cli_path(); }

bool wait_for(const std::function<bool()>& pred) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(BOUND_S);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int connect_to(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// Reads until `n` bytes came or the bound passed.
std::string read_bytes(int fd, size_t n) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(BOUND_S);
  while (got.size() < n && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[256];
    const ssize_t k = read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (k <= 0) break;
    got.append(buf, static_cast<size_t>(k));
  }
  return got;
}

std::string gpio_request(uint8_t op, uint32_t value) {
  uint8_t record[12] = {op, 0, 0, 0, 0x00, 0x00, 0x10, 0x00};
  for (int i = 0; i < 4; ++i) record[8 + i] = static_cast<uint8_t>(value >> (8 * i));
  return std::string(reinterpret_cast<char*>(record), sizeof record);
}

class Serve : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/var/tmp/boardsim-serve-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }

  // Starts boardsim with `args`, its streams in files of the test directory.
  void start(const std::vector<std::string>& args) {
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      const int out = open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open((dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<char*> argv;
      const std::string cli = cli_path();
      argv.push_back(const_cast<char*>(cli.c_str()));
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }

  // The exit status of boardsim, -1 when it did not end within the bound.
  int status() {
    int raw = 0;
    const bool ended = wait_for([&] { return waitpid(pid_, &raw, WNOHANG) == pid_; });
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }

  bool exists(const std::string& name) {
    struct stat st {};
    return lstat((dir_ + "/" + name).c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
  }

  std::string dir_;
  pid_t pid_ = -1;
};

TEST_F(Serve, SlaveBootstrapAnswersABoardOutsideTheSimulatorAfterItsReset) {
  const std::string trace = dir_ + "/trace.jsonl";
  start({"--tty", "0=imx", "--tty", "2=imx:silent", "--trace", trace, "--trace-format", "jsonl",
         "--timeout", "60", "--serve", dir_});
  ASSERT_TRUE(wait_for([&] { return exists("ttyS0") && exists("ttyS2") && exists("gpio0"); }))
      << slurp(dir_ + "/err");
  const int line = connect_to(dir_ + "/ttyS0");
  const int silent_line = connect_to(dir_ + "/ttyS2");
  const int gpio = connect_to(dir_ + "/gpio0");
  ASSERT_GE(line, 0);
  ASSERT_GE(silent_line, 0);
  ASSERT_GE(gpio, 0);
  // Taken endpoints go: a second board cannot connect.
  ASSERT_TRUE(wait_for([&] { return !exists("ttyS0") && !exists("gpio0"); }));

  // The reset pulse as kovrel sends it, in pieces, as a UART delivers it:
  // 10 ms low, and the slave listens 100 ms after it.
  const std::string low = gpio_request(1, 0) + gpio_request(0, 0);
  const std::string high = gpio_request(1, 0x00100000);
  ASSERT_EQ(write(gpio, low.data(), 5), 5);
  ASSERT_EQ(write(gpio, low.data() + 5, low.size() - 5), static_cast<ssize_t>(low.size() - 5));
  usleep(11000);
  ASSERT_EQ(write(gpio, high.data(), high.size()), static_cast<ssize_t>(high.size()));
  usleep(110000);
  ASSERT_EQ(write(line, "A", 1), 1);
  EXPECT_EQ(read_bytes(line, 1), ":");
  // No speed on a socket: the slave takes the board's bytes without a
  // mismatch note, whatever speed it listens at.
  const std::string records = "001122FCC4CAFEDECA";
  ASSERT_EQ(write(line, records.data(), records.size()), static_cast<ssize_t>(records.size()));
  EXPECT_EQ(read_bytes(line, 19), "001122FCC4CAFEDECA>");
  ASSERT_EQ(write(silent_line, "A", 1), 1);

  close(gpio);  // the board goes: serving ends, the journal is written
  EXPECT_EQ(status(), 0) << slurp(dir_ + "/err");
  close(line);
  close(silent_line);
  const std::string jsonl = slurp(trace);
  EXPECT_NE(jsonl.find("\"kind\":\"gpio-write\",\"tx\":\"010000000000100000000000\""),
            std::string::npos)
      << jsonl;
  EXPECT_NE(
      jsonl.find(
          "\"kind\":\"gpio-write\",\"tx\":\"010000000000100000001000\",\"op\":1,\"mask\":1048576,"
          "\"value\":1048576,\"reset\":\"high\""),
      std::string::npos)
      << jsonl;
  EXPECT_NE(
      jsonl.find("\"kind\":\"tty-out\",\"port\":0,\"tx\":\"303031313232464343344341464544454341\""),
      std::string::npos)
      << jsonl;
  EXPECT_NE(jsonl.find("\"text\":\"'A', not answered\""), std::string::npos) << jsonl;
  EXPECT_EQ(jsonl.find("\"baud\""), std::string::npos) << "a socket has no speed: " << jsonl;
  EXPECT_EQ(jsonl.find("\"kind\":\"note\""), std::string::npos) << jsonl;
  EXPECT_NE(
      slurp(dir_ + "/err")
          .find("boardsim: serving on " + dir_ + "/ttyS0 " + dir_ + "/ttyS2 " + dir_ + "/gpio0\n"),
      std::string::npos);
}

struct ServeFailure {
  std::vector<std::string> args;  // "DIR" stands for the test's directory
  int status;
  const char* err_part;
};

class ServeFailures : public Serve, public ::testing::WithParamInterface<ServeFailure> {};

TEST_P(ServeFailures, EndWithTheirStatusAndSayWhy) {
  std::vector<std::string> args;
  for (const auto& a : GetParam().args)
    args.push_back(a == "DIR" ? dir_ : a == "DIR/sub" ? dir_ + "/sub" : a);
  if (std::string(GetParam().err_part).find("exists") != std::string::npos) {
    std::ofstream(dir_ + "/gpio0") << "";
  }
  start(args);
  EXPECT_EQ(status(), GetParam().status) << slurp(dir_ + "/err");
  EXPECT_NE(slurp(dir_ + "/err").find(GetParam().err_part), std::string::npos)
      << slurp(dir_ + "/err");
  EXPECT_FALSE(exists("gpio0")) << "an endpoint left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServeFailures,
    ::testing::Values(ServeFailure{{"--serve", "DIR", "--", "true"}, 2, "--serve runs no program"},
                      ServeFailure{{"--tty", "0=imx", "--serve", "DIR/sub"}, 1, "cannot serve on"},
                      ServeFailure{{"--serve", "DIR"}, 1, "gpio0: File exists"},
                      ServeFailure{{"--tty", "1=imx", "--serve", "DIR", "--timeout", "0.2"},
                                   1,
                                   "nothing connected to"}));

}  // namespace
