// A bench far end built by name, as the boardsim command builds it, at work
// under fenwix. (The table of names and arguments is a unit test of the
// simulator: tests/unit/boardsim/bench_ends_test.cpp.)
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
