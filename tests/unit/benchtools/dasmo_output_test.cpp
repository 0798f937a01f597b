// The six output forms of the received bytes, and the half word at the end.
#include "dasmo_output.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/scratch_file.h"

namespace {

using test_support::ScratchFile;

const std::vector<uint8_t> RECEIVED{0xA5, 0x01, 0x80, 0x3C};

struct FormCase {
  const char* name;
  DasmoForm form;
  std::string expected;
};

class OutputForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(OutputForm, WritesTheReceivedBytesExactly) {
  ScratchFile out;
  dasmo_output_write(out.get(), RECEIVED.data(), RECEIVED.size(), GetParam().form);
  EXPECT_EQ(out.text(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, OutputForm,
    ::testing::Values(
        FormCase{"ConsoleRaw",
                 {false, false, DasmoDestination::Console},
                 std::string("\xA5\x01\x80\x3C\n")},
        FormCase{
            "ConsoleBytes", {true, false, DasmoDestination::Console}, "0xA5\n0x01\n0x80\n0x3C\n"},
        FormCase{"ConsoleWords", {true, true, DasmoDestination::Console}, "0x01A5\n0x3C80\n"},
        FormCase{
            "FileRaw", {false, false, DasmoDestination::File}, std::string("\xA5\x01\x80\x3C")},
        FormCase{"FileBytes", {true, false, DasmoDestination::File}, "0xA5,\n0x01,\n0x80,\n0x3C\n"},
        FormCase{"FileWords", {true, true, DasmoDestination::File}, "0x01A5,\n0x3C80\n"}),
    [](const ::testing::TestParamInfo<FormCase>& param_info) { return param_info.param.name; });

// Values with their top bit set print as unsigned: 0xA5, not a negative
// byte, and the word 0x8001, not a sign-extended one.
TEST(OutputForm, TopBitSetPrintsUnsigned) {
  const std::vector<uint8_t> received{0x01, 0x80, 0xA5, 0xFF};
  ScratchFile words;
  dasmo_output_write(words.get(), received.data(), received.size(),
                     {true, true, DasmoDestination::Console});
  EXPECT_EQ(words.text(), "0x8001\n0xFFA5\n");
  ScratchFile bytes;
  dasmo_output_write(bytes.get(), received.data(), received.size(),
                     {true, false, DasmoDestination::File});
  EXPECT_EQ(bytes.text(), "0x01,\n0x80,\n0xA5,\n0xFF\n");
}

struct CountCase {
  const char* name;
  DasmoForm form;
  size_t n;
  std::string expected;
};

class TransferredCount : public ::testing::TestWithParam<CountCase> {};

// Only the n transferred bytes are written; the buffer is allocated at n so
// that a read beyond it is caught under the address sanitizer.
TEST_P(TransferredCount, WritesOnlyWhatWasTransferred) {
  const CountCase& c = GetParam();
  std::unique_ptr<uint8_t[]> rx(new uint8_t[c.n > 0 ? c.n : 1]);
  for (size_t i = 0; i < c.n; ++i) rx[i] = RECEIVED[i];
  ScratchFile out;
  dasmo_output_write(out.get(), rx.get(), c.n, c.form);
  EXPECT_EQ(out.text(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, TransferredCount,
    ::testing::Values(
        CountCase{"EmptyConsoleRaw", {false, false, DasmoDestination::Console}, 0, "\n"},
        CountCase{"EmptyConsoleText", {true, true, DasmoDestination::Console}, 0, "\n"},
        CountCase{"EmptyFileRaw", {false, false, DasmoDestination::File}, 0, ""},
        CountCase{"EmptyFileText", {true, false, DasmoDestination::File}, 0, "\n"},
        CountCase{
            "OddWordsConsole", {true, true, DasmoDestination::Console}, 3, "0x01A5\n0x3F80\n"},
        CountCase{"OddWordsFile", {true, true, DasmoDestination::File}, 1, "0x3FA5\n"},
        CountCase{
            "OddWordsRaw", {false, true, DasmoDestination::File}, 3, std::string("\xA5\x01\x80")}),
    [](const ::testing::TestParamInfo<CountCase>& param_info) { return param_info.param.name; });

}  // namespace
