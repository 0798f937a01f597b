#include "fuzz_input.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

// fmemopen needs a buffer it may call writable, and one that outlives the
// stream; one extra byte keeps the buffer non-empty for an empty input.
std::vector<char> stream_buffer;

// One in-memory file for the whole run, reached through /proc like any path.
int memory_file = -1;
char memory_file_path[64];

}  // namespace

FILE* fuzz_stream(const uint8_t* data, size_t size) {
  stream_buffer.assign(data, data + size);
  stream_buffer.push_back('\0');
  return fmemopen(stream_buffer.data(), size, "r");
}

const char* fuzz_file(const uint8_t* data, size_t size) {
  if (memory_file < 0) {
    memory_file = memfd_create("fuzz_input", 0);
    if (memory_file < 0) return nullptr;
    const int written =
        snprintf(memory_file_path, sizeof memory_file_path, "/proc/self/fd/%d", memory_file);
    if (written < 0 || static_cast<size_t>(written) >= sizeof memory_file_path) return nullptr;
  }
  if (ftruncate(memory_file, 0) != 0) return nullptr;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pwrite(memory_file, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) return nullptr;
    done += static_cast<size_t>(n);
  }
  return memory_file_path;
}

void fuzz_require(bool holds, const char* property) {
  if (!holds) {
    fprintf(stderr, "property broken: %s\n", property);
    abort();
  }
}
