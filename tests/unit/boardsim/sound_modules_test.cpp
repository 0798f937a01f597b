// The sound-module model on its own, driven in-process the way the simulated
// spidev driver drives it, so the end-to-end tests of kovrel can trust what it
// reports: search answers, which transfers a frame is taken from, memory
// images, and the verification word after a jump.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/models/sound_modules.h"
#include "support/bytes.h"

namespace {

using boardsim::SoundModules;
using boardsim::SpiExchange;
using Bytes = std::vector<uint8_t>;
using test_support::le32;

std::shared_ptr<SoundModules> modules_of(const std::string& args) {
  std::string error;
  auto modules = boardsim::make_sound_modules(args, error);
  EXPECT_NE(modules, nullptr) << error;
  return modules;
}

// The tests' own wire clock: every exchange takes a millisecond, so that a
// read comes after the jump by as much as the test waits in between.
uint64_t wire_ns = 0;
constexpr uint64_t MS = 1000000;

void wait_ms(uint64_t ms) { wire_ns += ms * MS; }

// Annotation units in the order the model gave them.
struct Units : boardsim::Annotator {
  std::vector<std::string> seen;
  void annotate(const std::string& unit, const std::string&) override { seen.push_back(unit); }
  bool has(const std::string& unit) const {
    for (const std::string& u : seen)
      if (u == unit) return true;
    return false;
  }
};

struct Link {
  uint8_t bits = 16;
  uint32_t mode = 0;
  uint32_t speed_hz = 2000000;  // kovrel's usual clock
  Units* units = nullptr;
};

void write_to(SoundModules& m, int device, const Bytes& bytes, const Link& link) {
  SpiExchange x;
  x.device = device;
  x.tx = bytes.data();
  x.len = bytes.size();
  x.bits_per_word = link.bits;
  x.mode = link.mode;
  x.speed_hz = link.speed_hz;
  x.annotator = link.units;
  x.wire_start_ns = wire_ns;
  wire_ns += MS;
  x.wire_end_ns = wire_ns;
  m.exchange(x);
}

void write_to(SoundModules& m, int device, const Bytes& bytes, uint8_t bits = 16) {
  Link link;
  link.bits = bits;
  write_to(m, device, bytes, link);
}

Bytes read_from(SoundModules& m, int device, uint8_t bits = 16) {
  Bytes rx(2, 0x00);  // the driver's idle fill
  SpiExchange x;
  x.device = device;
  x.rx = rx.data();
  x.len = rx.size();
  x.bits_per_word = bits;
  x.speed_hz = 2000000;
  x.wire_start_ns = wire_ns;
  wire_ns += MS;
  x.wire_end_ns = wire_ns;
  m.exchange(x);
  return rx;
}

// A frame as kovrel sends it: header, then data. The checksum is given, not
// computed here, so that a test can send a wrong one.
Bytes frame(uint32_t address, const Bytes& data, uint32_t checksum) {
  Bytes out = le32(address);
  Bytes size = le32(static_cast<uint32_t>(data.size()));
  Bytes sum = le32(checksum);
  out.insert(out.end(), size.begin(), size.end());
  out.insert(out.end(), sum.begin(), sum.end());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes jump_frame(uint32_t address, uint32_t checksum) { return frame(address, {}, checksum); }

// A data frame the way kovrel writes it: the header, then the data.
void send_frame(SoundModules& m, int device, uint32_t address, const Bytes& data, uint32_t checksum,
                uint8_t bits = 16) {
  const Bytes wire = frame(address, data, checksum);
  write_to(m, device, Bytes(wire.begin(), wire.begin() + 12), bits);
  write_to(m, device, Bytes(wire.begin() + 12, wire.end()), bits);
}

// --- Search answers ----------------------------------------------------------

struct SearchCase {
  const char* name;
  const char* args;
  uint8_t bits;
  std::vector<Bytes> answers;  // slots 0..3 as read
};

class ModelSearch : public testing::TestWithParam<SearchCase> {};

TEST_P(ModelSearch, AnswersEachSlot) {
  const SearchCase& c = GetParam();
  auto m = modules_of(c.args);
  ASSERT_NE(m, nullptr);
  for (int slot = 0; slot < 4; ++slot) {
    EXPECT_EQ(read_from(*m, slot, c.bits), c.answers[static_cast<size_t>(slot)]) << slot;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ModelSearch,
    testing::Values(SearchCase{"dsp_counts", "0=2,2=4", 16, {{2, 0}, {0, 0}, {4, 0}, {0, 0}}},
                    SearchCase{"no_module_at_all", "", 16, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}},
                    SearchCase{"forced_values",
                               "0=1,answer=0:5,answer=1:0xFFFF,3=3,answer=3:0",
                               16,
                               {{5, 0}, {0xFF, 0xFF}, {0, 0}, {0, 0}}},
                    // At 8 bits per word the word's high byte is the first on the wire.
                    SearchCase{"eight_bit_words", "1=3", 8, {{0, 0}, {0, 3}, {0, 0}, {0, 0}}}),
    [](const testing::TestParamInfo<SearchCase>& param_info) { return param_info.param.name; });

TEST(ModelSearch, BroadcastDeviceIsNeverDriven) {
  auto m = modules_of("0=1,1=2,2=3,3=4");
  EXPECT_EQ(read_from(*m, 4), (Bytes{0, 0}));
}

// --- Frame reception: which transfers a module takes -------------------------

enum class Outcome { taken, refused, garbled };

struct SplitCase {
  const char* name;
  std::vector<size_t> pieces;  // byte counts; the rest goes in one last write
  Outcome outcome;
  size_t extra = 0;  // bytes after the frame in the last write
  const char* args = "1=2";
  uint32_t mode = 0;
  uint32_t speed_hz = 2000000;
};

class ModelSplits : public testing::TestWithParam<SplitCase> {};

TEST_P(ModelSplits, TakesOnlyWholeHeaderTransfers) {
  const SplitCase& c = GetParam();
  const Bytes data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  // 0x0201 + 0x0403 + 0x0605 + 0x0807
  Bytes wire = frame(0x0000100E, data, 0x1410);
  wire.resize(wire.size() + c.extra, 0x5A);
  auto m = modules_of(c.args);
  ASSERT_NE(m, nullptr);
  Units units;
  Link link;
  link.mode = c.mode;
  link.speed_hz = c.speed_hz;
  link.units = &units;
  size_t at = 0;
  for (size_t piece : c.pieces) {
    write_to(
        *m, 1,
        Bytes(wire.begin() + static_cast<long>(at), wire.begin() + static_cast<long>(at + piece)),
        link);
    at += piece;
  }
  write_to(*m, 1, Bytes(wire.begin() + static_cast<long>(at), wire.end()), link);
  switch (c.outcome) {
    case Outcome::taken:
      ASSERT_EQ(m->module(1).frames.size(), 1u);
      EXPECT_TRUE(m->module(1).frames[0].verified);
      EXPECT_EQ(m->memory(1, 0x0000100E, data.size()), data);
      EXPECT_EQ(m->bytes_written(1), data.size());
      EXPECT_FALSE(units.has("refused"));
      EXPECT_FALSE(units.has("garbled"));
      break;
    case Outcome::refused:
      EXPECT_TRUE(m->module(1).frames.empty());
      EXPECT_EQ(m->bytes_written(1), 0u);
      EXPECT_TRUE(units.has("refused"));
      break;
    case Outcome::garbled:
      EXPECT_TRUE(units.has("garbled"));
      EXPECT_NE(m->memory(1, 0x0000100E, data.size()), data);
      for (const auto& f : m->module(1).frames) EXPECT_FALSE(f.verified);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Splits, ModelSplits,
    testing::Values(
        SplitCase{"header_then_data", {12}, Outcome::taken},
        SplitCase{"header_then_data_word_by_word", {12, 2, 2, 2}, Outcome::taken},
        SplitCase{"header_and_data_in_one_write", {}, Outcome::refused},
        SplitCase{"word_by_word", {2, 2, 2, 2, 2, 2, 2, 2, 2}, Outcome::refused},
        SplitCase{"across_header_end", {10, 4}, Outcome::refused},
        SplitCase{"header_with_data_start", {14, 2}, Outcome::refused},
        SplitCase{"data_runs_into_next_frame", {12}, Outcome::refused, 12},
        SplitCase{"module_set_to_mode_3", {12}, Outcome::taken, 0, "1=2,mode=3", 3},
        SplitCase{"mode_flags_beyond_clock_ignored", {12}, Outcome::taken, 0, "1=2", 0x20},
        SplitCase{"wrong_mode_garbles", {12}, Outcome::garbled, 0, "1=2", 1},
        SplitCase{"at_max_clock", {12}, Outcome::taken, 0, "1=2", 0, 20000000},
        SplitCase{"above_max_clock_garbles", {12}, Outcome::garbled, 0, "1=2", 0, 20000001},
        SplitCase{
            "own_max_clock_garbles", {12}, Outcome::garbled, 0, "1=2,max_hz=1000000", 0, 2000000}),
    [](const testing::TestParamInfo<SplitCase>& param_info) { return param_info.param.name; });

TEST(ModelFrames, EightBitWordsReachTheModuleByteSwapped) {
  auto m = modules_of("0=2");
  // The module takes the wire word 0x0E10 as bytes 10 0E: the address reads
  // 0x00000E10, the size 0x400, and the four data bytes land swapped.
  send_frame(*m, 0, 0x0000100E, {1, 2, 3, 4}, 0x0604, 8);
  EXPECT_TRUE(m->module(0).frames.empty());
  EXPECT_EQ(m->bytes_written(0), 4u);
  EXPECT_EQ(m->memory(0, 0x00000E10, 4), (Bytes{2, 1, 4, 3}));
}

TEST(ModelFrames, BroadcastReachesEveryFittedModuleOnly) {
  auto m = modules_of("0=2,2=4");
  send_frame(*m, 4, 0x2000, {0xAA, 0xBB}, 0xBBAA);
  send_frame(*m, 2, 0x3000, {0xCC, 0xDD}, 0xDDCC);
  for (int slot : {0, 2}) {
    EXPECT_EQ(m->memory(slot, 0x2000, 2), (Bytes{0xAA, 0xBB})) << slot;
  }
  EXPECT_EQ(m->memory(0, 0x3000, 2), (Bytes{0, 0}));
  EXPECT_EQ(m->memory(2, 0x3000, 2), (Bytes{0xCC, 0xDD}));
  EXPECT_EQ(m->module(0).frames.size(), 1u);
  EXPECT_EQ(m->module(2).frames.size(), 2u);
  for (int slot : {1, 3}) EXPECT_EQ(m->bytes_written(slot), 0u) << slot;
}

// --- Verification word after a jump ------------------------------------------

struct JumpCase {
  const char* name;
  const char* args;        // slot 0 is the module under test
  uint32_t data_checksum;  // header checksum of the data frame (true sum 0x0604)
  uint32_t jump_checksum;
  bool send_data;
  uint16_t answer;
  uint64_t read_after_ms = 10;  // as kovrel waits
};

class ModelJump : public testing::TestWithParam<JumpCase> {};

TEST_P(ModelJump, AnswersVerificationWord) {
  const JumpCase& c = GetParam();
  auto m = modules_of(c.args);
  ASSERT_NE(m, nullptr);
  if (c.send_data) send_frame(*m, 0, 0x1000, {1, 2, 3, 4}, c.data_checksum);
  write_to(*m, 0, jump_frame(0x1000, c.jump_checksum));
  wait_ms(c.read_after_ms);
  ASSERT_TRUE(m->module(0).jumped);
  EXPECT_EQ(m->module(0).entry, 0x1000u);
  EXPECT_EQ(read_from(*m, 0),
            (Bytes{static_cast<uint8_t>(c.answer), static_cast<uint8_t>(c.answer >> 8)}));
}

INSTANTIATE_TEST_SUITE_P(
    Words, ModelJump,
    testing::Values(JumpCase{"one_cpu_verified", "0=2", 0x0604, 0x0604, true, 1},
                    JumpCase{"two_cpus_verified", "0=4", 0x0604, 0x0604, true, 3},
                    JumpCase{"three_dsps_have_two_cpus", "0=3", 0x0604, 0x0604, true, 3},
                    JumpCase{"jump_without_data_carries_zero", "0=1", 0, 0, false, 1},
                    JumpCase{"jump_without_data_nonzero", "0=1", 0, 0x0604, false, 0},
                    JumpCase{"data_checksum_wrong", "0=4", 0x0605, 0x0604, true, 0},
                    JumpCase{"jump_checksum_wrong", "0=2", 0x0604, 0x0605, true, 0},
                    JumpCase{"first_cpu_fails", "0=4,fail=0:1", 0x0604, 0x0604, true, 2},
                    JumpCase{"second_cpu_fails", "0=4,fail=0:2", 0x0604, 0x0604, true, 1},
                    JumpCase{"forced_answer", "0=2,checksum=0:0xFFFF", 0x0604, 0x0604, true,
                             0xFFFF},
                    JumpCase{"read_while_verifying", "0=4", 0x0604, 0x0604, true, 0, 4},
                    JumpCase{"forced_read_while_verifying", "0=2,checksum=0:0xFFFF", 0x0604, 0x0604,
                             true, 0, 4},
                    JumpCase{"read_once_verified", "0=4", 0x0604, 0x0604, true, 3, 5}),
    [](const testing::TestParamInfo<JumpCase>& param_info) { return param_info.param.name; });

// A module that took a frame answers 0, nothing verified, until its own jump
// comes; a frame after the jump starts the wait again. The others answer as
// before: a module that never received its jump cannot pass for verified.
TEST(ModelJump, NothingVerifiedFromTheFirstFrameUntilTheJump) {
  auto m = modules_of("0=3,1=1,2=2");
  const Bytes data{1, 2, 3, 4};
  send_frame(*m, 2, 0x1000, data, 0x0604);
  write_to(*m, 2, jump_frame(0x1000, 0x0604));
  wait_ms(10);
  EXPECT_EQ(read_from(*m, 2), (Bytes{1, 0})) << "verified before the broadcast";
  EXPECT_EQ(read_from(*m, 0), (Bytes{3, 0})) << "the search answer before any frame";
  send_frame(*m, 4, 0x1000, data, 0x0604);
  for (int slot : {0, 1, 2}) EXPECT_EQ(read_from(*m, slot), (Bytes{0, 0})) << slot;
  write_to(*m, 0, jump_frame(0x1000, 0x0604));
  wait_ms(10);
  EXPECT_EQ(read_from(*m, 0), (Bytes{3, 0}));
  for (int slot : {1, 2}) EXPECT_EQ(read_from(*m, slot), (Bytes{0, 0})) << slot;
  send_frame(*m, 0, 0x2000, data, 0x0604);
  EXPECT_EQ(read_from(*m, 0), (Bytes{0, 0})) << "a new download waits for its own jump";
}

// --- Options -------------------------------------------------------------------

class ModelOptions : public testing::TestWithParam<const char*> {};

TEST_P(ModelOptions, RejectsMalformedArguments) {
  std::string error;
  EXPECT_EQ(boardsim::make_sound_modules(GetParam(), error), nullptr);
  EXPECT_FALSE(error.empty());
}

INSTANTIATE_TEST_SUITE_P(Bad, ModelOptions,
                         testing::Values("4=2", "0=0", "0=5", "0=x", "0", "answer=1", "answer=4:1",
                                         "answer=0:0x10000", "fail=0:0", "fail=0:3",
                                         "checksum=0:-1", "bogus=1", "mode=4", "mode=-1", "mode=x",
                                         "max_hz=0", "max_hz=100000001"));

}  // namespace
