// What a job names may be anything: a binary or UTF-16 file taken for a job,
// a FIFO, a device or a directory where a file belongs. And the console may
// be a pipe that nobody reads. None of it may hang kovrel, drop part of a line
// unseen, or stop a bring-up half way.
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "boardsim/models/sound_modules.h"
#include "support/kovrel_console.h"
#include "uart_board.h"

namespace uart_test {
namespace {

using boardsim::EventKind;
using test_support::FAILED_TITLE;

class HostileInput : public UartBoard {
 protected:
  void SetUp() override {
    UartBoard::SetUp();
    std::string error;
    modules = boardsim::make_sound_modules("0=2", error);
    ASSERT_NE(modules, nullptr) << error;
    for (int device = 0; device < 5; ++device) board.attach_spi(device, modules);
    ASSERT_EQ(mkfifo(board.host_path("/tmp/fifo").c_str(), 0666), 0);
    board.write_file("/tmp/fw.bin", firmware(8));
  }

  // kovrel with `options` and the two jobs (none where empty); both are
  // written to the board first.
  boardsim::RunResult run_jobs(const std::string& uart_job, const std::string& spi_job,
                               std::vector<std::string> options = {}) {
    if (!uart_job.empty()) {
      board.write_file(JOB_PATH, uart_job);
      options.insert(options.end(), {"-u", JOB_PATH});
    }
    if (!spi_job.empty()) {
      board.write_file(SPI_JOB_PATH, spi_job);
      options.insert(options.end(), {"-s", SPI_JOB_PATH});
    }
    return run_kovrel(options);
  }

  boardsim::RunResult run_kovrel(const std::vector<std::string>& options) {
    board.journal().clear();
    boardsim::Command command;
    command.argv = {"kovrel"};
    command.argv.insert(command.argv.end(), options.begin(), options.end());
    // A FIFO or device that blocks kovrel shows as a run killed at this limit.
    command.timeout_s = 20;
    return board.run(command);
  }

  std::shared_ptr<boardsim::SoundModules> modules;
};

// --- NUL characters ----------------------------------------------------------

struct NulRow {
  const char* name;
  std::string uart_job;
  std::string spi_job;
  std::vector<std::string> report;  // on standard error, in this order
};

// A UTF-16 job file as some editors save it: every character followed by NUL.
std::string utf16(const std::string& text) {
  std::string wide;
  for (char c : text) wide += std::string(1, c) + '\0';
  return wide;
}

const NulRow NUL_ROWS[] = {
    {"InsideAValue",
     std::string("WRITE_32 0x001122FC 0xCA\0FEDECA\n", 32),
     "",
     {"\nERROR : NUL character in line\n",
      "\n" + std::string(80, '-') + "\nWRITE_32 0x001122FC 0xCA\\0FEDECA\n\n",
      "\nERROR : token --> 0xCA\\0FEDECA\n\n", FAILED_TITLE}},
    {"Utf16Job",
     utf16("WAIT 1\nWRITE_8 0x1000 0x1\n"),
     "",
     {"\nERROR : NUL character in line\n", "\nERROR : token --> W\\0A\\0I\\0T\\0\n\n",
      FAILED_TITLE}},
    {"InAComment",
     "",
     std::string("; module \0 jump\nJUMP 0x00001000 M0\n", 35),
     {"\nERROR : NUL character in line\n", "\nERROR : token --> \\0\n\n", FAILED_TITLE}},
    {"ZeroFilledSpiJob",
     "",
     std::string(4096, '\0'),
     {"\nERROR : NUL character in line\n", FAILED_TITLE}},
};

class NulLine : public HostileInput, public ::testing::WithParamInterface<NulRow> {};

TEST_P(NulLine, IsASyntaxErrorAndNothingOfItRuns) {
  const NulRow& row = GetParam();
  auto result = run_jobs(row.uart_job, row.spi_job);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 255);
  EXPECT_TRUE(contains_in_order(result.err, row.report));
  EXPECT_EQ(wire(), row.uart_job.empty() ? "" : "A");
  for (const auto& write : board.journal().of(EventKind::SpiWrite)) {
    ADD_FAILURE() << "a frame was sent to device " << write.device;
  }
}

INSTANTIATE_TEST_SUITE_P(Lines, NulLine, ::testing::ValuesIn(NUL_ROWS),
                         [](const ::testing::TestParamInfo<NulRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

// --- Files that are not regular files ----------------------------------------

struct NotRegularRow {
  const char* name;
  std::vector<std::string> options;  // the job options, when a job file is the culprit
  std::string uart_job;
  std::string spi_job;
  const char* culprit;
  bool job_ran;  // the job frame reached the line (FAILED banner expected)
};

const NotRegularRow NOT_REGULAR[] = {
    {"UartJobDirectory", {"-u", "/tmp"}, "", "", "/tmp", false},
    {"SpiJobDirectory", {"-s", "/tmp"}, "", "", "/tmp", false},
    {"UartBinFileFifo", {}, "BIN_FILE 0x1000 /tmp/fifo\n", "", "/tmp/fifo", true},
    {"UartBinFileDevice", {"-w"}, "BIN_FILE 0x1000 /dev/zero\n", "", "/dev/zero", true},
    {"BrFileFifo", {}, "BR_FILE /tmp/fifo\n", "", "/tmp/fifo", true},
    {"BrFileDevice", {}, "BR_FILE /dev/urandom\n", "", "/dev/urandom", true},
    {"SpiBinFileFifo", {}, "", "BIN_FILE 0x1000 /tmp/fifo M0\n", "/tmp/fifo", true},
    {"SpiBinFileDevice", {}, "", "BIN_FILE 0x1000 /dev/zero ALL\n", "/dev/zero", true},
};

class NotRegularFile : public HostileInput, public ::testing::WithParamInterface<NotRegularRow> {};

TEST_P(NotRegularFile, IsRefusedByNameWithoutWaitingOnIt) {
  const NotRegularRow& row = GetParam();
  auto result = run_jobs(row.uart_job, row.spi_job, row.options);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 255);
  EXPECT_TRUE(contains_in_order(
      result.err, {"\nERROR : <" + std::string(row.culprit) + "> is not a regular file\n"}));
  EXPECT_EQ(result.err.find(FAILED_TITLE) != std::string::npos, row.job_ran) << result.err;
  EXPECT_TRUE(board.journal().of(EventKind::SpiWrite).empty());
  EXPECT_FALSE(board.file_exists("/dev/zero.br")) << "no br file for what was not downloaded";
}

INSTANTIATE_TEST_SUITE_P(Files, NotRegularFile, ::testing::ValuesIn(NOT_REGULAR),
                         [](const ::testing::TestParamInfo<NotRegularRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

// --- Job files that are not regular files ----------------------------------------

// A job file is read to its end, line by line: a pipe, a FIFO or a device
// does as well (`kovrel -u <(make_job)`, `-s /dev/null` for an empty job).
struct JobStreamRow {
  const char* name;
  std::vector<std::string> options;
  std::string stdin_data;
  int status;
  std::string wire;                 // the serial line after the reset
  std::vector<std::string> report;  // on standard error, in this order
  bool module_jumped;               // the module in slot 0 was started
};

const JobStreamRow JOB_STREAMS[] = {
    {"UartJobDevNull",
     {"-u", "/dev/null"},
     "",
     0,
     "A",
     {"PROCESSING </dev/null> ...\n\n", "... DONE\n\n"},
     false},
    {"SpiJobDevNull",
     {"-s", "/dev/null"},
     "",
     0,
     "",
     {"Searching sound modules ...", "PROCESSING </dev/null> ...\n\n", "... DONE\n\n"},
     false},
    {"UartJobFifoWithoutWriter",
     {"-u", "/tmp/fifo"},
     "",
     0,
     "A",
     {"PROCESSING </tmp/fifo> ...\n\n", "... DONE\n\n"},
     false},
    {"UartJobFromAPipe",
     {"-u", "/dev/stdin"},
     "WRITE_8 0x00001000 0x5A\n",
     0,
     "A" + record(0x1000, 0x01, "5A"),
     {"PROCESSING </dev/stdin> ...\n\n", "WRITE_8 0x00001000 0x5A\n", "... DONE\n\n"},
     false},
    {"SpiJobFromAPipe",
     {"-s", "/dev/stdin"},
     "BIN_FILE 0x00001000 /tmp/fw.bin M0\nJUMP 0x00001000 M0\n",
     0,
     "",
     {"PROCESSING </dev/stdin> ...\n\n", "JUMP 0x00001000 M0\n", "... DONE\n\n"},
     true},
    // A device is read like any job: /dev/zero yields NUL characters.
    {"UartJobZeroDevice",
     {"-u", "/dev/zero"},
     "",
     255,
     "A",
     {"PROCESSING </dev/zero> ...\n\n", "\nERROR : NUL character in line\n", FAILED_TITLE},
     false},
};

class JobStream : public HostileInput, public ::testing::WithParamInterface<JobStreamRow> {};

TEST_P(JobStream, IsReadToItsEnd) {
  const JobStreamRow& row = GetParam();
  board.journal().clear();
  boardsim::Command command;
  command.argv = {"kovrel", "-v", "3"};
  command.argv.insert(command.argv.end(), row.options.begin(), row.options.end());
  command.stdin_data = row.stdin_data;
  command.timeout_s = 20;
  auto result = board.run(command);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, row.status) << result.err;
  EXPECT_EQ(wire(), row.wire);
  EXPECT_TRUE(contains_in_order(result.err, row.report)) << result.err;
  EXPECT_EQ(result.err.find("is not a regular file"), std::string::npos) << result.err;
  EXPECT_EQ(modules->module(0).jumped, row.module_jumped);
  if (row.module_jumped) {
    EXPECT_EQ(modules->memory(0, 0x1000, 8), bytes_of(firmware(8)));
  }
}

INSTANTIATE_TEST_SUITE_P(Jobs, JobStream, ::testing::ValuesIn(JOB_STREAMS),
                         [](const ::testing::TestParamInfo<JobStreamRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

// --- Downloads past the 32-bit address space --------------------------------------

// The slaves and modules count addresses in 32 bits: a download whose last
// byte would lie past 0xFFFFFFFF is refused, naming the file, before a byte
// of it is sent (no br file either); one that ends on 0xFFFFFFFF is sent.
struct AddressRangeRow {
  const char* name;
  std::string uart_job;
  std::string spi_job;
  uint64_t image_size;  // /tmp/big.bin, sparse
  const char* refusal;  // after "ERROR : "; nullptr when the download is sent
};

const AddressRangeRow ADDRESS_RANGES[] = {
    {"UartOneBytePast", "BIN_FILE 0xFFFFFFF0 /tmp/big.bin\n", "", 17,
     "</tmp/big.bin> of 17 bytes from address FFFFFFF0 passes address FFFFFFFF"},
    {"UartFiveGiB", "BIN_FILE 0x00001000 /tmp/big.bin\n", "", UINT64_C(5) << 30,
     "</tmp/big.bin> of 5368709120 bytes from address 00001000 passes address FFFFFFFF"},
    {"UartEndsOnTheLastAddress", "BIN_FILE 0xFFFFFFF0 /tmp/big.bin\n", "", 16, nullptr},
    {"SpiOneBytePast", "", "BIN_FILE 0xFFFFFFF0 /tmp/big.bin M0\n", 18,
     "</tmp/big.bin> of 18 bytes from address FFFFFFF0 passes address FFFFFFFF"},
    {"SpiBroadcastOddSizePast", "", "BIN_FILE 0xFFFFFFF0 /tmp/big.bin ALL\n", 17,
     "</tmp/big.bin> of 17 bytes from address FFFFFFF0 passes address FFFFFFFF"},
    // Its fill byte goes to 0xFFFFFFFF.
    {"SpiOddSizeEndsOnTheLastAddress", "", "BIN_FILE 0xFFFFFFF0 /tmp/big.bin M0\n", 15, nullptr},
    {"SpiFiveGiB", "", "BIN_FILE 0x00001000 /tmp/big.bin M0\n", UINT64_C(5) << 30,
     "</tmp/big.bin> of 5368709120 bytes from address 00001000 passes address FFFFFFFF"},
    {"SpiEndsOnTheLastAddress", "", "BIN_FILE 0xFFFFFFF0 /tmp/big.bin M0\n", 16, nullptr},
};

class AddressRange : public HostileInput, public ::testing::WithParamInterface<AddressRangeRow> {};

TEST_P(AddressRange, PastTheLastAddressIsRefusedBeforeSending) {
  const AddressRangeRow& row = GetParam();
  board.write_file("/tmp/big.bin", "");
  ASSERT_EQ(truncate(board.host_path("/tmp/big.bin").c_str(), static_cast<off_t>(row.image_size)),
            0);
  const bool uart = !row.uart_job.empty();
  auto result = run_jobs(row.uart_job, row.spi_job,
                         uart ? std::vector<std::string>{"-w"} : std::vector<std::string>{});
  EXPECT_FALSE(result.timed_out);
  const auto frames = board.journal().of(EventKind::SpiWrite);
  if (row.refusal == nullptr) {
    EXPECT_EQ(result.status, 0) << result.err;
    if (uart) {
      EXPECT_EQ(wire(), "A" + record(0xFFFFFFF0, 0xD0, std::string(32, '0')));
    } else {
      ASSERT_FALSE(frames.empty());
      EXPECT_EQ(modules->memory(0, 0xFFFFFFF0, 16), std::vector<uint8_t>(16, 0));
    }
    return;
  }
  EXPECT_EQ(result.status, 255);
  EXPECT_TRUE(
      contains_in_order(result.err, {"\nERROR : " + std::string(row.refusal) + "\n", FAILED_TITLE}))
      << result.err;
  EXPECT_EQ(wire(), uart ? "A" : "");
  EXPECT_TRUE(frames.empty()) << "a frame was sent";
  EXPECT_FALSE(board.file_exists("/tmp/big.br"));
}

INSTANTIATE_TEST_SUITE_P(Downloads, AddressRange, ::testing::ValuesIn(ADDRESS_RANGES),
                         [](const ::testing::TestParamInfo<AddressRangeRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

// --- Two programs at one device ---------------------------------------------------

// A second bring-up, or a bench tool, started while kovrel drives a device
// would interleave its bytes or settings with kovrel's. It stops at once with
// one line naming the device and sends nothing, not even a reset pulse; once
// kovrel has ended, the device is free again.
struct SharedDeviceRow {
  const char* name;
  bool uart_phase;  // the first kovrel is in its UART phase, else its SPI phase
  std::vector<std::string> second;
  std::string out;  // of the second program
  std::string err;
};

const SharedDeviceRow SHARED_DEVICES[] = {
    {"KovrelDuringUartPhase",
     true,
     {"kovrel", "-u", "/tmp/job2.txt"},
     "",
     "\nERROR : </dev/ttyS0> is in use by another program\n\n"},
    {"KovrelDuringSpiPhase",
     false,
     {"kovrel", "-s", "/tmp/job2.txt"},
     "",
     "\nERROR : </dev/spidev2.0> is in use by another program\n\n"},
    {"YalmetDuringSpiPhase",
     false,
     {"yalmet", "-s", "2"},
     "\n/dev/spidev2.2 is in use by another program\n",
     ""},
    {"DasmoDuringSpiPhase",
     false,
     {"dasmo", "-s", "4", "-i", "/tmp/fw.bin"},
     "\n/dev/spidev2.4 is in use by another program\n",
     ""},
    {"FenwixDuringSpiPhase",
     false,
     {"fenwix", "-s", "0", "-n", "4", "-d", "1"},
     "\n/dev/spidev2.0 is in use by another program\n",
     ""},
    {"QuorlaDuringSpiPhase",
     false,
     {"quorla", "-s", "1"},
     "\n/dev/spidev2.1 is in use by another program\n",
     ""},
    {"BrevikDuringSpiPhase",
     false,
     {"brevik", "-s", "3", "-w", "4", "-r", "0", "-l", "1"},
     "\n/dev/spidev2.3 is in use by another program\n",
     ""},
};

class SharedDevice : public HostileInput, public ::testing::WithParamInterface<SharedDeviceRow> {
 protected:
  // Everything any program asked of the devices, but opening and closing.
  size_t device_requests() {
    size_t n = board.journal().of(EventKind::GpioWrite).size();
    for (EventKind kind :
         {EventKind::SpiIoctl, EventKind::SpiRead, EventKind::SpiWrite, EventKind::SpiTransfer}) {
      n += board.journal().of(kind).size();
    }
    return n;
  }
};

TEST_P(SharedDevice, SecondProgramStopsAtOnceNamingTheDevice) {
  const SharedDeviceRow& row = GetParam();
  board.write_file("/tmp/job2.txt", "; a second job\n");
  board.write_file(JOB_PATH, "WAIT 3000\n");
  board.journal().clear();
  boardsim::Command first;
  first.argv = {"kovrel", row.uart_phase ? "-u" : "-s", JOB_PATH};
  first.timeout_s = 30;
  auto process = board.start(first);
  // In its WAIT: the sync character sent, or the four slots searched.
  ASSERT_TRUE(process->wait_until(
      [&] {
        return row.uart_phase ? wire() == "A" : board.journal().of(EventKind::SpiRead).size() == 4;
      },
      20));
  const size_t before = device_requests();
  boardsim::Command second;
  second.argv = row.second;
  second.timeout_s = 20;
  auto result = board.run(second);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, row.out);
  EXPECT_EQ(result.err, row.err);
  EXPECT_EQ(device_requests(), before) << board.journal().to_text();
  EXPECT_EQ(wire(), row.uart_phase ? "A" : "");
  EXPECT_TRUE(process->running()) << "the first kovrel goes on";
  process->kill(SIGTERM);
  auto again = board.run(second);
  EXPECT_EQ(again.out.find("in use"), std::string::npos) << again.out;
  EXPECT_EQ(again.err.find("in use"), std::string::npos) << again.err;
}

INSTANTIATE_TEST_SUITE_P(Programs, SharedDevice, ::testing::ValuesIn(SHARED_DEVICES),
                         [](const ::testing::TestParamInfo<SharedDeviceRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

// --- A console nobody reads -----------------------------------------------------

// `kovrel -v 3 ... 2>&1 | head -3`: the pipe closes after a few lines. Here it
// is closed from the start, so every line of progress meets it.
TEST_F(HostileInput, ClosedConsolePipeDoesNotStopTheBringUp) {
  board.write_file(JOB_PATH,
                   "WRITE_32 0x001122FC 0xCAFEDECA\nBIN_FILE 0x00001000 /tmp/fw.bin\n"
                   "JUMP 0x00001000\n");
  board.write_file(SPI_JOB_PATH, "BIN_FILE 0x00001000 /tmp/fw.bin M0\nJUMP 0x00001000 M0\n");
  int console[2];
  ASSERT_EQ(pipe(console), 0);
  close(console[0]);
  const int saved_stderr = dup(STDERR_FILENO);
  ASSERT_GE(saved_stderr, 0);
  // This process writes nothing while its standard error is the dead pipe;
  // kovrel starts with every signal at its default.
  void (*saved_pipe)(int) = signal(SIGPIPE, SIG_IGN);
  dup2(console[1], STDERR_FILENO);
  close(console[1]);
  boardsim::Command command;
  command.argv = {"kovrel", "-v", "3", "-r", "-u", JOB_PATH, "-s", SPI_JOB_PATH};
  command.passthrough_stdio = true;
  command.timeout_s = 60;
  auto result = board.run(command);
  dup2(saved_stderr, STDERR_FILENO);
  close(saved_stderr);
  signal(SIGPIPE, saved_pipe);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(slave->memory_bytes(0x001122FC, 4), (std::vector<uint8_t>{0xCA, 0xDE, 0xFE, 0xCA}));
  EXPECT_EQ(slave->jumps(), std::vector<uint32_t>{0x1000});
  EXPECT_TRUE(modules->module(0).jumped);
  EXPECT_EQ(modules->memory(0, 0x1000, 8), bytes_of(firmware(8)));
  // The serial port's requests stay on the serial port, though it is still
  // open while the SPI devices are used.
  for (const auto& e : board.journal().of(EventKind::SpiIoctl)) {
    EXPECT_EQ(_IOC_TYPE(e.request), SPI_IOC_MAGIC) << std::hex << e.request;
  }
}

}  // namespace
}  // namespace uart_test
