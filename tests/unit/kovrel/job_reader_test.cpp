// The job reader: every keyword in both jobs with the fields it stores, every
// syntax report byte for byte, and the line handling (comments, white space,
// long lines, line ends).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "kovrel.h"
#include "support/kovrel_console.h"
#include "support/output_capture.h"
#include "support/scratch_file.h"
#include "support/text.h"

namespace {

using test_support::banner;
using test_support::error_report;
using test_support::OutputCapture;
using test_support::printable;
using test_support::ScratchFile;

constexpr uint8_t DATA_SENTINEL = 0xEE;
constexpr uint32_t ADDRESS_SENTINEL = 0xA5A5A5A5;
constexpr uint32_t SIZE_SENTINEL = 0x1234;

// Fresh run state for the job of `phase`, with the slots of `mask` found, and
// every field a line may set holding a value no line stores.
void start_job(int phase, uint8_t mask = 0) {
  kovrel_reset_state();
  current_phase = phase;
  module_mask = mask;
  job_command.control = 0xFF;
  job_command.address = ADDRESS_SENTINEL;
  job_command.frame_address = ADDRESS_SENTINEL;
  job_command.frame_size = SIZE_SENTINEL;
  memset(job_command.data, DATA_SENTINEL, sizeof job_command.data);
  snprintf(job_command.br_file, sizeof job_command.br_file, "keep.br");
}

struct Outcome {
  JobLine result;
  std::string err;
};

Outcome read_line(FILE* job) {
  OutputCapture err(STDERR_FILENO);
  JobLine result = job_read_line(job);
  return {result, err.take()};
}

// Decodes the first line of `text` in a job already started.
Outcome decode(const std::string& text) {
  ScratchFile job(text);
  return read_line(job.get());
}

std::string separator_and_line(const std::string& text) { return error_report(banner(text)); }

std::string syntax_report(const char* message, const std::string& text, const std::string& bad) {
  std::string report = message != nullptr ? error_report(message) : std::string();
  return report + separator_and_line(text) + error_report("token --> " + bad + "\n");
}

// ---------------------------------------------------------------------------
// UART single accesses and jumps: address, control byte and data bytes.

struct UartAccessCase {
  const char* text;
  JobKind kind;
  uint32_t address;
  uint8_t control;
  std::vector<uint8_t> data;  // data bytes 0.. that the line sets
};

void PrintTo(const UartAccessCase& c, std::ostream* os) { *os << printable(c.text); }

class UartAccess : public ::testing::TestWithParam<UartAccessCase> {};

TEST_P(UartAccess, StoresAddressControlAndData) {
  const UartAccessCase& c = GetParam();
  start_job(PHASE_UART);
  Outcome out = decode(std::string(c.text) + "\n");
  ASSERT_EQ(out.result, JobLine::COMMAND) << out.err;
  EXPECT_EQ(out.err, "");
  EXPECT_EQ(job_command.kind, c.kind);
  EXPECT_EQ(job_command.params_left, 0);
  EXPECT_EQ(job_command.address, c.address);
  EXPECT_EQ(job_command.control, c.control);
  for (size_t i = 0; i < c.data.size(); ++i) EXPECT_EQ(job_command.data[i], c.data[i]) << i;
  EXPECT_EQ(job_command.data[c.data.size()], DATA_SENTINEL) << "byte behind the data";
  EXPECT_EQ(job_command.frame_address, ADDRESS_SENTINEL);
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, UartAccess,
    ::testing::Values(
        UartAccessCase{"WRITE_32 0x001122FC 0xCAFEDECA",
                       JOB_WRITE_32,
                       0x001122FC,
                       0xC4,
                       {0xCA, 0xDE, 0xFE, 0xCA}},
        UartAccessCase{"WRITE_16 0x001122FE 0xCAFE", JOB_WRITE_16, 0x001122FE, 0x42, {0xFE, 0xCA}},
        UartAccessCase{"WRITE_8 0x001122FF 0xCA", JOB_WRITE_8, 0x001122FF, 0x01, {0xCA}},
        UartAccessCase{"READ_32 0x001122FC", JOB_READ_32, 0x001122FC, 0xE4, {}},
        UartAccessCase{"READ_16 0x001122FE", JOB_READ_16, 0x001122FE, 0x62, {}},
        UartAccessCase{"READ_8 0x001122FF", JOB_READ_8, 0x001122FF, 0x21, {}},
        UartAccessCase{"JUMP 0x00001000", JOB_JUMP, 0x00001000, 0xC0, {}},
        // Lower-case keywords, and the parameter still taken from its place.
        UartAccessCase{
            "write_32 0x1000 0x12345678", JOB_WRITE_32, 0x1000, 0xC4, {0x78, 0x56, 0x34, 0x12}},
        UartAccessCase{"Write_16 0X2000 abcd", JOB_WRITE_16, 0x2000, 0x42, {0xCD, 0xAB}},
        UartAccessCase{"read_8 7", JOB_READ_8, 0x7, 0x21, {}},
        // "%x" reading: sign, no prefix, the rest of the token ignored.
        UartAccessCase{"WRITE_32 0x1000 -1", JOB_WRITE_32, 0x1000, 0xC4, {0xFF, 0xFF, 0xFF, 0xFF}},
        UartAccessCase{"WRITE_8 +1f 0", JOB_WRITE_8, 0x1F, 0x01, {0x00}},
        UartAccessCase{"READ_16 0x10zz", JOB_READ_16, 0x10, 0x62, {}},
        UartAccessCase{"WRITE_8 0x5 0xg", JOB_WRITE_8, 0x5, 0x01, {0x00}},
        UartAccessCase{"\t JUMP   0x00002000  \t", JOB_JUMP, 0x2000, 0xC0, {}}));

// ---------------------------------------------------------------------------
// SPI downloads and jumps: frame fields and the module device.

struct SpiFrameCase {
  const char* text;
  uint8_t mask;
  JobKind kind;
  uint32_t frame_address;
  uint32_t frame_size;
  const char* device;
};

void PrintTo(const SpiFrameCase& c, std::ostream* os) { *os << printable(c.text); }

class SpiFrame : public ::testing::TestWithParam<SpiFrameCase> {};

TEST_P(SpiFrame, StoresFrameFieldsAndModuleDevice) {
  const SpiFrameCase& c = GetParam();
  start_job(PHASE_SPI, c.mask);
  Outcome out = decode(std::string(c.text) + "\n");
  ASSERT_EQ(out.result, JobLine::COMMAND) << out.err;
  EXPECT_EQ(out.err, "");
  EXPECT_EQ(job_command.kind, c.kind);
  EXPECT_EQ(job_command.frame_address, c.frame_address);
  EXPECT_EQ(job_command.frame_size, c.frame_size);
  EXPECT_STREQ(device_path, c.device);
  EXPECT_EQ(job_command.address, ADDRESS_SENTINEL);
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, SpiFrame,
    ::testing::Values(SpiFrameCase{"BIN_FILE 0x0000100F prog.bin M2", 0x04, JOB_BIN_FILE, 0x100F,
                                   SIZE_SENTINEL, "/dev/spidev2.2"},
                      SpiFrameCase{"bin_file 0x1000 prog.bin ALL", 0x01, JOB_BIN_FILE, 0x1000,
                                   SIZE_SENTINEL, "/dev/spidev2.4"},
                      // The SPI entry point need only be even.
                      SpiFrameCase{"JUMP 0x00001002 ALL", 0x09, JOB_JUMP, 0x1002, 0,
                                   "/dev/spidev2.4"},
                      SpiFrameCase{"jump 0x10 M3", 0x08, JOB_JUMP, 0x10, 0, "/dev/spidev2.3"}));

TEST(SpiDownload, KeepsTheFileNameAndWritesNoBootRecordName) {
  start_job(PHASE_SPI, 0x01);
  br_generation = true;
  Outcome out = decode("BIN_FILE 0x1000 fw/prog.bin M0\n");
  ASSERT_EQ(out.result, JobLine::COMMAND) << out.err;
  EXPECT_STREQ(job_command.bin_file, "fw/prog.bin");
  EXPECT_STREQ(job_command.br_file, "keep.br");
}

// ---------------------------------------------------------------------------
// Decimal parameters, read as "%d" reads them.

enum class DecimalField { WAIT_MS, SPEED_HZ, MODE };

struct DecimalCase {
  int phase;
  const char* text;
  DecimalField field;
  int32_t value;
};

void PrintTo(const DecimalCase& c, std::ostream* os) { *os << printable(c.text); }

class Decimal : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(Decimal, StoresTheValue) {
  const DecimalCase& c = GetParam();
  start_job(c.phase);
  job_command.spi_mode = 0xAA;
  Outcome out = decode(std::string(c.text) + "\n");
  ASSERT_EQ(out.result, JobLine::COMMAND) << out.err;
  switch (c.field) {
    case DecimalField::WAIT_MS:
      EXPECT_EQ(job_command.kind, JOB_WAIT);
      EXPECT_EQ(job_command.wait_ms, c.value);
      break;
    case DecimalField::SPEED_HZ:
      EXPECT_EQ(job_command.kind, JOB_BIT_RATE);
      EXPECT_EQ(job_command.spi_speed_hz, c.value);
      break;
    case DecimalField::MODE:
      EXPECT_EQ(job_command.kind, JOB_MODE);
      EXPECT_EQ(job_command.spi_mode, c.value);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, Decimal,
    ::testing::Values(DecimalCase{PHASE_UART, "WAIT 100", DecimalField::WAIT_MS, 100},
                      DecimalCase{PHASE_UART, "wait 100", DecimalField::WAIT_MS, 100},
                      DecimalCase{PHASE_UART, "Wait 100", DecimalField::WAIT_MS, 100},
                      DecimalCase{PHASE_SPI, "WAIT -5", DecimalField::WAIT_MS, -5},
                      DecimalCase{PHASE_SPI, "WAIT 12ms", DecimalField::WAIT_MS, 12},
                      DecimalCase{PHASE_SPI, "WAIT +2147483647", DecimalField::WAIT_MS, INT32_MAX},
                      DecimalCase{PHASE_SPI, "BIT_RATE 2000000", DecimalField::SPEED_HZ, 2000000},
                      DecimalCase{PHASE_SPI, "MODE 2", DecimalField::MODE, 2},
                      DecimalCase{PHASE_SPI, "MODE 259", DecimalField::MODE, 3},
                      DecimalCase{PHASE_SPI, "mode -253", DecimalField::MODE, 3}));

// ---------------------------------------------------------------------------
// File names: the boot record file derived with -w, and BR_FILE.

struct BrNameCase {
  const char* bin_file;
  bool generation;
  const char* br_file;
};

void PrintTo(const BrNameCase& c, std::ostream* os) {
  *os << c.bin_file << (c.generation ? " with -w" : " without -w");
}

class BrName : public ::testing::TestWithParam<BrNameCase> {};

TEST_P(BrName, DerivedFromTheBinaryFileOnlyWithGeneration) {
  const BrNameCase& c = GetParam();
  start_job(PHASE_UART);
  br_generation = c.generation;
  Outcome out = decode(std::string("BIN_FILE 0x0000100F ") + c.bin_file + "\n");
  ASSERT_EQ(out.result, JobLine::COMMAND) << out.err;
  EXPECT_EQ(job_command.kind, JOB_BIN_FILE);
  EXPECT_EQ(job_command.address, 0x100Fu);
  EXPECT_STREQ(job_command.bin_file, c.bin_file);
  EXPECT_STREQ(job_command.br_file, c.br_file);
}

INSTANTIATE_TEST_SUITE_P(Derivation, BrName,
                         ::testing::Values(BrNameCase{"prog.bin", true, "prog.br"},
                                           BrNameCase{"prog", true, "prog.br"},
                                           BrNameCase{"a.b.c", true, "a.b.br"},
                                           BrNameCase{"fw/prog.bin", true, "fw/prog.br"},
                                           BrNameCase{"../prog", true, "..br"},
                                           BrNameCase{"prog.bin", false, "keep.br"}));

TEST(BrFile, TakesTheNameAsWritten) {
  start_job(PHASE_UART);
  Outcome out = decode("br_file Prog.BR\r\n");
  ASSERT_EQ(out.result, JobLine::COMMAND) << out.err;
  EXPECT_EQ(job_command.kind, JOB_BR_FILE);
  EXPECT_STREQ(job_command.br_file, "Prog.BR");
}

// ---------------------------------------------------------------------------
// Syntax reports: message, separator with the line as read, token line.

struct SyntaxCase {
  int phase;
  uint8_t mask;
  const char* text;     // the line, with its line end
  const char* message;  // nullptr: the report has no message line
  const char* token;
};

void PrintTo(const SyntaxCase& c, std::ostream* os) { *os << printable(c.text); }

class SyntaxError : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(SyntaxError, ReportsMessageLineAndToken) {
  const SyntaxCase& c = GetParam();
  start_job(c.phase, c.mask);
  Outcome out = decode(c.text);
  EXPECT_EQ(out.result, JobLine::FAILED);
  EXPECT_EQ(out.err, syntax_report(c.message, c.text, c.token));
}

INSTANTIATE_TEST_SUITE_P(
    Reports, SyntaxError,
    ::testing::Values(
        SyntaxCase{PHASE_UART, 0, "BIT_RATE 2000000\n", "invalid UART job keyword\n", "BIT_RATE"},
        SyntaxCase{PHASE_UART, 0, "mode 1\n", "invalid UART job keyword\n", "MODE"},
        SyntaxCase{PHASE_UART, 0, "foo 1\n", "invalid UART job keyword\n", "FOO"},
        SyntaxCase{PHASE_SPI, 1, "WRITE_32 0x1000 0x1\n", "invalid SPI job keyword\n", "WRITE_32"},
        SyntaxCase{PHASE_SPI, 1, "br_file x.br\n", "invalid SPI job keyword\n", "BR_FILE"},
        SyntaxCase{PHASE_UART, 0, "WRITE_32 0x1002 0x1\n", "bad address alignement (word)\n",
                   "0x1002"},
        SyntaxCase{PHASE_UART, 0, "READ_32 0x1001\n", "bad address alignement (word)\n", "0x1001"},
        SyntaxCase{PHASE_UART, 0, "JUMP 0x00001002\n", "bad address alignement (word)\n",
                   "0x00001002"},
        SyntaxCase{PHASE_UART, 0, "WRITE_16 0x1001 0x1\n", "bad address alignement (halfword)\n",
                   "0x1001"},
        SyntaxCase{PHASE_UART, 0, "READ_16 0x3\n", "bad address alignement (halfword)\n", "0x3"},
        SyntaxCase{PHASE_SPI, 1, "JUMP 0x1001 ALL\n", "bad address alignement (halfword)\n",
                   "0x1001"},
        SyntaxCase{PHASE_SPI, 1, "MODE 4\n", "invalid SPI mode\n", "4"},
        SyntaxCase{PHASE_UART, 0, "WRITE_16 0x1000 0x10000\n", "16 bits data out of range\n",
                   "0x10000"},
        SyntaxCase{PHASE_UART, 0, "WRITE_16 0x1000 -1\n", "16 bits data out of range\n", "-1"},
        SyntaxCase{PHASE_UART, 0, "WRITE_8 0x1001 0x1FF\n", "8 bits data out of range\n", "0x1FF"},
        SyntaxCase{PHASE_UART, 0, "WAIT 100 ; pause\n", "unexpected token\n", ";"},
        SyntaxCase{PHASE_UART, 0, "JUMP 0x1000 M0\n", "unexpected token\n", "M0"},
        SyntaxCase{PHASE_UART, 0, "READ_8 0x10 0x1\n", "unexpected token\n", "0x1"},
        SyntaxCase{PHASE_UART, 0, "BR_FILE a.br b.br\n", "unexpected token\n", "b.br"},
        SyntaxCase{PHASE_UART, 0, "BIN_FILE 0x1000 a.bin M0\n", "unexpected token\n", "M0"},
        SyntaxCase{PHASE_UART, 0, "WRITE_32 0x1000 0x1 0x2\n", "unexpected token\n", "0x2"},
        SyntaxCase{PHASE_SPI, 1, "BIT_RATE 1 2\n", "unexpected token\n", "2"},
        SyntaxCase{PHASE_SPI, 1, "JUMP 0x1000 M0 M1\n", "unexpected token\n", "M1"},
        SyntaxCase{PHASE_SPI, 1, "BIN_FILE 0x1000 a.bin m1\n", "bad sound module\n", "m1"},
        SyntaxCase{PHASE_SPI, 1, "JUMP 0x1000 all\n", "bad sound module\n", "all"},
        // A fifth token: no message line of its own.
        SyntaxCase{PHASE_SPI, 1, "BIN_FILE 0x1000 a.bin M0 extra\n", nullptr, "extra"},
        // A number without any digit is refused, never decoded to a value.
        SyntaxCase{PHASE_UART, 0, "WAIT x\n", "number expected\n", "x"},
        SyntaxCase{PHASE_UART, 0, "WRITE_32 zz 1\n", "number expected\n", "zz"},
        SyntaxCase{PHASE_UART, 0, "WRITE_32 0x1000 -\n", "number expected\n", "-"},
        SyntaxCase{PHASE_SPI, 1, "BIT_RATE fast\n", "number expected\n", "fast"},
        SyntaxCase{PHASE_SPI, 1, "JUMP x0 ALL\n", "number expected\n", "x0"},
        // A number that does not fit in 32 bits is refused as well.
        SyntaxCase{PHASE_UART, 0, "WRITE_32 0x1000 0x1CAFEDECA\n", "number out of range\n",
                   "0x1CAFEDECA"},
        SyntaxCase{PHASE_SPI, 1, "BIT_RATE 4294967296\n", "number out of range\n", "4294967296"},
        SyntaxCase{PHASE_SPI, 1, "WAIT -2147483649\n", "number out of range\n", "-2147483649"}));

// A line holding a NUL is refused whole, comment and blank lines too: read as
// text it would end at the NUL. The report shows each NUL as \0, and the
// token that holds the first one.
TEST(NulCharacter, LineIsRefusedWithEveryNulShown) {
  struct NulCase {
    std::string text;
    const char* shown;
    const char* token;
  };
  const NulCase cases[] = {
      {std::string("WAIT 1\0 0\0\n", 11), "WAIT 1\\0 0\\0\n", "1\\0"},
      {std::string(";\0\n", 3), ";\\0\n", ";\\0"},
      {std::string(" \0", 2), " \\0", "\\0"},
  };
  for (const NulCase& c : cases) {
    start_job(PHASE_UART);
    Outcome out = decode(c.text);
    EXPECT_EQ(out.result, JobLine::FAILED) << printable(c.shown);
    EXPECT_EQ(out.err, syntax_report("NUL character in line\n", c.shown, c.token));
  }
}

struct MissingCase {
  int phase;
  const char* text;
};

void PrintTo(const MissingCase& c, std::ostream* os) { *os << printable(c.text); }

class ParameterMissing : public ::testing::TestWithParam<MissingCase> {};

TEST_P(ParameterMissing, ReportsTheLineThenTheMessage) {
  const MissingCase& c = GetParam();
  start_job(c.phase, 0x0F);
  Outcome out = decode(c.text);
  EXPECT_EQ(out.result, JobLine::FAILED);
  EXPECT_EQ(out.err, separator_and_line(c.text) + error_report("Parameter missing\n"));
}

INSTANTIATE_TEST_SUITE_P(Reports, ParameterMissing,
                         ::testing::Values(MissingCase{PHASE_UART, "WAIT\n"},
                                           MissingCase{PHASE_UART, "WRITE_32 0x1000\n"},
                                           MissingCase{PHASE_UART, "  jump  \r\n"},
                                           MissingCase{PHASE_UART, "BIN_FILE 0x1000\n"},
                                           MissingCase{PHASE_SPI, "BIN_FILE 0x1000 a.bin\n"},
                                           MissingCase{PHASE_SPI, "JUMP 0x1000\n"}));

// A module the search did not find fails the line without any report.
struct AbsentModuleCase {
  uint8_t mask;
  const char* text;
};

void PrintTo(const AbsentModuleCase& c, std::ostream* os) {
  *os << "mask " << int(c.mask) << " " << printable(c.text);
}

class AbsentModule : public ::testing::TestWithParam<AbsentModuleCase> {};

TEST_P(AbsentModule, FailsSilently) {
  const AbsentModuleCase& c = GetParam();
  start_job(PHASE_SPI, c.mask);
  Outcome out = decode(c.text);
  EXPECT_EQ(out.result, JobLine::FAILED);
  EXPECT_EQ(out.err, "");
  EXPECT_STREQ(device_path, "");
}

INSTANTIATE_TEST_SUITE_P(Reports, AbsentModule,
                         ::testing::Values(AbsentModuleCase{0x01, "BIN_FILE 0x1000 a.bin M2\n"},
                                           AbsentModuleCase{0x0B, "JUMP 0x1000 M2\n"},
                                           AbsentModuleCase{0x00, "JUMP 0x1000 ALL\n"},
                                           AbsentModuleCase{0x00, "BIN_FILE 0 a.bin M0\n"}));

// ---------------------------------------------------------------------------
// module_decode against the slots the search found.

struct ModuleCase {
  uint8_t mask;
  const char* name;
  int result;
  const char* device;
};

void PrintTo(const ModuleCase& c, std::ostream* os) {
  *os << "mask " << int(c.mask) << " " << c.name;
}

class ModuleDecode : public ::testing::TestWithParam<ModuleCase> {};

TEST_P(ModuleDecode, ChoosesTheDeviceOfAFoundSlot) {
  const ModuleCase& c = GetParam();
  start_job(PHASE_SPI, c.mask);
  snprintf(device_path, sizeof device_path, "stale");
  snprintf(token, sizeof token, "%s", c.name);
  OutputCapture err(STDERR_FILENO);
  int result = module_decode();
  std::string text = err.take();
  EXPECT_EQ(result, c.result);
  EXPECT_STREQ(device_path, c.device);
  EXPECT_EQ(text, "");
}

INSTANTIATE_TEST_SUITE_P(
    Masks, ModuleDecode,
    ::testing::Values(ModuleCase{0x0F, "M0", 0, "/dev/spidev2.0"},
                      ModuleCase{0x0F, "M1", 0, "/dev/spidev2.1"},
                      ModuleCase{0x0F, "M2", 0, "/dev/spidev2.2"},
                      ModuleCase{0x0F, "M3", 0, "/dev/spidev2.3"},
                      ModuleCase{0x0F, "ALL", 0, "/dev/spidev2.4"},
                      ModuleCase{0x05, "M0", 0, "/dev/spidev2.0"}, ModuleCase{0x05, "M1", -1, ""},
                      ModuleCase{0x05, "M2", 0, "/dev/spidev2.2"}, ModuleCase{0x05, "M3", -1, ""},
                      ModuleCase{0x08, "ALL", 0, "/dev/spidev2.4"}, ModuleCase{0x08, "M0", -1, ""},
                      ModuleCase{0x00, "ALL", -1, ""}, ModuleCase{0x00, "M3", -1, ""}));

TEST(ModuleDecodeName, OtherNamesAreReported) {
  for (const char* name : {"m1", "M4", "ALL0", "all"}) {
    start_job(PHASE_SPI, 0x0F);
    snprintf(line, sizeof line, "JUMP 0x1000 %s\n", name);
    snprintf(token, sizeof token, "%s", name);
    OutputCapture err(STDERR_FILENO);
    int result = module_decode();
    std::string text = err.take();
    EXPECT_EQ(result, -1) << name;
    EXPECT_STREQ(device_path, "") << name;
    EXPECT_EQ(text, syntax_report("bad sound module\n", line, name));
  }
}

// ---------------------------------------------------------------------------
// Line handling across a file.

struct Expected {
  JobLine result;
  JobKind kind;
};

// Reads every line of `text` and checks the result and kind of each.
void expect_lines(int phase, const std::string& text, const std::vector<Expected>& lines) {
  start_job(phase, 0x0F);
  ScratchFile job(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    Outcome out = read_line(job.get());
    EXPECT_EQ(out.result, lines[i].result) << "line " << i << ": " << out.err;
    EXPECT_EQ(job_command.kind, lines[i].kind) << "line " << i;
    EXPECT_EQ(out.err, "") << "line " << i;
  }
}

TEST(JobLines, BlankAndCommentLinesAndLineEnds) {
  expect_lines(PHASE_UART, "\n \t\v\f\r\n;comment\n   ; indented comment\nWAIT 100\r\n  \n",
               {{JobLine::BLANK, JOB_NONE},
                {JobLine::BLANK, JOB_NONE},
                {JobLine::COMMAND, JOB_COMMENT},
                {JobLine::COMMAND, JOB_COMMENT},
                {JobLine::COMMAND, JOB_WAIT},
                {JobLine::BLANK, JOB_NONE},
                {JobLine::END, JOB_NONE},
                {JobLine::END, JOB_NONE}});
  EXPECT_EQ(job_command.wait_ms, 100);
}

TEST(JobLines, CommentSkipsEverythingAfterTheSemicolon) {
  expect_lines(PHASE_SPI, ";BIN_FILE x y z w v\n;;\n",
               {{JobLine::COMMAND, JOB_COMMENT},
                {JobLine::COMMAND, JOB_COMMENT},
                {JobLine::END, JOB_COMMENT}});
  EXPECT_EQ(job_command.params_left, 0);
}

TEST(JobLines, EmptyFileEndsAtOnce) {
  expect_lines(PHASE_UART, "", {{JobLine::END, JOB_NONE}});
  expect_lines(PHASE_SPI, "", {{JobLine::END, JOB_NONE}});
}

TEST(JobLines, LongLineIsReadAs199CharactersThenTheRest) {
  std::string first = "WAIT 5";
  first.resize(199, ' ');
  std::string second = "WAIT 7";
  second.resize(50, ' ');
  start_job(PHASE_UART);
  ScratchFile job(first + second + "\n");
  Outcome out = read_line(job.get());
  ASSERT_EQ(out.result, JobLine::COMMAND) << out.err;
  EXPECT_EQ(strlen(line), 199u);
  EXPECT_EQ(job_command.wait_ms, 5);
  out = read_line(job.get());
  ASSERT_EQ(out.result, JobLine::COMMAND) << out.err;
  EXPECT_EQ(strlen(line), 51u);
  EXPECT_EQ(job_command.wait_ms, 7);
  EXPECT_EQ(read_line(job.get()).result, JobLine::END);
}

TEST(JobLines, TokenAsLongAsTheLineIsKept) {
  std::string name(199 - strlen("BR_FILE "), 'n');
  start_job(PHASE_UART);
  Outcome out = decode("BR_FILE " + name);
  ASSERT_EQ(out.result, JobLine::COMMAND) << out.err;
  EXPECT_EQ(std::string(job_command.br_file), name);
}

TEST(JobLines, FieldsCarryOverAndTheReadBitIsClearedPerLine) {
  start_job(PHASE_UART);
  ScratchFile job("READ_16 0x2\n;x\nWRITE_8 0x3 0x4\n");
  ASSERT_EQ(read_line(job.get()).result, JobLine::COMMAND);
  EXPECT_EQ(job_command.control, 0x62);
  ASSERT_EQ(read_line(job.get()).result, JobLine::COMMAND);
  EXPECT_EQ(job_command.control, 0x42);  // the comment clears only the read bit
  EXPECT_EQ(job_command.address, 0x2u);
  ASSERT_EQ(read_line(job.get()).result, JobLine::COMMAND);
  EXPECT_EQ(job_command.control, 0x01);
  EXPECT_EQ(job_command.address, 0x3u);
}

TEST(JobLines, UnreadableFileFailsInsteadOfEnding) {
  start_job(PHASE_UART);
  FILE* directory = fopen(".", "r");
  ASSERT_NE(directory, nullptr);
  Outcome out = read_line(directory);
  fclose(directory);
  EXPECT_EQ(out.result, JobLine::FAILED);
  EXPECT_EQ(out.err, error_report("job file read failed (" + std::to_string(EISDIR) + ")\n"));
}

}  // namespace
