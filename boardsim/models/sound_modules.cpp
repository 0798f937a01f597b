// Placeholder until the sound module model is built.
#include "boardsim/models.h"

namespace boardsim {
std::shared_ptr<SpiFarEnd> make_sound_modules(const std::string&, std::string& error) {
  error = "the sound module model is not available yet";
  return nullptr;
}
}  // namespace boardsim
