// The sound modules in slots 0 to 3 and their broadcast chip select, as one
// far end attached to spidev devices 0 to 4. Each module answers the module
// search with its DSP count, takes frames (12-byte header, then data) into a
// memory image, verifies each data frame's checksum against its header and a
// jump's checksum against the last data frame, and after the jump answers the
// 16-bit verification word: bit 0 the first i.MX processor, bit 1 the second
// (only modules with more than 2 DSPs have one). From its first data frame
// until its jump a module answers 0, nothing verified: a module whose jump
// went elsewhere must not pass for one that verified its download.
//
// As strict as the firmware: a header is one chip-select transfer of exactly
// 12 bytes and its data the transfers after it; anything else is refused. The
// verification word is ready VERIFY_NS after the jump (0 before), and a
// module takes words right only in its SPI mode and up to its maximum clock.
//
// The model works on the wire: each 16-bit SPI word goes out most significant
// bit first, so with the link at 16 bits per word a buffer's little-endian
// words arrive as written, while at 8 bits per word the module sees each byte
// pair swapped, as a real module would.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/far_end.h"

namespace boardsim {

class SoundModules : public SpiFarEnd {
 public:
  static constexpr int SLOTS = 4;
  static constexpr int BROADCAST_DEVICE = 4;
  static constexpr uint32_t MAX_FRAME_DATA = 4096;  // the module's receive buffer
  static constexpr uint32_t PAGE_BYTES = 4096;
  static constexpr uint64_t VERIFY_NS = 5000000;  // jump to verification word
  static constexpr unsigned long MAX_HZ_LIMIT = 100000000;

  SoundModules() = default;
  SoundModules(const SoundModules&) = delete;  // keeps pointers into its own pages
  SoundModules& operator=(const SoundModules&) = delete;

  // One frame as a module took it.
  struct Frame {
    int device = 0;  // chip select it came on (4: broadcast)
    uint32_t address = 0;
    uint32_t size = 0;      // 0: a jump
    uint32_t checksum = 0;  // as the header gave it
    bool verified = false;  // data frame: checksum matched; jump: matched the last frame
  };

  // 4 KiB of a module's memory and which of its bytes a frame wrote.
  struct Page {
    std::array<uint8_t, PAGE_BYTES> bytes{};
    std::bitset<PAGE_BYTES> written;
  };

  struct Module {
    bool fitted = false;              // a module sits in the slot (takes frames)
    uint16_t dsp_count = 0;           // what it answers to the search
    int forced_search = -1;           // -1: the DSP count; otherwise this value
    int forced_checksum = -1;         // -1: computed; otherwise this value after a jump
    std::array<bool, 2> cpu_fails{};  // the processor's verification fails regardless
    // State of the run:
    bool downloading = false;  // took a data frame since the last jump (or ever)
    bool jumped = false;
    uint32_t entry = 0;
    uint64_t jump_ns = 0;        // end of the jump's transfer on the wire
    bool frames_ok = true;       // every data frame so far verified
    uint32_t last_checksum = 0;  // of the last data frame as received
    uint16_t answer = 0;         // verification word after the jump
    std::vector<Frame> frames;
    std::map<uint32_t, Page> pages;  // memory image by page base address
  };

  // "0=2,2=4,answer=1:5,checksum=2:3,fail=2:1,mode=0,max_hz=20000000";
  // false with error set.
  bool configure(const std::string& args, std::string& error);

  void exchange(SpiExchange& x) override;

  const Module& module(int slot) const { return modules_.at(static_cast<size_t>(slot)); }
  // size bytes of a slot's memory from address (0 where nothing was written).
  std::vector<uint8_t> memory(int slot, uint32_t address, size_t size) const;
  // Number of bytes frames have written into the slot's memory.
  size_t bytes_written(int slot) const;
  // What the slot answers a read at now_ns (search or verification word),
  // or -1 when nothing drives the line there.
  int read_answer(int slot, uint64_t now_ns) const;

 private:
  // Frame reception on one chip select.
  struct Receiver {
    bool have_pending = false;  // one wire byte of a word seen
    uint8_t pending = 0;
    std::array<uint8_t, 12> header{};
    size_t header_len = 0;  // 12 once a header was taken: data follow
    uint32_t address = 0, size = 0, checksum = 0;
    uint32_t received = 0;  // data bytes of the frame so far
    uint32_t sum = 0;       // checksum of the data so far
    bool odd_byte = false;  // a data byte awaits its high half
    uint8_t low = 0;
  };

  bool takes_transfer(const SpiExchange& x);
  void on_wire_word(int device, uint8_t first, uint8_t second, bool garbled);
  void on_byte(int device, uint8_t byte);
  void header_complete(int device);
  void data_byte(int device, uint8_t byte);
  void frame_complete(int device);
  std::vector<int> targets(int device) const;
  void store(int slot, uint32_t address, uint8_t byte);
  void jump(Module& m, const Frame& frame);
  // One line per frame, jump and answer for the decoded journal.
  std::string slots_text(int device) const;
  void annotate_frame(int device, const Frame& frame, uint32_t sum);
  void annotate_jump(int device, const Frame& frame);
  void annotate_answer(int slot, int answer, uint64_t now_ns);

  std::array<Module, SLOTS> modules_{};
  // The page each module stored into last: frames fill pages in order, so
  // this saves a lookup per byte (map nodes never move).
  std::array<Page*, SLOTS> last_page_{};
  std::array<uint32_t, SLOTS> last_base_{};
  std::array<Receiver, BROADCAST_DEVICE + 1> receivers_{};
  Annotator* annotator_ = nullptr;  // of the exchange being served
  uint64_t now_ns_ = 0;             // end of the exchange being served
  uint32_t mode_ = 0;               // the SPI mode the modules sample in
  uint32_t max_hz_ = 20000000;      // fastest clock they take words at
};

// Modules configured as SoundModules::configure takes them (the boardsim
// command's "sound:ARGS"); nullptr and error set on bad arguments.
std::shared_ptr<SoundModules> make_sound_modules(const std::string& args, std::string& error);

}  // namespace boardsim
