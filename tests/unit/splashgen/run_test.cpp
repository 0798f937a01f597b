// The run's status when the files fail it after both were opened: a splash
// file that could not be written, or a strings file that is no regular file,
// must not be reported as made; each says why.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "splashgen.h"
#include "support/output_capture.h"

namespace {

using test_support::OutputCapture;

struct FailingFiles {
  const char* name;
  const char* input;  // "" : a readable strings file with one good line
  const char* output;
  const char* message;
};

class RunStatus : public testing::TestWithParam<FailingFiles> {};

TEST_P(RunStatus, IsAFailureWithItsReason) {
  char strings_path[] = "/tmp/splashgen-run-XXXXXX";
  const int fd = mkstemp(strings_path);
  ASSERT_GE(fd, 0);
  const std::string line = "0 0 \"A\"\n";
  ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  close(fd);
  std::string input = *GetParam().input != '\0' ? GetParam().input : strings_path;
  std::string output = GetParam().output;
  char program[] = "splashgen";
  char* argv[] = {program, &input[0], &output[0], nullptr};
  OutputCapture capture;
  EXPECT_EQ(splashgen_run(3, argv), -1);
  EXPECT_EQ(capture.take(), GetParam().message);
  unlink(strings_path);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RunStatus,
    testing::Values(FailingFiles{"image_write_fails", "", "/dev/full",
                                 "Can't write output file /dev/full: No space left on device.\n"},
                    FailingFiles{"input_is_a_directory", "/", "/dev/null", "Input file missing.\n"},
                    FailingFiles{"input_cannot_be_read", "/proc/self/mem", "/dev/null",
                                 "Can't read input file /proc/self/mem: Input/output error.\n"}),
    [](const testing::TestParamInfo<FailingFiles>& param) {
      return std::string(param.param.name);
    });

}  // namespace
