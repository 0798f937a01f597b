// The job run frame shared by both phases: opens the job of the current
// phase, has each line read and decoded, shows it, hands it to the executor
// of the phase, and closes with the DONE or FAILED banner.
#include <cstdio>

#include "kovrel.h"

namespace {

int execute_command() { return current_phase == PHASE_UART ? uart_job_exec() : spi_job_exec(); }

// Runs the lines of the open job until its end (0) or the first failure
// (its result, the error already reported).
int run_lines(FILE* job_file) {
  for (;;) {
    switch (job_read_line(job_file)) {
      case JobLine::END: return 0;
      case JobLine::BLANK: continue;
      case JobLine::FAILED: return -1;
      case JobLine::COMMAND: break;
    }
    log_verbose(SECTION_BANNER "%s\n", line);
    int result = execute_command();
    if (result != 0) return result;
  }
}

}  // namespace

int run_job() {
  const char* name = current_phase == PHASE_UART ? uart_job_name : spi_job_name;
  FILE* job_file = input_file_fopen(name, InputKind::STREAM);
  if (job_file == nullptr) return -1;
  log_verbose(SECTION_BANNER "PROCESSING <%s> ...\n\n", name);
  int result = run_lines(job_file);
  if (result == 0) {
    log_verbose(SECTION_BANNER "... DONE\n\n");
  } else {
    log_error(SECTION_BANNER "... FAILED\n\n");
  }
  fclose(job_file);
  return result;
}
