// Placeholder until the UART link is built: the UART phase refuses to run.
#include "kovrel.h"

int reset_slaves() {
  log_error("UART phase not available in this build\n");
  return -1;
}
int open_uart() { return -1; }
int sync_slaves() { return -1; }
int change_slave_baud() { return -1; }
int32_t uart_byte_time_for(int32_t baud) { return baud > 0 ? 10000000 / baud : 0; }
uint32_t baud_change_value(int32_t) { return 0; }
