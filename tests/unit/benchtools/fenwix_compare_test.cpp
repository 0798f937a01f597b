// The loopback comparison: each received unit against the unit sent one
// position earlier, masked to the word size, one log line a unit.
#include "fenwix_compare.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/scratch_file.h"

namespace {

using test_support::ScratchFile;

struct MaskCase {
  uint8_t bits;
  uint16_t mask;
};

class Mask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(Mask, KeepsTheWordSizeBits) { EXPECT_EQ(fenwix_mask(GetParam().bits), GetParam().mask); }

INSTANTIATE_TEST_SUITE_P(Bits, Mask,
                         ::testing::Values(MaskCase{1, 0x0001}, MaskCase{7, 0x007F},
                                           MaskCase{8, 0x00FF}, MaskCase{12, 0x0FFF},
                                           MaskCase{15, 0x7FFF}, MaskCase{16, 0xFFFF},
                                           MaskCase{32, 0xFFFF}));

struct LogCase {
  const char* name;
  std::vector<uint8_t> tx;
  std::vector<uint8_t> rx;
  size_t n;
  uint8_t bits;
  bool failed;
  std::string log;
};

class LogLines : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogLines, LogsEveryUnitAndFlagsMismatches) {
  const LogCase& c = GetParam();
  // Buffers at exactly n bytes: nothing beyond them may be read.
  std::unique_ptr<uint8_t[]> tx(new uint8_t[c.n > 0 ? c.n : 1]);
  std::unique_ptr<uint8_t[]> rx(new uint8_t[c.n > 0 ? c.n : 1]);
  std::copy(c.tx.begin(), c.tx.begin() + static_cast<long>(c.n), tx.get());
  std::copy(c.rx.begin(), c.rx.begin() + static_cast<long>(c.n), rx.get());
  ScratchFile log;
  EXPECT_EQ(fenwix_log_write(log.get(), tx.get(), rx.get(), c.n, c.bits), c.failed);
  EXPECT_EQ(log.text(), c.log);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogLines,
    ::testing::Values(
        // A one-word-late echo: the first unit is whatever the far end held.
        LogCase{
            "LateBytes", {0x11, 0x22, 0x33}, {0x99, 0x11, 0x22}, 3, 8, false, "0x99\n0x11\n0x22\n"},
        LogCase{"SameWordBytes",
                {0x11, 0x22, 0x22},
                {0x11, 0x22, 0x22},
                3,
                8,
                true,
                "0x11\n0x22 - ERROR(0x11)\n0x22\n"},
        LogCase{"LateWords",
                {0x34, 0x12, 0x78, 0x56},
                {0x00, 0x00, 0x34, 0x12},
                4,
                16,
                false,
                "0x0000\n0x1234\n"},
        LogCase{"SameWordWords",
                {0x34, 0x12, 0x78, 0x56},
                {0x34, 0x12, 0x78, 0x56},
                4,
                16,
                true,
                "0x1234\n0x5678 - ERROR(0x1234)\n"},
        // 12 bits: the top nibble differs, the compared bits match.
        LogCase{"TwelveBitsMasked",
                {0x34, 0x12, 0x78, 0x56},
                {0xFF, 0xFF, 0x34, 0xF2},
                4,
                12,
                false,
                "0x0FFF\n0x0234\n"},
        LogCase{"TwelveBitsMismatch",
                {0x34, 0x12, 0x78, 0x56},
                {0x00, 0x00, 0x35, 0x12},
                4,
                12,
                true,
                "0x0000\n0x0235 - ERROR(0x0234)\n"},
        LogCase{"SevenBitsMasked", {0x81, 0x00}, {0x00, 0x01}, 2, 7, false, "0x00\n0x01\n"},
        LogCase{"NothingTransferred", {0x11}, {0x3F}, 0, 8, false, ""},
        // Three bytes in 16-bit words: the cut-off word's high byte is the fill.
        LogCase{"OddWords",
                {0x34, 0x12, 0x78},
                {0x00, 0x00, 0x34},
                3,
                16,
                true,
                "0x0000\n0x3F34 - ERROR(0x1234)\n"}),
    [](const ::testing::TestParamInfo<LogCase>& param_info) { return param_info.param.name; });

}  // namespace
