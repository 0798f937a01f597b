// The simulated spidev driver, driven in-process with the requests the shim
// sends: what a program would see (results, errno, bytes) and what the far end
// and the journal see.
#include <gtest/gtest.h>
#include <linux/spi/spidev.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/journal.h"
#include "src/device_server.h"

namespace boardsim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int PID = 4242;

uint32_t message_request(size_t n) {
  return _IOC(_IOC_WRITE, SPI_IOC_MAGIC, 0, n * sizeof(spi_ioc_transfer));
}

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

Bytes le32_bytes(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// A program-side view of one call: the result, or -errno on failure.
struct Answer {
  int code = 0;
  Bytes payload;
};

struct Xfer {
  uint32_t len = 0;
  Bytes tx;  // empty: no tx buffer
  bool has_rx = true;
  uint32_t speed_hz = 0;
  uint8_t bits = 0;
  uint8_t cs_change = 1;
  uint16_t delay_usecs = 0;
};

// Remembers every exchange as the far end saw it.
class RecordingSpi : public SpiFarEnd {
 public:
  struct Seen {
    size_t len;
    uint8_t bits;
    uint32_t speed_hz;
    uint32_t mode;
    bool tx, rx;
  };
  void exchange(SpiExchange& x) override {
    seen.push_back({x.len, x.bits_per_word, x.speed_hz, x.mode, x.tx != nullptr, x.rx != nullptr});
  }
  std::vector<Seen> seen;
};

class DeviceServerTest : public ::testing::Test {
 protected:
  DeviceServer& server() {
    if (!server_) server_ = std::make_unique<DeviceServer>(config, journal);
    return *server_;
  }

  Answer call(int conn, uint32_t op, uint32_t request, uint32_t arg, const Bytes& payload,
              int device = 0, uint32_t flags = 0) {
    boardsim_request req{};
    req.op = op;
    req.device = device;
    req.request = request;
    req.arg = arg;
    req.flags = flags;
    req.payload_len = static_cast<uint32_t>(payload.size());
    req.pid = PID;
    const Bytes raw = server().handle(conn, req, payload);
    Answer a;
    if (raw.size() < sizeof(boardsim_reply)) {
      ADD_FAILURE() << "reply shorter than its header";
      return a;
    }
    const int result = static_cast<int32_t>(le32(raw.data()));
    const int err = static_cast<int32_t>(le32(raw.data() + 4));
    EXPECT_EQ(le32(raw.data() + 8), raw.size() - sizeof(boardsim_reply));
    a.code = result < 0 ? -err : result;
    a.payload.assign(raw.begin() + sizeof(boardsim_reply), raw.end());
    return a;
  }

  int open(int conn, int device) { return call(conn, BOARDSIM_OP_SPI_OPEN, 0, 2, {}, device).code; }
  int set(int conn, uint32_t request, uint32_t value) {
    return call(conn, BOARDSIM_OP_SPI_IOCTL, request, 0, le32_bytes(value)).code;
  }
  // The value read back, or -errno.
  int64_t get(int conn, uint32_t request) {
    const Answer a = call(conn, BOARDSIM_OP_SPI_IOCTL, request, 0, {});
    if (a.code < 0) return a.code;
    EXPECT_EQ(a.payload.size(), 4u);
    return a.payload.size() == 4 ? le32(a.payload.data()) : -1;
  }
  Answer read(int conn, uint32_t n) { return call(conn, BOARDSIM_OP_SPI_READ, 0, n, {}); }
  Answer write(int conn, const Bytes& data) {
    return call(conn, BOARDSIM_OP_SPI_WRITE, 0, 0, data);
  }
  Answer message(int conn, const std::vector<Xfer>& xfers) {
    Bytes payload;
    for (const auto& x : xfers) {
      boardsim_xfer r{};
      r.len = x.len;
      r.speed_hz = x.speed_hz;
      r.delay_usecs = x.delay_usecs;
      r.bits_per_word = x.bits;
      r.cs_change = x.cs_change;
      r.has_tx = !x.tx.empty();
      r.has_rx = x.has_rx;
      const auto* p = reinterpret_cast<const uint8_t*>(&r);
      payload.insert(payload.end(), p, p + sizeof r);
    }
    for (const auto& x : xfers) payload.insert(payload.end(), x.tx.begin(), x.tx.end());
    return call(conn, BOARDSIM_OP_SPI_IOCTL, message_request(xfers.size()), 0, payload);
  }

  BoardConfig config;
  Journal journal;

 private:
  std::unique_ptr<DeviceServer> server_;
};

// Names each instantiated case after its table row.
struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& row) const {
    return row.param.name;
  }
};

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}

// ---------------------------------------------------------------- settings

struct SettingCase {
  const char* name;
  std::function<void(BoardConfig&)> tweak;
  std::vector<std::pair<uint32_t, uint32_t>> before;  // writes that must succeed first
  uint32_t write_request;
  uint32_t write_value;
  int write_code;  // 0 or -errno
  uint32_t read_request;
  std::function<uint32_t(const BoardConfig&)> read_back;
};

class SpidevSettingTest : public DeviceServerTest,
                          public ::testing::WithParamInterface<SettingCase> {};

TEST_P(SpidevSettingTest, WriteThenReadBack) {
  const SettingCase& c = GetParam();
  if (c.tweak) c.tweak(config);
  ASSERT_EQ(open(1, 0), 0);
  for (const auto& [request, value] : c.before) ASSERT_EQ(set(1, request, value), 0);
  EXPECT_EQ(set(1, c.write_request, c.write_value), c.write_code);
  EXPECT_EQ(get(1, c.read_request), static_cast<int64_t>(c.read_back(config)));
}

auto fixed(uint32_t v) {
  return [v](const BoardConfig&) { return v; };
}

INSTANTIATE_TEST_SUITE_P(
    Spidev, SpidevSettingTest,
    ::testing::Values(SettingCase{"Bits16",
                                  nullptr,
                                  {},
                                  SPI_IOC_WR_BITS_PER_WORD,
                                  16,
                                  0,
                                  SPI_IOC_RD_BITS_PER_WORD,
                                  fixed(16)},
                      SettingCase{"BitsZeroMeansEight",
                                  nullptr,
                                  {{SPI_IOC_WR_BITS_PER_WORD, 16}},
                                  SPI_IOC_WR_BITS_PER_WORD,
                                  0,
                                  0,
                                  SPI_IOC_RD_BITS_PER_WORD,
                                  fixed(8)},
                      SettingCase{"Bits17UnsupportedKeeps16",
                                  nullptr,
                                  {{SPI_IOC_WR_BITS_PER_WORD, 16}},
                                  SPI_IOC_WR_BITS_PER_WORD,
                                  17,
                                  -EINVAL,
                                  SPI_IOC_RD_BITS_PER_WORD,
                                  fixed(16)},
                      SettingCase{"Bits33NeverSupported",
                                  [](BoardConfig& b) { b.spi_supported_bits = 0xFFFFFFFFu; },
                                  {},
                                  SPI_IOC_WR_BITS_PER_WORD,
                                  33,
                                  -EINVAL,
                                  SPI_IOC_RD_BITS_PER_WORD,
                                  fixed(8)},
                      SettingCase{"Bits12NotInMask",
                                  [](BoardConfig& b) { b.spi_supported_bits = 0x80808080u; },
                                  {},
                                  SPI_IOC_WR_BITS_PER_WORD,
                                  12,
                                  -EINVAL,
                                  SPI_IOC_RD_BITS_PER_WORD,
                                  fixed(8)},
                      SettingCase{"Bits24WhenSupported",
                                  [](BoardConfig& b) { b.spi_supported_bits = 0x00800080u; },
                                  {},
                                  SPI_IOC_WR_BITS_PER_WORD,
                                  24,
                                  0,
                                  SPI_IOC_RD_BITS_PER_WORD,
                                  fixed(24)},
                      SettingCase{
                          "Mode3", nullptr, {}, SPI_IOC_WR_MODE, 3, 0, SPI_IOC_RD_MODE, fixed(3)},
                      SettingCase{"ModeNoCsUnsupportedKeeps1",
                                  nullptr,
                                  {{SPI_IOC_WR_MODE, 1}},
                                  SPI_IOC_WR_MODE,
                                  0x41,
                                  -EINVAL,
                                  SPI_IOC_RD_MODE,
                                  fixed(1)},
                      SettingCase{"ModeCpolOnlyController",
                                  [](BoardConfig& b) { b.spi_supported_modes = 0x2; },
                                  {},
                                  SPI_IOC_WR_MODE,
                                  1,
                                  -EINVAL,
                                  SPI_IOC_RD_MODE,
                                  fixed(0)},
                      SettingCase{"Mode32BeyondUserBits",
                                  [](BoardConfig& b) { b.spi_supported_modes = 0xFFFFFFFFu; },
                                  {},
                                  SPI_IOC_WR_MODE32,
                                  0x20000,
                                  -EINVAL,
                                  SPI_IOC_RD_MODE32,
                                  fixed(0)},
                      SettingCase{"Mode32Wide",
                                  [](BoardConfig& b) { b.spi_supported_modes = 0x1FFFF; },
                                  {},
                                  SPI_IOC_WR_MODE32,
                                  0x10103,
                                  0,
                                  SPI_IOC_RD_MODE32,
                                  fixed(0x10103)},
                      SettingCase{"Mode8BitReadOfWideMode",
                                  [](BoardConfig& b) { b.spi_supported_modes = 0x1FFFF; },
                                  {},
                                  SPI_IOC_WR_MODE32,
                                  0x10103,
                                  0,
                                  SPI_IOC_RD_MODE,
                                  fixed(0x03)},
                      SettingCase{"LsbFirstShowsInMode",
                                  nullptr,
                                  {{SPI_IOC_WR_MODE, 2}},
                                  SPI_IOC_WR_LSB_FIRST,
                                  1,
                                  0,
                                  SPI_IOC_RD_MODE,
                                  fixed(0x0A)},
                      SettingCase{"LsbFirstReadsBackOne",
                                  nullptr,
                                  {},
                                  SPI_IOC_WR_LSB_FIRST,
                                  1,
                                  0,
                                  SPI_IOC_RD_LSB_FIRST,
                                  fixed(1)},
                      SettingCase{"LsbFirstUnsupported",
                                  [](BoardConfig& b) { b.spi_supported_modes = 0x3; },
                                  {},
                                  SPI_IOC_WR_LSB_FIRST,
                                  1,
                                  -EINVAL,
                                  SPI_IOC_RD_LSB_FIRST,
                                  fixed(0)},
                      SettingCase{"SpeedBelowMax",
                                  nullptr,
                                  {},
                                  SPI_IOC_WR_MAX_SPEED_HZ,
                                  400000,
                                  0,
                                  SPI_IOC_RD_MAX_SPEED_HZ,
                                  fixed(400000)},
                      SettingCase{"SpeedAboveMaxReadsMax",
                                  nullptr,
                                  {},
                                  SPI_IOC_WR_MAX_SPEED_HZ,
                                  90000000,
                                  0,
                                  SPI_IOC_RD_MAX_SPEED_HZ,
                                  [](const BoardConfig& b) { return b.spi_controller_max_hz; }},
                      SettingCase{"SpeedZeroReadsMax",
                                  nullptr,
                                  {},
                                  SPI_IOC_WR_MAX_SPEED_HZ,
                                  0,
                                  0,
                                  SPI_IOC_RD_MAX_SPEED_HZ,
                                  [](const BoardConfig& b) { return b.spi_controller_max_hz; }},
                      SettingCase{"SpeedDefaultBeforeWrite",
                                  [](BoardConfig& b) { b.spi_default_speed_hz = 123456; },
                                  {},
                                  SPI_IOC_RD_BITS_PER_WORD,
                                  0,
                                  0,
                                  SPI_IOC_RD_MAX_SPEED_HZ,
                                  fixed(123456)}),
    CaseName());

TEST_F(DeviceServerTest, SettingsPersistAcrossConnectionsPerDevice) {
  ASSERT_EQ(open(1, 2), 0);
  ASSERT_EQ(set(1, SPI_IOC_WR_BITS_PER_WORD, 16), 0);
  ASSERT_EQ(set(1, SPI_IOC_WR_MODE, 1), 0);
  ASSERT_EQ(set(1, SPI_IOC_WR_MAX_SPEED_HZ, 400000), 0);
  server().connection_closed(1);
  server().start_run();  // a later command on the same board

  ASSERT_EQ(open(2, 2), 0);
  EXPECT_EQ(get(2, SPI_IOC_RD_BITS_PER_WORD), 16);
  EXPECT_EQ(get(2, SPI_IOC_RD_MODE), 1);
  EXPECT_EQ(get(2, SPI_IOC_RD_MAX_SPEED_HZ), 400000);
  EXPECT_EQ(server().state(2).bits_per_word, 16);

  ASSERT_EQ(open(3, 3), 0);  // another chip select keeps its own settings
  EXPECT_EQ(get(3, SPI_IOC_RD_BITS_PER_WORD), 8);
  EXPECT_EQ(get(3, SPI_IOC_RD_MODE), 0);
  EXPECT_EQ(get(3, SPI_IOC_RD_MAX_SPEED_HZ), config.spi_default_speed_hz);
}

TEST_F(DeviceServerTest, OpenFailsForMissingDevices) {
  server().state(1).present = false;
  EXPECT_EQ(open(1, 5), -ENOENT);
  EXPECT_EQ(open(2, -1), -ENOENT);
  EXPECT_EQ(open(3, 1), -ENOENT);
  EXPECT_EQ(open(4, 4), 0);
  const auto opens = journal.of(EventKind::SpiOpen);
  ASSERT_EQ(opens.size(), 4u);
  EXPECT_EQ(opens[2].device, 1);
  EXPECT_EQ(opens[2].result, -1);
  EXPECT_EQ(opens[2].err, ENOENT);
  EXPECT_EQ(opens[3].result, 0);
  EXPECT_EQ(opens[3].pid, PID);
}

struct RequestCase {
  const char* name;
  uint32_t request;
  int code;
};

class SpidevRequestTest : public DeviceServerTest,
                          public ::testing::WithParamInterface<RequestCase> {};

TEST_P(SpidevRequestTest, AnswersLikeTheDriver) {
  ASSERT_EQ(open(1, 0), 0);
  EXPECT_EQ(call(1, BOARDSIM_OP_SPI_IOCTL, GetParam().request, 0, {}).code, GetParam().code);
  EXPECT_TRUE(server().scripted(0).captured.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Spidev, SpidevRequestTest,
    ::testing::Values(
        RequestCase{"OtherType", 0x40046706u, -ENOTTY},
        RequestCase{"UnknownNumber", _IOR(SPI_IOC_MAGIC, 9, uint8_t), -ENOTTY},
        RequestCase{"MessageNotWholeRecords", _IOC(_IOC_WRITE, SPI_IOC_MAGIC, 0, 40), -EINVAL},
        RequestCase{"MessageReadDirection", _IOC(_IOC_READ, SPI_IOC_MAGIC, 0, 32), -ENOTTY},
        RequestCase{"MessageWithoutItsRecords", message_request(1), -EINVAL},
        RequestCase{"EmptyMessage", _IOC(_IOC_WRITE, SPI_IOC_MAGIC, 0, 0), 0}),
    CaseName());

TEST_F(DeviceServerTest, RequestWithoutOpenIsBadDescriptor) {
  EXPECT_EQ(read(7, 2).code, -EBADF);
  EXPECT_EQ(open(8, 9), -ENOENT);
  EXPECT_EQ(write(8, {1, 2}).code, -EBADF);
}

// ------------------------------------------------------- sizes and words

class SpidevSizeTest;

struct SizeCase {
  const char* name;
  std::function<void(BoardConfig&)> tweak;
  uint8_t device_bits;
  std::function<Answer(SpidevSizeTest&)> act;  // on connection 1, device 0
  int code;
};

class SpidevSizeTest : public DeviceServerTest, public ::testing::WithParamInterface<SizeCase> {
 public:
  Answer do_read(uint32_t n) { return read(1, n); }
  Answer do_write(size_t n) { return write(1, pattern(n)); }
  Answer do_message(const std::vector<Xfer>& x) { return message(1, x); }
};

TEST_P(SpidevSizeTest, CountsAgainstWordAndBuffer) {
  const SizeCase& c = GetParam();
  if (c.tweak) c.tweak(config);
  server().scripted(0).answers.assign(8, 0x5A);
  ASSERT_EQ(open(1, 0), 0);
  ASSERT_EQ(set(1, SPI_IOC_WR_BITS_PER_WORD, c.device_bits), 0);
  const Answer a = c.act(*this);
  EXPECT_EQ(a.code, c.code);
  if (c.code < 0) {
    // A refused call moves nothing: the far end neither hears nor answers.
    EXPECT_TRUE(server().scripted(0).captured.empty());
    EXPECT_EQ(server().scripted(0).answers.size(), 8u);
    EXPECT_TRUE(a.payload.empty());
  }
}

Xfer duplex(uint32_t len, uint8_t bits = 0) {
  Xfer x;
  x.len = len;
  x.tx = pattern(len);
  x.bits = bits;
  return x;
}

Xfer rx_only(uint32_t len) {
  Xfer x;
  x.len = len;
  return x;
}

auto rd(uint32_t n) {
  return [n](SpidevSizeTest& t) { return t.do_read(n); };
}
auto wr(size_t n) {
  return [n](SpidevSizeTest& t) { return t.do_write(n); };
}
auto msg(std::vector<Xfer> x) {
  return [x](SpidevSizeTest& t) { return t.do_message(x); };
}
void small_buffer(BoardConfig& b) { b.spi_buffer_size = 64; }
void wide_words(BoardConfig& b) { b.spi_supported_bits = 0x00FFFFFFu; }

INSTANTIATE_TEST_SUITE_P(
    Spidev, SpidevSizeTest,
    ::testing::Values(
        SizeCase{"ReadOddAt16Bits", nullptr, 16, rd(3), -EINVAL},
        SizeCase{"ReadEvenAt16Bits", nullptr, 16, rd(4), 4},
        SizeCase{"ReadOddAt8Bits", nullptr, 8, rd(3), 3},
        SizeCase{"WriteOddAt16Bits", nullptr, 16, wr(5), -EINVAL},
        SizeCase{"WriteOddAt9Bits", nullptr, 9, wr(1), -EINVAL},
        SizeCase{"Read6At24BitsNeeds4ByteWords", wide_words, 24, rd(6), -EINVAL},
        SizeCase{"Read8At24Bits", wide_words, 24, rd(8), 8},
        SizeCase{"ReadWholeBuffer", nullptr, 8, rd(4096), 4096},
        SizeCase{"ReadAboveBuffer", nullptr, 8, rd(4097), -EMSGSIZE},
        SizeCase{"WriteAboveBuffer", nullptr, 8, wr(4097), -EMSGSIZE},
        SizeCase{"WriteAboveSmallBuffer", small_buffer, 8, wr(65), -EMSGSIZE},
        SizeCase{"MessageOddAt16BitsByDevice", nullptr, 16, msg({duplex(3)}), -EINVAL},
        SizeCase{"MessageOddAt16BitsByTransfer", nullptr, 8, msg({duplex(3, 16)}), -EINVAL},
        SizeCase{"MessageOddAt8BitsByTransfer", nullptr, 16, msg({duplex(3, 8)}), 3},
        SizeCase{"MessageUnsupportedWord", nullptr, 8, msg({duplex(4, 20)}), -EINVAL},
        SizeCase{"MessageSecondRecordInvalid", nullptr, 8, msg({duplex(4), duplex(3, 16)}),
                 -EINVAL},
        SizeCase{"MessageFullDuplexWholeBuffer", nullptr, 8, msg({duplex(4096)}), 4096},
        SizeCase{"MessageAboveBuffer", nullptr, 8, msg({duplex(4097)}), -EMSGSIZE},
        SizeCase{"MessageTxTotalAboveBuffer", nullptr, 8, msg({duplex(2048), duplex(2050)}),
                 -EMSGSIZE},
        SizeCase{"MessageRxTotalAboveBuffer", small_buffer, 8, msg({rx_only(40), rx_only(26)}),
                 -EMSGSIZE},
        SizeCase{"MessageWithoutBuffersAboveBuffer", nullptr, 8, msg({Xfer{4097, {}, false}}),
                 -EMSGSIZE},
        SizeCase{"MessageSizeBeforeWordCheck", nullptr, 16, msg({duplex(4097)}), -EMSGSIZE}),
    CaseName());

// ------------------------------------------ effective settings of transfers

struct EffectiveCase {
  const char* name;
  uint8_t device_bits;
  uint32_t device_speed;
  uint8_t xfer_bits;
  uint32_t xfer_speed;
  uint8_t want_bits;
  uint32_t want_speed;  // 0: the controller maximum
};

class SpidevEffectiveTest : public DeviceServerTest,
                            public ::testing::WithParamInterface<EffectiveCase> {};

TEST_P(SpidevEffectiveTest, ZeroMeansTheDeviceSetting) {
  const EffectiveCase& c = GetParam();
  auto far = std::make_shared<RecordingSpi>();
  server().attach(1, far);
  ASSERT_EQ(open(1, 1), 0);
  ASSERT_EQ(set(1, SPI_IOC_WR_MODE, 3), 0);
  ASSERT_EQ(set(1, SPI_IOC_WR_BITS_PER_WORD, c.device_bits), 0);
  ASSERT_EQ(set(1, SPI_IOC_WR_MAX_SPEED_HZ, c.device_speed), 0);
  Xfer x = duplex(4, c.xfer_bits);
  x.speed_hz = c.xfer_speed;
  ASSERT_EQ(message(1, {x}).code, 4);
  ASSERT_EQ(read(1, 2).code, 2);
  ASSERT_EQ(far->seen.size(), 2u);
  const uint32_t want_speed = c.want_speed != 0 ? c.want_speed : config.spi_controller_max_hz;
  EXPECT_EQ(far->seen[0].bits, c.want_bits);
  EXPECT_EQ(far->seen[0].speed_hz, want_speed);
  EXPECT_EQ(far->seen[0].mode, 3u);
  // A plain read always runs at the device settings.
  EXPECT_EQ(far->seen[1].bits, c.device_bits);
  EXPECT_FALSE(far->seen[1].tx);
  EXPECT_TRUE(far->seen[1].rx);
  // The journal keeps the fields as the program gave them.
  const auto xfers = journal.of(EventKind::SpiTransfer, 1);
  ASSERT_EQ(xfers.size(), 1u);
  EXPECT_EQ(xfers[0].bits_per_word, c.xfer_bits);
  EXPECT_EQ(xfers[0].speed_hz, c.xfer_speed);
}

INSTANTIATE_TEST_SUITE_P(
    Spidev, SpidevEffectiveTest,
    ::testing::Values(EffectiveCase{"BothZero", 16, 500000, 0, 0, 16, 500000},
                      EffectiveCase{"OwnBits", 16, 500000, 8, 0, 8, 500000},
                      EffectiveCase{"OwnSpeed", 8, 500000, 0, 250000, 8, 250000},
                      EffectiveCase{"OwnSpeedClamped", 8, 500000, 0, 99000000, 8, 0},
                      EffectiveCase{"DeviceSpeedClamped", 8, 99000000, 0, 0, 8, 0},
                      EffectiveCase{"DeviceSpeedZero", 8, 0, 0, 0, 8, 0}),
    CaseName());

// ------------------------------------------------------------- data paths

TEST_F(DeviceServerTest, DataReachesAndComesFromTheScript) {
  ScriptedSpi& far = server().scripted(3);
  far.answers.assign({0x11, 0x22, 0x33, 0x44, 0x55});
  ASSERT_EQ(open(1, 3), 0);

  const Answer r = read(1, 2);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.payload, (Bytes{0x11, 0x22}));

  EXPECT_EQ(write(1, {0xA0, 0xA1, 0xA2}).code, 3);
  EXPECT_EQ(far.answers.size(), 3u);  // a write answers nothing back

  Xfer first = duplex(2);
  first.tx = {0xB0, 0xB1};
  Xfer tx_only;
  tx_only.len = 2;
  tx_only.tx = {0xC0, 0xC1};
  tx_only.has_rx = false;
  Xfer second = rx_only(4);
  const Answer m = message(1, {first, tx_only, second});
  EXPECT_EQ(m.code, 8);
  // rx of the records with an rx buffer, in order; the script ran dry after 0x55.
  EXPECT_EQ(m.payload, (Bytes{0x33, 0x44, 0x55, 0x00, 0x00, 0x00}));
  EXPECT_EQ(far.captured, (Bytes{0xA0, 0xA1, 0xA2, 0xB0, 0xB1, 0xC0, 0xC1}));
}

// ------------------------------------------------------------------ faults

struct FaultCase {
  const char* name;
  SpiFault fault;
  uint8_t bits;
  std::vector<uint32_t> sizes;  // one call each, all of the fault's op, on device 0
  std::vector<int> codes;       // result or -errno per call
  size_t far_bytes;             // bytes the far end moved in total
};

class SpidevFaultTest : public DeviceServerTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SpidevFaultTest, HitsTheNthCall) {
  const FaultCase& c = GetParam();
  auto far = std::make_shared<RecordingSpi>();
  server().attach(0, far);
  server().add_fault(c.fault);
  ASSERT_EQ(open(1, 0), 0);
  ASSERT_EQ(set(1, SPI_IOC_WR_BITS_PER_WORD, c.bits), 0);
  std::vector<int> codes;
  for (uint32_t n : c.sizes) {
    Answer a;
    switch (c.fault.op) {
      case SpiOp::Read: a = read(1, n); break;
      case SpiOp::Write: a = write(1, pattern(n)); break;
      case SpiOp::Transfer: a = message(1, {duplex(n)}); break;
    }
    if (a.code >= 0) {
      EXPECT_EQ(a.payload.size(), c.fault.op == SpiOp::Write ? 0u : static_cast<size_t>(a.code));
    }
    codes.push_back(a.code);
  }
  EXPECT_EQ(codes, c.codes);
  size_t moved = 0;
  for (const auto& s : far->seen) moved += s.len;
  EXPECT_EQ(moved, c.far_bytes);
}

SpiFault fault(SpiOp op, FaultKind kind, int nth, int count = 1, size_t short_len = 0) {
  SpiFault f;
  f.device = 0;
  f.op = op;
  f.kind = kind;
  f.nth = nth;
  f.count = count;
  f.short_len = short_len;
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Spidev, SpidevFaultTest,
    ::testing::Values(
        FaultCase{
            "ReadEioSecond", fault(SpiOp::Read, FaultKind::Eio, 2), 8, {4, 4, 4}, {4, -EIO, 4}, 8},
        FaultCase{"WriteEioFirst", fault(SpiOp::Write, FaultKind::Eio, 1), 8, {6, 6}, {-EIO, 6}, 6},
        FaultCase{"TransferEioThird",
                  fault(SpiOp::Transfer, FaultKind::Eio, 3),
                  8,
                  {2, 2, 2, 2},
                  {2, 2, -EIO, 2},
                  6},
        FaultCase{"WriteEagainRun",
                  fault(SpiOp::Write, FaultKind::Eagain, 1, 3),
                  8,
                  {4, 4, 4, 4},
                  {-EAGAIN, -EAGAIN, -EAGAIN, 4},
                  4},
        FaultCase{"ReadEintrRun",
                  fault(SpiOp::Read, FaultKind::Eintr, 2, 2),
                  8,
                  {2, 2, 2, 2},
                  {2, -EINTR, -EINTR, 2},
                  4},
        FaultCase{"TransferEagainRun",
                  fault(SpiOp::Transfer, FaultKind::Eagain, 2, 2),
                  8,
                  {4, 4, 4, 4},
                  {4, -EAGAIN, -EAGAIN, 4},
                  8},
        FaultCase{"TransferEintrOnce",
                  fault(SpiOp::Transfer, FaultKind::Eintr, 1),
                  16,
                  {4, 4},
                  {-EINTR, 4},
                  4},
        FaultCase{
            "WriteShortHalf", fault(SpiOp::Write, FaultKind::Short, 1), 8, {8, 8}, {4, 8}, 12},
        FaultCase{
            "WriteShortHalfWholeWords", fault(SpiOp::Write, FaultKind::Short, 1), 16, {6}, {2}, 2},
        FaultCase{
            "ReadShortGiven", fault(SpiOp::Read, FaultKind::Short, 2, 1, 3), 8, {8, 8}, {8, 3}, 11},
        FaultCase{"ReadShortGivenAboveRequest",
                  fault(SpiOp::Read, FaultKind::Short, 1, 1, 50),
                  8,
                  {8},
                  {8},
                  8},
        FaultCase{"TransferShortHalf", fault(SpiOp::Transfer, FaultKind::Short, 1), 8, {8}, {4}, 4},
        FaultCase{"TransferShortGivenAt16Bits",
                  fault(SpiOp::Transfer, FaultKind::Short, 1, 1, 5),
                  16,
                  {8},
                  {4},
                  4},
        FaultCase{"InvalidCallStillCounts",
                  fault(SpiOp::Write, FaultKind::Eio, 2),
                  16,
                  {3, 2, 2},
                  {-EINVAL, -EIO, 2},
                  2}),
    CaseName());

TEST_F(DeviceServerTest, FaultsCountPerDeviceAndRestartEachRun) {
  server().add_fault(fault(SpiOp::Read, FaultKind::Eio, 1));
  ASSERT_EQ(open(1, 0), 0);
  ASSERT_EQ(open(2, 1), 0);
  EXPECT_EQ(read(2, 2).code, 2);     // another chip select is not hit
  EXPECT_EQ(write(1, {1}).code, 1);  // nor another operation
  EXPECT_EQ(read(1, 2).code, -EIO);
  EXPECT_EQ(read(1, 2).code, 2);
  server().start_run();
  EXPECT_EQ(read(1, 2).code, -EIO);
  server().clear_faults();
  server().start_run();
  EXPECT_EQ(read(1, 2).code, 2);
}

// The reset line's edges are judged at the moment the board asked for each
// write: one time per whole request, oldest first; none for a write the
// driver did not take, none left over from an earlier run.
TEST_F(DeviceServerTest, GpioRequestTimesFollowTheWritesTakenWhole) {
  server().add_gpio_fault(GpioFault{2, FaultKind::Eio, 0});
  const Bytes one(12, 0), two(24, 0), odd(5, 0);
  const uint64_t before = monotonic_ns();
  EXPECT_EQ(call(1, BOARDSIM_OP_GPIO_WRITE, 0, 0, one).code, 12);
  EXPECT_EQ(call(1, BOARDSIM_OP_GPIO_WRITE, 0, 0, one).code, -EIO);  // 2nd call: not taken
  EXPECT_EQ(call(1, BOARDSIM_OP_GPIO_WRITE, 0, 0, two).code, 24);    // two requests
  EXPECT_EQ(call(1, BOARDSIM_OP_GPIO_WRITE, 0, 0, odd).code, 5);     // no whole request
  const uint64_t after = monotonic_ns();
  uint64_t last = before;
  for (int i = 0; i < 3; ++i) {
    const uint64_t at = server().take_gpio_time();
    EXPECT_GE(at, last) << "request " << i;
    EXPECT_LE(at, after) << "request " << i;
    last = at;
  }
  EXPECT_EQ(server().take_gpio_time(), 0u);
  EXPECT_EQ(call(1, BOARDSIM_OP_GPIO_WRITE, 0, 0, one).code, 12);
  server().start_run();
  EXPECT_EQ(server().take_gpio_time(), 0u);
}

TEST_F(DeviceServerTest, ShortMessageStopsInsideTheRecords) {
  auto far = std::make_shared<RecordingSpi>();
  server().attach(0, far);
  server().add_fault(fault(SpiOp::Transfer, FaultKind::Short, 1, 1, 6));
  ASSERT_EQ(open(1, 0), 0);
  const Answer a = message(1, {duplex(4), rx_only(4), duplex(4)});
  EXPECT_EQ(a.code, 6);
  EXPECT_EQ(a.payload.size(), 6u);  // 4 of the first record, 2 of the second
  ASSERT_EQ(far->seen.size(), 2u);
  EXPECT_EQ(far->seen[0].len, 4u);
  EXPECT_EQ(far->seen[1].len, 2u);
  const auto xfers = journal.of(EventKind::SpiTransfer);
  ASSERT_EQ(xfers.size(), 2u);
  EXPECT_EQ(xfers[1].result, 2);
  EXPECT_EQ(xfers[1].rx.size(), 2u);
}

// ----------------------------------------------------------------- journal

TEST_F(DeviceServerTest, JournalRecordsEveryCall) {
  ScriptedSpi& far = server().scripted(4);
  far.answers.assign({0x01, 0x02, 0x03, 0x04});
  ASSERT_EQ(open(5, 4), 0);
  ASSERT_EQ(set(5, SPI_IOC_WR_BITS_PER_WORD, 16), 0);
  ASSERT_EQ(get(5, SPI_IOC_RD_MAX_SPEED_HZ), config.spi_default_speed_hz);
  ASSERT_EQ(write(5, {0xAA, 0xBB}).code, 2);
  ASSERT_EQ(read(5, 2).code, 2);
  Xfer x = duplex(2);
  x.tx = {0xCC, 0xDD};
  x.cs_change = 1;
  x.delay_usecs = 7;
  x.speed_hz = 300000;
  ASSERT_EQ(message(5, {x}).code, 2);
  EXPECT_EQ(read(5, 3).code, -EINVAL);
  server().connection_closed(5);
  server().connection_closed(5);  // a second notice adds nothing

  const std::vector<EventKind> kinds{
      EventKind::SpiOpen,  EventKind::SpiIoctl, EventKind::SpiIoctl,
      EventKind::SpiWrite, EventKind::SpiRead,  EventKind::SpiTransfer,
      EventKind::SpiIoctl, EventKind::SpiRead,  EventKind::SpiClose};
  const auto& ev = journal.events();
  ASSERT_EQ(ev.size(), kinds.size()) << journal.to_text();
  for (size_t i = 0; i < ev.size(); ++i) {
    EXPECT_EQ(ev[i].kind, kinds[i]) << i;
    EXPECT_EQ(ev[i].device, 4) << i;
    EXPECT_EQ(ev[i].pid, PID) << i;
    EXPECT_NE(ev[i].t_ns, 0u) << i;
  }
  EXPECT_EQ(ev[1].request, SPI_IOC_WR_BITS_PER_WORD);
  EXPECT_TRUE(ev[1].has_value);
  EXPECT_EQ(ev[1].value, 16);
  EXPECT_EQ(ev[2].request, SPI_IOC_RD_MAX_SPEED_HZ);
  EXPECT_EQ(ev[2].value, config.spi_default_speed_hz);
  EXPECT_EQ(ev[3].data, (Bytes{0xAA, 0xBB}));
  EXPECT_EQ(ev[3].result, 2);
  EXPECT_EQ(ev[4].data, (Bytes{0x01, 0x02}));
  EXPECT_EQ(ev[5].data, (Bytes{0xCC, 0xDD}));
  EXPECT_EQ(ev[5].rx, (Bytes{0x03, 0x04}));
  EXPECT_EQ(ev[5].speed_hz, 300000u);
  EXPECT_EQ(ev[5].bits_per_word, 0);
  EXPECT_EQ(ev[5].cs_change, 1);
  EXPECT_EQ(ev[5].delay_usecs, 7);
  EXPECT_EQ(ev[6].request, message_request(1));
  EXPECT_EQ(ev[6].result, 2);
  EXPECT_EQ(ev[7].result, -1);
  EXPECT_EQ(ev[7].err, EINVAL);
}

TEST_F(DeviceServerTest, FrameBufferRequestsAreJournalledAndSucceed) {
  EXPECT_EQ(call(9, BOARDSIM_OP_FB_IOCTL, 0x40046706u, 37, {}, -1, BOARDSIM_FLAG_HAS_VALUE).code,
            0);
  EXPECT_EQ(call(9, BOARDSIM_OP_FB_IOCTL, 0x6704u, 0, {}, -1, 0).code, 0);
  const Bytes picture = pattern(1024);
  EXPECT_EQ(call(9, BOARDSIM_OP_FB_WRITE, 0, 0, picture, -1).code, 1024);
  server().connection_closed(9);

  const auto ioctls = journal.of(EventKind::FbIoctl);
  ASSERT_EQ(ioctls.size(), 2u);
  EXPECT_EQ(ioctls[0].request, 0x40046706u);
  EXPECT_TRUE(ioctls[0].has_value);
  EXPECT_EQ(ioctls[0].value, 37);
  EXPECT_EQ(ioctls[1].request, 0x6704u);
  EXPECT_FALSE(ioctls[1].has_value);
  EXPECT_EQ(ioctls[1].pid, PID);
  EXPECT_EQ(journal.bytes(EventKind::FbWrite), picture);
  EXPECT_TRUE(journal.of(EventKind::SpiClose).empty());
}

}  // namespace
}  // namespace boardsim
