// The simulated spidev driver as a program sees it through the preload shim
// (host build, or the ARM build under qemu-arm): settings that outlive the
// process, transfers and plain reads with the far end's bytes, the driver's
// refusals, injected faults, and the frame-buffer requests in the journal.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "support/text.h"

namespace {

using boardsim::Board;
using boardsim::BoardConfig;
using boardsim::Command;
using boardsim::EventKind;
using boardsim::FaultKind;
using boardsim::RunResult;
using boardsim::SpiFault;
using boardsim::SpiOp;
using Bytes = std::vector<uint8_t>;
using test_support::lines_of;

Command client(const std::vector<std::string>& words) {
  Command c;
  c.argv = {"spi_client"};
  c.argv.insert(c.argv.end(), words.begin(), words.end());
  c.timeout_s = 60;
  return c;
}

// The client's output line for a failed call.
std::string failed(const std::string& what, int err) {
  return what + " = -1 errno " + std::to_string(err);
}

std::vector<std::string> run_lines(Board& board, const std::vector<std::string>& words) {
  const RunResult r = board.run(client(words));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(r.timed_out);
  return lines_of(r.out);
}

TEST(SpidevOverShim, SettingsPersistAcrossProcesses) {
  Board board;
  run_lines(board, {"open", "2", "wr-bits", "16", "wr-mode", "3", "wr-speed", "400000", "close"});
  const auto second = run_lines(board, {"open", "2", "rd-bits", "rd-mode", "rd-speed", "close",
                                        "open", "3", "rd-bits", "rd-speed", "close"});
  const std::vector<std::string> want{
      "open 2 = ok",
      "rd-bits = 0 value 16",
      "rd-mode = 0 value 3",
      "rd-speed = 0 value 400000",
      "close = 0",
      "open 3 = ok",
      "rd-bits = 0 value 8",
      "rd-speed = 0 value " + std::to_string(BoardConfig{}.spi_default_speed_hz),
      "close = 0"};
  EXPECT_EQ(second, want);
  EXPECT_EQ(board.journal().of(EventKind::SpiOpen).size(), 3u);
  EXPECT_EQ(board.journal().of(EventKind::SpiClose).size(), 3u);
}

TEST(SpidevOverShim, TransferAndReadCarryTheFarEndsBytes) {
  Board board;
  board.scripted_spi(1).answers = {0xA1, 0xA2, 0xA3, 0xA4, 0xB1, 0xB2, 0xC1, 0xC2};
  const auto out = run_lines(
      board, {"open", "1", "wr-bits", "16", "msg", "4:0a0b0c0d", "read", "2", "msg",
              "2:-:bits=8:speed=300000:cs=1:delay=5,2:e0e1:norx", "write", "f0f1", "close"});
  const std::vector<std::string> want{
      "open 1 = ok",        "wr-bits = 0",      "msg = 4 rx0 a1a2a3a4",
      "read = 2 data b1b2", "msg = 4 rx0 c1c2", "write = 2",
      "close = 0"};
  EXPECT_EQ(out, want);
  EXPECT_EQ(board.scripted_spi(1).captured,
            (Bytes{0x0A, 0x0B, 0x0C, 0x0D, 0xE0, 0xE1, 0xF0, 0xF1}));

  const auto xfers = board.journal().of(EventKind::SpiTransfer, 1);
  ASSERT_EQ(xfers.size(), 3u);
  EXPECT_EQ(xfers[0].data, (Bytes{0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_EQ(xfers[0].rx, (Bytes{0xA1, 0xA2, 0xA3, 0xA4}));
  EXPECT_EQ(xfers[0].bits_per_word, 0);  // as the program gave them
  EXPECT_EQ(xfers[0].speed_hz, 0u);
  EXPECT_TRUE(xfers[1].data.empty());
  EXPECT_EQ(xfers[1].bits_per_word, 8);
  EXPECT_EQ(xfers[1].speed_hz, 300000u);
  EXPECT_EQ(xfers[1].cs_change, 1);
  EXPECT_EQ(xfers[1].delay_usecs, 5);
  EXPECT_TRUE(xfers[2].rx.empty());
  EXPECT_EQ(board.journal().bytes(EventKind::SpiRead, 1), (Bytes{0xB1, 0xB2}));
  EXPECT_EQ(board.journal().bytes(EventKind::SpiWrite, 1), (Bytes{0xF0, 0xF1}));

  // Every call of the one process carries its PID.
  const auto& events = board.journal().events();
  ASSERT_FALSE(events.empty());
  for (const auto& e : events) {
    if (e.kind == EventKind::SpiOpen || e.kind == EventKind::SpiIoctl ||
        e.kind == EventKind::SpiRead) {
      EXPECT_GT(e.pid, 0);
      EXPECT_EQ(e.pid, events.front().pid);
    }
  }
}

struct RefusalCase {
  const char* name;
  std::vector<std::string> words;  // after "open 0"
  std::string last_line;
};

class SpidevRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(SpidevRefusals, DriverAnswerReachesTheProgram) {
  Board board;
  const auto& c = GetParam();
  std::vector<std::string> words{"open", "0"};
  words.insert(words.end(), c.words.begin(), c.words.end());
  const auto out = run_lines(board, words);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), c.last_line);
  if (c.last_line.find("errno") != std::string::npos) {
    EXPECT_TRUE(board.scripted_spi(0).captured.empty());  // nothing went out
  }
}

INSTANTIATE_TEST_SUITE_P(
    Driver, SpidevRefusals,
    ::testing::Values(
        RefusalCase{"OddReadAt16Bits", {"wr-bits", "16", "read", "3"}, failed("read", EINVAL)},
        RefusalCase{
            "OddWriteAt16Bits", {"wr-bits", "16", "write", "010203"}, failed("write", EINVAL)},
        RefusalCase{
            "OddTransferAt16Bits", {"wr-bits", "16", "msg", "3:010203"}, failed("msg", EINVAL)},
        RefusalCase{"ReadAboveBuffer", {"read", "4097"}, failed("read", EMSGSIZE)},
        RefusalCase{"WriteAboveBuffer", {"write", "fill4097"}, failed("write", EMSGSIZE)},
        RefusalCase{"TransferAboveBuffer", {"msg", "4097:-"}, failed("msg", EMSGSIZE)},
        RefusalCase{"UnsupportedModeBit", {"wr-mode", "64"}, failed("wr-mode", EINVAL)},
        RefusalCase{"UnsupportedWordSize", {"wr-bits", "17"}, failed("wr-bits", EINVAL)},
        RefusalCase{
            "TransferUnsupportedWordSize", {"msg", "4:01020304:bits=20"}, failed("msg", EINVAL)},
        RefusalCase{"SpeedReadsBackClamped",
                    {"wr-speed", "90000000", "rd-speed"},
                    "rd-speed = 0 value " + std::to_string(BoardConfig{}.spi_controller_max_hz)},
        RefusalCase{"ZeroBitsMeansEight",
                    {"wr-bits", "16", "wr-bits", "0", "rd-bits"},
                    "rd-bits = 0 value 8"},
        RefusalCase{"UnknownRequest", {"ioctl", "80016b09"}, failed("ioctl", ENOTTY)},
        RefusalCase{"MessageOfPartialRecords", {"ioctl", "40286b00"}, failed("ioctl", EINVAL)},
        RefusalCase{"WholeBufferIsAccepted",
                    {"msg", "4096:-"},
                    "msg = 4096 rx0 " + std::string(8192, '0')}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SpidevOverShim, MissingDeviceCannotBeOpened) {
  Board board;
  board.spi(3).present = false;
  const auto out = run_lines(board, {"open", "3", "open", "5", "open", "12"});
  const std::vector<std::string> want{"open 3 = -1 errno " + std::to_string(ENOENT),
                                      "open 5 = -1 errno " + std::to_string(ENOENT),
                                      "open 12 = -1 errno " + std::to_string(ENOENT)};
  EXPECT_EQ(out, want);
}

struct FaultCase {
  const char* name;
  SpiFault fault;
  std::vector<std::string> words;  // after "open 0"
  std::vector<std::string> want;   // the lines after "open 0 = ok"
};

SpiFault fault(SpiOp op, FaultKind kind, int nth, int count = 1) {
  SpiFault f;
  f.device = 0;
  f.op = op;
  f.kind = kind;
  f.nth = nth;
  f.count = count;
  return f;
}

class SpidevFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SpidevFaults, InjectedFaultReachesTheProgramEachRun) {
  Board board;
  board.add_fault(GetParam().fault);
  std::vector<std::string> words{"open", "0"};
  words.insert(words.end(), GetParam().words.begin(), GetParam().words.end());
  for (int run = 0; run < 2; ++run) {  // the call count starts again with each command
    board.scripted_spi(0).answers = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
    auto out = run_lines(board, words);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.front(), "open 0 = ok");
    out.erase(out.begin());
    EXPECT_EQ(out, GetParam().want) << "run " << run;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Injected, SpidevFaults,
    ::testing::Values(FaultCase{"EioOnSecondRead",
                                fault(SpiOp::Read, FaultKind::Eio, 2),
                                {"read", "2", "read", "2", "read", "2"},
                                {"read = 2 data a1a2", failed("read", EIO), "read = 2 data a3a4"}},
                      FaultCase{"EioOnWrite",
                                fault(SpiOp::Write, FaultKind::Eio, 1),
                                {"write", "0102"},
                                {failed("write", EIO)}},
                      FaultCase{"ShortWrite",
                                fault(SpiOp::Write, FaultKind::Short, 1),
                                {"write", "01020304"},
                                {"write = 2"}},
                      FaultCase{"ShortRead",
                                fault(SpiOp::Read, FaultKind::Short, 1),
                                {"read", "4", "read", "2"},
                                {"read = 2 data a1a2", "read = 2 data a3a4"}},
                      FaultCase{"ShortTransferLeavesTheRestOfTheBuffer",
                                fault(SpiOp::Transfer, FaultKind::Short, 1),
                                {"msg", "4:01020304"},
                                {"msg = 2 rx0 a1a23f3f"}},
                      FaultCase{"EagainRunOnTransfers",
                                fault(SpiOp::Transfer, FaultKind::Eagain, 1, 2),
                                {"msg", "2:0102", "msg", "2:0102", "msg", "2:0102"},
                                {failed("msg", EAGAIN), failed("msg", EAGAIN), "msg = 2 rx0 a1a2"}},
                      FaultCase{"EintrRunOnReads",
                                fault(SpiOp::Read, FaultKind::Eintr, 2, 2),
                                {"read", "1", "read", "1", "read", "1", "read", "1"},
                                {"read = 1 data a1", failed("read", EINTR), failed("read", EINTR),
                                 "read = 1 data a2"}},
                      FaultCase{"EagainOnceOnWrite",
                                fault(SpiOp::Write, FaultKind::Eagain, 1),
                                {"write", "01", "write", "02"},
                                {failed("write", EAGAIN), "write = 1"}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SpidevOverShim, ShortWriteGivesTheFarEndOnlyWhatMoved) {
  Board board;
  board.add_fault(fault(SpiOp::Write, FaultKind::Short, 1));
  run_lines(board, {"open", "0", "write", "01020304", "write", "0506"});
  EXPECT_EQ(board.scripted_spi(0).captured, (Bytes{0x01, 0x02, 0x05, 0x06}));
}

TEST(SpidevOverShim, FrameBufferRequestsAreAnsweredAndJournalled) {
  Board board;
  const auto out = run_lines(board, {"fb-open", "fb-ioctl", "40046706", "37", "fb-write", "c0ffee",
                                     "fb-ioctl", "6704", "fb-close"});
  const std::vector<std::string> want{"fb-open = 0", "fb-ioctl = 0", "fb-write = 3", "fb-ioctl = 0",
                                      "fb-close = 0"};
  EXPECT_EQ(out, want);
  const auto requests = board.journal().of(EventKind::FbIoctl);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].request, 0x40046706u);
  EXPECT_TRUE(requests[0].has_value);
  EXPECT_EQ(requests[0].value, 37);
  EXPECT_EQ(requests[1].request, 0x6704u);
  EXPECT_FALSE(requests[1].has_value);
  EXPECT_EQ(board.journal().bytes(EventKind::FbWrite), (Bytes{0xC0, 0xFF, 0xEE}));
  EXPECT_EQ(board.read_file("/dev/fb0").substr(0, 3), "\xC0\xFF\xEE");
  EXPECT_TRUE(board.journal().of(EventKind::SpiOpen).empty());
}

}  // namespace
