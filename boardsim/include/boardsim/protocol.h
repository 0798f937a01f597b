/* Wire format between the preload shim (in the program under test) and the
 * simulator. Plain C, fixed-width little-endian fields, so that a 32-bit ARM
 * program under qemu-arm with an ARM build of the shim talks to a native
 * simulator unchanged. Every request is one header followed by payload_len
 * bytes; every request gets exactly one reply header followed by its payload.
 *
 * One socket connection per opened spidev descriptor: the descriptor the shim
 * hands to the program IS the connected socket, so close() by the program is
 * seen by the simulator as the end of the connection. Frame-buffer requests
 * and the fault checks of GPIO writes go over one further connection per
 * process, opened on first use. */
#ifndef BOARDSIM_PROTOCOL_H
#define BOARDSIM_PROTOCOL_H

#include <stdint.h>

#define BOARDSIM_SOCKET_ENV "BOARDSIM_SOCKET"
/* Set to 1: the shim keeps the speed of a terminal across its setting calls. */
#define BOARDSIM_KEEP_SPEED_ENV "BOARDSIM_SERIAL_KEEPS_SPEED"

enum boardsim_op {
  BOARDSIM_OP_SPI_OPEN = 1,  /* device = chip select 0..4, arg = open flags */
  BOARDSIM_OP_SPI_READ = 2,  /* arg = byte count; reply payload = bytes read */
  BOARDSIM_OP_SPI_WRITE = 3, /* payload = bytes to write */
  BOARDSIM_OP_SPI_IOCTL = 4, /* request = ioctl number; payload below */
  BOARDSIM_OP_FB_IOCTL = 5,  /* request = ioctl number; arg = 32-bit value when flags & HAS_VALUE */
  BOARDSIM_OP_FB_WRITE = 6,  /* payload = bytes written to the frame buffer (already in the file) */
  BOARDSIM_OP_GPIO_WRITE = 7, /* payload = bytes about to be written to the GPIO device; reply
                                result = what the driver takes: the whole count, and the shim
                                writes them to the FIFO; less, or -1 with error, an injected
                                fault (journalled), and nothing reaches the FIFO */
  BOARDSIM_OP_TTY_QUEUE = 8   /* device = serial port: its output queue as the UART shows it;
                                 reply result = characters not yet sent whole, payload = 4 bytes,
                                 microseconds until the last of them is (TIOCOUTQ, tcdrain) */
};

#define BOARDSIM_FLAG_HAS_VALUE 1u

/* SPI_IOC_* payloads:
 *  - a write of a setting (WR_MODE, WR_BITS_PER_WORD, WR_MAX_SPEED_HZ, WR_MODE32,
 *    WR_LSB_FIRST): payload = 4 bytes, the value widened to 32 bits;
 *    reply payload empty.
 *  - a read of a setting: payload empty; reply payload = 4 bytes, the value.
 *  - SPI_IOC_MESSAGE(n): payload = n records of struct boardsim_xfer, then
 *    the tx bytes of every record with has_tx, concatenated in order;
 *    reply payload = the rx bytes of every record with has_rx, concatenated.
 *    Reply result = total bytes transferred, as the kernel returns it. */
struct boardsim_xfer {
  uint32_t len;
  uint32_t speed_hz;
  uint16_t delay_usecs;
  uint8_t bits_per_word;
  uint8_t cs_change;
  uint8_t has_tx; /* the program gave a tx_buf */
  uint8_t has_rx; /* the program gave an rx_buf */
  uint8_t tx_nbits;
  uint8_t rx_nbits;
};

struct boardsim_request {
  uint32_t op;
  int32_t device;
  uint32_t request;
  uint32_t arg;
  uint32_t flags;
  uint32_t payload_len;
  int32_t pid; /* of the calling process, for the journal */
  uint32_t reserved;
};

struct boardsim_reply {
  int32_t result; /* what the call returns to the program */
  int32_t error;  /* errno when result < 0 (Linux numbering, the same on ARM) */
  uint32_t payload_len;
  uint32_t reserved;
};

#ifdef __cplusplus
static_assert(sizeof(struct boardsim_xfer) == 16, "xfer record is 16 bytes on every target");
static_assert(sizeof(struct boardsim_request) == 32, "request header is 32 bytes on every target");
static_assert(sizeof(struct boardsim_reply) == 16, "reply header is 16 bytes on every target");
#endif

#endif
