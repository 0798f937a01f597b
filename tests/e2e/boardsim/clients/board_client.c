/* board_client: a test program that makes the system calls a board program
 * makes, driven by its arguments, so that the simulator's own tests can run
 * it on the board (natively, or the ARM build under qemu-arm).
 *
 * The arguments are a sequence of steps, each a word and its operands:
 *   tty PATH            open a serial port (O_RDWR | O_NOCTTY)
 *   raw BAUD            raw 8-N-1 at a standard speed (termios, TCSANOW)
 *   speed2 BAUD         any speed through termios2 and BOTHER
 *   getspeed            print "speed N" as termios2 reports it
 *   write TEXT          write TEXT to the port
 *   outq                print "outq N", the characters the port has not sent yet
 *   lsr                 whether the transmitter is empty (TIOCSERGETLSR);
 *   drain               wait until the port has sent everything (tcdrain);
 *                       print "drained N us", the time since the last write
 *   read N              read exactly N bytes from the port; print "read TEXT"
 *   gpio OP MASK VALUE  write one 12-byte request to /dev/gpio0
 *   fb CONTRAST         the display start-up: contrast request, 1024-byte
 *                       picture, follow-up request on /dev/fb0
 *   file PATH TEXT      create PATH holding TEXT
 *   cat PATH            print the content of PATH (or "missing PATH")
 *   system COMMAND      run COMMAND through the shell; print "system N"
 *   pid                 print "pid N" (this process's ID)
 *   usr2 N              send SIGUSR2 N times to the PID in /tmp/Panel_init_done,
 *                       each after the previous one was taken; print "sent N"
 *   out TEXT / err TEXT print TEXT and a line feed on stdout / stderr
 *   stdin               copy standard input to standard output
 *   raise SIG           die of signal SIG
 *   sleep               wait for ever
 *   wait MS             wait MS milliseconds (a reset pulse's low phase, the
 *                       slave's start-up)
 *   exit N              end with status N
 * A failed step prints "STEP failed errno N" on stderr and ends with 1. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

/* termios2 from the kernel's header cannot be included with <termios.h>;
 * its layout is the same on every Linux architecture this runs on. */
struct client_termios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
_Static_assert(sizeof(struct client_termios2) == 44, "termios2 is 44 bytes");
#define CLIENT_TCGETS2 _IOR('T', 0x2A, struct client_termios2)
#define CLIENT_TCSETS2 _IOW('T', 0x2B, struct client_termios2)
#define CLIENT_CBAUD 0010017
#define CLIENT_BOTHER 0010000

struct gpio_request {
  uint8_t op;
  uint8_t padding[3];
  uint32_t mask;
  uint32_t value;
};
_Static_assert(sizeof(struct gpio_request) == 12, "GPIO request is 12 bytes");

#define FB_CONTRAST_REQUEST 0x40046706u
#define FB_FOLLOW_UP_REQUEST 0x6704u
#define FB_PICTURE_BYTES 1024
#define READ_TIMEOUT_MS 10000
#define PANEL_MARKER "/tmp/Panel_init_done"

static int tty_fd = -1;
static struct timespec last_write;

static long us_since(const struct timespec* then) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long)(now.tv_sec - then->tv_sec) * 1000000L + (now.tv_nsec - then->tv_nsec) / 1000L;
}

static int failed(const char* step) {
  fprintf(stderr, "%s failed errno %d\n", step, errno);
  return -1;
}

static int write_all(int fd, const void* data, size_t n) {
  const uint8_t* p = data;
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (w <= 0) return -1;
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

static speed_t baud_constant(long baud) {
  static const struct {
    long baud;
    speed_t constant;
  } table[] = {{1200, B1200},   {2400, B2400},     {4800, B4800},
               {9600, B9600},   {19200, B19200},   {38400, B38400},
               {57600, B57600}, {115200, B115200}, {230400, B230400}};
  for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
    if (table[i].baud == baud) return table[i].constant;
  }
  return 0;
}

static int step_raw(long baud) {
  struct termios t;
  speed_t constant = baud_constant(baud);
  if (constant == 0) {
    errno = EINVAL;
    return failed("raw");
  }
  if (tcgetattr(tty_fd, &t) != 0) return failed("raw");
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_cflag &= ~(tcflag_t)(CSIZE | CSTOPB | PARENB);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_lflag &= ~(tcflag_t)(ISIG | ICANON | ECHO | ECHOE);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, constant);
  cfsetospeed(&t, constant);
  if (tcflush(tty_fd, TCIOFLUSH) != 0 || tcsetattr(tty_fd, TCSANOW, &t) != 0) return failed("raw");
  return 0;
}

static int step_speed2(long baud) {
  struct client_termios2 t;
  if (ioctl(tty_fd, CLIENT_TCGETS2, &t) != 0) return failed("speed2");
  t.c_cflag &= ~(tcflag_t)CLIENT_CBAUD;
  t.c_cflag |= CLIENT_BOTHER;
  t.c_ispeed = (speed_t)baud;
  t.c_ospeed = (speed_t)baud;
  if (ioctl(tty_fd, CLIENT_TCSETS2, &t) != 0) return failed("speed2");
  return 0;
}

static int step_getspeed(void) {
  struct client_termios2 t;
  if (ioctl(tty_fd, CLIENT_TCGETS2, &t) == 0) {
    printf("speed %u\n", (unsigned)t.c_ospeed);
    return 0;
  }
  /* Without termios2 (qemu-arm does not translate it) the B constant. */
  struct termios s;
  if (tcgetattr(tty_fd, &s) != 0) return failed("getspeed");
  static const long bauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  for (size_t i = 0; i < sizeof bauds / sizeof bauds[0]; ++i) {
    if (baud_constant(bauds[i]) == cfgetospeed(&s)) {
      printf("speed %ld\n", bauds[i]);
      return 0;
    }
  }
  printf("speed unknown\n");
  return 0;
}

static int step_read(long n) {
  char buf[4096];
  if (n < 0 || (size_t)n >= sizeof buf) {
    errno = EINVAL;
    return failed("read");
  }
  size_t got = 0;
  while (got < (size_t)n) {
    struct pollfd p = {tty_fd, POLLIN, 0};
    if (poll(&p, 1, READ_TIMEOUT_MS) <= 0) {
      errno = ETIMEDOUT;
      return failed("read");
    }
    ssize_t r = read(tty_fd, buf + got, (size_t)n - got);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r <= 0) return failed("read");
    got += (size_t)r;
  }
  buf[got] = '\0';
  printf("read %s\n", buf);
  return 0;
}

static int step_gpio(const char* op, const char* mask, const char* value) {
  struct gpio_request r;
  memset(&r, 0, sizeof r);
  r.op = (uint8_t)strtoul(op, NULL, 0);
  r.mask = (uint32_t)strtoul(mask, NULL, 0);
  r.value = (uint32_t)strtoul(value, NULL, 0);
  int fd = open("/dev/gpio0", O_RDWR);
  if (fd < 0) return failed("gpio");
  ssize_t w = write(fd, &r, sizeof r);
  close(fd);
  if (w != (ssize_t)sizeof r) return failed("gpio");
  return 0;
}

static int step_fb(const char* contrast_text) {
  int32_t contrast = (int32_t)strtol(contrast_text, NULL, 10);
  uint8_t picture[FB_PICTURE_BYTES];
  for (size_t i = 0; i < sizeof picture; ++i) picture[i] = (uint8_t)(i * 7u);
  int fd = open("/dev/fb0", O_RDWR);
  if (fd < 0) return failed("fb");
  int rc = 0;
  if (ioctl(fd, FB_CONTRAST_REQUEST, &contrast) != 0) rc = failed("fb contrast");
  if (rc == 0 && write_all(fd, picture, sizeof picture) != 0) rc = failed("fb write");
  if (rc == 0 && ioctl(fd, FB_FOLLOW_UP_REQUEST) != 0) rc = failed("fb follow-up");
  close(fd);
  return rc;
}

static int step_file(const char* path, const char* text) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return failed("file");
  int rc = write_all(fd, text, strlen(text)) == 0 ? 0 : failed("file");
  close(fd);
  return rc;
}

static int step_cat(const char* path) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) {
    printf("missing %s\n", path);
    return 0;
  }
  char buf[4096];
  ssize_t n;
  fflush(stdout);
  while ((n = read(fd, buf, sizeof buf)) > 0) write_all(1, buf, (size_t)n);
  close(fd);
  return 0;
}

/* A signal is taken once it is no longer pending in the receiver. */
static int signal_pending(long pid, int sig) {
  char path[64];
  char line[256];
  int pending = 0;
  if (snprintf(path, sizeof path, "/proc/%ld/status", pid) >= (int)sizeof path) return 0;
  FILE* f = fopen(path, "r");
  if (f == NULL) return 0;
  while (fgets(line, sizeof line, f) != NULL) {
    if (strncmp(line, "SigPnd:", 7) == 0 || strncmp(line, "ShdPnd:", 7) == 0) {
      unsigned long long mask = strtoull(line + 7, NULL, 16);
      if (mask & (1ull << (sig - 1))) pending = 1;
    }
  }
  fclose(f);
  return pending;
}

static int step_usr2(long count) {
  long pid = 0;
  FILE* f = fopen(PANEL_MARKER, "r");
  if (f == NULL) return failed("usr2");
  int got = fscanf(f, "%*s %ld", &pid);
  fclose(f);
  if (got != 1 || pid <= 0) {
    errno = EINVAL;
    return failed("usr2");
  }
  for (long i = 0; i < count; ++i) {
    if (kill((pid_t)pid, SIGUSR2) != 0) return failed("usr2");
    const struct timespec tick = {0, 1000000};
    for (int waited = 0; signal_pending(pid, SIGUSR2) && waited < READ_TIMEOUT_MS; ++waited) {
      nanosleep(&tick, NULL);
    }
  }
  printf("sent %ld\n", count);
  return 0;
}

static int step_stdin(void) {
  char buf[4096];
  ssize_t n;
  while ((n = read(0, buf, sizeof buf)) > 0) {
    if (write_all(1, buf, (size_t)n) != 0) return failed("stdin");
  }
  return 0;
}

/* Runs the step at argv[i]; returns how many words it used, or -1. */
static int run_step(int argc, char** argv, int i) {
  const char* s = argv[i];
  int left = argc - i - 1;
  const char* a = left > 0 ? argv[i + 1] : "";
  int ok = -1;
  int used = 2;
  fflush(stdout);
  if (strcmp(s, "tty") == 0 && left >= 1) {
    tty_fd = open(a, O_RDWR | O_NOCTTY);
    ok = tty_fd >= 0 ? 0 : failed("tty");
  } else if (strcmp(s, "raw") == 0 && left >= 1) {
    ok = step_raw(strtol(a, NULL, 10));
  } else if (strcmp(s, "speed2") == 0 && left >= 1) {
    ok = step_speed2(strtol(a, NULL, 10));
  } else if (strcmp(s, "getspeed") == 0) {
    ok = step_getspeed();
    used = 1;
  } else if (strcmp(s, "write") == 0 && left >= 1) {
    /* Taken before the write: no character can leave before it, however
     * long the client then waits for a processor. */
    clock_gettime(CLOCK_MONOTONIC, &last_write);
    ok = write_all(tty_fd, a, strlen(a)) == 0 ? 0 : failed("write");
  } else if (strcmp(s, "outq") == 0) {
    int queued = -1;
    ok = ioctl(tty_fd, TIOCOUTQ, &queued) == 0 ? 0 : failed("outq");
    if (ok == 0) printf("outq %d\n", queued);
    used = 1;
  } else if (strcmp(s, "lsr") == 0) {
    int status = -1;
    ok = ioctl(tty_fd, TIOCSERGETLSR, &status) == 0 ? 0 : failed("lsr");
    if (ok == 0) printf("lsr %s\n", (status & TIOCSER_TEMT) != 0 ? "empty" : "sending");
    used = 1;
  } else if (strcmp(s, "drain") == 0) {
    ok = tcdrain(tty_fd) == 0 ? 0 : failed("drain");
    if (ok == 0) printf("drained %ld us\n", us_since(&last_write));
    used = 1;
  } else if (strcmp(s, "read") == 0 && left >= 1) {
    ok = step_read(strtol(a, NULL, 10));
  } else if (strcmp(s, "gpio") == 0 && left >= 3) {
    ok = step_gpio(a, argv[i + 2], argv[i + 3]);
    used = 4;
  } else if (strcmp(s, "fb") == 0 && left >= 1) {
    ok = step_fb(a);
  } else if (strcmp(s, "file") == 0 && left >= 2) {
    ok = step_file(a, argv[i + 2]);
    used = 3;
  } else if (strcmp(s, "cat") == 0 && left >= 1) {
    ok = step_cat(a);
  } else if (strcmp(s, "system") == 0 && left >= 1) {
    fflush(stdout);
    int status = system(a);
    printf("system %d\n", status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    ok = 0;
  } else if (strcmp(s, "pid") == 0) {
    printf("pid %ld\n", (long)getpid());
    ok = 0;
    used = 1;
  } else if (strcmp(s, "usr2") == 0 && left >= 1) {
    ok = step_usr2(strtol(a, NULL, 10));
  } else if (strcmp(s, "out") == 0 && left >= 1) {
    printf("%s\n", a);
    ok = 0;
  } else if (strcmp(s, "err") == 0 && left >= 1) {
    fprintf(stderr, "%s\n", a);
    ok = 0;
  } else if (strcmp(s, "stdin") == 0) {
    ok = step_stdin();
    used = 1;
  } else if (strcmp(s, "raise") == 0 && left >= 1) {
    fflush(stdout);
    signal((int)strtol(a, NULL, 10), SIG_DFL);
    raise((int)strtol(a, NULL, 10));
    ok = failed("raise");
  } else if (strcmp(s, "wait") == 0 && left >= 1) {
    ok = usleep((useconds_t)(strtol(a, NULL, 10) * 1000)) == 0 ? 0 : failed("wait");
  } else if (strcmp(s, "sleep") == 0) {
    fflush(stdout);
    for (;;) pause();
  } else if (strcmp(s, "exit") == 0 && left >= 1) {
    fflush(stdout);
    exit((int)strtol(a, NULL, 10));
  } else {
    fprintf(stderr, "unknown step %s\n", s);
  }
  return ok == 0 ? used : -1;
}

int main(int argc, char** argv) {
  for (int i = 1; i < argc;) {
    int used = run_step(argc, argv, i);
    if (used < 0) return 1;
    i += used;
  }
  return 0;
}
