// Output forms of dasmo (see dasmo_output.h).
#include "dasmo_output.h"

#include "bench_common.h"

void dasmo_output_write(FILE* out, const uint8_t* rx, size_t n, const DasmoForm& form) {
  const bool console = form.destination == DasmoDestination::Console;
  if (!form.text) {
    fwrite(rx, 1, n, out);
    if (console) fputc('\n', out);
    return;
  }
  // Console values are one a line; a text file separates them by commas.
  const char* separator = console ? "\n" : ",\n";
  const size_t step = form.words ? BENCH_WORD_BYTES : 1;
  for (size_t offset = 0; offset < n; offset += step) {
    if (offset > 0) fputs(separator, out);
    const unsigned value = bench_unit(rx, n, offset, form.words);
    fprintf(out, form.words ? "0x%04X" : "0x%02X", value);
  }
  fputc('\n', out);
}
