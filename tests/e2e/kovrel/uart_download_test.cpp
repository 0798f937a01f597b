// Binary file downloads over boot records, the br file written with -w, and
// its replay with BR_FILE.
#include <string>
#include <vector>

#include "uart_board.h"

namespace uart_test {
namespace {

constexpr const char* IMAGE_PATH = "/tmp/fw.bin";
constexpr const char* BR_PATH = "/tmp/fw.br";

struct Chunk {
  uint32_t address;
  uint8_t control;
  size_t size;
};

struct DownloadRow {
  const char* name;
  uint32_t address;
  size_t size;
  std::vector<Chunk> chunks;
};

const DownloadRow DOWNLOADS[] = {
    {"Words60", 0x1000, 60, {{0x1000, 0xDC, 28}, {0x101C, 0xDC, 28}, {0x1038, 0xC4, 4}}},
    {"Bytes62", 0x1000, 62, {{0x1000, 0x1F, 31}, {0x101F, 0x1F, 31}}},
    {"UnalignedAddress", 0x100F, 40, {{0x100F, 0x1F, 31}, {0x102E, 0x09, 9}}},
    {"UnalignedAddressWholeWords", 0x100F, 8, {{0x100F, 0x08, 8}}},
    {"OneWord", 0x2000, 4, {{0x2000, 0xC4, 4}}},
    {"Empty", 0x1000, 0, {}},
};

// The records a download of `image` must produce, as line text.
std::string expected_records(const DownloadRow& row, const std::string& image) {
  std::string text;
  size_t offset = 0;
  for (const Chunk& chunk : row.chunks) {
    const bool words = (chunk.control >> 6) == 3;
    text +=
        record(chunk.address, chunk.control, data_field(image.substr(offset, chunk.size), words));
    offset += chunk.size;
  }
  return text;
}

std::string bin_file_line(uint32_t address, const char* path) {
  return "BIN_FILE 0x" + hex(address, 8) + " " + path + "\n";
}

class UartDownload : public UartBoard, public ::testing::WithParamInterface<DownloadRow> {};

TEST_P(UartDownload, ChunksAddressesAndMemory) {
  const DownloadRow& row = GetParam();
  const std::string image = firmware(row.size);
  board.write_file(IMAGE_PATH, image);
  auto result = run_job(bin_file_line(row.address, IMAGE_PATH), {"-r"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(wire(), "A" + expected_records(row, image));
  EXPECT_EQ(slave->memory_bytes(row.address, row.size), bytes_of(image));
  EXPECT_EQ(slave->memory().size(), row.size);
  EXPECT_FALSE(board.file_exists(BR_PATH)) << "a br file is written only with -w";
}

TEST_P(UartDownload, BrFileHoldsTheRecordsOneALine) {
  const DownloadRow& row = GetParam();
  const std::string image = firmware(row.size, 2);
  board.write_file(IMAGE_PATH, image);
  auto result = run_job(bin_file_line(row.address, IMAGE_PATH), {"-w"});
  ASSERT_EQ(result.status, 0) << result.err;
  std::string lines;
  size_t offset = 0;
  for (const Chunk& chunk : row.chunks) {
    const bool words = (chunk.control >> 6) == 3;
    lines +=
        record(chunk.address, chunk.control, data_field(image.substr(offset, chunk.size), words));
    lines += "\n";
    offset += chunk.size;
  }
  ASSERT_TRUE(board.file_exists(BR_PATH));
  EXPECT_EQ(board.read_file(BR_PATH), lines);
}

INSTANTIATE_TEST_SUITE_P(Images, UartDownload, ::testing::ValuesIn(DOWNLOADS),
                         [](const ::testing::TestParamInfo<DownloadRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

struct BrExampleRow {
  uint32_t address;
  std::string image;
  const char* br;
};

const BrExampleRow BR_EXAMPLES[] = {
    {0x1000, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8), "00001000C80403020108070605\n"},
    {0x100F, std::string("\xAA\xBB\xCC", 3), "0000100F03AABBCC\n"},
};

class UartBrExample : public UartBoard, public ::testing::WithParamInterface<BrExampleRow> {};

TEST_P(UartBrExample, LineIsTheRecordAsSent) {
  board.write_file(IMAGE_PATH, GetParam().image);
  auto result = run_job(bin_file_line(GetParam().address, IMAGE_PATH), {"-w"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(board.read_file(BR_PATH), GetParam().br);
  std::string sent = GetParam().br;
  sent.pop_back();
  EXPECT_EQ(wire(), "A" + sent);
}

INSTANTIATE_TEST_SUITE_P(Examples, UartBrExample, ::testing::ValuesIn(BR_EXAMPLES));

TEST_F(UartBoard, BrFileIsEmptiedByANewDownloadAndOtherRecordsStayOut) {
  board.write_file(BR_PATH, "stale content that must go\n");
  board.write_file(IMAGE_PATH, std::string("\x01\x02\x03\x04", 4));
  auto result = run_job(std::string("WRITE_32 0x00002000 0x1\n") +
                            bin_file_line(0x1000, IMAGE_PATH) + "JUMP 0x00001000\n",
                        {"-w", "-r"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(board.read_file(BR_PATH), "00001000C404030201\n");
}

TEST_F(UartBoard, BrFileThatIsTheBinaryFileIsRefusedAndTheImageKept) {
  // "fw.br" derives to "fw.br" itself: writing it would empty the image
  // before a byte of it went out.
  const std::string image = firmware(60, 5);
  board.write_file(BR_PATH, image);
  auto result = run_job(bin_file_line(0x1000, BR_PATH), {"-w"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(board.read_file(BR_PATH), image);
  EXPECT_EQ(wire(), "A") << "nothing of the image is sent";
  EXPECT_TRUE(contains_in_order(
      result.err,
      {"\nERROR : boot record file </tmp/fw.br> is the binary file itself\n", "... FAILED\n\n"}));
}

TEST_F(UartBoard, BrFileReplaysTheDownloadByteForByte) {
  const std::string image = firmware(150, 3);
  board.write_file(IMAGE_PATH, image);
  auto first = run_job(bin_file_line(0x1000, IMAGE_PATH), {"-w"});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string downloaded = wire();

  attach({});
  auto replay = run_job(std::string("BR_FILE ") + BR_PATH + "\n", {"-v", "1"});
  ASSERT_EQ(replay.status, 0) << replay.err;
  EXPECT_EQ(wire(), downloaded);
  EXPECT_EQ(slave->memory_bytes(0x1000, image.size()), bytes_of(image));
  // Each record is shown as it is sent; the pace of the replay is checked
  // by UartTiming.BrFileReplayKeepsTheRecords20msApart.
  const std::string br = board.read_file(BR_PATH);
  EXPECT_TRUE(contains_in_order(replay.err, {br.substr(0, br.find('\n') + 1)}));
}

TEST_F(UartBoard, BrFileWordUpToTheLongestRecordIsSentLongerIsRefused) {
  const std::string longest = record(0x100F, 0x1F, std::string(62, '5'));
  ASSERT_EQ(longest.size(), 72u);
  board.write_file(BR_PATH, longest + "\n");
  auto sent = run_job(std::string("BR_FILE ") + BR_PATH + "\n");
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(wire(), "A" + longest);

  board.write_file(BR_PATH, "00001000C4CAFEDECA\n" + longest + "5\n");
  auto refused = run_job(std::string("BR_FILE ") + BR_PATH + "\n");
  EXPECT_EQ(refused.status, 255);
  EXPECT_EQ(wire(), "A") << "the file is checked whole before a record is sent";
  EXPECT_TRUE(contains_in_order(
      refused.err,
      {"\nERROR : boot record longer than 72 chars in </tmp/fw.br> line 2\n", "... FAILED\n\n"}));
}

}  // namespace
}  // namespace uart_test

namespace uart_test {
namespace {

// The demo's UART job, with an image of the size it downloads in place of
// the one examples/make_firmware.sh generates.
TEST_F(UartBoard, ExampleJobBringsTheSlaveUp) {
  const std::string image = firmware(256, 4);
  board.write_file("/tmp/examples/firmware/uart_boot.bin", image);
  board.journal().clear();
  boardsim::Command command;
  command.argv = {"kovrel", "-v", "1", "-r", "-u", BOARD_SOURCE_DIR "/examples/uart_job.txt"};
  command.cwd = "/tmp";
  auto result = board.run(command);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains_in_order(result.err,
                                {"\tBRECORD = 001122FC E4 001122FCE4CAFEDECA>\n", "... DONE\n\n"}));
  EXPECT_EQ(slave->memory_bytes(0x1000, image.size()), bytes_of(image));
  EXPECT_EQ(slave->jumps(), std::vector<uint32_t>{0x1000});
}

}  // namespace
}  // namespace uart_test
