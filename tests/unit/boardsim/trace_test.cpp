// The decoded journal in its two forms, from journals made by hand: requests
// by name, GPIO records with the reset line's level, serial bytes at their
// speed, transfers with what ran on the wire, results and errors, the
// models' annotations, and the raw bytes beside it all.
#include <gtest/gtest.h>
#include <linux/spi/spidev.h>

#include <cerrno>
#include <string>
#include <vector>

#include "boardsim/journal.h"

namespace boardsim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t START_NS = 7000000000;

Event make(double ms, EventKind kind, int device = -1) {
  Event e;
  e.t_ns = START_NS + static_cast<uint64_t>(ms * 1e6);
  e.kind = kind;
  e.device = device;
  return e;
}

Event gpio(double ms, uint8_t op, uint8_t value_byte) {
  Event e = make(ms, EventKind::GpioWrite, 0);
  e.data = {op, 0, 0, 0, 0x00, 0x00, 0x10, 0x00, 0, 0, value_byte, 0};
  e.result = 12;
  return e;
}

// A write an injected fault kept from the driver: the bytes it took, its result.
Event gpio_not_taken(double ms, std::vector<uint8_t> taken, int result, int err) {
  Event e = make(ms, EventKind::GpioWrite, 0);
  e.data = std::move(taken);
  e.result = result;
  e.err = err;
  return e;
}

Event ioctl_event(EventKind kind, int device, uint32_t request, bool has_value, int64_t value,
                  int result, int err = 0) {
  Event e = make(0, kind, device);
  e.request = request;
  e.has_value = has_value;
  e.value = value;
  e.result = result;
  e.err = err;
  return e;
}

Event transfer() {
  Event e = make(0, EventKind::SpiTransfer, 1);
  e.request = SPI_IOC_MESSAGE(1);
  e.data = {1, 2, 3, 4};
  e.rx = {5, 6, 7, 8};
  e.cs_change = 1;
  e.result = 4;
  e.wire_hz = 1000000;
  e.wire_bits = 8;
  e.wire_mode = 3;
  return e;
}

Event serial_in() {
  Event e = make(0, EventKind::SerialFromSlave, 2);
  e.baud = 57600;
  e.data = {'A', '"', 0x01, 0xFF};
  return e;
}

Event long_write() {
  Event e = make(0, EventKind::SpiWrite, 4);
  e.data = Bytes(100, 0xAB);
  e.result = 100;
  e.wire_hz = 2000000;
  e.wire_bits = 16;
  return e;
}

Event annotation() {
  Event e = make(0, EventKind::Annotation, 4);
  e.bus = Bus::Spi;
  e.unit = "frame";
  e.text = "address 0x00001000: module sum agrees";
  return e;
}

Event note() {
  Event e = make(0, EventKind::Note, 0);
  e.bus = Bus::Serial;
  e.text = "imx: \x01 odd";
  return e;
}

struct TraceCase {
  const char* name;
  std::vector<Event> events;
  std::string text;
  std::string jsonl;
};

void PrintTo(const TraceCase& c, std::ostream* os) { *os << c.name; }

class TraceForms : public ::testing::TestWithParam<TraceCase> {};

TEST_P(TraceForms, EventReadsAsDecoded) {
  Journal journal;
  for (const auto& e : GetParam().events) journal.add(e);
  EXPECT_EQ(journal.to_text(), GetParam().text);
  EXPECT_EQ(journal.to_jsonl(), GetParam().jsonl);
}

std::string repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TraceForms,
    ::testing::Values(
        TraceCase{
            "GpioResetPulse",
            {gpio(0, 1, 0x00), gpio(0.25, 0, 0x00), gpio(10.5, 1, 0x10)},
            "     0.000 ms  gpio-write op 1 (set) mask 0x00100000 value 0x00000000: reset line low"
            "  [01 00 00 00 00 00 10 00 00 00 00 00]\n"
            "     0.250 ms  gpio-write op 0 mask 0x00100000 value 0x00000000: reset line stays low"
            "  [00 00 00 00 00 00 10 00 00 00 00 00]\n"
            "    10.500 ms  gpio-write op 1 (set) mask 0x00100000 value 0x00100000: reset line high"
            "  [01 00 00 00 00 00 10 00 00 00 10 00]\n",
            "{\"t_ms\":0.000000,\"kind\":\"gpio-write\",\"tx\":\"010000000000100000000000\",\"op\":"
            "1,"
            "\"mask\":1048576,\"value\":0,\"reset\":\"low\"}\n"
            "{\"t_ms\":0.250000,\"kind\":\"gpio-write\",\"tx\":\"000000000000100000000000\",\"op\":"
            "0,"
            "\"mask\":1048576,\"value\":0,\"reset\":\"low\"}\n"
            "{\"t_ms\":10.500000,\"kind\":\"gpio-write\",\"tx\":\"010000000000100000001000\","
            "\"op\":1,"
            "\"mask\":1048576,\"value\":1048576,\"reset\":\"high\"}\n"},
        TraceCase{"OpZeroBeforeAnySetLeavesTheLineUndriven",
                  {gpio(0, 0, 0x10)},
                  "     0.000 ms  gpio-write op 0 mask 0x00100000 value 0x00100000: reset line "
                  "stays undriven"
                  "  [00 00 00 00 00 00 10 00 00 00 10 00]\n",
                  "{\"t_ms\":0.000000,\"kind\":\"gpio-write\",\"tx\":\"000000000000100000001000\","
                  "\"op\":0,"
                  "\"mask\":1048576,\"value\":1048576,\"reset\":\"undriven\"}\n"},
        TraceCase{
            "GpioWritesNotTakenWholeShowTheirResultAndLeaveTheLine",
            {gpio(0, 1, 0x00), gpio_not_taken(0.25, {0, 0, 0, 0, 0, 0}, 6, 0),
             gpio_not_taken(10.5, {}, -1, EIO)},
            "     0.000 ms  gpio-write op 1 (set) mask 0x00100000 value 0x00000000: reset line low"
            "  [01 00 00 00 00 00 10 00 00 00 00 00]\n"
            "     0.250 ms  gpio-write 6 bytes  [00 00 00 00 00 00] -> 6\n"
            "    10.500 ms  gpio-write 0 bytes  [] -> -1 (errno 5 Input/output error)\n",
            "{\"t_ms\":0.000000,\"kind\":\"gpio-write\",\"tx\":\"010000000000100000000000\",\"op\":"
            "1,"
            "\"mask\":1048576,\"value\":0,\"reset\":\"low\"}\n"
            "{\"t_ms\":0.250000,\"kind\":\"gpio-write\",\"tx\":\"000000000000\",\"result\":6}\n"
            "{\"t_ms\":10.500000,\"kind\":\"gpio-write\",\"tx\":\"\",\"result\":-1,\"errno\":5}\n"},
        TraceCase{"SerialBytesWithTheirSpeed",
                  {serial_in()},
                  "     0.000 ms  tty-in     ttyS2 57600 baud  \"A\\22\\01\\FF\"\n",
                  "{\"t_ms\":0.000000,\"kind\":\"tty-in\",\"port\":2,\"baud\":57600,\"rx\":"
                  "\"412201FF\"}\n"},
        TraceCase{"SettingByName",
                  {ioctl_event(EventKind::SpiIoctl, 0, SPI_IOC_WR_MAX_SPEED_HZ, true, 100000, 0)},
                  "     0.000 ms  spi-ioctl  spidev2.0 SPI_IOC_WR_MAX_SPEED_HZ 100000 -> 0\n",
                  "{\"t_ms\":0.000000,\"kind\":\"spi-ioctl\",\"cs\":0,\"request\":1074031364,"
                  "\"request_name\":\"SPI_IOC_WR_MAX_SPEED_HZ\",\"value\":100000,\"result\":0}\n"},
        TraceCase{"UnknownRequestByItsFieldsWithItsError",
                  {ioctl_event(EventKind::SpiIoctl, 3, 0x80046B09, false, 0, -1, ENOTTY)},
                  "     0.000 ms  spi-ioctl  spidev2.3 _IOR('k', 9, 4) -> -1 (errno 25 "
                  "Inappropriate ioctl for "
                  "device)\n",
                  "{\"t_ms\":0.000000,\"kind\":\"spi-ioctl\",\"cs\":3,\"request\":2147773193,"
                  "\"request_name\":\"_IOR('k', 9, 4)\",\"result\":-1,\"errno\":25}\n"},
        TraceCase{"TransferAsGivenAndOnTheWire",
                  {transfer()},
                  "     0.000 ms  spi-xfer   spidev2.1 SPI_IOC_MESSAGE(1) tx/rx 4 bytes speed 0 "
                  "bits 0 cs_change 1"
                  " (1000000 Hz, 8 bits, mode 3) -> 4  tx 01 02 03 04  rx 05 06 07 08\n",
                  "{\"t_ms\":0.000000,\"kind\":\"spi-xfer\",\"cs\":1,\"request\":1075866368,"
                  "\"request_name\":\"SPI_IOC_MESSAGE(1)\",\"speed_hz\":0,\"bits_per_word\":0,\"cs_"
                  "change\":1,"
                  "\"delay_usecs\":0,\"wire_hz\":1000000,\"wire_bits\":8,\"wire_mode\":3,\"tx\":"
                  "\"01020304\","
                  "\"rx\":\"05060708\",\"result\":4}\n"},
        TraceCase{"TextShowsTheFirstBytesJsonAll",
                  {long_write()},
                  "     0.000 ms  spi-write  spidev2.4 100 bytes (2000000 Hz, 16 bits, mode 0) -> "
                  "100  tx AB" +
                      repeat(" AB", 63) + " ... (100 bytes)\n",
                  "{\"t_ms\":0.000000,\"kind\":\"spi-write\",\"cs\":4,\"wire_hz\":2000000,\"wire_"
                  "bits\":16,"
                  "\"wire_mode\":0,\"tx\":\"" +
                      repeat("AB", 100) + "\",\"result\":100}\n"},
        TraceCase{"FrameBufferRequestsByName",
                  {ioctl_event(EventKind::FbIoctl, -1, 0x40046706, true, 7, 0),
                   ioctl_event(EventKind::FbIoctl, -1, 0x6704, false, 0, 0),
                   ioctl_event(EventKind::FbIoctl, -1, 0x4600, false, 0, 0)},
                  "     0.000 ms  fb-ioctl   FB_CONTRAST_REQUEST _IOW('g', 6, 4) 7 -> 0\n"
                  "     0.000 ms  fb-ioctl   FB_FOLLOW_UP_REQUEST _IO('g', 4) -> 0\n"
                  "     0.000 ms  fb-ioctl   _IO('F', 0) -> 0\n",
                  "{\"t_ms\":0.000000,\"kind\":\"fb-ioctl\",\"request\":1074030342,"
                  "\"request_name\":\"FB_CONTRAST_REQUEST\",\"value\":7,\"result\":0}\n"
                  "{\"t_ms\":0.000000,\"kind\":\"fb-ioctl\",\"request\":26372,"
                  "\"request_name\":\"FB_FOLLOW_UP_REQUEST\",\"result\":0}\n"
                  "{\"t_ms\":0.000000,\"kind\":\"fb-ioctl\",\"request\":17920,\"request_name\":\"_"
                  "IO('F', 0)\","
                  "\"result\":0}\n"},
        TraceCase{
            "AnnotationAndNoteOnTheirLines",
            {annotation(), note()},
            "     0.000 ms  annotation spidev2.4 frame: address 0x00001000: module sum agrees\n"
            "     0.000 ms  note       ttyS0 imx: \x01 odd\n",
            "{\"t_ms\":0.000000,\"kind\":\"annotation\",\"cs\":4,\"bus\":\"spi\",\"unit\":"
            "\"frame\","
            "\"text\":\"address 0x00001000: module sum agrees\"}\n"
            "{\"t_ms\":0.000000,\"kind\":\"note\",\"port\":0,\"text\":\"imx: \\u0001 odd\"}\n"}),
    [](const ::testing::TestParamInfo<TraceCase>& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace boardsim
