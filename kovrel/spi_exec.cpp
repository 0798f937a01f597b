// Placeholder until the SPI executor is built.
#include "kovrel.h"

int spi_job_exec() {
  log_error("SPI job execution not available in this build\n");
  return -1;
}
