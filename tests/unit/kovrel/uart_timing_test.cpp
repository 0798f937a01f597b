// Character time and speed-change value for every speed the -b option takes,
// and the speeds read back that count as the one asked.
#include <gtest/gtest.h>

#include <string>

#include "kovrel.h"

namespace {

struct SpeedRow {
  int32_t baud;
  int32_t byte_time_us;
  uint32_t change_value;  // 0: the default speed, never sent
};

// The slaves' published table: 211 belongs to 38400; 19200 gives 105.5 and
// 57600 gives 316.5, both rounded up.
constexpr SpeedRow SPEEDS[] = {
    {600, 16667, 3},   {1200, 8333, 7},   {2400, 4167, 13},  {4800, 2083, 26},
    {9600, 1042, 53},  {14400, 694, 79},  {19200, 521, 106}, {28800, 347, 158},
    {38400, 260, 211}, {56000, 179, 308}, {57600, 174, 317},
};

class UartSpeedTable : public ::testing::TestWithParam<SpeedRow> {};

TEST_P(UartSpeedTable, ByteTimeIsTenBitsRoundedToTheMicrosecond) {
  EXPECT_EQ(uart_byte_time_for(GetParam().baud), GetParam().byte_time_us);
}

TEST_P(UartSpeedTable, ChangeValueIsRoundedHalfUp) {
  EXPECT_EQ(baud_change_value(GetParam().baud), GetParam().change_value);
}

INSTANTIATE_TEST_SUITE_P(AllSpeeds, UartSpeedTable, ::testing::ValuesIn(SPEEDS),
                         [](const ::testing::TestParamInfo<SpeedRow>& row_info) {
                           return "baud" + std::to_string(row_info.param.baud);
                         });

// The speed a driver reads back is taken when it is within 2 % of the one
// asked: what a UART's divisor rounding may take off, and what the slaves'
// receivers still take.
struct SpeedMatchRow {
  const char* name;
  uint32_t actual;
  int32_t wanted;
  bool matches;
};

constexpr SpeedMatchRow SPEED_MATCHES[] = {
    {"Exact", 56000, 56000, true},
    {"TwoPercentAbove", 57120, 56000, true},
    {"JustOverTwoPercentAbove", 57121, 56000, false},
    {"TwoPercentBelow", 54880, 56000, true},
    {"JustOverTwoPercentBelow", 54879, 56000, false},
    {"OldSpeedKept", 38400, 57600, false},
    {"NoSpeed", 0, 14400, false},
    {"NothingAsked", 14400, 0, false},
};

class UartSpeedMatch : public ::testing::TestWithParam<SpeedMatchRow> {};

TEST_P(UartSpeedMatch, WithinTheDivisorRounding) {
  EXPECT_EQ(uart_speed_matches(GetParam().actual, GetParam().wanted), GetParam().matches);
}

INSTANTIATE_TEST_SUITE_P(ReadBack, UartSpeedMatch, ::testing::ValuesIn(SPEED_MATCHES),
                         [](const ::testing::TestParamInfo<SpeedMatchRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

}  // namespace
