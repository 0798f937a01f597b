// The bench far ends by name, as the boardsim command builds them.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "boardsim/models/registry.h"

namespace {

struct ModelCase {
  const char* name;
  const char* args;
  bool made;
};

class BenchModelByName : public ::testing::TestWithParam<ModelCase> {};

TEST_P(BenchModelByName, MadeOrRefusedWithAReason) {
  const ModelCase& c = GetParam();
  std::string error;
  const auto model = boardsim::make_spi_model(c.name, c.args, error);
  EXPECT_EQ(model != nullptr, c.made) << error;
  EXPECT_EQ(error.empty(), c.made) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Models, BenchModelByName,
    ::testing::Values(
        ModelCase{"loopback-late", "", true}, ModelCase{"loopback-late", "first=ABCD", true},
        ModelCase{"loopback-late", "first=10000", false},
        ModelCase{"loopback-late", "first=xyz", false}, ModelCase{"loopback-same", "", true},
        ModelCase{"loopback-same", "first=1", false}, ModelCase{"checksum", "", true},
        ModelCase{"checksum", "wrong=3", true}, ModelCase{"checksum", "wrong=-1", false},
        ModelCase{"checksum", "right=3", false}, ModelCase{"sink", "", true},
        ModelCase{"sink", "pattern=C3", true}, ModelCase{"sink", "pattern=100", false}));

}  // namespace
