// The boardsim command as an engineer uses it: the program's streams and
// exit status passed through, the board options, the trace.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/board_env.h"
#include "support/text.h"

namespace {

using test_support::slurp;

struct CliResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string shell_word(const std::string& word) {
  std::string q = "'";
  for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string cli_path() { return test_support::boardsim_cli_path(); }

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/var/tmp/boardsim-cli-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf " + shell_word(dir_)).c_str()), 0); }

  CliResult run(const std::vector<std::string>& args, const std::string& input = "",
                const std::string& cwd = "") {
    std::ofstream(dir_ + "/in") << input;
    std::string line = cwd.empty() ? "" : "cd " + shell_word(cwd) + " && ";
    line += shell_word(cli_path());
    for (const auto& a : args) line += " " + shell_word(a);
    line += " <" + shell_word(dir_ + "/in") + " >" + shell_word(dir_ + "/out") + " 2>" +
            shell_word(dir_ + "/err");
    const int raw = system(line.c_str());
    CliResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(dir_ + "/out");
    r.err = slurp(dir_ + "/err");
    return r;
  }

  std::string dir_;
};

TEST_F(Cli, ProbeOfTheBoardsPathsLeavesNothingOnTheHost) {
  const std::string probe = "/tmp/boardsim_cli_probe_" + std::to_string(getpid());
  const CliResult r =
      run({"--", "sh", "-c",
           "echo x > " + probe + "; ls /dev/spidev2.4 /dev/ttyS0 /dev/gpio0 /dev/fb0"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "/dev/fb0\n/dev/gpio0\n/dev/spidev2.4\n/dev/ttyS0\n");
  struct stat st {};
  EXPECT_NE(stat(probe.c_str(), &st), 0) << probe << " leaked to the host";
}

struct StatusCase {
  std::vector<std::string> args;
  int status;
  const char* err_part;  // in standard error ("" = nothing required)
};

class CliStatus : public Cli, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(CliStatus, ExitStatusIsPassedThrough) {
  const CliResult r = run(GetParam().args);
  EXPECT_EQ(r.status, GetParam().status) << r.err;
  EXPECT_NE(r.err.find(GetParam().err_part), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliStatus,
    ::testing::Values(
        StatusCase{{"--", "sh", "-c", "exit 3"}, 3, ""},
        StatusCase{{"--", "board_client", "exit", "255"}, 255, ""},
        StatusCase{{"--", "sh", "-c", "kill -TERM $$"}, 128 + 15, ""},
        StatusCase{{"--timeout", "0.3", "--", "board_client", "sleep"}, 128 + 9, "timed out"},
        StatusCase{{"--", "no_such_program_here"}, 127, "no_such_program_here"},
        StatusCase{{"--bogus", "--", "true"}, 2, "unknown option --bogus"},
        StatusCase{{"--spi", "7=sink", "--", "true"}, 2, "bad --spi"},
        StatusCase{{"--spi", "0-4=no-such-model", "--", "true"}, 2, "no-such-model"},
        StatusCase{{"--spi-fault", "0:peek:1:eio", "--", "true"}, 2, "bad --spi-fault"},
        StatusCase{{"--spi-fault", "4:xfer:2:eagain:3", "--", "true"}, 0, ""},
        StatusCase{{"--gpio-fault", "2:short", "--", "board_client", "gpio", "1", "1", "0", "gpio",
                    "0", "1", "0"},
                   1,
                   "gpio failed"},
        StatusCase{{"--gpio-fault", "1:eio", "--", "board_client", "gpio", "1", "1", "0"},
                   1,
                   "gpio failed errno 5"},
        StatusCase{{"--gpio-fault", "0:eio", "--", "true"}, 2, "bad --gpio-fault"},
        StatusCase{{"--gpio-fault", "1:eagain", "--", "true"}, 2, "bad --gpio-fault"},
        StatusCase{{"--ports", "0", "--", "true"}, 2, "bad --ports"},
        StatusCase{{"--ports", "5", "--", "ls", "/dev/ttyS4"}, 0, ""},
        StatusCase{{"--", "ls", "/dev/ttyS3"}, 2, "ttyS3"},
        StatusCase{{"--timeout"}, 2, "needs an argument"},
        StatusCase{{"--timeout=0.3", "--", "board_client", "sleep"}, 128 + 9, "timed out"},
        StatusCase{{"--ports=0", "--", "true"}, 2, "bad --ports argument '0'"},
        StatusCase{{"--keep-sandbox=yes", "--", "true"}, 2, "--keep-sandbox takes no argument"},
        StatusCase{{"--version=2"}, 2, "--version takes no argument"},
        StatusCase{{"stray", "--", "true"}, 2, "unknown option stray"},
        StatusCase{{"--trace", "/dev/null"}, 2, "no program"},
        StatusCase{{"--trace", "/dev/null", "--trace-format", "xml", "--", "true"},
                   2,
                   "bad --trace-format"},
        StatusCase{{"--trace-format", "jsonl", "--", "true"}, 2, "--trace-format needs --trace"},
        StatusCase{{"--vcd-window", "0:10", "--", "true"}, 2, "--vcd-window needs --vcd"},
        StatusCase{
            {"--vcd", "/dev/null", "--vcd-window", "5:1", "--", "true"}, 2, "bad --vcd-window"},
        StatusCase{
            {"--vcd", "/dev/null", "--vcd-window", "-1:", "--", "true"}, 2, "bad --vcd-window"},
        StatusCase{
            {"--trace", "/nonexistent/trace", "--", "true"}, 1, "cannot write /nonexistent/trace"},
        StatusCase{{"--vcd", "/nonexistent/vcd", "--", "sh", "-c", "exit 4"}, 4, "cannot write"},
        // A --file is a regular file: a device would be read without end,
        // a directory copied as nothing.
        StatusCase{{"--file", "/tmp/z=/dev/zero", "--", "true"},
                   2,
                   "bad --file /dev/zero: not a regular file"},
        StatusCase{
            {"--file", "/tmp/e=/etc", "--", "true"}, 2, "bad --file /etc: not a regular file"},
        StatusCase{{"--file", "/tmp/n=/nonexistent/file", "--", "true"},
                   2,
                   "cannot read /nonexistent/file: No such file or directory"},
        // Every number of an option or a model's argument is digits within
        // its range; an overflowing one is refused, not wrapped or saturated.
        StatusCase{
            {"--tty", "0=imx:delay=99999999999999999999", "--", "true"}, 2, "imx: bad delay"},
        StatusCase{{"--tty", "0=imx:delay=60000001", "--", "true"}, 2, "imx: bad delay"},
        StatusCase{{"--tty", "0=imx:delay=", "--", "true"}, 2, "imx: bad delay"},
        StatusCase{{"--tty", "0=imx:delay=60000000", "--", "true"}, 0, ""},
        StatusCase{{"--timeout", "inf", "--", "true"}, 2, "bad --timeout argument 'inf'"},
        StatusCase{{"--timeout", "1e400", "--", "true"}, 2, "bad --timeout"},
        StatusCase{{"--timeout", "0x10", "--", "true"}, 2, "bad --timeout argument '0x10'"},
        StatusCase{{"--timeout", "2.5", "--", "true"}, 0, ""},
        StatusCase{
            {"--tty", "0=imx:late-refusal=60000001", "--", "true"}, 2, "imx: bad late-refusal"},
        StatusCase{{"--ports", "+3", "--", "true"}, 2, "bad --ports argument '+3'"},
        StatusCase{{"--spi-max-hz", " 500000", "--", "true"}, 2, "bad --spi-max-hz"},
        StatusCase{{"--spi", "0=sink:pattern=0x5A", "--", "true"}, 2, "bad argument"},
        StatusCase{{"--spi", "0=checksum:wrong=-1", "--", "true"}, 2, "bad argument"},
        StatusCase{{"--spi", "0=sound:0=+2", "--", "true"}, 2, "sound:"}));

struct OptionCase {
  std::vector<std::string> args;
  const char* out;
};

class CliBoardOptions : public Cli, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(CliBoardOptions, OptionShapesTheBoard) {
  const CliResult r = run(GetParam().args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliBoardOptions,
    ::testing::Values(
        OptionCase{
            {"--spi", "0-4=sink:pattern=5A", "--", "spi_client", "open", "3", "read", "2", "close"},
            "open 3 = ok\nread = 2 data 5a5a\nclose = 0\n"},
        OptionCase{
            {"--spi=0-4=sink:pattern=5A", "--", "spi_client", "open", "3", "read", "2", "close"},
            "open 3 = ok\nread = 2 data 5a5a\nclose = 0\n"},
        OptionCase{{"--version"}, "boardsim (organ-boardsim) " BOARD_VERSION "\n"},
        OptionCase{
            {"--spi", "1,3=sink:pattern=11", "--", "spi_client", "open", "2", "read", "1", "close"},
            "open 2 = ok\nread = 1 data 00\nclose = 0\n"},
        OptionCase{{"--spi-max-hz", "500000", "--", "spi_client", "open", "0", "wr-speed",
                    "2000000", "rd-speed", "close"},
                   "open 0 = ok\nwr-speed = 0\nrd-speed = 0 value 500000\nclose = 0\n"},
        OptionCase{
            {"--spi-fault", "1:read:2:eio", "--", "spi_client", "open", "1", "read", "1", "read",
             "1", "read", "1", "close"},
            "open 1 = ok\nread = 1 data 00\nread = -1 errno 5\nread = 1 data 00\nclose = 0\n"},
        OptionCase{
            // The slave starts 100 ms after a reset pulse of 10 ms.
            {"--tty",      "0=imx", "--",         "board_client", "gpio", "1",    "0x00100000",
             "0",          "gpio",  "0",          "0x00100000",   "0",    "wait", "11",
             "gpio",       "1",     "0x00100000", "0x00100000",   "wait", "110",  "tty",
             "/dev/ttyS0", "raw",   "38400",      "write",        "A",    "read", "1"},
            "read :\n"}));

// A run from a tree under the host's /tmp (a technician's scratch
// directory): the board sees only the working directory and the
// directories of the files it names, at their own paths, never what lies
// beside them, so a board's clean-up of its /tmp leaves the host's alone.
struct SharedTreeCase {
  const char* cwd;                   // under the tree, "" = elsewhere
  std::vector<std::string> args;     // @T@ = the tree
  const char* out;                   // nullptr = not checked
  std::vector<std::string> written;  // "PATH=CONTENT" the host tree holds afterwards
  bool shim_in_tree = false;         // the shim taken from @T@/shim (BOARDSIM_SHIM)
};

class CliSharedTree : public Cli, public ::testing::WithParamInterface<SharedTreeCase> {};

TEST_P(CliSharedTree, BoardSeesOnlyTheDirectoriesOfItsRun) {
  char templ[] = "/tmp/boardsim-tree-XXXXXX";
  ASSERT_NE(mkdtemp(templ), nullptr);
  const std::string tree = templ;
  for (const char* sub : {"/work", "/data"}) ASSERT_EQ(mkdir((tree + sub).c_str(), 0755), 0);
  std::ofstream(tree + "/beside.txt") << "beside\n";
  std::ofstream(tree + "/work/own.txt") << "own\n";
  std::ofstream(tree + "/data/in.txt") << "in\n";
  auto expand = [&tree](std::string text) {
    for (size_t at = text.find("@T@"); at != std::string::npos; at = text.find("@T@")) {
      text.replace(at, 3, tree);
    }
    return text;
  };
  std::vector<std::string> args;
  for (const auto& a : GetParam().args) args.push_back(expand(a));
  const std::string cwd = *GetParam().cwd == '\0' ? dir_ : tree + "/" + GetParam().cwd;
  const std::string shim = tree + "/shim/libboardsim_shim.so";
  if (GetParam().shim_in_tree) {
    const std::string built =
        cli_path().substr(0, cli_path().rfind("/bin/")) + "/lib/libboardsim_shim.so";
    ASSERT_EQ(mkdir((tree + "/shim").c_str(), 0755), 0);
    ASSERT_EQ(system(("cp " + shell_word(built) + " " + shell_word(shim)).c_str()), 0);
    setenv("BOARDSIM_SHIM", shim.c_str(), 1);
  }
  const CliResult r = run(args, "", cwd);
  unsetenv("BOARDSIM_SHIM");
  if (GetParam().shim_in_tree) {
    EXPECT_EQ(access(shim.c_str(), R_OK), 0) << "the board removed the simulator's shim";
  }
  EXPECT_EQ(slurp(tree + "/beside.txt"), "beside\n") << "a host file beside the run was lost";
  EXPECT_EQ(slurp(tree + "/data/in.txt"), "in\n");
  for (const auto& w : GetParam().written) {
    const size_t eq = w.find('=');
    EXPECT_EQ(slurp(tree + "/" + w.substr(0, eq)), w.substr(eq + 1)) << w;
  }
  ASSERT_EQ(system(("rm -rf " + shell_word(tree)).c_str()), 0);
  EXPECT_EQ(r.status, 0) << r.err;
  if (GetParam().out != nullptr) {
    EXPECT_EQ(r.out, GetParam().out);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliSharedTree,
    ::testing::Values(
        // The board empties its /tmp: the working directory's own files may
        // go (it is shared), what is beside it may not.
        SharedTreeCase{"work", {"--", "sh", "-c", "rm -rf /tmp/* 2>/dev/null; true"}, nullptr, {}},
        // The simulator's shim in a tree under /tmp is the board's to use,
        // not to remove: the next run needs it.
        SharedTreeCase{
            "work", {"--", "sh", "-c", "rm -rf /tmp/* 2>/dev/null; true"}, nullptr, {}, true},
        // The working directory is shared read-write; its parent on the
        // board holds nothing else of the host's.
        SharedTreeCase{"work",
                       {"--", "sh", "-c", "ls @T@; cat own.txt; echo new > made.txt"},
                       "work\nown\n",
                       {"work/made.txt=new\n", "work/own.txt=own\n"}},
        // A named file brings its directory, readable and writable.
        SharedTreeCase{"",
                       {"--", "sh", "-c", "ls @T@; cat \"$1\"; echo out > @T@/data/out.txt", "sh",
                        "@T@/data/in.txt"},
                       "data\nin\n",
                       {"data/out.txt=out\n"}},
        // So does a file the program is to make.
        SharedTreeCase{"",
                       {"--", "sh", "-c", "echo made > \"$1\"; ls @T@", "sh", "@T@/data/new.txt"},
                       "data\n",
                       {"data/new.txt=made\n"}}));

// Stopped from outside (a shell's timeout, a terminal closed), the command
// stops its program and still removes its sandbox.
TEST_F(Cli, SignalToTheCommandStopsTheProgramAndLeavesNoSandbox) {
  const std::string workdir = dir_ + "/work";
  ASSERT_EQ(mkdir(workdir.c_str(), 0755), 0);
  const std::string out = dir_ + "/out";
  const pid_t cli = fork();
  if (cli == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 1) < 0 || setenv("BOARDSIM_WORKDIR", workdir.c_str(), 1) != 0)
      _exit(100);
    const std::string path = cli_path();
    execl(path.c_str(), path.c_str(), "--", "board_client", "out", "started", "sleep", nullptr);
    _exit(101);
  }
  ASSERT_GT(cli, 0);
  // The program has started once it has printed its line.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (slurp(out) != "started\n" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(slurp(out), "started\n");
  ASSERT_EQ(kill(cli, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(cli, &status, 0), cli);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
  DIR* dir = opendir(workdir.c_str());
  ASSERT_NE(dir, nullptr);
  std::vector<std::string> left;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') left.push_back(e->d_name);
  }
  closedir(dir);
  EXPECT_TRUE(left.empty()) << left.front();
}

TEST_F(Cli, StreamsArePassedThrough) {
  const CliResult r = run({"--", "board_client", "stdin", "err", "to stderr"}, "from stdin\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "from stdin\n");
  EXPECT_EQ(r.err, "to stderr\n");
}

TEST_F(Cli, HelpListsOptionsAndModels) {
  const CliResult r = run({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* option : {"--trace", "--trace-format", "--vcd", "--vcd-window", "--timeout",
                             "--spi ", "--tty", "--spi-max-hz", "--spi-fault", "--gpio-fault",
                             "--ports", "--file", "--keep-sandbox", "loopback-late", "imx"}) {
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  }
}

TEST_F(Cli, FileIsCopiedIntoTheBoardFirst) {
  std::ofstream(dir_ + "/settings") << "saved settings";
  const CliResult r = run({"--file", "/home/organ/actual_state/global_set=" + dir_ + "/settings",
                           "--", "cat", "/home/organ/actual_state/global_set"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "saved settings");
}

// A --file past the size limit (here a sparse one) is refused before the
// program runs, not copied into the sandbox.
TEST_F(Cli, FileLargerThanTheLimitIsRefused) {
  const std::string big = dir_ + "/big";
  const int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, (64L << 20) + 1), 0);
  ASSERT_EQ(close(fd), 0);
  const CliResult r = run({"--file", "/tmp/big=" + big, "--", "echo", "ran"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("bad --file " + big + ": larger than 64 MiB"), std::string::npos) << r.err;
}

TEST_F(Cli, TraceHoldsTheDecodedJournal) {
  const std::string trace = dir_ + "/trace";
  const CliResult r = run({"--trace", trace, "--", "board_client", "gpio", "1", "0x00100000", "0",
                           "tty", "/dev/ttyS0", "write", "A"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = slurp(trace);
  EXPECT_NE(text.find(" ms  gpio-write op 1 (set) mask 0x00100000 value 0x00000000: reset line low"
                      "  [01 00 00 00 00 00 10 00 00 00 00 00]\n"),
            std::string::npos)
      << text;
  // One character at 38400 baud is 260.4 us on the wire.
  const size_t at = text.find(" ms  tty-out    ttyS0 38400 baud  \"A\"  wire ");
  ASSERT_NE(at, std::string::npos) << text;
  double start = 0;
  double end = 0;
  ASSERT_EQ(std::sscanf(text.c_str() + text.find(" wire ", at), " wire %lf-%lf ms", &start, &end),
            2)
      << text;
  EXPECT_NEAR(end - start, 0.260, 0.0015) << text;
}

// The bytes of one field of every JSON line of a kind, concatenated.
std::string jsonl_bytes(const std::string& jsonl, const std::string& kind,
                        const std::string& field) {
  std::string bytes;
  std::istringstream in(jsonl);
  for (std::string line; std::getline(in, line);) {
    if (line.find("\"kind\":\"" + kind + "\"") == std::string::npos) continue;
    const std::string key = "\"" + field + "\":\"";
    const size_t at = line.find(key);
    if (at == std::string::npos) continue;
    const std::string hex =
        line.substr(at + key.size(), line.find('"', at + key.size()) - at - key.size());
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
      bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

TEST_F(Cli, JsonTraceAndWireDumpOfOneRun) {
  const std::string trace = dir_ + "/trace.jsonl";
  const std::string vcd = dir_ + "/wires.vcd";
  const CliResult r =
      run({"--trace", trace, "--trace-format", "jsonl", "--vcd", vcd, "--vcd-window", "0:", "--",
           "board_client", "tty", "/dev/ttyS1", "raw", "9600", "write", "Hello"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string jsonl = slurp(trace);
  EXPECT_NE(jsonl.find("{\"t_ms\":"), std::string::npos) << jsonl;
  EXPECT_NE(jsonl.find("\"kind\":\"tty-speed\",\"port\":1,\"baud\":9600}"), std::string::npos)
      << jsonl;
  EXPECT_EQ(jsonl_bytes(jsonl, "tty-out", "tx"), "Hello") << jsonl;
  const std::string decoded = dir_ + "/decoded";
  EXPECT_EQ(system(("timeout 300 sigrok-cli -i " + shell_word(vcd) +
                    " -I vcd -P uart:baudrate=9600:tx=ttyS1_tx -B uart=tx >" + shell_word(decoded))
                       .c_str()),
            0);
  EXPECT_EQ(slurp(decoded), "Hello");
}

}  // namespace
