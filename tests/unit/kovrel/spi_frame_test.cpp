// Frame encoding without a device: the checksum, the header bytes as they
// leave the JobCommand record, and the text of the hex dump.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kovrel.h"

namespace {

struct ChecksumCase {
  const char* name;
  std::vector<uint8_t> data;
  uint32_t sum;
};

std::vector<uint8_t> repeated(uint8_t byte, size_t count) {
  return std::vector<uint8_t>(count, byte);
}

class FrameChecksum : public testing::TestWithParam<ChecksumCase> {};

TEST_P(FrameChecksum, SumsLittleEndianWordsToThirtyTwoBits) {
  const ChecksumCase& c = GetParam();
  EXPECT_EQ(frame_checksum_of(c.data.data(), c.data.size()), c.sum);
}

INSTANTIATE_TEST_SUITE_P(
    Sums, FrameChecksum,
    testing::Values(ChecksumCase{"empty", {}, 0},
                    ChecksumCase{"one_word_low_byte_first", {0x34, 0x12}, 0x1234},
                    ChecksumCase{"two_words", {0x01, 0x02, 0x03, 0x04}, 0x0604},
                    // The fill byte of an odd last piece adds nothing.
                    ChecksumCase{"last_byte_and_fill", {0xAB, 0x00}, 0xAB},
                    ChecksumCase{"full_frame_of_ones", repeated(0xFF, 4096), 2048u * 0xFFFF},
                    // 65538 words of 0xFFFF = 0x1_0000_FFFE: the carry out of bit 31 is lost.
                    ChecksumCase{"wraps_at_32_bits", repeated(0xFF, 2 * 65538), 0xFFFE}),
    [](const testing::TestParamInfo<ChecksumCase>& param_info) { return param_info.param.name; });

struct HeaderCase {
  const char* name;
  uint32_t address, size, checksum;
  std::vector<uint8_t> bytes;
};

class FrameHeader : public testing::TestWithParam<HeaderCase> {};

// The header is written straight from the three JobCommand fields: these are
// the 12 bytes that reach the wire.
TEST_P(FrameHeader, BytesFromJobCommandFields) {
  const HeaderCase& c = GetParam();
  job_command.frame_address = c.address;
  job_command.frame_size = c.size;
  job_command.frame_checksum = c.checksum;
  std::vector<uint8_t> wire(sizeof(SpiFrameHeader));
  std::memcpy(wire.data(), &job_command.frame_address, wire.size());
  EXPECT_EQ(wire, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, FrameHeader,
    testing::Values(
        HeaderCase{"data_frame",
                   0x0000100E,
                   4,
                   0x0604,
                   {0x0E, 0x10, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04, 0x06, 0x00, 0x00}},
        HeaderCase{"jump_without_earlier_frame",
                   0x00001000,
                   0,
                   0,
                   {0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        HeaderCase{"every_byte_distinct",
                   0x12345678,
                   0x00001000,
                   0x9ABCDEF0,
                   {0x78, 0x56, 0x34, 0x12, 0x00, 0x10, 0x00, 0x00, 0xF0, 0xDE, 0xBC, 0x9A}}),
    [](const testing::TestParamInfo<HeaderCase>& param_info) { return param_info.param.name; });

struct DumpCase {
  const char* name;
  uint32_t address;
  size_t size;  // bytes 0x00, 0x01, ... from the first
  int verbosity;
  const char* text;
};

class FrameDump : public testing::TestWithParam<DumpCase> {
 protected:
  void SetUp() override {
    saved_phase_ = current_phase;
    saved_verbosity_ = verbosity;
  }
  void TearDown() override {
    current_phase = saved_phase_;
    verbosity = saved_verbosity_;
  }
  int saved_phase_ = 0;
  int saved_verbosity_ = 0;
};

TEST_P(FrameDump, PrintsAddressedLinesOfSixteen) {
  const DumpCase& c = GetParam();
  std::vector<uint8_t> data(c.size);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  current_phase = PHASE_SPI;
  verbosity = c.verbosity;
  testing::internal::CaptureStderr();
  frame_dump(c.address, data.data(), data.size());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Text, FrameDump,
    testing::Values(DumpCase{"one_byte", 0x00000000, 1, 2, "\n\t00000000  00\n"},
                    DumpCase{"gap_after_eighth_byte", 0x0000100E, 9, 3,
                             "\n\t0000100E  00 01 02 03 04 05 06 07   08\n"},
                    DumpCase{"twenty_bytes_two_lines", 0x0000100E, 20, 2,
                             "\n\t0000100E  00 01 02 03 04 05 06 07   08 09 0A 0B 0C 0D 0E 0F"
                             "\n\t0000101E  10 11 12 13\n"},
                    DumpCase{"upper_case_address", 0xABCDEFF0, 17, 2,
                             "\n\tABCDEFF0  00 01 02 03 04 05 06 07   08 09 0A 0B 0C 0D 0E 0F"
                             "\n\tABCDF000  10\n"},
                    DumpCase{"silent_at_uart_verbosity", 0x00001000, 20, 1, ""},
                    DumpCase{"silent_at_verbosity_0", 0x00001000, 20, 0, ""}),
    [](const testing::TestParamInfo<DumpCase>& param_info) { return param_info.param.name; });

}  // namespace
