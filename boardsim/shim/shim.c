/* Preload shim of the simulated board, loaded into the program under test.
 *
 * Linux has no user-space stand-in for a spidev node, so the calls a program
 * makes on /dev/spidev2.<n> are carried over a Unix socket to the simulator,
 * which answers as the kernel driver would. The descriptor handed to the
 * program is the connected socket itself: when the program closes it (or
 * exits) the simulator sees the connection end. An advisory flock on it is
 * taken on the device's node in the board's /dev, so that it binds the other
 * programs on the board as the lock on the real node does. A board set up to
 * model a serial driver that keeps its speed has the terminals' setting calls
 * (tcsetattr, TCSETS2) made here with the speed left as it was. /dev/fb0 is a real sandbox
 * file; only its driver requests are answered here (and journalled by the
 * simulator), and its writes are reported after they reach the file.
 * /dev/gpio0 is a FIFO the simulator reads; each write to it is first shown
 * to the simulator, which may answer with an injected fault instead.
 *
 * Everything else passes straight to the C library, and so does everything
 * when BOARDSIM_SOCKET is not set. Plain C over libc and libdl, no sanitiser,
 * fixed buffers (a heap buffer only for the rare very large message), so it
 * can sit in front of a sanitiser runtime and in a 32-bit ARM program. */

/* The entry points below must keep their plain names: no 64-bit file-offset
 * or time renaming, no fortified inline wrappers around them. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "boardsim/protocol.h"

#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the wire format is little endian; this shim copies its records as they lie in memory"
#endif

_Static_assert(sizeof(struct boardsim_xfer) == 16, "xfer record is 16 bytes");
_Static_assert(sizeof(struct boardsim_request) == 32, "request header is 32 bytes");
_Static_assert(sizeof(struct boardsim_reply) == 16, "reply header is 16 bytes");
_Static_assert(sizeof(struct spi_ioc_transfer) == 32, "the kernel's transfer record is 32 bytes");

#define SHIM_EXPORT __attribute__((visibility("default")))

#define SHIM_MAX_TRACKED 64          /* spidev, fb0 and gpio0 descriptors open at once */
#define SHIM_MAX_XFERS 512           /* the ioctl size field holds at most 511 records */
#define SHIM_MAX_PAYLOAD (16u << 20) /* far above any driver buffer: refused here */
#define SHIM_SETTING_BYTES 4         /* settings travel widened to 32 bits */
#define SHIM_DISCARD_CHUNK 256
#define SPIDEV_PREFIX "/dev/spidev2."
#define SPIDEV_MAX_DIGITS 9 /* keeps the chip select number inside an int */
#define FB_PATH "/dev/fb0"
#define GPIO_PATH "/dev/gpio0"
#define GPIO_MAX_CHECKED 4096 /* longer writes go straight to the FIFO */
#define TTY_PREFIX "/dev/ttyS"
/* A UART takes characters from the kernel's queue into its transmit FIFO and
 * shift register at once: TIOCOUTQ counts only those behind them. */
#define TTY_TRANSMITTER_CHARS 33u    /* a 32-character FIFO and the shift register */
#define TTY_DRAIN_STEP_US 20000u     /* tcdrain asks again at least this often */
#define TTY_DRAIN_LIMIT_US 60000000u /* and gives up (EIO) after a minute of a stuck line */

/* ------------------------------------------------------- real functions */

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*open2_fn)(const char *, int);
typedef int (*openat2_fn)(int, const char *, int);
typedef ssize_t (*read_fn)(int, void *, size_t);
typedef ssize_t (*read_chk_fn)(int, void *, size_t, size_t);
typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*close_fn)(int);
typedef int (*flock_fn)(int, int);
typedef int (*tcsetattr_fn)(int, int, const struct termios *);

/* Looked up on first use: a call may arrive before this library's constructors
 * would run (from another library's constructor). */
static struct {
  void *open, *open64, *openat, *openat64;
  void *open_2, *open64_2, *openat_2, *openat64_2;
  void *read, *read_chk, *write, *ioctl, *ioctl_time64, *close, *flock, *tcsetattr;
} real;

static void *next_symbol(void **slot, const char *name) {
  if (*slot == NULL) *slot = dlsym(RTLD_NEXT, name);
  return *slot;
}

#define REAL(field, name, type) ((type)next_symbol(&real.field, name))

static int real_close(int fd) { return REAL(close, "close", close_fn)(fd); }

/* ------------------------------------------------------------ state */

enum shim_kind { SHIM_FREE = 0, SHIM_SPI = 1, SHIM_FB = 2, SHIM_GPIO = 3, SHIM_TTY = 4 };

struct shim_tracked {
  int fd;
  int kind;
  int device;
  int lock_fd; /* of a spidev descriptor: the device's sandbox node, once flocked */
};

static struct shim_tracked tracked[SHIM_MAX_TRACKED];
static int tracked_count;

/* 0: not looked at yet, 1: on the simulated board, -1: pass everything */
static int shim_state;
static struct sockaddr_un shim_addr;
static int shim_addr_ok;

/* the process's connection for frame-buffer requests and GPIO fault checks */
static int process_socket = -1;
static pid_t process_socket_owner;

static int shim_active(void) {
  if (shim_state == 0) {
    const char *path = getenv(BOARDSIM_SOCKET_ENV);
    shim_state = (path != NULL && path[0] != '\0') ? 1 : -1;
    if (shim_state == 1) {
      const size_t n = strlen(path);
      memset(&shim_addr, 0, sizeof shim_addr);
      shim_addr.sun_family = AF_UNIX;
      shim_addr_ok = n < sizeof shim_addr.sun_path;
      if (shim_addr_ok) memcpy(shim_addr.sun_path, path, n + 1);
    }
  }
  return shim_state == 1;
}

static struct shim_tracked *find_tracked(int fd) {
  if (tracked_count == 0 || fd < 0) return NULL;
  for (int i = 0; i < SHIM_MAX_TRACKED; ++i) {
    if (tracked[i].kind != SHIM_FREE && tracked[i].fd == fd) return &tracked[i];
  }
  return NULL;
}

static void untrack(int fd) {
  struct shim_tracked *t = find_tracked(fd);
  if (t != NULL) {
    /* Its lock goes with it, as the kernel drops a lock with the last
     * descriptor of its open file. */
    if (t->lock_fd >= 0) real_close(t->lock_fd);
    t->lock_fd = -1;
    t->kind = SHIM_FREE;
    --tracked_count;
  }
}

static int track(int fd, int kind, int device) {
  untrack(fd); /* a stale entry of a descriptor closed behind our back */
  for (int i = 0; i < SHIM_MAX_TRACKED; ++i) {
    if (tracked[i].kind == SHIM_FREE) {
      tracked[i].fd = fd;
      tracked[i].kind = kind;
      tracked[i].device = device;
      tracked[i].lock_fd = -1;
      ++tracked_count;
      return 0;
    }
  }
  return -1;
}

/* "/dev/spidev2.<digits>" -> the chip select number, else -1. */
static int spidev_number(const char *path) {
  const size_t prefix = sizeof SPIDEV_PREFIX - 1;
  if (path == NULL || strncmp(path, SPIDEV_PREFIX, prefix) != 0) return -1;
  const char *p = path + prefix;
  int n = 0, digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
    if (digits < SPIDEV_MAX_DIGITS) n = n * 10 + (*p - '0');
  }
  if (digits == 0 || *p != '\0') return -1;
  return digits > SPIDEV_MAX_DIGITS ? 999999999 : n;
}

/* "/dev/ttyS<digits>" -> the port number, else -1. */
static int tty_number(const char *path) {
  const size_t prefix = sizeof TTY_PREFIX - 1;
  if (path == NULL || strncmp(path, TTY_PREFIX, prefix) != 0) return -1;
  const char *p = path + prefix;
  int n = 0, digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
    if (digits < SPIDEV_MAX_DIGITS) n = n * 10 + (*p - '0');
  }
  if (digits == 0 || digits > SPIDEV_MAX_DIGITS || *p != '\0') return -1;
  return n;
}

/* ------------------------------------------------------------ transport */

static int send_all(int s, const void *data, size_t n) {
  const char *p = data;
  while (n > 0) {
    const ssize_t k = send(s, p, n, MSG_NOSIGNAL);
    if (k < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += k;
    n -= (size_t)k;
  }
  return 0;
}

static int recv_all(int s, void *data, size_t n) {
  char *p = data;
  while (n > 0) {
    const ssize_t k = recv(s, p, n, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return -1;
    p += k;
    n -= (size_t)k;
  }
  return 0;
}

static int recv_discard(int s, size_t n) {
  char sink[SHIM_DISCARD_CHUNK];
  while (n > 0) {
    const size_t part = n < sizeof sink ? n : sizeof sink;
    if (recv_all(s, sink, part) < 0) return -1;
    n -= part;
  }
  return 0;
}

static int shim_connect(int cloexec) {
  if (!shim_addr_ok) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int s = socket(AF_UNIX, SOCK_STREAM | (cloexec ? SOCK_CLOEXEC : 0), 0);
  if (s < 0) return -1;
  int rc;
  do {
    rc = connect(s, (const struct sockaddr *)&shim_addr, sizeof shim_addr);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0 && errno != EISCONN) {
    const int saved = errno;
    real_close(s);
    errno = saved;
    return -1;
  }
  return s;
}

static void request_init(struct boardsim_request *r, uint32_t op, int device) {
  memset(r, 0, sizeof *r);
  r->op = op;
  r->device = device;
  r->pid = (int32_t)getpid();
}

static int recv_reply(int s, struct boardsim_reply *rep) {
  if (recv_all(s, rep, sizeof *rep) < 0) return -1;
  return 0;
}

/* The call's outcome as the program sees it; transport trouble reads as EIO. */
static long finish(const struct boardsim_reply *rep, int transport_ok) {
  if (!transport_ok) {
    errno = EIO;
    return -1;
  }
  if (rep->result < 0) {
    errno = rep->error;
    return -1;
  }
  return rep->result;
}

/* Sends a header and one payload, reads the reply header and up to `room`
 * payload bytes into `into` (the rest is dropped). */
static long simple_call(int s, struct boardsim_request *req, const void *payload, void *into,
                        size_t room) {
  struct boardsim_reply rep = {0, 0, 0, 0};
  int ok = send_all(s, req, sizeof *req) == 0 &&
           (req->payload_len == 0 || send_all(s, payload, req->payload_len) == 0) &&
           recv_reply(s, &rep) == 0;
  if (ok) {
    const size_t take = rep.payload_len < room ? rep.payload_len : room;
    ok =
        (take == 0 || recv_all(s, into, take) == 0) && recv_discard(s, rep.payload_len - take) == 0;
  }
  return finish(&rep, ok);
}

/* ------------------------------------------------------------- spidev */

static int spi_open(int device, int flags) {
  const int s = shim_connect((flags & O_CLOEXEC) != 0);
  if (s < 0) return -1;
  struct boardsim_request req;
  request_init(&req, BOARDSIM_OP_SPI_OPEN, device);
  req.arg = (uint32_t)flags;
  long rc = simple_call(s, &req, NULL, NULL, 0);
  if (rc >= 0 && track(s, SHIM_SPI, device) < 0) {
    errno = EMFILE;
    rc = -1;
  }
  if (rc < 0) {
    const int saved = errno;
    real_close(s);
    errno = saved;
    return -1;
  }
  return s;
}

static ssize_t spi_read(const struct shim_tracked *t, void *buf, size_t count) {
  if (count > SHIM_MAX_PAYLOAD) {
    errno = EMSGSIZE;
    return -1;
  }
  struct boardsim_request req;
  request_init(&req, BOARDSIM_OP_SPI_READ, t->device);
  req.arg = (uint32_t)count;
  return simple_call(t->fd, &req, NULL, buf, count);
}

static ssize_t spi_write(const struct shim_tracked *t, const void *buf, size_t count) {
  if (count > SHIM_MAX_PAYLOAD) {
    errno = EMSGSIZE;
    return -1;
  }
  struct boardsim_request req;
  request_init(&req, BOARDSIM_OP_SPI_WRITE, t->device);
  req.payload_len = (uint32_t)count;
  return simple_call(t->fd, &req, buf, NULL, 0);
}

/* A setting written (value widened to 32 bits) or read back (stored with the
 * width the request names: 1 or 4 bytes). */
static int spi_setting(const struct shim_tracked *t, unsigned long request, void *arg) {
  const size_t width = _IOC_SIZE(request);
  if (arg == NULL) {
    errno = EFAULT;
    return -1;
  }
  struct boardsim_request req;
  request_init(&req, BOARDSIM_OP_SPI_IOCTL, t->device);
  req.request = (uint32_t)request;
  uint8_t value[SHIM_SETTING_BYTES] = {0, 0, 0, 0};
  if (_IOC_DIR(request) == _IOC_WRITE) {
    memcpy(value, arg, width);
    req.payload_len = SHIM_SETTING_BYTES;
    return (int)simple_call(t->fd, &req, value, NULL, 0);
  }
  const long rc = simple_call(t->fd, &req, NULL, value, sizeof value);
  if (rc >= 0) memcpy(arg, value, width);
  return (int)rc;
}

static const void *user_pointer(uint64_t address) { return (const void *)(uintptr_t)address; }

/* Hands each received record its rx bytes, in order, as far as they go. */
static int spi_scatter_rx(int s, const struct spi_ioc_transfer *x, size_t n, size_t payload) {
  for (size_t i = 0; i < n && payload > 0; ++i) {
    if (x[i].rx_buf == 0) continue;
    const size_t take = x[i].len < payload ? x[i].len : payload;
    if (recv_all(s, (void *)(uintptr_t)x[i].rx_buf, take) < 0) return -1;
    payload -= take;
  }
  return recv_discard(s, payload);
}

static int spi_message(const struct shim_tracked *t, unsigned long request, const void *arg) {
  const size_t n = _IOC_SIZE(request) / sizeof(struct spi_ioc_transfer);
  const struct spi_ioc_transfer *x = arg;
  struct boardsim_xfer records[SHIM_MAX_XFERS];
  uint64_t tx_bytes = 0;
  if (n > SHIM_MAX_XFERS) {
    errno = EINVAL;
    return -1;
  }
  if (n > 0 && x == NULL) {
    errno = EFAULT;
    return -1;
  }
  for (size_t i = 0; i < n; ++i) {
    memset(&records[i], 0, sizeof records[i]);
    records[i].len = x[i].len;
    records[i].speed_hz = x[i].speed_hz;
    records[i].delay_usecs = x[i].delay_usecs;
    records[i].bits_per_word = x[i].bits_per_word;
    records[i].cs_change = x[i].cs_change;
    records[i].has_tx = x[i].tx_buf != 0;
    records[i].has_rx = x[i].rx_buf != 0;
    records[i].tx_nbits = x[i].tx_nbits;
    records[i].rx_nbits = x[i].rx_nbits;
    if (records[i].has_tx) tx_bytes += x[i].len;
  }
  const uint64_t payload = n * sizeof(struct boardsim_xfer) + tx_bytes;
  if (payload > SHIM_MAX_PAYLOAD) {
    errno = EMSGSIZE;
    return -1;
  }
  struct boardsim_request req;
  request_init(&req, BOARDSIM_OP_SPI_IOCTL, t->device);
  req.request = (uint32_t)request;
  req.payload_len = (uint32_t)payload;
  int ok = send_all(t->fd, &req, sizeof req) == 0 &&
           send_all(t->fd, records, n * sizeof(struct boardsim_xfer)) == 0;
  for (size_t i = 0; ok && i < n; ++i) {
    if (records[i].has_tx) ok = send_all(t->fd, user_pointer(x[i].tx_buf), x[i].len) == 0;
  }
  struct boardsim_reply rep = {0, 0, 0, 0};
  ok = ok && recv_reply(t->fd, &rep) == 0 && spi_scatter_rx(t->fd, x, n, rep.payload_len) == 0;
  return (int)finish(&rep, ok);
}

static int spi_ioctl(const struct shim_tracked *t, unsigned long request, void *arg) {
  const unsigned type = _IOC_TYPE(request), nr = _IOC_NR(request), dir = _IOC_DIR(request);
  const size_t size = _IOC_SIZE(request);
  if (type == SPI_IOC_MAGIC && nr == 0 && dir == _IOC_WRITE &&
      size % sizeof(struct spi_ioc_transfer) == 0) {
    return spi_message(t, request, arg);
  }
  const int known_setting = type == SPI_IOC_MAGIC && nr >= 1 && nr <= 5 &&
                            (dir == _IOC_READ || dir == _IOC_WRITE) &&
                            size == (nr == 4 || nr == 5 ? 4u : 1u);
  if (known_setting) return spi_setting(t, request, arg);
  /* Anything else is the driver's to refuse (ENOTTY, or EINVAL for a
   * message of partial records); it is journalled like every call. */
  struct boardsim_request req;
  request_init(&req, BOARDSIM_OP_SPI_IOCTL, t->device);
  req.request = (uint32_t)request;
  return (int)simple_call(t->fd, &req, NULL, NULL, 0);
}

/* ------------------------------------------------- process connection */

static int process_connection(void) {
  const pid_t self = getpid();
  if (process_socket >= 0 && process_socket_owner != self) {
    real_close(process_socket); /* the parent's, inherited over fork */
    process_socket = -1;
  }
  if (process_socket < 0) {
    process_socket = shim_connect(1);
    process_socket_owner = self;
  }
  return process_socket;
}

static long process_call(struct boardsim_request *req, const void *payload) {
  const int s = process_connection();
  if (s < 0) {
    errno = EIO;
    return -1;
  }
  return simple_call(s, req, payload, NULL, 0);
}

/* --------------------------------------------------------- frame buffer */

static int fb_ioctl(unsigned long request, const void *arg) {
  struct boardsim_request req;
  request_init(&req, BOARDSIM_OP_FB_IOCTL, -1);
  req.request = (uint32_t)request;
  if ((_IOC_DIR(request) & _IOC_WRITE) != 0 && _IOC_SIZE(request) == 4 && arg != NULL) {
    uint32_t value;
    memcpy(&value, arg, sizeof value);
    req.arg = value;
    req.flags = BOARDSIM_FLAG_HAS_VALUE;
  }
  return (int)process_call(&req, NULL);
}

static void fb_report_write(const void *data, size_t n) {
  if (n > SHIM_MAX_PAYLOAD) n = SHIM_MAX_PAYLOAD;
  struct boardsim_request req;
  request_init(&req, BOARDSIM_OP_FB_WRITE, -1);
  req.payload_len = (uint32_t)n;
  const int saved = errno;
  process_call(&req, data);
  errno = saved;
}

/* -------------------------------------------------------------- serial */

/* A pseudo-terminal hands the board's bytes over at once, so its own output
 * queue is always empty; the simulator sends them at the line's speed and
 * knows what a UART would still hold. */
static long tty_queue(int port, uint32_t *drained_in_us) {
  struct boardsim_request req;
  request_init(&req, BOARDSIM_OP_TTY_QUEUE, port);
  const int s = process_connection();
  if (s < 0) {
    errno = EIO;
    return -1;
  }
  *drained_in_us = 0;
  return simple_call(s, &req, NULL, drained_in_us, sizeof *drained_in_us);
}

/* TIOCOUTQ: the characters still in the kernel's queue, behind those the
 * transmitter holds; TIOCSERGETLSR: TIOCSER_TEMT once the last has left. */
static int tty_outq(const struct shim_tracked *t, unsigned long request, void *arg) {
  uint32_t drained_in_us;
  const long chars = tty_queue(t->device, &drained_in_us);
  if (chars < 0) return -1;
  if (arg == NULL) {
    errno = EFAULT;
    return -1;
  }
  int value;
  if (request == TIOCSERGETLSR) {
    value = drained_in_us == 0 ? TIOCSER_TEMT : 0;
  } else {
    value = chars > (long)TTY_TRANSMITTER_CHARS ? (int)(chars - (long)TTY_TRANSMITTER_CHARS) : 0;
  }
  memcpy(arg, &value, sizeof value);
  return 0;
}

/* Waits until the last character written has left the line, as tcdrain does
 * on a UART. */
static int tty_drain(const struct shim_tracked *t) {
  uint64_t waited = 0;
  for (;;) {
    uint32_t drained_in_us;
    if (tty_queue(t->device, &drained_in_us) < 0) return -1;
    if (drained_in_us == 0) return 0;
    if (waited >= TTY_DRAIN_LIMIT_US) {
      errno = EIO;
      return -1;
    }
    const uint32_t step = drained_in_us < TTY_DRAIN_STEP_US ? drained_in_us : TTY_DRAIN_STEP_US;
    usleep(step);
    waited += step;
  }
}

/* ---------------------------------------------------------------- GPIO */

/* The simulator decides first whether the driver takes the write whole; only
 * then do the bytes go into the FIFO, where the simulator reads them. */
static ssize_t gpio_write(int fd, const void *buf, size_t count) {
  if (count <= GPIO_MAX_CHECKED) {
    struct boardsim_request req;
    request_init(&req, BOARDSIM_OP_GPIO_WRITE, 0);
    req.payload_len = (uint32_t)count;
    const long taken = process_call(&req, buf);
    if (taken < 0 || (size_t)taken < count) return taken;
  }
  return REAL(write, "write", write_fn)(fd, buf, count);
}

/* ------------------------------------------------------------ open */

/* The board's view of an open: -2 when the path is not ours. */
static int board_open(int dirfd_relative, const char *path, int flags) {
  if (dirfd_relative || !shim_active()) return -2;
  const int device = spidev_number(path);
  if (device >= 0) return spi_open(device, flags);
  return -2;
}

/* After a real open: /dev/fb0 and /dev/gpio0 descriptors are watched; any
 * other number that comes back is no longer one of ours. */
static int after_real_open(const char *path, int fd) {
  if (fd < 0 || !shim_active()) return fd;
  const int port = tty_number(path);
  const int kind = path == NULL                   ? SHIM_FREE
                   : strcmp(path, FB_PATH) == 0   ? SHIM_FB
                   : strcmp(path, GPIO_PATH) == 0 ? SHIM_GPIO
                   : port >= 0                    ? SHIM_TTY
                                                  : SHIM_FREE;
  if (kind == SHIM_FREE) {
    untrack(fd);
  } else if (track(fd, kind, port) < 0) {
    real_close(fd);
    errno = EMFILE;
    return -1;
  }
  return fd;
}

static int needs_mode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

static int is_relative(int dirfd, const char *path) {
  return path != NULL && path[0] != '/' && dirfd != AT_FDCWD;
}

#define MODE_ARG(flags, last, mode)    \
  do {                                 \
    if (needs_mode(flags)) {           \
      va_list ap;                      \
      va_start(ap, last);              \
      mode = va_arg(ap, unsigned int); \
      va_end(ap);                      \
    }                                  \
  } while (0)

SHIM_EXPORT int open(const char *path, int flags, ...) {
  unsigned int mode = 0;
  MODE_ARG(flags, flags, mode);
  const int fd = board_open(0, path, flags);
  if (fd != -2) return fd;
  return after_real_open(path, REAL(open, "open", open_fn)(path, flags, mode));
}

SHIM_EXPORT int open64(const char *path, int flags, ...) {
  unsigned int mode = 0;
  MODE_ARG(flags, flags, mode);
  const int fd = board_open(0, path, flags);
  if (fd != -2) return fd;
  return after_real_open(path, REAL(open64, "open64", open_fn)(path, flags, mode));
}

SHIM_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
  unsigned int mode = 0;
  MODE_ARG(flags, flags, mode);
  const int fd = board_open(is_relative(dirfd, path), path, flags);
  if (fd != -2) return fd;
  const int got = REAL(openat, "openat", openat_fn)(dirfd, path, flags, mode);
  return after_real_open(is_relative(dirfd, path) ? NULL : path, got);
}

SHIM_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
  unsigned int mode = 0;
  MODE_ARG(flags, flags, mode);
  const int fd = board_open(is_relative(dirfd, path), path, flags);
  if (fd != -2) return fd;
  const int got = REAL(openat64, "openat64", openat_fn)(dirfd, path, flags, mode);
  return after_real_open(is_relative(dirfd, path) ? NULL : path, got);
}

/* The fortified variants (used when the flags are not known at compile time). */
SHIM_EXPORT int __open_2(const char *path, int flags) {
  const int fd = board_open(0, path, flags);
  if (fd != -2) return fd;
  return after_real_open(path, REAL(open_2, "__open_2", open2_fn)(path, flags));
}

SHIM_EXPORT int __open64_2(const char *path, int flags) {
  const int fd = board_open(0, path, flags);
  if (fd != -2) return fd;
  return after_real_open(path, REAL(open64_2, "__open64_2", open2_fn)(path, flags));
}

SHIM_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
  const int fd = board_open(is_relative(dirfd, path), path, flags);
  if (fd != -2) return fd;
  const int got = REAL(openat_2, "__openat_2", openat2_fn)(dirfd, path, flags);
  return after_real_open(is_relative(dirfd, path) ? NULL : path, got);
}

SHIM_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
  const int fd = board_open(is_relative(dirfd, path), path, flags);
  if (fd != -2) return fd;
  const int got = REAL(openat64_2, "__openat64_2", openat2_fn)(dirfd, path, flags);
  return after_real_open(is_relative(dirfd, path) ? NULL : path, got);
}

/* ------------------------------------------------- read, write, close */

SHIM_EXPORT ssize_t read(int fd, void *buf, size_t count) {
  const struct shim_tracked *t = find_tracked(fd);
  if (t != NULL && t->kind == SHIM_SPI) return spi_read(t, buf, count);
  return REAL(read, "read", read_fn)(fd, buf, count);
}

SHIM_EXPORT ssize_t __read_chk(int fd, void *buf, size_t count, size_t room) {
  const struct shim_tracked *t = find_tracked(fd);
  if (t != NULL && t->kind == SHIM_SPI && count <= room) return spi_read(t, buf, count);
  return REAL(read_chk, "__read_chk", read_chk_fn)(fd, buf, count, room);
}

SHIM_EXPORT ssize_t write(int fd, const void *buf, size_t count) {
  const struct shim_tracked *t = find_tracked(fd);
  if (t != NULL && t->kind == SHIM_SPI) return spi_write(t, buf, count);
  if (t != NULL && t->kind == SHIM_GPIO) return gpio_write(fd, buf, count);
  const ssize_t done = REAL(write, "write", write_fn)(fd, buf, count);
  if (t != NULL && t->kind == SHIM_FB && done > 0) fb_report_write(buf, (size_t)done);
  return done;
}

SHIM_EXPORT int close(int fd) {
  if (fd >= 0 && fd == process_socket) process_socket = -1; /* the program closed it under us */
  untrack(fd);
  return real_close(fd);
}

/* -------------------------------------------------------------- flock */

/* A spidev descriptor is a socket of its own, so a lock on it would bind no
 * other program. The lock is taken instead on the device's node in the
 * board's /dev, which every program on the board opens by the same name: two
 * programs then exclude each other as on the real driver's node. */
static int spi_flock(struct shim_tracked *t, int operation) {
  const flock_fn real_flock = REAL(flock, "flock", flock_fn);
  if (t->lock_fd < 0) {
    char path[sizeof SPIDEV_PREFIX + SPIDEV_MAX_DIGITS + 1];
    const int n = snprintf(path, sizeof path, SPIDEV_PREFIX "%d", t->device);
    if (n < 0 || (size_t)n >= sizeof path) {
      errno = EINVAL;
      return -1;
    }
    t->lock_fd = REAL(open, "open", open_fn)(path, O_RDONLY | O_NOCTTY | O_CLOEXEC, 0);
    if (t->lock_fd < 0) return -1;
  }
  return real_flock(t->lock_fd, operation);
}

SHIM_EXPORT int flock(int fd, int operation) {
  struct shim_tracked *t = find_tracked(fd);
  if (t != NULL && t->kind == SHIM_SPI) return spi_flock(t, operation);
  return REAL(flock, "flock", flock_fn)(fd, operation);
}

/* ------------------------------------------------ a serial port's speed */

/* The kernel's record of the arbitrary-speed requests; its header cannot be
 * included beside <termios.h>. */
struct termios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed, c_ospeed;
};
_Static_assert(sizeof(struct termios2) == 44, "the kernel's termios2 is 44 bytes");

#ifndef IBSHIFT
#define IBSHIFT 16
#endif
#define SHIM_SPEED_BITS ((tcflag_t)(CBAUD | (CBAUD << IBSHIFT)))

/* With BOARDSIM_SERIAL_KEEPS_SPEED=1 the terminals model a driver that
 * cannot make the speed asked: every setting call takes the rest of the
 * request and succeeds, but the speed stays as it was. */
static int keep_speed(void) {
  static int state; /* 0: not looked at, 1: kept, -1: as asked */
  if (state == 0) {
    const char *value = getenv(BOARDSIM_KEEP_SPEED_ENV);
    state = value != NULL && strcmp(value, "1") == 0 ? 1 : -1;
  }
  return state == 1;
}

SHIM_EXPORT int tcsetattr(int fd, int action, const struct termios *asked) {
  const tcsetattr_fn real_set = REAL(tcsetattr, "tcsetattr", tcsetattr_fn);
  struct termios now;
  if (asked == NULL || !keep_speed() || tcgetattr(fd, &now) != 0) {
    return real_set(fd, action, asked);
  }
  struct termios kept = *asked;
  kept.c_cflag = (kept.c_cflag & ~SHIM_SPEED_BITS) | (now.c_cflag & SHIM_SPEED_BITS);
  kept.c_ispeed = now.c_ispeed;
  kept.c_ospeed = now.c_ospeed;
  return real_set(fd, action, &kept);
}

/* The same for TCSETS2 and its variants; 0 when the request is not one. */
static int keep_speed_ioctl(int fd, unsigned long request, void *arg, ioctl_fn real_ioctl,
                            int *handled) {
  *handled = 0;
  if (arg == NULL || !keep_speed() ||
      (request != TCSETS2 && request != TCSETSW2 && request != TCSETSF2)) {
    return 0;
  }
  struct termios2 now;
  if (real_ioctl(fd, TCGETS2, &now) != 0) return 0;
  struct termios2 kept;
  memcpy(&kept, arg, sizeof kept);
  kept.c_cflag = (kept.c_cflag & ~SHIM_SPEED_BITS) | (now.c_cflag & SHIM_SPEED_BITS);
  kept.c_ispeed = now.c_ispeed;
  kept.c_ospeed = now.c_ospeed;
  *handled = 1;
  return real_ioctl(fd, request, &kept);
}

/* -------------------------------------------------------------- ioctl */

static int board_ioctl(int fd, unsigned long request, void *arg, int *handled) {
  const struct shim_tracked *t = find_tracked(fd);
  *handled = t != NULL && t->kind != SHIM_GPIO;
  if (*handled && t->kind == SHIM_TTY) {
    /* Only the output queue and the transmitter are the simulator's; TCSBRK
     * with 0 sends a break and stays the kernel's. Everything else is the
     * pty's own. */
    if (request == TIOCOUTQ || request == TIOCSERGETLSR) return tty_outq(t, request, arg);
    if (request == TCSBRK && (uintptr_t)arg != 0) return tty_drain(t);
    *handled = 0;
  }
  if (!*handled) return 0;
  if (t->kind == SHIM_SPI) return spi_ioctl(t, request, arg);
  return fb_ioctl(request, arg);
}

SHIM_EXPORT int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  int handled;
  const int rc = board_ioctl(fd, request, arg, &handled);
  if (handled) return rc;
  const ioctl_fn real_ioctl = REAL(ioctl, "ioctl", ioctl_fn);
  const int kept = keep_speed_ioctl(fd, request, arg, real_ioctl, &handled);
  if (handled) return kept;
  return real_ioctl(fd, request, arg);
}

/* 32-bit programs built with a 64-bit time_t call this name instead. */
SHIM_EXPORT int __ioctl_time64(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  int handled;
  const int rc = board_ioctl(fd, request, arg, &handled);
  if (handled) return rc;
  const ioctl_fn time64 = REAL(ioctl_time64, "__ioctl_time64", ioctl_fn);
  const ioctl_fn real_ioctl = time64 != NULL ? time64 : REAL(ioctl, "ioctl", ioctl_fn);
  const int kept = keep_speed_ioctl(fd, request, arg, real_ioctl, &handled);
  if (handled) return kept;
  return real_ioctl(fd, request, arg);
}

/* glibc's tcdrain makes its request without calling ioctl. */
SHIM_EXPORT int tcdrain(int fd) {
  const struct shim_tracked *t = find_tracked(fd);
  if (t != NULL && t->kind == SHIM_TTY) return tty_drain(t);
  return REAL(ioctl, "ioctl", ioctl_fn)(fd, TCSBRK, 1);
}
