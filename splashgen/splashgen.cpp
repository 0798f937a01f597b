#include "splashgen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "draw.h"
#include "output_file.h"

namespace {

constexpr int ARGUMENT_COUNT = 3;     // the program name and two files
constexpr mode_t OUTPUT_MODE = 0666;  // less the umask, as for any file a user creates
constexpr char QUOTE = '"';
constexpr const char* DEFAULT_NAME = "splashgen";
constexpr const char* READ_FAILED = "Can't read input file %s: %s.\n";
constexpr const char* WRITE_FAILED = "Can't write output file %s: %s.\n";

// Opens a file without waiting on it (a FIFO would hold the run until its
// other end opened) and keeps it only when its kind is wanted, then lets it
// block again as any file does. -1 when it cannot be opened or is of another
// kind.
int file_open_checked(const char* path, int flags, bool (*wanted)(mode_t)) {
  const int fd = open(path, flags | O_NONBLOCK | O_NOCTTY, OUTPUT_MODE);
  if (fd < 0) {
    return -1;
  }
  struct stat info {};
  const int status_flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &info) != 0 || !wanted(info.st_mode) || status_flags < 0 ||
      fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool is_strings_file(mode_t mode) { return S_ISREG(mode); }

FILE* strings_file_open(const char* path) {
  const int fd = file_open_checked(path, O_RDONLY, is_strings_file);
  if (fd < 0) {
    return nullptr;
  }
  FILE* input = fdopen(fd, "r");
  if (input == nullptr) {
    close(fd);
  }
  return input;
}

// Writes the image once, at the start of the file: an existing longer file
// keeps its tail, since the file is not truncated. The part a short write
// left is written after it; a write that fails fails the run with its
// reason, so that a splash file missing part of its image is not reported as
// made.
int splash_image_write(int output, const char* name) {
  size_t done = 0;
  while (done < sizeof splash_image) {
    const ssize_t written = write(output, splash_image + done, sizeof splash_image - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      printf(WRITE_FAILED, name, strerror(written < 0 ? errno : EIO));
      return -1;
    }
    done += static_cast<size_t>(written);
  }
  return 0;
}

// A coordinate as an int, the out-of-range ones held at the nearest end.
int coordinate_hold(long long value) {
  if (value < INT_MIN) {
    return INT_MIN;
  }
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// Both files are open from here on and are closed once, on the one way out.
// The strings file is read only when it is a regular file; the splash file
// may also be a character device, never a FIFO.
int splash_files_convert(const char* input_path, const char* output_path) {
  FILE* input = strings_file_open(input_path);
  if (input == nullptr) {
    printf("Input file missing.\n");
    return -1;
  }
  int status = -1;
  // A splash file, or a display that takes the image directly (a frame
  // buffer); never a FIFO, nor a name planted in /tmp by another user.
  const int output = output_file_open(output_path, false, OutputKind::RegularFileOrDevice);
  if (output < 0) {
    printf("Can't create output file.\n");
  } else {
    status = strings_file_draw(input, input_path);
  }
  fclose(input);
  if (output >= 0) {
    // The image is written even after a line error, holding the lines before it.
    int written = splash_image_write(output, output_path);
    if (close(output) != 0 && written == 0) {
      printf(WRITE_FAILED, output_path, strerror(errno));
      written = -1;
    }
    if (written != 0) {
      status = -1;
    }
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
  const char* open_quote = static_cast<const char*>(memchr(line, QUOTE, length));
  if (open_quote == nullptr) {
    printf("Error reading string.");
    return -1;
  }
  const char* text = open_quote + 1;
  const size_t rest = length - static_cast<size_t>(text - line);
  const char* close_quote = static_cast<const char*>(memchr(text, QUOTE, rest));
  if (close_quote == nullptr) {
    printf("Error reading string termination.");
    return -1;
  }
  PutString(coordinate_hold(x), coordinate_hold(y), text, static_cast<size_t>(close_quote - text));
  return 0;
}

int strings_file_draw(FILE* input, const char* name) {
  char* line = nullptr;
  size_t capacity = 0;
  int status = 0;
  for (;;) {
    const ssize_t length = getline(&line, &capacity, input);
    if (length < 0) {
      // A read error or a line too long for the memory is not the end of
      // the file: the image would be missing lines.
      if (ferror(input) || !feof(input)) {
        printf(READ_FAILED, name, strerror(errno));
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
  if (argc != ARGUMENT_COUNT) {
    const char* name = argc > 0 && argv[0] != nullptr ? argv[0] : DEFAULT_NAME;
    printf("Usage: %s <strings input file> <splash output file>\n", name);
    return -1;
  }
  return splash_files_convert(argv[1], argv[2]);
}
