// The Panel marker is written by another program and may hold anything: the
// ID it yields is signalled, so it must name one process, never a group.
#include "fuzz_input.h"
#include "housekeeping.h"

namespace {

constexpr int32_t UNTOUCHED = -7;  // no ID a marker may give

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* marker = fuzz_stream(data, size);
  if (marker == nullptr) return 0;
  int32_t panel_pid = UNTOUCHED;
  if (panel_marker_read(marker, &panel_pid) == 0) {
    fuzz_require(panel_pid >= 1, "an accepted ID names one process");
  } else {
    fuzz_require(panel_pid == UNTOUCHED, "a refused marker leaves the ID alone");
  }
  fclose(marker);
  return 0;
}
