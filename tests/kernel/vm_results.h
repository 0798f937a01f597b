// What the virtual board of the kernel check left (tests/kernel/run_vm.sh),
// and the same programs run on the simulated board for comparison.
//
// results/<case>/ holds out, err, status and elapsed_cs of each case and the
// files the case names; results/boardsim.jsonl is the simulator's journal of
// the board's serial lines and GPIO requests, one JSON object a line.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "boardsim/models/imx_bootstrap.h"
#include "support/text.h"

namespace kernel_test {

using test_support::slurp;

inline std::string kernel_dir() { return BOARD_KERNEL_DIR; }
inline std::string result(const std::string& path) { return kernel_dir() + "/results/" + path; }
// A one-line result file without its line end.
inline std::string result_word(const std::string& path) {
  std::string text = slurp(result(path));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}
inline int result_number(const std::string& path) {
  const std::string word = result_word(path);
  return word.empty() ? -1 : atoi(word.c_str());
}

// The traffic of one bring-up on the board's lines: the GPIO requests and
// the bytes each way on each serial port.
struct Traffic {
  std::string gpio;
  std::map<int, std::string> to_slave;
  std::map<int, std::string> from_slave;
};

// A field of a JSON line: the text between its quotes, or the number.
inline std::string json_field(const std::string& line, const std::string& field) {
  const std::string key = "\"" + field + "\":";
  const size_t at = line.find(key);
  if (at == std::string::npos) return "";
  size_t from = at + key.size();
  if (line[from] == '"') {
    ++from;
    return line.substr(from, line.find('"', from) - from);
  }
  return line.substr(from, line.find_first_of(",}", from) - from);
}

inline std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// The board's power-on (its start-up script) brings the slaves up first; the
// cases' bring-ups follow it in the journal.
constexpr size_t POWER_ON_BRING_UPS = 1;

// The board's bring-ups in the journal of the served lines, each from the
// request that pulls the slaves' reset line low to the next one.
inline std::vector<Traffic> bring_ups(const std::string& jsonl) {
  const std::string reset_low = "010000000000100000000000";
  std::vector<Traffic> found;
  std::istringstream in(jsonl);
  for (std::string line; std::getline(in, line);) {
    const std::string kind = json_field(line, "kind");
    if (kind == "gpio-write" && json_field(line, "tx") == reset_low) found.emplace_back();
    if (found.empty()) continue;
    Traffic& t = found.back();
    if (kind == "gpio-write") t.gpio += from_hex(json_field(line, "tx"));
    if (kind == "tty-out")
      t.to_slave[std::stoi(json_field(line, "port"))] += from_hex(json_field(line, "tx"));
    if (kind == "tty-in")
      t.from_slave[std::stoi(json_field(line, "port"))] += from_hex(json_field(line, "rx"));
  }
  return found;
}

inline Traffic traffic_of(const boardsim::Journal& journal) {
  Traffic t;
  t.gpio = journal.bytes_text(boardsim::EventKind::GpioWrite);
  for (const auto& e : journal.events()) {
    if (e.kind == boardsim::EventKind::SerialToSlave)
      t.to_slave[e.device].append(e.data.begin(), e.data.end());
    if (e.kind == boardsim::EventKind::SerialFromSlave)
      t.from_slave[e.device].append(e.data.begin(), e.data.end());
  }
  return t;
}

// A copy of the cases' inputs (run_vm.sh leaves them in DIR/work) in a
// directory of its own, removed with the object.
class WorkCopy {
 public:
  WorkCopy() {
    char templ[] = "/var/tmp/kernel-reference-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = templ;
    std::filesystem::copy(kernel_dir() + "/work", path_, std::filesystem::copy_options::recursive);
  }
  ~WorkCopy() { std::filesystem::remove_all(path_); }
  WorkCopy(const WorkCopy&) = delete;
  WorkCopy& operator=(const WorkCopy&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A program of this host build run on the simulated board from a copy of
// the inputs: the slave bootstrap on ttyS0, a silent one on ttyS1.
struct Reference {
  boardsim::RunResult result;
  Traffic traffic;
  std::string br;      // examples/firmware/uart_boot.br afterwards ("" when none)
  std::string output;  // the file named `output`, afterwards
};

// br_before: put there as examples/firmware/uart_boot.br first ("" none).
inline Reference on_simulated_board(const std::vector<std::string>& argv,
                                    const std::string& br_before = "",
                                    const std::string& output = "") {
  WorkCopy work;
  const std::string br_path = work.path() + "/examples/firmware/uart_boot.br";
  if (!br_before.empty()) std::ofstream(br_path, std::ios::binary) << br_before;
  boardsim::BoardConfig config;
  config.serial_ports = 2;
  boardsim::Board board(config);
  board.attach_serial(0, std::make_shared<boardsim::ImxBootstrap>());
  boardsim::ImxOptions silent;
  silent.silent = true;
  board.attach_serial(1, std::make_shared<boardsim::ImxBootstrap>(silent));
  boardsim::Command command;
  command.argv = argv;
  command.cwd = work.path();
  command.timeout_s = 120;
  Reference r;
  r.result = board.run(command);
  r.traffic = traffic_of(board.journal());
  r.br = slurp(br_path);
  if (!output.empty()) r.output = slurp(work.path() + "/" + output);
  return r;
}

}  // namespace kernel_test
