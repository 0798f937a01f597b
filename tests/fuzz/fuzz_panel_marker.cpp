// The Panel marker is written by another program and may hold anything: the
// ID it yields is signalled, so it must name one process, never a group or
// the init. Read from its file, only its first bytes count; what they yield
// must be the whole marker's ID, never a number cut short.
#include <fcntl.h>
#include <unistd.h>

#include "fuzz_input.h"
#include "housekeeping.h"

namespace {

constexpr int32_t UNTOUCHED = -7;  // no ID a marker may give

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* marker = fuzz_stream(data, size);
  if (marker == nullptr) return 0;
  int32_t panel_pid = UNTOUCHED;
  const int whole = panel_marker_read(marker, &panel_pid);
  fclose(marker);
  if (whole == 0) {
    fuzz_require(panel_pid >= 2, "an accepted ID names one process, not the init");
  } else {
    fuzz_require(panel_pid == UNTOUCHED, "a refused marker leaves the ID alone");
  }
  const char* path = fuzz_file(data, size);
  const int fd = path != nullptr ? open(path, O_RDONLY) : -1;
  if (fd < 0) return 0;
  int32_t bounded_pid = UNTOUCHED;
  if (panel_marker_load(fd, &bounded_pid) == 0) {
    fuzz_require(whole == 0 && bounded_pid == panel_pid, "the first bytes give the whole ID");
  } else {
    fuzz_require(bounded_pid == UNTOUCHED, "a refused marker leaves the ID alone");
  }
  close(fd);
  return 0;
}
