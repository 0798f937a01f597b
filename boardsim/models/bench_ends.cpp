// Placeholder until the bench far ends are built.
#include "boardsim/models.h"

namespace boardsim {
std::shared_ptr<SpiFarEnd> make_bench_far_end(const std::string& name, const std::string&,
                                              std::string& error) {
  error = "the " + name + " model is not available yet";
  return nullptr;
}
}  // namespace boardsim
