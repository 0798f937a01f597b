#include "splashgen.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "draw.h"

namespace {

constexpr int kArgumentCount = 3;  // the program name and two files
constexpr mode_t kOutputMode = 0666;  // less the umask, as for any file a user creates
constexpr char kQuote = '"';
constexpr const char* kDefaultName = "splashgen";

// Writes the image once, at the start of the file: an existing longer file
// keeps its tail, since the file is not truncated. A failed or short write
// fails the run, so that a splash file missing part of its image is not
// reported as made.
int splash_image_write(int output) {
  const ssize_t written = write(output, splash_image, sizeof splash_image);
  return written == static_cast<ssize_t>(sizeof splash_image) ? 0 : -1;
}

// A coordinate as an int, the out-of-range ones held at the nearest end.
int coordinate_hold(long long value) {
  if (value < INT_MIN) {
    return INT_MIN;
  }
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// Both files are open from here on and are closed once, on the one way out.
int splash_files_convert(const char* input_path, const char* output_path) {
  FILE* input = fopen(input_path, "r");
  if (input == nullptr) {
    printf("Input file missing.\n");
    return -1;
  }
  int status = -1;
  const int output = open(output_path, O_WRONLY | O_CREAT, kOutputMode);
  if (output < 0) {
    printf("Can't create output file.\n");
  } else {
    status = strings_file_draw(input);
  }
  fclose(input);
  if (output >= 0) {
    // The image is written even after a line error, holding the lines before it.
    if (splash_image_write(output) != 0) {
      status = -1;
    }
    close(output);
  }
  return status;
}

}  // namespace

int strings_line_draw(const char* line, size_t length) {
  // Read as wide as the numbers can be and then held to an int: scanf's %d
  // would wrap an out-of-range number on a 64-bit host (a huge negative x
  // drawn left-aligned, a huge positive one centred) and clamp it on the
  // board. Held, a negative number still centres and any other falls off.
  long long x = 0;
  long long y = 0;
  if (sscanf(line, "%lld %lld", &x, &y) != 2) {
    printf("Error reading coordinates.");
    return -1;
  }
  const char* open_quote = static_cast<const char*>(memchr(line, kQuote, length));
  if (open_quote == nullptr) {
    printf("Error reading string.");
    return -1;
  }
  const char* text = open_quote + 1;
  const size_t rest = length - static_cast<size_t>(text - line);
  const char* close_quote = static_cast<const char*>(memchr(text, kQuote, rest));
  if (close_quote == nullptr) {
    printf("Error reading string termination.");
    return -1;
  }
  PutString(coordinate_hold(x), coordinate_hold(y), text, static_cast<size_t>(close_quote - text));
  return 0;
}

int strings_file_draw(FILE* input) {
  char* line = nullptr;
  size_t capacity = 0;
  int status = 0;
  for (;;) {
    const ssize_t length = getline(&line, &capacity, input);
    if (length < 0) {
      // A read error is not the end of the file: the image would be missing lines.
      if (ferror(input)) {
        status = -1;
      }
      break;
    }
    if (strings_line_draw(line, static_cast<size_t>(length)) != 0) {
      status = -1;
      break;
    }
  }
  free(line);
  return status;
}

int splashgen_run(int argc, char* argv[]) {
  splash_image_clear();
  if (argc != kArgumentCount) {
    const char* name = argc > 0 && argv[0] != nullptr ? argv[0] : kDefaultName;
    printf("Usage: %s <strings input file> <splash output file>\n", name);
    return -1;
  }
  return splash_files_convert(argv[1], argv[2]);
}
