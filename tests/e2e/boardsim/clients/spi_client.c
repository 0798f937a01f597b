/* A tiny program for the simulator's own tests: it makes the spidev and
 * frame-buffer calls a board program makes, one per command-line word group,
 * and prints each call's result, errno and bytes on standard output, e.g.
 *
 *   spi_client open 0 wr-bits 16 msg 4:01020304 read 2 close
 *
 * Commands:
 *   open N | close                       /dev/spidev2.N read-write
 *   wr-mode V | wr-mode32 V | wr-lsb V | wr-bits V | wr-speed V
 *   rd-mode | rd-mode32 | rd-lsb | rd-bits | rd-speed
 *   read N | write HEX                   plain half-duplex calls
 *   msg XFER[,XFER...]                   one SPI_IOC_MESSAGE; XFER is
 *                                        LEN:TXHEX|-[:speed=S][:bits=B][:cs=C][:delay=D][:norx]
 *   ioctl REQ                            any request number (hex) with a zeroed argument
 *   fb-open | fb-close | fb-ioctl REQ [VALUE] | fb-write HEX
 *
 * Output lines: "<command> = <result>" then " errno <n>" on failure, or
 * " value <v>" / " data <hex>" after success. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define CLIENT_BUFFER 8192 /* above the driver buffer, to reach EMSGSIZE */
#define CLIENT_MAX_XFERS 4
#define CLIENT_RX_FILL 0x3F /* what a receive buffer holds before data arrive */

static int spi_fd = -1;
static int fb_fd = -1;
static uint8_t tx_area[CLIENT_BUFFER];
static uint8_t rx_area[CLIENT_BUFFER];

static void print_hex(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; ++i) printf("%02x", p[i]);
}

static void report(const char *what, long rc, int err) {
  printf("%s = %ld", what, rc);
  if (rc < 0) printf(" errno %d", err);
}

/* Hex text to bytes; -1 when malformed or too long. */
static long parse_hex(const char *text, uint8_t *out, size_t room) {
  const size_t digits = strlen(text);
  if (digits % 2 != 0 || digits / 2 > room) return -1;
  for (size_t i = 0; i < digits / 2; ++i) {
    char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
    char *end = NULL;
    const unsigned long v = strtoul(pair, &end, 16);
    if (end != pair + 2) return -1;
    out[i] = (uint8_t)v;
  }
  return (long)(digits / 2);
}

static unsigned long number(const char *text) { return strtoul(text, NULL, 0); }

static int cmd_open(const char *n) {
  char path[32];
  const int len = snprintf(path, sizeof path, "/dev/spidev2.%s", n);
  if (len < 0 || (size_t)len >= sizeof path) return -1;
  spi_fd = open(path, O_RDWR);
  printf("open %s = %s", n, spi_fd >= 0 ? "ok" : "-1");
  if (spi_fd < 0) printf(" errno %d", errno);
  printf("\n");
  return 0;
}

static int cmd_close(void) {
  const int rc = close(spi_fd);
  report("close", rc, errno);
  printf("\n");
  spi_fd = -1;
  return 0;
}

struct setting {
  const char *name;
  unsigned long request;
  size_t width;
};

static const struct setting settings[] = {
    {"wr-mode", SPI_IOC_WR_MODE, 1},          {"wr-mode32", SPI_IOC_WR_MODE32, 4},
    {"wr-lsb", SPI_IOC_WR_LSB_FIRST, 1},      {"wr-bits", SPI_IOC_WR_BITS_PER_WORD, 1},
    {"wr-speed", SPI_IOC_WR_MAX_SPEED_HZ, 4}, {"rd-mode", SPI_IOC_RD_MODE, 1},
    {"rd-mode32", SPI_IOC_RD_MODE32, 4},      {"rd-lsb", SPI_IOC_RD_LSB_FIRST, 1},
    {"rd-bits", SPI_IOC_RD_BITS_PER_WORD, 1}, {"rd-speed", SPI_IOC_RD_MAX_SPEED_HZ, 4},
};

static const struct setting *find_setting(const char *name) {
  for (size_t i = 0; i < sizeof settings / sizeof settings[0]; ++i) {
    if (strcmp(settings[i].name, name) == 0) return &settings[i];
  }
  return NULL;
}

/* Returns how many arguments it used. */
static int cmd_setting(const struct setting *s, const char *arg) {
  uint8_t byte = 0;
  uint32_t word = 0;
  void *p = s->width == 1 ? (void *)&byte : (void *)&word;
  const int writes = _IOC_DIR(s->request) == _IOC_WRITE;
  if (writes) {
    if (arg == NULL) return -1;
    word = (uint32_t)number(arg);
    byte = (uint8_t)word;
  } else {
    /* Poison the variable so that a read that stores too few bytes shows. */
    word = 0xA5A5A5A5u;
    byte = 0xA5;
  }
  const int rc = ioctl(spi_fd, s->request, p);
  report(s->name, rc, errno);
  if (rc >= 0 && !writes)
    printf(" value %lu", s->width == 1 ? (unsigned long)byte : (unsigned long)word);
  printf("\n");
  return writes ? 1 : 0;
}

static int cmd_read(const char *n) {
  const size_t count = number(n);
  if (count > sizeof rx_area) return -1;
  memset(rx_area, CLIENT_RX_FILL, count);
  const ssize_t rc = read(spi_fd, rx_area, count);
  report("read", (long)rc, errno);
  if (rc > 0) {
    printf(" data ");
    print_hex(rx_area, (size_t)rc);
  }
  printf("\n");
  return 0;
}

static int cmd_write(const char *hex) {
  long n;
  if (strncmp(hex, "fill", 4) == 0) { /* "fill<N>": N counting bytes, for large writes */
    n = (long)number(hex + 4);
    if (n < 0 || (size_t)n > sizeof tx_area) return -1;
    for (long i = 0; i < n; ++i) tx_area[i] = (uint8_t)i;
  } else {
    n = parse_hex(hex, tx_area, sizeof tx_area);
    if (n < 0) return -1;
  }
  const ssize_t rc = write(spi_fd, tx_area, (size_t)n);
  report("write", (long)rc, errno);
  printf("\n");
  return 0;
}

/* One XFER of the msg command into t; its buffers follow those already used. */
static int parse_xfer(char *desc, struct spi_ioc_transfer *t, size_t *tx_used, size_t *rx_used) {
  char *save = NULL;
  char *field = strtok_r(desc, ":", &save);
  if (field == NULL) return -1;
  memset(t, 0, sizeof *t);
  t->len = (uint32_t)number(field);
  if (t->len > sizeof rx_area - *rx_used || t->len > sizeof tx_area - *tx_used) return -1;
  field = strtok_r(NULL, ":", &save);
  if (field == NULL) return -1;
  if (strcmp(field, "-") != 0) {
    const long n = parse_hex(field, tx_area + *tx_used, t->len);
    if (n != (long)t->len) return -1;
    t->tx_buf = (uintptr_t)(tx_area + *tx_used);
    *tx_used += t->len;
  }
  int rx = 1;
  while ((field = strtok_r(NULL, ":", &save)) != NULL) {
    if (strncmp(field, "speed=", 6) == 0) t->speed_hz = (uint32_t)number(field + 6);
    else if (strncmp(field, "bits=", 5) == 0) t->bits_per_word = (uint8_t)number(field + 5);
    else if (strncmp(field, "cs=", 3) == 0) t->cs_change = (uint8_t)number(field + 3);
    else if (strncmp(field, "delay=", 6) == 0) t->delay_usecs = (uint16_t)number(field + 6);
    else if (strcmp(field, "norx") == 0) rx = 0;
    else return -1;
  }
  if (rx) {
    memset(rx_area + *rx_used, CLIENT_RX_FILL, t->len);
    t->rx_buf = (uintptr_t)(rx_area + *rx_used);
    *rx_used += t->len;
  }
  return 0;
}

static int cmd_msg(const char *arg) {
  char descs[512];
  struct spi_ioc_transfer xfers[CLIENT_MAX_XFERS];
  size_t n = 0, tx_used = 0, rx_used = 0;
  const int len = snprintf(descs, sizeof descs, "%s", arg);
  if (len < 0 || (size_t)len >= sizeof descs) return -1;
  char *save = NULL;
  for (char *desc = strtok_r(descs, ",", &save); desc != NULL; desc = strtok_r(NULL, ",", &save)) {
    if (n == CLIENT_MAX_XFERS || parse_xfer(desc, &xfers[n], &tx_used, &rx_used) < 0) return -1;
    ++n;
  }
  const int rc = ioctl(spi_fd, _IOC(_IOC_WRITE, SPI_IOC_MAGIC, 0, n * sizeof xfers[0]), xfers);
  report("msg", rc, errno);
  for (size_t i = 0; rc >= 0 && i < n; ++i) {
    if (xfers[i].rx_buf == 0) continue;
    printf(" rx%u ", (unsigned)i);
    print_hex((const uint8_t *)(uintptr_t)xfers[i].rx_buf, xfers[i].len);
  }
  printf("\n");
  return 0;
}

static int cmd_ioctl(const char *req) {
  uint8_t arg[64];
  memset(arg, 0, sizeof arg);
  const int rc = ioctl(spi_fd, (unsigned long)strtoul(req, NULL, 16), arg);
  report("ioctl", rc, errno);
  printf("\n");
  return 0;
}

static int cmd_fb(const char *cmd, const char *a, const char *b) {
  int used = 0;
  long rc;
  if (strcmp(cmd, "fb-open") == 0) {
    fb_fd = open("/dev/fb0", O_RDWR);
    rc = fb_fd >= 0 ? 0 : -1;
  } else if (strcmp(cmd, "fb-close") == 0) {
    rc = close(fb_fd);
    fb_fd = -1;
  } else if (strcmp(cmd, "fb-write") == 0) {
    if (a == NULL) return -1;
    const long n = parse_hex(a, tx_area, sizeof tx_area);
    if (n < 0) return -1;
    rc = write(fb_fd, tx_area, (size_t)n);
    used = 1;
  } else {
    if (a == NULL) return -1;
    uint32_t value = b != NULL ? (uint32_t)number(b) : 0;
    rc = ioctl(fb_fd, (unsigned long)strtoul(a, NULL, 16), b != NULL ? &value : NULL);
    used = b != NULL ? 2 : 1;
  }
  report(cmd, rc, errno);
  printf("\n");
  return used;
}

/* Runs the command at argv[i]; returns the number of words it took, or -1. */
static int run_command(int argc, char **argv, int i) {
  const char *cmd = argv[i];
  const char *a = i + 1 < argc ? argv[i + 1] : NULL;
  const char *b = i + 2 < argc ? argv[i + 2] : NULL;
  const struct setting *s = find_setting(cmd);
  if (s != NULL) {
    const int used = cmd_setting(s, a);
    return used < 0 ? -1 : 1 + used;
  }
  if (strcmp(cmd, "close") == 0) return cmd_close() < 0 ? -1 : 1;
  if (strncmp(cmd, "fb-", 3) == 0) {
    /* fb-ioctl takes a value only when one follows that is not a command */
    if (strcmp(cmd, "fb-ioctl") == 0 && b != NULL && (b[0] < '0' || b[0] > '9')) b = NULL;
    const int used = cmd_fb(cmd, a, b);
    return used < 0 ? -1 : 1 + used;
  }
  if (a == NULL) return -1;
  int rc = -1;
  if (strcmp(cmd, "open") == 0) rc = cmd_open(a);
  else if (strcmp(cmd, "read") == 0) rc = cmd_read(a);
  else if (strcmp(cmd, "write") == 0) rc = cmd_write(a);
  else if (strcmp(cmd, "msg") == 0) rc = cmd_msg(a);
  else if (strcmp(cmd, "ioctl") == 0) rc = cmd_ioctl(a);
  return rc < 0 ? -1 : 2;
}

int main(int argc, char **argv) {
  int i = 1;
  while (i < argc) {
    const int used = run_command(argc, argv, i);
    if (used < 0) {
      printf("bad command at \"%s\"\n", argv[i]);
      return 2;
    }
    i += used;
  }
  return fflush(stdout) == 0 ? 0 : 1;
}
