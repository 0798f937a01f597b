// Boot record text: the hexadecimal fields as they go on the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "kovrel.h"

namespace {

struct HexRow {
  uint32_t value;
  int digits;
  const char* text;
};

constexpr HexRow HEX_ROWS[] = {
    {0x001122FC, 8, "001122FC"}, {0x002060A8, 8, "002060A8"}, {0xC4, 2, "C4"}, {0x0A, 2, "0A"},
    {0xFFFFFFFF, 8, "FFFFFFFF"}, {0, 8, "00000000"},
};

class BootRecordHex : public ::testing::TestWithParam<HexRow> {};

TEST_P(BootRecordHex, UpperCaseWithLeadingZeros) {
  char out[16];
  std::memset(out, 'x', sizeof out);
  boot_record_hex(out, GetParam().value, GetParam().digits);
  EXPECT_STREQ(out, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Fields, BootRecordHex, ::testing::ValuesIn(HEX_ROWS));

struct DataRow {
  const char* name;
  uint8_t control;
  std::vector<uint8_t> data;
  int result;  // characters, or -1
  const char* text;
};

const DataRow DATA_ROWS[] = {
    {"Write32", 0xC4, {0xCA, 0xDE, 0xFE, 0xCA}, 8, "CAFEDECA"},
    {"Write16", 0x42, {0xFE, 0xCA}, 4, "CAFE"},
    {"Write8", 0x01, {0xCA}, 2, "CA"},
    {"TwoWords", 0xC8, {1, 2, 3, 4, 5, 6, 7, 8}, 16, "0403020108070605"},
    {"TwoHalfwords", 0x44, {1, 2, 3, 4}, 8, "02010403"},
    {"BytesInOrder", 0x03, {0xAA, 0xBB, 0xCC}, 6, "AABBCC"},
    {"SpeedChange57600", 0xC4, {0x3D, 0x01, 0x00, 0x00}, 8, "0000013D"},
    {"CountZero", 0xC0, {}, 0, ""},
    {"WidthTwoRefused", 0x84, {1, 2, 3, 4}, -1, nullptr},
    // A count the width does not divide keeps 2 x count characters.
    {"PartialWord", 0xC5, {1, 2, 3, 4, 5}, 10, "0403020105"},
};

class BootRecordData : public ::testing::TestWithParam<DataRow> {};

TEST_P(BootRecordData, EncodedByWidth) {
  const DataRow& row = GetParam();
  job_command.control = row.control;
  std::memset(job_command.data, 0xEE, sizeof job_command.data);
  std::copy(row.data.begin(), row.data.end(), job_command.data);
  char out[2 * CONTROL_COUNT_MASK + 1];
  ASSERT_EQ(boot_record_data_text(out, sizeof out), row.result);
  if (row.text != nullptr) {
    EXPECT_STREQ(out, row.text);
  }
}

INSTANTIATE_TEST_SUITE_P(Records, BootRecordData, ::testing::ValuesIn(DATA_ROWS),
                         [](const ::testing::TestParamInfo<DataRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

TEST(BootRecordDataLimits, LongestRecordFitsAndASmallerBufferIsRefused) {
  job_command.control = 0x1F;  // 31 bytes, 8-bit
  for (size_t i = 0; i < 31; ++i) {
    job_command.data[i] = static_cast<uint8_t>(i);
  }
  char out[2 * CONTROL_COUNT_MASK + 1];
  EXPECT_EQ(boot_record_data_text(out, sizeof out), 62);
  EXPECT_EQ(std::strlen(out) + BOOT_RECORD_COMMAND_CHARS, BOOT_RECORD_TEXT_MAX);
  EXPECT_EQ(boot_record_data_text(out, sizeof out - 1), -1);
}

}  // namespace
