// Placeholder until the SPI link is built: the SPI phase refuses to run.
#include "kovrel.h"

uint8_t module_mask = 0;
uint16_t module_dsp_count[SPI_SLOT_COUNT] = {};

int spi_setup() {
  log_error("SPI phase not available in this build\n");
  return -1;
}
int spi_set_speed() { return -1; }
int spi_set_bits_per_word() { return -1; }
int spi_set_mode() { return -1; }
int module_search() { return -1; }
