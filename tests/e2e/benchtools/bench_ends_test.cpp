// A bench far end built by name, as the boardsim command builds it, at work
// under fenwix; and every tool's device calls that the driver answers EAGAIN
// or EINTR. (The table of names and arguments is a unit test of the
// simulator: tests/unit/boardsim/bench_ends_test.cpp.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench_e2e.h"
#include "boardsim/models/registry.h"

namespace {

// The initial word given by name is the first thing fenwix logs.
TEST(BenchModelByName, LateLoopbackFirstWordReachesTheLog) {
  std::string error;
  boardsim::Board board;
  board.attach_spi(0, boardsim::make_spi_model("loopback-late", "first=ABCD", error));
  board.spi(0).bits_per_word = 16;
  const auto r = bench_e2e::run_tool(board, {"fenwix", "-s", "0", "-n", "4", "-d", "1"});
  EXPECT_EQ(r.out, "\nLoopback test of 4/4 bytes (16 bits data) --> PASSED\n");
  EXPECT_EQ(board.read_file("/tmp/fenwix.log"), "0xABCD\n0x0101\n");
}

// EAGAIN and EINTR are the answers a device call is made again for, as long
// as the device makes progress; a device that answers nothing else for 2 s
// fails the call as any other error does.
struct TransientCase {
  const char* name;
  const char* model;  // far end on chip select 1, by name
  boardsim::SpiOp op;
  boardsim::FaultKind kind;
  int count;  // answers in a row, from the first call of op
  std::vector<std::string> argv;
  const char* out;  // what standard output holds
  int status;
};

using boardsim::FaultKind;
using boardsim::SpiOp;

const TransientCase TRANSIENT_CASES[] = {
    {"brevik_write_eintr",
     "sink",
     SpiOp::Write,
     FaultKind::Eintr,
     3,
     {"brevik", "-s", "1", "-w", "4", "-r", "4", "-l", "1"},
     "loop 1 - wr 4 bytes\nloop 1 - rd 4 bytes\n",
     0},
    {"brevik_read_eagain",
     "sink",
     SpiOp::Read,
     FaultKind::Eagain,
     3,
     {"brevik", "-s", "1", "-w", "4", "-r", "4", "-l", "1"},
     "loop 1 - wr 4 bytes\nloop 1 - rd 4 bytes\n",
     0},
    {"dasmo_transfer_eintr",
     "loopback-same",
     SpiOp::Transfer,
     FaultKind::Eintr,
     2,
     {"dasmo", "-s", "1", "-i", "/tmp/in.bin", "-a"},
     "\nWrite/Read 4/4 bytes (8 bits data)\n0x01\n0x02\n0x03\n0x04\n",
     0},
    {"fenwix_transfer_eagain",
     "loopback-late",
     SpiOp::Transfer,
     FaultKind::Eagain,
     3,
     {"fenwix", "-s", "1", "-n", "8", "-d", "5A"},
     "\nLoopback test of 8/8 bytes (8 bits data) --> PASSED\n",
     0},
    {"quorla_write_eintr",
     "checksum",
     SpiOp::Write,
     FaultKind::Eintr,
     2,
     {"quorla", "-s", "1", "-n", "4"},
     "... PASSED (CRC 0x",
     0},
    {"quorla_read_eagain",
     "checksum",
     SpiOp::Read,
     FaultKind::Eagain,
     3,
     {"quorla", "-s", "1", "-n", "4"},
     "... PASSED (CRC 0x",
     0},
    // Far more refusals than 2 s hold: the call fails, it does not hang.
    {"brevik_write_eagain_without_end",
     "sink",
     SpiOp::Write,
     FaultKind::Eagain,
     1000000,
     {"brevik", "-s", "1", "-w", "4", "-r", "0", "-l", "1"},
     "loop 1 - wr 4 bytes\nwr error -1\n",
     255},
    {"dasmo_transfer_eagain_without_end",
     "sink",
     SpiOp::Transfer,
     FaultKind::Eagain,
     1000000,
     {"dasmo", "-s", "1", "-i", "/tmp/in.bin", "-a"},
     "\nWrite/Read 0/4 bytes (8 bits data)\n\n",
     0},
};

class BenchTransient : public ::testing::TestWithParam<TransientCase> {};

TEST_P(BenchTransient, IsAskedAgainWithinItsBound) {
  const TransientCase& c = GetParam();
  std::string error;
  boardsim::Board board;
  board.attach_spi(1, boardsim::make_spi_model(c.model, "", error));
  ASSERT_EQ(error, "");
  board.add_fault({1, c.op, 1, c.kind, c.count, 0});
  board.write_file("/tmp/in.bin", std::string("\x01\x02\x03\x04", 4));
  boardsim::Command command;
  command.argv = c.argv;
  command.cwd = "/tmp";
  command.timeout_s = 30;
  const auto r = board.run(command);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, c.status);
  if (c.argv[0] == "quorla") {
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
  } else {
    EXPECT_EQ(r.out, c.out);
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, BenchTransient, ::testing::ValuesIn(TRANSIENT_CASES),
                         [](const ::testing::TestParamInfo<TransientCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
