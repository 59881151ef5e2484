/* Declarations through which the test programs reach the device library.
 *
 * The suite links either the simulated device library in orlix_sim/ or the
 * maker's installed library; both sit behind exactly these declarations, so the
 * programs never know which one they got. Only what the programs use is here. */
#ifndef ORLIX_H
#define ORLIX_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Mode and level values are plain ints, so that a value outside the named
 * ones reaches the library as it is and can be refused there. */

/* Opaque device handle, filled in by orlix_open; null while no device is open. */
struct orlix_device;

/* Status: 0 is success, a negative value a failure; orlix_strerror gives its text. */
#define ORLIX_ERR_UNEXPECTED (-1) /* generic failure */
#define ORLIX_ERR_RANGE (-2)      /* a value outside the device's range */
#define ORLIX_ERR_INVAL (-3)      /* an invalid argument or handle */
#define ORLIX_ERR_NODEV (-4)      /* no such device */
#define ORLIX_ERR_IO (-5)         /* file or device input/output failed */
#define ORLIX_ERR_BUSY (-6)       /* the device is already open */
#define ORLIX_ERR_STATE (-7)      /* not valid in the device's current state */
#define ORLIX_ERR_FPGA (-8)       /* the FPGA image could not be loaded */
#define ORLIX_ERR_TIMEOUT (-9)    /* the operation timed out */

/* Channels: receive channel i is 2*i, transmit channel i is 2*i + 1. */
typedef unsigned int orlix_channel;
#define ORLIX_CHANNEL_RX(ch) ((orlix_channel)(ch)*2u)
#define ORLIX_CHANNEL_TX(ch) ((orlix_channel)(ch)*2u + 1u)

enum {
    ORLIX_TX_X1 = 1, /* a single transmit channel */
    ORLIX_RX_X2 = 2, /* both receive channels, their samples interleaved one by one */
};
typedef int orlix_channel_layout;

enum {
    ORLIX_FORMAT_SC16_Q11 = 0, /* signed 16-bit I then Q, 4 bytes a sample */
    ORLIX_FORMAT_PACKET = 3,   /* one sync_tx call sends one packet of 32-bit words */
};
typedef int orlix_format;

enum {
    ORLIX_GAIN_DEFAULT = 0,
    ORLIX_GAIN_MGC = 1, /* manual gain control */
    ORLIX_GAIN_AGC = 2, /* automatic gain control */
};
typedef int orlix_gain_mode;

enum {
    ORLIX_TUNING_MODE_HOST = 0,
    ORLIX_TUNING_MODE_FPGA = 1,
};
typedef int orlix_tuning_mode;

enum {
    ORLIX_LOG_LEVEL_VERBOSE = 0,
    ORLIX_LOG_LEVEL_DEBUG = 1,
    ORLIX_LOG_LEVEL_INFO = 2,
    ORLIX_LOG_LEVEL_WARNING = 3,
    ORLIX_LOG_LEVEL_ERROR = 4,
    ORLIX_LOG_LEVEL_CRITICAL = 5,
};
typedef int orlix_log_level;

typedef uint64_t orlix_frequency;
typedef uint32_t orlix_sample_rate;
typedef uint32_t orlix_bandwidth;
typedef int orlix_gain;
typedef int orlix_clock_select; /* 0 or 1 */

struct orlix_metadata {
    uint64_t timestamp;
    uint32_t flags;
    uint32_t status;
    uint32_t actual_count;
    uint8_t reserved[32];
};

void orlix_log_set_verbosity(orlix_log_level level);

int orlix_open(struct orlix_device** device, const char* device_identifier);
void orlix_close(struct orlix_device* device);
const char* orlix_strerror(int status);

int orlix_load_fpga(struct orlix_device* dev, const char* fpga_file);

int orlix_set_frequency(struct orlix_device* dev, orlix_channel ch, orlix_frequency frequency);
int orlix_set_sample_rate(struct orlix_device* dev, orlix_channel ch, orlix_sample_rate rate,
                          orlix_sample_rate* actual);
int orlix_set_bandwidth(struct orlix_device* dev, orlix_channel ch, orlix_bandwidth bandwidth,
                        orlix_bandwidth* actual);
int orlix_set_gain_mode(struct orlix_device* dev, orlix_channel ch, orlix_gain_mode mode);
int orlix_set_gain(struct orlix_device* dev, orlix_channel ch, orlix_gain gain);
int orlix_set_clock_select(struct orlix_device* dev, orlix_clock_select sel);
int orlix_set_tuning_mode(struct orlix_device* dev, orlix_tuning_mode mode);
int orlix_enable_module(struct orlix_device* dev, orlix_channel ch, bool enable);

int orlix_sync_config(struct orlix_device* dev, orlix_channel_layout layout, orlix_format format,
                      unsigned int num_buffers, unsigned int buffer_size,
                      unsigned int num_transfers, unsigned int stream_timeout);
/* The metadata record is read, never written; the buffer may be freed on return. */
int orlix_sync_tx(struct orlix_device* dev, const void* samples, unsigned int num_samples,
                  const struct orlix_metadata* metadata, unsigned int timeout_ms);
int orlix_sync_rx(struct orlix_device* dev, void* samples, unsigned int num_samples,
                  struct orlix_metadata* metadata, unsigned int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
