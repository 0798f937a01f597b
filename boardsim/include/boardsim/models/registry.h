// Far-end models by name, for the boardsim command (--spi and --tty) and for
// tests that want a model without naming its class.
#pragma once

#include <memory>
#include <string>

#include "boardsim/far_end.h"

namespace boardsim {

// name and args as given on the command line ("--spi 0-4=sound:0=2,2=4"
// gives name "sound", args "0=2,2=4"). On failure: nullptr and error set.
std::shared_ptr<SpiFarEnd> make_spi_model(const std::string& name, const std::string& args,
                                          std::string& error);
std::shared_ptr<SerialFarEnd> make_serial_model(const std::string& name, const std::string& args,
                                                std::string& error);
// One line per model with its arguments, for `boardsim --help`.
std::string models_help();

}  // namespace boardsim
