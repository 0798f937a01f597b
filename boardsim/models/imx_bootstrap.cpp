// Placeholder until the slave bootstrap model is built.
#include "boardsim/models.h"

namespace boardsim {
std::shared_ptr<SerialFarEnd> make_imx_bootstrap(const std::string&, std::string& error) {
  error = "the imx model is not available yet";
  return nullptr;
}
}  // namespace boardsim
