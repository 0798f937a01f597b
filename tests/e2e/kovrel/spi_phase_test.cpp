// kovrel's SPI phase on the simulated board with the sound-module model:
// the set-up over the five chip selects, the module search, the frames as
// they reach the wire, the checksum report, and the faults of the driver.
#include <gtest/gtest.h>
#include <linux/spi/spidev.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "boardsim/models/sound_modules.h"
#include "support/bytes.h"
#include "support/kovrel_console.h"

namespace {

using boardsim::Board;
using boardsim::BoardConfig;
using boardsim::Command;
using boardsim::Event;
using boardsim::EventKind;
using boardsim::FaultKind;
using boardsim::RunResult;
using boardsim::SoundModules;
using boardsim::SpiFault;
using boardsim::SpiOp;
using Bytes = std::vector<uint8_t>;
using test_support::banner;
using test_support::failed_report;
using test_support::le32_at;

const std::string JOB_PATH = "/tmp/spi_job.txt";

// The echo of a job line: the line keeps its own line end, then one more.
std::string echo(const std::string& job_line) { return banner(job_line + "\n"); }
const std::string FAILED_REPORT = failed_report();

std::string device_name(int n) { return "/dev/spidev2." + std::to_string(n); }

// Deterministic file contents that differ from byte to byte and from file to
// file, so a misplaced or repeated piece shows.
Bytes pattern(size_t size, uint8_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return b;
}

// The checksum by its definition: 16-bit words, low byte first, 32-bit sum.
uint32_t word_sum(const Bytes& data) {
  uint64_t sum = 0;
  for (size_t i = 0; i + 1 < data.size(); i += 2) sum += data[i] | (data[i + 1] << 8);
  return static_cast<uint32_t>(sum);
}

struct WireFrame {
  uint32_t address = 0, size = 0, checksum = 0;
  Bytes data;
};

// Splits what reached one chip select into frames, whatever the write sizes.
std::vector<WireFrame> frames_on_wire(const Bytes& wire) {
  std::vector<WireFrame> frames;
  size_t at = 0;
  while (at + 12 <= wire.size()) {
    WireFrame f;
    f.address = le32_at(&wire[at]);
    f.size = le32_at(&wire[at + 4]);
    f.checksum = le32_at(&wire[at + 8]);
    at += 12;
    size_t n = std::min<size_t>(f.size, wire.size() - at);
    f.data.assign(wire.begin() + static_cast<long>(at), wire.begin() + static_cast<long>(at + n));
    at += n;
    frames.push_back(f);
  }
  EXPECT_EQ(at, wire.size()) << "bytes left after the last whole frame";
  return frames;
}

class SpiPhase : public testing::Test {
 protected:
  void make_board(const std::string& modules, BoardConfig config = {}) {
    board_ = std::make_unique<Board>(config);
    std::string error;
    modules_ = boardsim::make_sound_modules(modules, error);
    ASSERT_NE(modules_, nullptr) << error;
    for (int d = 0; d < 5; ++d) board_->attach_spi(d, modules_);
  }

  void put_file(const std::string& path, const Bytes& content) {
    board_->write_file(path, std::string(content.begin(), content.end()));
  }

  RunResult run_kovrel(int verbosity, const std::string& job_path = JOB_PATH) {
    Command c;
    c.argv = {"kovrel", "-v", std::to_string(verbosity), "-s", job_path};
    return board_->run(c);
  }

  RunResult run_job(const std::string& job, int verbosity = 0) {
    board_->write_file(JOB_PATH, job);
    return run_kovrel(verbosity);
  }

  std::vector<Event> ioctls() const { return board_->journal().of(EventKind::SpiIoctl); }
  Bytes wire(int device) const { return board_->journal().bytes(EventKind::SpiWrite, device); }

  std::unique_ptr<Board> board_;
  std::shared_ptr<SoundModules> modules_;
};

// Tests that assert on real time: the ctest label timing runs them one at a
// time.
class SpiPhaseTiming : public SpiPhase {};

// --- Set-up and module search -----------------------------------------------

struct IoctlStep {
  int device;
  uint32_t request;
  int64_t value;
};

std::vector<IoctlStep> steps_of(const std::vector<Event>& events) {
  std::vector<IoctlStep> steps;
  for (const Event& e : events) steps.push_back({e.device, e.request, e.value});
  return steps;
}

bool operator==(const IoctlStep& a, const IoctlStep& b) {
  return a.device == b.device && a.request == b.request && a.value == b.value;
}

void PrintTo(const IoctlStep& s, std::ostream* os) {
  *os << "{dev " << s.device << ", req 0x" << std::hex << s.request << std::dec << ", " << s.value
      << "}";
}

// The controller's maximum decides what each device reads back; the speed
// read back from one device is the speed asked of the next.
struct SetupCase {
  const char* name;
  uint32_t controller_max_hz;
  uint32_t first_asked;  // always the default 100000
  uint32_t reported;
};

class SpiSetup : public SpiPhase, public testing::WithParamInterface<SetupCase> {};

TEST_P(SpiSetup, SpeedThenSixteenBitsOnEveryDeviceInOrder) {
  const SetupCase& c = GetParam();
  BoardConfig config;
  config.spi_controller_max_hz = c.controller_max_hz;
  make_board("0=2", config);
  RunResult r = run_job("", 2);
  ASSERT_EQ(r.status, 0) << r.err;

  std::vector<IoctlStep> expected;
  for (int d = 0; d < 5; ++d) {
    expected.push_back({d, SPI_IOC_WR_MAX_SPEED_HZ, d == 0 ? c.first_asked : c.reported});
    expected.push_back({d, SPI_IOC_RD_MAX_SPEED_HZ, c.reported});
  }
  for (int d = 0; d < 5; ++d) expected.push_back({d, SPI_IOC_WR_BITS_PER_WORD, 16});
  EXPECT_EQ(steps_of(ioctls()), expected);
  for (int d = 0; d < 5; ++d) EXPECT_EQ(board_->spi(d).bits_per_word, 16) << d;

  std::string expected_err;
  for (int d = 0; d < 5; ++d) {
    expected_err += "\t<" + device_name(d) + "> speed = " + std::to_string(c.reported) + " Hz\n";
  }
  expected_err += banner("Set default fixed SPI bits per word\n\n");
  for (int d = 0; d < 5; ++d) expected_err += "\t<" + device_name(d) + "> bits per word = 16\n";
  expected_err += banner("Searching sound modules ...\n\n");
  expected_err += banner("PROCESSING <" + JOB_PATH + "> ...\n\n") + banner("... DONE\n\n");
  EXPECT_EQ(r.err, expected_err);
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, SpiSetup,
    testing::Values(SetupCase{"default_kept", 24000000, 100000, 100000},
                    SetupCase{"controller_below_default", 50000, 100000, 50000},
                    SetupCase{"controller_just_below", 99999, 100000, 99999}),
    [](const testing::TestParamInfo<SetupCase>& param_info) { return param_info.param.name; });

TEST_F(SpiPhase, EveryDeviceIsOpenedForOneOperationAndClosed) {
  make_board("0=2,2=4");
  RunResult r = run_job("");
  ASSERT_EQ(r.status, 0) << r.err;
  // The five devices opened first, for the phase's lock, and closed at its
  // end; between them speed and bits per word on five devices and the search
  // on four slots, one device open at a time.
  const auto& journal = board_->journal();
  EXPECT_EQ(journal.of(EventKind::SpiOpen).size(), 5u + 14u);
  EXPECT_EQ(journal.of(EventKind::SpiClose).size(), 5u + 14u);
  std::vector<Event> opens_and_closes;
  for (const Event& e : journal.events()) {
    if (e.kind == EventKind::SpiOpen || e.kind == EventKind::SpiClose)
      opens_and_closes.push_back(e);
  }
  ASSERT_EQ(opens_and_closes.size(), 2 * (5u + 14u));
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(opens_and_closes[i].kind, EventKind::SpiOpen) << i;
    EXPECT_EQ(opens_and_closes[i].device, static_cast<int>(i));
  }
  // The simulator sees a close when it notices the connection end, so the
  // locks' closes may come among the last operation's.
  int open_device = -1;
  size_t lock_closes = 0;
  for (size_t i = 5; i < opens_and_closes.size(); ++i) {
    const Event& e = opens_and_closes[i];
    if (e.kind == EventKind::SpiOpen) {
      EXPECT_EQ(open_device, -1) << "a device opened while another is open";
      EXPECT_EQ(lock_closes, 0u) << "a device opened after the locks were given back";
      open_device = e.device;
    } else if (e.device == open_device) {
      open_device = -1;
    } else {
      ++lock_closes;
    }
  }
  EXPECT_EQ(lock_closes, 5u);
  std::vector<Event> reads = journal.of(EventKind::SpiRead);
  ASSERT_EQ(reads.size(), 4u);
  for (int slot = 0; slot < 4; ++slot) {
    EXPECT_EQ(reads[static_cast<size_t>(slot)].device, slot);
    EXPECT_EQ(reads[static_cast<size_t>(slot)].data.size(), 2u);
  }
}

// No slot answering 1 to 4: the set-up fails before the job file is opened
// (it does not even exist here).
class NoModule : public SpiPhase, public testing::WithParamInterface<const char*> {};

TEST_P(NoModule, EndsBeforeTheJob) {
  make_board(GetParam());
  RunResult r = run_kovrel(0, "/tmp/no_such_job.txt");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "\nERROR : No sound module found\n");
  EXPECT_TRUE(board_->journal().of(EventKind::SpiWrite).empty());
}

INSTANTIATE_TEST_SUITE_P(Answers, NoModule,
                         testing::Values("", "answer=0:0,answer=1:5,answer=2:0xFFFF,answer=3:0",
                                         "0=2,answer=0:5", "3=4,answer=3:0xFFFF"));

// A module name whose slot the search did not find is refused by the reader
// without a message of its own: only the failure banner, nothing sent.
class AbsentModule : public SpiPhase, public testing::WithParamInterface<const char*> {};

TEST_P(AbsentModule, FailsWithOnlyTheBanner) {
  make_board("2=2,answer=3:5");
  put_file("/tmp/p.bin", pattern(8, 1));
  RunResult r = run_job(std::string("BIN_FILE 0x00001000 /tmp/p.bin ") + GetParam() + "\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, FAILED_REPORT);
  EXPECT_TRUE(board_->journal().of(EventKind::SpiWrite).empty());
}

INSTANTIATE_TEST_SUITE_P(Slots, AbsentModule, testing::Values("M0", "M1", "M3"));

// --- Frames on the wire ----------------------------------------------------

TEST_F(SpiPhase, FourByteFrameHeaderThenDataInTwoWrites) {
  make_board("0=2");
  put_file("/tmp/p.bin", {0x01, 0x02, 0x03, 0x04});
  RunResult r = run_job("BIN_FILE 0x0000100E /tmp/p.bin M0\n");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<Event> writes = board_->journal().of(EventKind::SpiWrite);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].device, 0);
  EXPECT_EQ(writes[0].data,
            (Bytes{0x0E, 0x10, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04, 0x06, 0x00, 0x00}));
  EXPECT_EQ(writes[1].data, (Bytes{0x01, 0x02, 0x03, 0x04}));
  ASSERT_EQ(modules_->module(0).frames.size(), 1u);
  EXPECT_TRUE(modules_->module(0).frames[0].verified);
}

struct DownloadCase {
  const char* name;
  size_t file_size;
  const char* module;
  int device;
  std::vector<int> slots;  // modules that must hold the file afterwards
  uint32_t address;
  std::vector<std::pair<uint32_t, uint32_t>> frames;  // address, size
};

class Download : public SpiPhase, public testing::WithParamInterface<DownloadCase> {};

TEST_P(Download, FramesAtConsecutiveAddresses) {
  const DownloadCase& c = GetParam();
  make_board("0=2,2=4");
  const Bytes file = pattern(c.file_size, 0x5A);
  put_file("/tmp/prog.bin", file);
  char line[96];
  snprintf(line, sizeof line, "BIN_FILE 0x%08X /tmp/prog.bin %s\n", c.address, c.module);
  RunResult r = run_job(line);
  ASSERT_EQ(r.status, 0) << r.err;

  for (int d = 0; d < 5; ++d) {
    if (d != c.device) {
      EXPECT_TRUE(wire(d).empty()) << d;
    }
  }
  std::vector<WireFrame> frames = frames_on_wire(wire(c.device));
  ASSERT_EQ(frames.size(), c.frames.size());
  Bytes sent;
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].address, c.frames[i].first) << i;
    EXPECT_EQ(frames[i].size, c.frames[i].second) << i;
    EXPECT_EQ(frames[i].data.size(), c.frames[i].second) << i;
    EXPECT_EQ(frames[i].checksum, word_sum(frames[i].data)) << i;
    sent.insert(sent.end(), frames[i].data.begin(), frames[i].data.end());
  }
  // The file, and one fill byte 0 when its size is odd.
  Bytes padded = file;
  if (padded.size() % 2 != 0) padded.push_back(0);
  EXPECT_EQ(sent, padded);
  for (int slot : c.slots) {
    EXPECT_EQ(modules_->memory(slot, c.address, file.size()), file) << slot;
    EXPECT_EQ(modules_->bytes_written(slot), padded.size()) << slot;
    for (const auto& f : modules_->module(slot).frames) EXPECT_TRUE(f.verified) << slot;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, Download,
    testing::Values(
        DownloadCase{"five_thousand_to_m2",
                     5000,
                     "M2",
                     2,
                     {2},
                     0x0000100E,
                     {{0x0000100E, 4096}, {0x0000200E, 904}}},
        DownloadCase{"one_over_a_frame_broadcast",
                     4097,
                     "ALL",
                     4,
                     {0, 2},
                     0x00001000,
                     {{0x00001000, 4096}, {0x00002000, 2}}},
        DownloadCase{"exactly_one_frame", 4096, "M0", 0, {0}, 0x00040000, {{0x00040000, 4096}}},
        DownloadCase{"one_byte", 1, "M0", 0, {0}, 0x00000010, {{0x00000010, 2}}},
        DownloadCase{"empty_file", 0, "ALL", 4, {}, 0x00001000, {}},
        DownloadCase{"odd_address_accepted", 6, "M2", 2, {2}, 0x00001001, {{0x00001001, 6}}}),
    [](const testing::TestParamInfo<DownloadCase>& param_info) { return param_info.param.name; });

TEST_F(SpiPhase, LastFrameOfOddFileCarriesLastByteAndFill) {
  make_board("0=2");
  Bytes file = pattern(4097, 3);
  file.back() = 0xC5;
  put_file("/tmp/prog.bin", file);
  RunResult r = run_job("BIN_FILE 0x00001000 /tmp/prog.bin M0\n");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<WireFrame> frames = frames_on_wire(wire(0));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].data, (Bytes{0xC5, 0x00}));
  EXPECT_EQ(frames[1].checksum, 0xC5u);
}

struct JumpCase {
  const char* name;
  size_t file_size;   // 0: no download before the jump
  uint32_t checksum;  // what the jump frame must carry
};

class JumpFrame : public SpiPhase, public testing::WithParamInterface<JumpCase> {};

TEST_P(JumpFrame, CarriesTheLastFramesChecksum) {
  const JumpCase& c = GetParam();
  make_board("0=2");
  Bytes file(c.file_size, 0x00);
  // Last frame (bytes 4096..) holds the words 0x0102 and 0x0304 when present.
  if (c.file_size > 4096) {
    file[4096] = 0x02;
    file[4097] = 0x01;
    file[4098] = 0x04;
    file[4099] = 0x03;
  }
  if (!file.empty()) file[0] = 0xFF;  // in the first frame, not the last
  put_file("/tmp/prog.bin", file);
  std::string job = c.file_size > 0 ? "BIN_FILE 0x00001000 /tmp/prog.bin M0\n" : "";
  RunResult r = run_job(job + "JUMP 0x00001000 M0\n");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<WireFrame> frames = frames_on_wire(wire(0));
  ASSERT_FALSE(frames.empty());
  const WireFrame& jump = frames.back();
  EXPECT_EQ(jump.address, 0x00001000u);
  EXPECT_EQ(jump.size, 0u);
  EXPECT_EQ(jump.checksum, c.checksum);
}

INSTANTIATE_TEST_SUITE_P(Checksums, JumpFrame,
                         testing::Values(JumpCase{"no_earlier_frame", 0, 0},
                                         JumpCase{"after_two_frames", 4100, 0x0102 + 0x0304}),
                         [](const testing::TestParamInfo<JumpCase>& param_info) {
                           return param_info.param.name;
                         });

// --- Checksum report -----------------------------------------------------------

struct ReportCase {
  const char* name;
  const char* modules;  // a module in slot 1
  const char* row;      // slot 1's row after "DEBUG : "
  bool pass;
};

class ChecksumReport : public SpiPhase, public testing::WithParamInterface<ReportCase> {};

TEST_P(ChecksumReport, RowAndVerdict) {
  const ReportCase& c = GetParam();
  make_board(c.modules);
  RunResult r = run_job("JUMP 0x00001000 M1\n");
  const std::string table = std::string("DEBUG : Slot# DSP# MiMX SiMX\n") +
                            "DEBUG :     0    0   --   --\n" + "DEBUG : " + c.row + "\n" +
                            "DEBUG :     2    0   --   --\n" + "DEBUG :     3    0   --   --\n";
  EXPECT_EQ(r.err, table + (c.pass ? "" : FAILED_REPORT));
  EXPECT_EQ(r.status, c.pass ? 0 : 255);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ChecksumReport,
    testing::Values(
        ReportCase{"one_dsp_ok", "1=1", "    1    1   OK   --", true},
        ReportCase{"two_dsps_ok", "1=2", "    1    2   OK   --", true},
        ReportCase{"two_dsps_ko", "1=2,fail=1:1", "    1    2   KO   --", false},
        ReportCase{"one_dsp_answer_0", "1=1,checksum=1:0", "    1    1   KO   --", false},
        ReportCase{"two_dsps_answer_2", "1=2,checksum=1:2", "    1    2   ??   --", false},
        ReportCase{"two_dsps_answer_3", "1=2,checksum=1:3", "    1    2   ??   --", false},
        ReportCase{"one_dsp_answer_ffff", "1=1,checksum=1:0xFFFF", "    1    1   ??   --", false},
        ReportCase{"three_dsps_both_ko", "1=3,fail=1:1,fail=1:2", "    1    3   KO   KO", false},
        ReportCase{"three_dsps_second_ko", "1=3,fail=1:2", "    1    3   OK   KO", false},
        ReportCase{"four_dsps_first_ko", "1=4,fail=1:1", "    1    4   KO   OK", false},
        ReportCase{"four_dsps_ok", "1=4", "    1    4   OK   OK", true},
        ReportCase{"three_dsps_ok", "1=3", "    1    3   OK   OK", true},
        ReportCase{"four_dsps_answer_4", "1=4,checksum=1:4", "    1    4   ??   ??", false},
        ReportCase{"three_dsps_answer_ffff", "1=3,checksum=1:0xFFFF", "    1    3   ??   ??",
                   false}),
    [](const testing::TestParamInfo<ReportCase>& param_info) { return param_info.param.name; });

// A jump to one module goes to its chip select alone: after a broadcast
// download the other modules, still waiting for their jump, answer that
// nothing verified, whatever their DSP count.
struct OneJumpCase {
  int slot;
  int dsps;  // in every slot
};

class JumpToOneModule : public SpiPhase, public testing::WithParamInterface<OneJumpCase> {};

TEST_P(JumpToOneModule, ReachesThatChipSelectAlone) {
  const OneJumpCase& c = GetParam();
  const std::string dsps = std::to_string(c.dsps);
  make_board("0=" + dsps + ",1=" + dsps + ",2=" + dsps + ",3=" + dsps);
  put_file("/tmp/prog.bin", pattern(300, 11));
  RunResult r = run_job("BIN_FILE 0x00001000 /tmp/prog.bin ALL\nJUMP 0x00001000 M" +
                        std::to_string(c.slot) + "\n");
  std::string table = "DEBUG : Slot# DSP# MiMX SiMX\n";
  for (int slot = 0; slot < 4; ++slot) {
    const char* verdict = slot == c.slot ? "OK" : "KO";
    const char* second = c.dsps > 2 ? verdict : "--";
    table += "DEBUG :     " + std::to_string(slot) + "    " + dsps + "   " + verdict + "   " +
             second + "\n";
  }
  EXPECT_EQ(r.err, table + FAILED_REPORT);
  EXPECT_EQ(r.status, 255);
  for (int device = 0; device < 5; ++device) {
    const std::vector<WireFrame> frames = frames_on_wire(wire(device));
    const bool jump_here = !frames.empty() && frames.back().size == 0;
    EXPECT_EQ(jump_here, device == c.slot) << device;
    if (device < 4) {
      EXPECT_EQ(modules_->module(device).jumped, device == c.slot) << device;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Slots, JumpToOneModule,
                         testing::Values(OneJumpCase{0, 1}, OneJumpCase{1, 1}, OneJumpCase{2, 1},
                                         OneJumpCase{3, 1}, OneJumpCase{0, 3}, OneJumpCase{1, 3},
                                         OneJumpCase{2, 3}, OneJumpCase{3, 3}),
                         [](const testing::TestParamInfo<OneJumpCase>& param_info) {
                           return "M" + std::to_string(param_info.param.slot) + "_dsps" +
                                  std::to_string(param_info.param.dsps);
                         });

// A broadcast jump reads every present slot, and only those, once the
// modules have had their 10 ms; a failing row does not stop the table.
TEST_F(SpiPhaseTiming, BroadcastJumpReadsEveryPresentSlot) {
  make_board("0=2,2=4,fail=2:2");
  put_file("/tmp/prog.bin", pattern(300, 9));
  RunResult r = run_job("BIN_FILE 0x00001000 /tmp/prog.bin ALL\nJUMP 0x00001000 ALL\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "DEBUG : Slot# DSP# MiMX SiMX\n"
            "DEBUG :     0    2   OK   --\n"
            "DEBUG :     1    0   --   --\n"
            "DEBUG :     2    4   OK   KO\n"
            "DEBUG :     3    0   --   --\n" +
                FAILED_REPORT);
  const auto& events = board_->journal().events();
  size_t jump = events.size();
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].kind == EventKind::SpiWrite && events[i].data.size() == 12 &&
        le32_at(&events[i].data[4]) == 0) {
      jump = i;
    }
  }
  ASSERT_LT(jump, events.size());
  EXPECT_EQ(events[jump].device, 4);
  std::vector<int> read_devices;
  for (size_t i = jump; i < events.size(); ++i) {
    if (events[i].kind != EventKind::SpiRead) continue;
    read_devices.push_back(events[i].device);
    EXPECT_GE(events[i].t_ns - events[jump].t_ns, 10000000u) << "read before the 10 ms pause";
  }
  EXPECT_EQ(read_devices, (std::vector<int>{0, 2}));
}

// --- Settings and verbose output -------------------------------------------

TEST_F(SpiPhase, BitRateAndModeReachAllFiveDevices) {
  make_board("2=2");
  RunResult r = run_job("BIT_RATE 2000000\nMODE 3\n", 2);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<IoctlStep> after_setup;
  std::vector<IoctlStep> all = steps_of(ioctls());
  ASSERT_GE(all.size(), 15u);
  after_setup.assign(all.begin() + 15, all.end());
  std::vector<IoctlStep> expected;
  for (int d = 0; d < 5; ++d) {
    expected.push_back({d, SPI_IOC_WR_MAX_SPEED_HZ, 2000000});
    expected.push_back({d, SPI_IOC_RD_MAX_SPEED_HZ, 2000000});
  }
  for (int d = 0; d < 5; ++d) expected.push_back({d, SPI_IOC_WR_MODE, 3});
  EXPECT_EQ(after_setup, expected);
  std::string speeds, modes;
  for (int d = 0; d < 5; ++d) {
    speeds += "\t<" + device_name(d) + "> speed = 2000000 Hz\n";
    modes += "\t<" + device_name(d) + "> clock mode = 3\n";
    EXPECT_EQ(board_->spi(d).mode, 3u) << d;
  }
  EXPECT_NE(r.err.find(echo("BIT_RATE 2000000\n") + speeds), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(echo("MODE 3\n") + modes), std::string::npos) << r.err;
}

struct VerboseCase {
  const char* name;
  int verbosity;
  bool shown;
};

class FrameOutput : public SpiPhase, public testing::WithParamInterface<VerboseCase> {};

TEST_P(FrameOutput, DownloadLineAndDumpOnlyInSpiVerboseMode) {
  const VerboseCase& c = GetParam();
  make_board("0=2");
  Bytes file(20);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(0xA0 + i);
  put_file("/tmp/prog.bin", file);
  RunResult r = run_job("BIN_FILE 0x0000100E /tmp/prog.bin M0\n", c.verbosity);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string frame_text =
      "\tDownload: address = 0000100E - size = 20 bytes\n"
      "\t0000100E  A0 A1 A2 A3 A4 A5 A6 A7   A8 A9 AA AB AC AD AE AF\n"
      "\t0000101E  B0 B1 B2 B3\n";
  if (c.shown) {
    EXPECT_NE(r.err.find(echo("BIN_FILE 0x0000100E /tmp/prog.bin M0\n") + frame_text +
                         banner("... DONE\n\n")),
              std::string::npos)
        << r.err;
  } else {
    EXPECT_EQ(r.err, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Verbosity, FrameOutput,
                         testing::Values(VerboseCase{"silent", 0, false},
                                         VerboseCase{"uart_only", 1, false},
                                         VerboseCase{"spi", 2, true}, VerboseCase{"both", 3, true}),
                         [](const testing::TestParamInfo<VerboseCase>& param_info) {
                           return param_info.param.name;
                         });

// WAIT pauses its milliseconds from what came before it, a frame or a
// setting: the jump frame leaves no earlier than that after the last byte of
// the download, or after the last device's request of a BIT_RATE or MODE.
struct WaitCase {
  const char* name;
  const char* job;
  bool after_setting;  // counted from the last ioctl rather than the last frame
  uint64_t wait_ms;
};

class SpiWaitTiming : public SpiPhaseTiming, public testing::WithParamInterface<WaitCase> {};

TEST_P(SpiWaitTiming, WaitPausesFromWhatCameBefore) {
  const WaitCase& c = GetParam();
  make_board("0=2");
  put_file("/tmp/prog.bin", pattern(8, 6));
  RunResult r = run_job(c.job);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<Event> writes = board_->journal().of(EventKind::SpiWrite);
  ASSERT_EQ(writes.size(), 3u);  // header, data, jump frame
  EXPECT_EQ(le32_at(&writes[2].data[4]), 0u) << "the last write is the jump frame";
  uint64_t origin_ns = writes[1].t_ns;
  if (c.after_setting) origin_ns = ioctls().back().t_ns;
  EXPECT_GE(writes[2].t_ns - origin_ns, c.wait_ms * 1000000u) << "jump sent before the wait";
}

INSTANTIATE_TEST_SUITE_P(
    Waits, SpiWaitTiming,
    testing::Values(
        WaitCase{"AfterADownload",
                 "BIN_FILE 0x00001000 /tmp/prog.bin M0\nWAIT 100\nJUMP 0x00001000 M0\n", false,
                 100},
        WaitCase{"AfterAModeChange",
                 "BIN_FILE 0x00001000 /tmp/prog.bin M0\nMODE 0\nWAIT 2\nJUMP 0x00001000 M0\n", true,
                 2},
        WaitCase{"AfterABitRate",
                 "BIN_FILE 0x00001000 /tmp/prog.bin M0\nBIT_RATE 100000\nWAIT 2\n"
                 "JUMP 0x00001000 M0\n",
                 true, 2}),
    [](const testing::TestParamInfo<WaitCase>& param_info) { return param_info.param.name; });

TEST_F(SpiPhase, JumpShowsOnlyItsLineAndTheBanner) {
  make_board("0=2");
  RunResult r = run_job("JUMP 0x00001000 M0\n", 2);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(echo("JUMP 0x00001000 M0\n") + "\tJump:     address = 00001000" +
                       banner("Verifying checksum ...\n\n") + "DEBUG : Slot# DSP# MiMX SiMX\n"),
            std::string::npos)
      << r.err;
}

// --- Faults ----------------------------------------------------------------------

struct FaultCase {
  const char* name;
  const char* job;
  SpiFault fault;
  std::string err;  // at verbosity 0
};

std::string eio_text(const char* what) {
  return std::string("\nERROR : SPI ") + what + " failed (" + std::to_string(EIO) + ")\n\n";
}

class SpiFaults : public SpiPhase, public testing::WithParamInterface<FaultCase> {};

TEST_P(SpiFaults, ReportedOnceThenTheJobFails) {
  const FaultCase& c = GetParam();
  make_board("0=2");
  put_file("/tmp/prog.bin", pattern(100, 4));
  board_->add_fault(c.fault);
  RunResult r = run_job(c.job);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, c.err);
  // Every device opened was closed again, once.
  EXPECT_EQ(board_->journal().of(EventKind::SpiClose).size(),
            board_->journal().of(EventKind::SpiOpen).size());
}

SpiFault eio(int device, SpiOp op, int nth) {
  SpiFault f;
  f.device = device;
  f.op = op;
  f.nth = nth;
  f.kind = FaultKind::Eio;
  return f;
}

const std::string TABLE_HEAD = "DEBUG : Slot# DSP# MiMX SiMX\n";

INSTANTIATE_TEST_SUITE_P(
    Eio, SpiFaults,
    testing::Values(FaultCase{"header_write", "BIN_FILE 0x00001000 /tmp/prog.bin M0\n",
                              eio(0, SpiOp::Write, 1), eio_text("write") + FAILED_REPORT},
                    FaultCase{"data_write", "BIN_FILE 0x00001000 /tmp/prog.bin M0\n",
                              eio(0, SpiOp::Write, 2), eio_text("write") + FAILED_REPORT},
                    FaultCase{"jump_frame_no_table", "JUMP 0x00001000 M0\n",
                              eio(0, SpiOp::Write, 1), eio_text("write") + FAILED_REPORT},
                    // The first read of the run is the search; the second the answer.
                    FaultCase{"checksum_read", "JUMP 0x00001000 M0\n", eio(0, SpiOp::Read, 2),
                              TABLE_HEAD + eio_text("read") + FAILED_REPORT},
                    FaultCase{"search_read", "JUMP 0x00001000 M0\n", eio(0, SpiOp::Read, 1),
                              eio_text("read")},
                    FaultCase{"missing_file", "BIN_FILE 0x00001000 /tmp/none.bin M0\n",
                              eio(0, SpiOp::Transfer, 1),
                              "\nERROR : cannot open </tmp/none.bin>\n\n" + FAILED_REPORT}),
    [](const testing::TestParamInfo<FaultCase>& param_info) { return param_info.param.name; });

// The driver refusing a setting, or a device missing: the first device that
// fails ends the operation with its message.
struct LinkFailureCase {
  const char* name;
  uint32_t supported_bits;   // bit n-1: n bits per word accepted
  uint32_t supported_modes;  // mode bits accepted
  int absent_device;         // -1: all five present
  const char* job;
  std::string err;  // at verbosity 0
};

class LinkFailure : public SpiPhase, public testing::WithParamInterface<LinkFailureCase> {};

TEST_P(LinkFailure, ReportsTheFirstDeviceThatFails) {
  const LinkFailureCase& c = GetParam();
  BoardConfig config;
  config.spi_supported_bits = c.supported_bits;
  config.spi_supported_modes = c.supported_modes;
  make_board("0=2,2=4", config);
  if (c.absent_device >= 0) board_->spi(c.absent_device).present = false;
  RunResult r = run_job(c.job);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Link, LinkFailure,
    testing::Values(
        LinkFailureCase{"no_sixteen_bit_words", 0x80, 0x3F, -1, "",
                        "\nERROR : cannot set </dev/spidev2.0> to 16 bits per word\n\n"},
        LinkFailureCase{"broadcast_device_missing", 0xFFFF, 0x3F, 4, "",
                        "\nERROR : cannot open </dev/spidev2.4>\n\n"},
        LinkFailureCase{"slot_device_missing", 0xFFFF, 0x3F, 3, "",
                        "\nERROR : cannot open </dev/spidev2.3>\n\n"},
        // CPHA alone is supported: mode 1 passes, mode 3 needs CPOL too.
        LinkFailureCase{
            "mode_refused", 0xFFFF, 0x01, -1, "MODE 1\nMODE 3\n",
            "\nERROR : cannot set </dev/spidev2.0> clock mode to 3\n\n" + FAILED_REPORT},
        // A clock of zero or below is refused before any device is touched.
        LinkFailureCase{"zero_speed", 0xFFFF, 0x3F, -1, "BIT_RATE 0\n",
                        "\nERROR : cannot set </dev/spidev2.0> speed to 0 Hz\n\n" + FAILED_REPORT},
        LinkFailureCase{
            "negative_speed", 0xFFFF, 0x3F, -1, "BIT_RATE -5\n",
            "\nERROR : cannot set </dev/spidev2.0> speed to -5 Hz\n\n" + FAILED_REPORT}),
    [](const testing::TestParamInfo<LinkFailureCase>& param_info) {
      return param_info.param.name;
    });

// A file that yields fewer bytes than its size (a sysfs attribute reports a
// whole page) fails the download, naming the file, with nothing of it sent.
TEST_F(SpiPhase, FileShorterThanItsSizeFailsTheDownload) {
  const std::string path = "/sys/devices/system/cpu/online";
  struct stat status {};
  std::ifstream in(path, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (stat(path.c_str(), &status) != 0 || static_cast<size_t>(status.st_size) <= content.size()) {
    GTEST_SKIP() << path << " does not report more bytes than it yields here";
  }
  make_board("0=2");
  RunResult r = run_job("BIN_FILE 0x00001000 " + path + " M0\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "\nERROR : cannot read <" + path + ">\n\n" + FAILED_REPORT);
  EXPECT_TRUE(wire(0).empty());
}

// Runs of EAGAIN and EINTR and short writes and reads on every device change
// nothing of what reaches the modules or of what kovrel prints.
TEST_F(SpiPhase, TransientFaultsLeaveTheWireUnchanged) {
  const std::string job =
      "BIN_FILE 0x00001000 /tmp/a.bin ALL\n"
      "BIN_FILE 0x00008000 /tmp/b.bin M0\n"
      "BIN_FILE 0x00008000 /tmp/b.bin M1\n"
      "BIN_FILE 0x00008000 /tmp/b.bin M2\n"
      "BIN_FILE 0x00008000 /tmp/b.bin M3\n"
      "JUMP 0x00001000 ALL\n";
  struct Outcome {
    RunResult result;
    std::vector<Bytes> wires;
    std::vector<Bytes> memories;
    size_t write_calls = 0;
  };
  auto run_with = [&](bool faults) {
    make_board("0=1,1=2,2=3,3=4");
    put_file("/tmp/a.bin", pattern(9000, 1));
    put_file("/tmp/b.bin", pattern(301, 2));
    for (int d = 0; faults && d < 5; ++d) {
      // Write calls count failed ones too: 1-3 fail and 4 sends the first
      // header; 5-6 fail, 7 sends 6 data bytes and 8 the rest; on the
      // broadcast device 9 sends the next header, 10 fails, 11 sends half its
      // data. The short writes hit data only: a module refuses a header that
      // does not come in one transfer.
      board_->add_fault({d, SpiOp::Write, 1, FaultKind::Eagain, 3, 0});
      board_->add_fault({d, SpiOp::Write, 5, FaultKind::Eintr, 2, 0});
      board_->add_fault({d, SpiOp::Write, 7, FaultKind::Short, 1, 6});
      board_->add_fault({d, SpiOp::Write, 10, FaultKind::Eagain, 1, 0});
      board_->add_fault({d, SpiOp::Write, 11, FaultKind::Short, 1, 0});
      if (d < 4) {
        board_->add_fault({d, SpiOp::Read, 1, FaultKind::Eintr, 2, 0});
        board_->add_fault({d, SpiOp::Read, 3, FaultKind::Eagain, 2, 0});
        board_->add_fault({d, SpiOp::Read, 5, FaultKind::Short, 1, 0});
      }
    }
    Outcome o;
    o.result = run_job(job, 3);
    for (int d = 0; d < 5; ++d) o.wires.push_back(wire(d));
    for (int slot = 0; slot < 4; ++slot) {
      o.memories.push_back(modules_->memory(slot, 0x1000, 0x8000));
    }
    o.write_calls = board_->journal().of(EventKind::SpiWrite).size();
    return o;
  };
  Outcome clean = run_with(false);
  Outcome faulty = run_with(true);
  ASSERT_EQ(clean.result.status, 0) << clean.result.err;
  EXPECT_EQ(faulty.result.status, 0) << faulty.result.err;
  EXPECT_EQ(faulty.result.err, clean.result.err);
  for (int d = 0; d < 5; ++d) {
    EXPECT_FALSE(clean.wires[static_cast<size_t>(d)].empty()) << d;
    EXPECT_EQ(faulty.wires[static_cast<size_t>(d)], clean.wires[static_cast<size_t>(d)]) << d;
  }
  EXPECT_EQ(faulty.memories, clean.memories);
  // The faults did hit: the same bytes took more calls.
  EXPECT_GT(faulty.write_calls, clean.write_calls);
}

}  // namespace
