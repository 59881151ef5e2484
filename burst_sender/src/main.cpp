// burst_sender: transmits packets of a fixed length, or of lengths that rotate,
// on transmit channel 0 in the library's packet format.
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_choice.h"
#include "getopt_long.h"
#include "guard.h"
#include "orlix.h"

#define TX_CHANNEL ORLIX_CHANNEL_TX(0)
#define FREQUENCY 915000000
#define SAMPLE_RATE 10000000
#define BANDWIDTH 10000000
#define NUM_BUFFERS 512
#define BUFFER_SIZE 4096
#define NUM_TRANSFERS 16
#define STREAM_TIMEOUT_MS 3000000
#define TX_TIMEOUT_MS 3000

static const cmdline::option_record long_options[] = {
    {"packets", 1, NULL, 'n'},   {"size", 1, NULL, 's'}, {"device", 1, NULL, 'd'},
    {"verbosity", 1, NULL, 'v'}, {"help", 0, NULL, 'h'}, {NULL, 0, NULL, 0},
};

static uint32_t parse_log_level(const char* name, bool* ok) {
    static const struct {
        const char* name;
        uint32_t level;
    } levels[] = {
        {"critical", ORLIX_LOG_LEVEL_CRITICAL}, {"error", ORLIX_LOG_LEVEL_ERROR},
        {"warning", ORLIX_LOG_LEVEL_WARNING},   {"info", ORLIX_LOG_LEVEL_INFO},
        {"debug", ORLIX_LOG_LEVEL_DEBUG},       {"verbose", ORLIX_LOG_LEVEL_VERBOSE},
    };
    for (size_t i = 0; i < sizeof levels / sizeof levels[0]; i++) {
        if (strcasecmp(name, levels[i].name) == 0) {
            *ok = true;
            return levels[i].level;
        }
    }
    *ok = false;
    return 0;
}

// strtoul with base 0 as on a platform whose unsigned long has 32 bits:
// too large gives UINT32_MAX, a minus sign negates modulo 2^32.
static uint64_t parse_count(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') p++;
    if (*p < '0' || *p > '9') return 0;  // strtoul takes no second sign or blank here
    // The base is chosen here: newer C libraries would also read "0b" as binary.
    int base = 10;
    if (p[0] == '0') base = (p[1] == 'x' || p[1] == 'X') && isxdigit((unsigned char)p[2]) ? 16 : 8;
    errno = 0;
    const unsigned long long magnitude = strtoull(p, NULL, base);
    if (errno == ERANGE || magnitude > UINT32_MAX) return UINT32_MAX;
    const uint32_t value = (uint32_t)magnitude;
    return negative ? (uint32_t)(0u - value) : value;
}

// Builds a packet of n dwords holding the ramp 0, 1, ..., n-1.
static uint32_t* make_packet(uint64_t n) {
    uint32_t* packet = (uint32_t*)malloc((size_t)n * sizeof(uint32_t));
    if (packet == NULL) {
        fprintf(stderr, "Failed to allocate packet buffer (%zu bytes)\n",
                (size_t)n * sizeof(uint32_t));
        return NULL;
    }
    for (uint64_t k = 0; k < n; k++) packet[k] = (uint32_t)k;
    return packet;
}

// The count handed to the library for a packet of n dwords, rounded up from
// its byte length. Computed in 64 bits so that it equals n for every size.
static unsigned int sample_count(uint64_t n) {
    return (unsigned int)((4 * n + 3) / 4);
}

int main(int argc, char* argv[]) {
    const char* prog = argc > 0 && argv[0] != NULL ? argv[0] : "";
    guard_standard_descriptors(prog);
    guard_output();
    catch_termination_signals(note_termination);

    uint64_t num_packets = 10;
    uint64_t packet_size = 0;
    const char* devstr = NULL;
    int option_index = 0;
    struct orlix_device* dev = NULL;
    struct orlix_metadata meta;
    int status;
    bool alloc_failed = false;
    uint32_t* packet = NULL;

    int c;
    while ((c = cmdline::getopt_long(argc, argv, "n:s:d:v:h", long_options, &option_index)) != -1) {
        switch (c) {
            case 'n':
                num_packets = parse_count(cmdline::optarg);
                break;
            case 's':
                packet_size = parse_count(cmdline::optarg);
                break;
            case 'd':
                devstr = cmdline::optarg;
                break;
            case 'v': {
                bool ok;
                const uint32_t level = parse_log_level(cmdline::optarg, &ok);
                if (!ok) {
                    fprintf(stderr, "Invalid log level: %s\n", cmdline::optarg);
                    return finish_output(prog) ? -1 : 1;
                }
                orlix_log_set_verbosity((orlix_log_level)level);
                break;
            }
            case 'h':
                printf("Usage: %s [options]\n", prog);
                printf("Options:\n");
                printf("  -n, --packets <n>         Number of packets to send.\n");
                printf("  -s, --size <n>            Number of dwords per packet.\n");
                printf(
                    "  -d, --device <str>        Specify the device to open. Allows "
                    "selection of a specific\n");
                printf("                             Orlix device if multiple are available.\n");
                printf("  -v, --verbosity <level>   Set libOrlix verbosity level.\n");
                printf("  -h, --help                Show this help message and exit.\n");
                printf("\n");
                printf(
                    "The program transmits packets using the Orlix library. If '--size 0' is "
                    "used, packets\n");
                printf(
                    "will be sent with variable lengths in a round-robin fashion: 40, 17, 43 "
                    "dwords, and\n");
                printf(
                    "a dynamic packet length of '20 + (packet_count %% 300)'. Otherwise, all "
                    "packets\n");
                printf("will have a static length as specified by '--size'.\n");
                return finish_output(prog) ? 0 : 1;
            default:
                return 1;
        }
    }

    if (devstr == NULL) devstr = device_from_environment();
    printf("Opening device: %s\n", devstr != NULL ? devstr : "any");

    status = orlix_open(&dev, devstr);
    if (status != 0 || termination_signal) goto out;
    status = orlix_set_frequency(dev, TX_CHANNEL, FREQUENCY);
    if (status != 0 || termination_signal) goto out;
    status = orlix_set_sample_rate(dev, TX_CHANNEL, SAMPLE_RATE, NULL);
    if (status != 0 || termination_signal) goto out;
    status = orlix_set_bandwidth(dev, TX_CHANNEL, BANDWIDTH, NULL);
    if (status != 0 || termination_signal) goto out;
    status = orlix_sync_config(dev, ORLIX_TX_X1, ORLIX_FORMAT_PACKET, NUM_BUFFERS, BUFFER_SIZE,
                               NUM_TRANSFERS, STREAM_TIMEOUT_MS);
    if (status != 0 || termination_signal) goto out;

    memset(&meta, 0, sizeof meta);
    meta.timestamp = 0;
    meta.flags = 7;

    if (packet_size != 0) {
        printf("Sending %" PRIu64 " packets: %" PRIu64 " dwords/packet (%" PRIu64
               " bytes/packet)\n",
               num_packets, packet_size, 4 * packet_size);
        packet = make_packet(packet_size);
        if (packet == NULL) {
            alloc_failed = true;
            goto out;
        }
        status = orlix_enable_module(dev, TX_CHANNEL, true);
        if (status != 0) goto out;
        const unsigned int count = sample_count(packet_size);
        // A termination signal ends the packets, and the channel is disabled.
        for (uint64_t i = 0; i < num_packets && termination_signal == 0; i++) {
            status = orlix_sync_tx(dev, packet, count, &meta, TX_TIMEOUT_MS);
            if (status != 0) goto out;  // the channel stays enabled
        }
        status = orlix_enable_module(dev, TX_CHANNEL, false);
    } else {
        uint64_t lengths[4] = {40, 17, 43, 0};
        printf("Sending %" PRIu64 " packets with the following packet length and order:\n",
               num_packets);
        printf("Packet Lengths: [%i, %i, %i, 20 + (packets_sent %% 300)] dwords\n", 40, 17, 43);
        status = orlix_enable_module(dev, TX_CHANNEL, true);
        if (status != 0) goto out;
        for (uint64_t i = 0; i < num_packets && termination_signal == 0; i++) {
            lengths[3] = 20 + (i % 300);
            const uint64_t n = lengths[i & 3];
            packet = make_packet(n);
            if (packet == NULL) {
                alloc_failed = true;
                goto out;
            }
            status = orlix_sync_tx(dev, packet, sample_count(n), &meta, TX_TIMEOUT_MS);
            free(packet);
            packet = NULL;
            if (status != 0) goto out;  // the channel stays enabled
        }
        status = orlix_enable_module(dev, TX_CHANNEL, false);
    }

out:
    free(packet);
    orlix_close(dev);
    const bool output_ok = finish_output(prog);
    const int exit_status = status == 0 && !alloc_failed && output_ok ? 0 : 1;
    if (termination_signal) end_by_signal(termination_signal);
    return exit_status;
}
