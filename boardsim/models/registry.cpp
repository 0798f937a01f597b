// The table of far-end models the boardsim command knows by name.
#include "boardsim/models/registry.h"

#include <array>

#include "boardsim/models/bench_ends.h"
#include "boardsim/models/imx_bootstrap.h"
#include "boardsim/models/sound_modules.h"

namespace boardsim {

namespace {

struct SpiModelEntry {
  const char* name;
  const char* help;
};

constexpr std::array<SpiModelEntry, 5> SPI_MODELS{{
    {"sound",
     "sound modules: sound:SLOT=DSPS[,SLOT=DSPS...][,answer=SLOT:VALUE][,checksum=SLOT:VALUE]"
     "[,fail=SLOT:CPU]\n"
     "      SLOT 0-3 holds a module with DSPS 1-4; answer= forces its search answer,\n"
     "      checksum= its answer after a jump; fail= fails processor CPU 1 or 2"},
    {"loopback-late", "returns each word one word late: loopback-late[:first=HEX]"},
    {"loopback-same", "returns each word in the same word time: loopback-same"},
    {"checksum", "counter-party of the packet test: checksum[:wrong=ITERATION]"},
    {"sink", "takes writes, answers reads with a pattern: sink[:pattern=HEX]"},
}};

}  // namespace

std::shared_ptr<SpiFarEnd> make_spi_model(const std::string& name, const std::string& args,
                                          std::string& error) {
  if (name == "sound") return make_sound_modules(args, error);
  for (const auto& m : SPI_MODELS) {
    if (name == m.name) return make_bench_far_end(name, args, error);
  }
  error = "unknown SPI model '" + name + "'";
  return nullptr;
}

std::shared_ptr<SerialFarEnd> make_serial_model(const std::string& name, const std::string& args,
                                                std::string& error) {
  if (name == "imx") return make_imx_bootstrap(args, error);
  error = "unknown serial model '" + name + "'";
  return nullptr;
}

std::string models_help() {
  std::string text = "SPI models (--spi DEVICES=MODEL[:ARGS]):\n";
  for (const auto& m : SPI_MODELS) text += std::string("  ") + m.help + "\n";
  text += "Serial models (--tty PORT=MODEL[:ARGS]):\n";
  text +=
      "  imx[:silent][,sync=CHAR][,short-echo][,short-data][,refuse][,late-refusal=US][,extra=CHAR]"
      "[,delay=US][,late-echo=US]  "
      "slave serial bootstrap\n";
  return text;
}

}  // namespace boardsim
