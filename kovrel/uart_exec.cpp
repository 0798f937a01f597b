// Placeholder until the UART executor is built.
#include "kovrel.h"

int uart_job_exec() {
  log_error("UART job execution not available in this build\n");
  return -1;
}
