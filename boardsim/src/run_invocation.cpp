// What a command executes on the board and with which environment: a board
// program under test by its name (through the emulator when one is set), or
// any host command found on the board's PATH; the preload shim, its socket
// and the sanitiser options in every case.
#include "run_invocation.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "boardsim/board.h"
#include "boardsim/protocol.h"

extern char** environ;

namespace boardsim {

namespace {

constexpr const char* DEFAULT_PATH = "/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin";
constexpr const char* SHIM_NAME = "libboardsim_shim.so";

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("boardsim: " + what + ": " + strerror(errno));
}

// Words separated by blanks.
std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::string env_or(const char* name, const std::string& fallback) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// Sets NAME=VALUE in an environment list, replacing an earlier NAME.
void set_env(std::vector<std::string>& env, const std::string& assignment) {
  const std::string name = assignment.substr(0, assignment.find('=') + 1);
  for (auto& e : env) {
    if (e.compare(0, name.size(), name) == 0) {
      e = assignment;
      return;
    }
  }
  env.push_back(assignment);
}

void unset_env(std::vector<std::string>& env, const std::string& name) {
  const std::string prefix = name + "=";
  for (auto it = env.begin(); it != env.end();) {
    it = it->compare(0, prefix.size(), prefix) == 0 ? env.erase(it) : it + 1;
  }
}

std::string get_env(const std::vector<std::string>& env, const std::string& name) {
  const std::string prefix = name + "=";
  for (const auto& e : env) {
    if (e.compare(0, prefix.size(), prefix) == 0) return e.substr(prefix.size());
  }
  return "";
}

// The directory $LIB names for a shared object's architecture in Debian's
// multiarch layout ("" when unknown).
std::string multiarch_lib(const std::string& elf_path) {
  std::ifstream in(elf_path, std::ios::binary);
  unsigned char head[20] = {};
  if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return "";
  if (head[0] != 0x7F || head[1] != 'E' || head[2] != 'L' || head[3] != 'F') return "";
  const unsigned machine = head[5] == 1 ? head[18] | head[19] << 8 : head[19] | head[18] << 8;
  switch (machine) {
    case 3: return "lib/i386-linux-gnu";
    case 40: return "lib/arm-linux-gnueabihf";
    case 62: return "lib/x86_64-linux-gnu";
    case 183: return "lib/aarch64-linux-gnu";
    default: return "";
  }
}

void link_shim(const std::string& dir, const std::string& shim) {
  const std::string lib = multiarch_lib(shim);
  if (lib.empty()) return;
  make_dirs(dir + "/" + lib);
  const std::string link = dir + "/" + lib + "/" + SHIM_NAME;
  unlink(link.c_str());
  if (symlink(shim.c_str(), link.c_str()) != 0) fail("symlink " + link);
}

}  // namespace

void resolve_command(const Command& command, const Sandbox& sandbox, std::vector<std::string>& argv,
                     std::vector<std::string>& env) {
  // The environment: the caller's, with the board's PATH, the shim and its
  // socket, then the command's own settings.
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  set_env(env, "PATH=" + sandbox.dir("bin") + ":" + env_or("PATH", DEFAULT_PATH));
  set_env(env, std::string(BOARDSIM_SOCKET_ENV) + "=" + sandbox.private_path("sock"));
  std::string asan = get_env(env, "ASAN_OPTIONS");
  if (asan.find("verify_asan_link_order") == std::string::npos) {
    // An instrumented program must accept the shim loaded before its runtime.
    asan += std::string(asan.empty() ? "" : ":") + "verify_asan_link_order=0";
  }
  set_env(env, "ASAN_OPTIONS=" + asan);

  const std::string& name = command.argv[0];
  const std::string program = Board::program_path(name);
  const bool board_program =
      name.find('/') == std::string::npos && access(program.c_str(), X_OK) == 0;
  const std::vector<std::string> runner = split_words(env_or("BOARDSIM_RUNNER", ""));
  const std::string host_shim = BOARDSIM_DEFAULT_SHIM;
  if (board_program && !runner.empty()) {
    // The emulated program gets the target's shim; a host program it starts
    // (the shell of system()) finds the host's in the same $LIB-named tree,
    // so neither loader meets an object of the wrong architecture.
    const std::string shim_dir = sandbox.private_path("shim");
    link_shim(shim_dir, host_shim);
    link_shim(shim_dir, env_or("BOARDSIM_SHIM", host_shim));
    unset_env(env, "LD_PRELOAD");
    argv = runner;
    argv.push_back("-E");
    argv.push_back("LD_PRELOAD=" + shim_dir + "/$LIB/" + SHIM_NAME);
    argv.push_back(program);
  } else if (board_program) {
    set_env(env, "LD_PRELOAD=" + env_or("BOARDSIM_SHIM", host_shim));
    argv.push_back(program);
  } else {
    set_env(env, "LD_PRELOAD=" + host_shim);
    argv.push_back(name);
  }
  argv.insert(argv.end(), command.argv.begin() + 1, command.argv.end());
  for (const auto& e : command.env) set_env(env, e);
}

}  // namespace boardsim
