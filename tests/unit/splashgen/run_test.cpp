// The run's status when the files fail it after both were opened: a splash
// file that could not be written, or a strings file that could not be read to
// its end, must not be reported as made.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "splashgen.h"
#include "stdout_capture.h"

namespace {

struct FailingFiles {
  const char* name;
  const char* input;  // "" : a readable strings file with one good line
  const char* output;
};

class RunStatus : public testing::TestWithParam<FailingFiles> {};

TEST_P(RunStatus, IsAFailureWithoutAMessage) {
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
  StdoutCapture capture;
  EXPECT_EQ(splashgen_run(3, argv), -1);
  EXPECT_EQ(capture.text(), "");
  unlink(strings_path);
}

INSTANTIATE_TEST_SUITE_P(Files, RunStatus,
                         testing::Values(FailingFiles{"image_write_fails", "", "/dev/full"},
                                         FailingFiles{"input_is_a_directory", "/", "/dev/null"}),
                         [](const testing::TestParamInfo<FailingFiles>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
