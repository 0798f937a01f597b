// Placeholder: replaced by the run sequence with options and usage.
#include "kovrel.h"

char uart_job_name[JOB_NAME_MAX + 1];
char spi_job_name[JOB_NAME_MAX + 1];
int32_t uart_port = 0;
int32_t uart_baud = UART_DEFAULT_BAUD;
bool uart_rx = false;
bool br_generation = false;
int verbosity = 0;
int current_phase = PHASE_OPTIONS;
int current_device = -1;
char device_path[DEVICE_PATH_SIZE];
int32_t uart_byte_time_us = 0;

void print_usage() {}
int kovrel_main(int, char**) { return -1; }
