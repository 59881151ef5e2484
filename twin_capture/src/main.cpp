// twin_capture: receives on both receive channels at once and stores the raw
// capture in "dual_test.bin" in the working directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "capture_format.h"
#include "device_choice.h"
#include "files.h"
#include "guard.h"
#include "orlix.h"

#define NUM_CHANNELS kCaptureChannels
#define NUM_SAMPLES kCaptureFrames

static const uint32_t samp_rate = kCaptureSampleRate;
static const uint64_t freq = kCaptureFrequency;
static const unsigned int num_buffers = 5120;
static const unsigned int buffer_size = 16384;
static const unsigned int num_transfers = 64;
static const unsigned int timeout_ms = 3500;

static void report(const char* call, int status) {
    fprintf(stderr, "Failed at %s: %s\n", call, orlix_strerror(status));
}

// A termination signal noted between two calls ends the set-up at once with 0:
// the caller sees the signal and cleans up.
static int32_t init_sync(struct orlix_device* dev, uint64_t num_channels, uint32_t samp_rate) {
    int status = orlix_sync_config(dev, ORLIX_RX_X2, ORLIX_FORMAT_SC16_Q11, num_buffers,
                                   buffer_size, num_transfers, timeout_ms);
    if (status != 0) {
        report(
            "orlix_sync_config(dev, ORLIX_RX_X2, ORLIX_FORMAT_SC16_Q11, num_buffers, "
            "buffer_size, num_transfers, timeout_ms)",
            status);
        return 1;
    }
    if (termination_signal) return 0;

    for (uint64_t i = 0; i < num_channels; i++) {
        status = orlix_set_frequency(dev, ORLIX_CHANNEL_RX(i), (orlix_frequency)freq);
        if (status != 0) {
            report("orlix_set_frequency(dev, ORLIX_CHANNEL_RX(i), (orlix_frequency)freq)", status);
            return 1;
        }
        if (termination_signal) return 0;
        status = orlix_set_sample_rate(dev, ORLIX_CHANNEL_RX(i), samp_rate, NULL);
        if (status != 0) {
            report("orlix_set_sample_rate(dev, ORLIX_CHANNEL_RX(i), samp_rate, NULL)", status);
            return 1;
        }
        if (termination_signal) return 0;
        status = orlix_set_gain_mode(dev, ORLIX_CHANNEL_RX(i), ORLIX_GAIN_MGC);
        if (status != 0) {
            report("orlix_set_gain_mode(dev, ORLIX_CHANNEL_RX(i), ORLIX_GAIN_MGC)", status);
            return 1;
        }
        if (termination_signal) return 0;
        status = orlix_set_gain(dev, ORLIX_CHANNEL_RX(i), 60);
        if (status != 0) {
            report("orlix_set_gain(dev, ORLIX_CHANNEL_RX(i), 60)", status);
            return 1;
        }
        if (termination_signal) return 0;
    }
    return 0;
}

// Where the capture goes, and how: a regular "dual_test.bin" (or a link to one,
// or none) is replaced only once the new capture is whole on the disk; in a
// folder that takes no new file, an existing one is rewritten in place; a FIFO
// or device, or a link to one, takes the bytes as they are.
enum capture_kind { CAPTURE_REPLACE, CAPTURE_IN_PLACE, CAPTURE_THROUGH };

struct capture {
    enum capture_kind kind;
    int fd;
    struct Replacement replacement;
    std::string path;  // named in a report
};

// Waits `ms` milliseconds, or less when a termination signal is noted.
static void pause_ms(int ms) {
    for (int waited = 0; waited < ms && termination_signal == 0; waited += 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Opens the capture; nothing is truncated yet. False with errno on failure, or
// when a termination signal came while a FIFO waited for its reader.
static bool open_capture(struct capture* c) {
    c->fd = -1;
    c->path = kCaptureName;
    struct stat st;
    if (stat(kCaptureName, &st) != 0) {
        if (errno == ENOENT && lstat(kCaptureName, &st) == 0) return false;  // dangling link
        if (errno != ENOENT) return false;
    } else if (!S_ISREG(st.st_mode)) {
        c->kind = CAPTURE_THROUGH;
        // Without a reader a FIFO refuses a non-blocking open: wait for one in
        // steps, so that a termination signal is seen.
        for (;;) {
            c->fd = open(kCaptureName, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (c->fd >= 0 || errno != ENXIO || termination_signal != 0) return c->fd >= 0;
            pause_ms(100);
        }
    } else if (faccessat(AT_FDCWD, kCaptureName, W_OK, AT_EACCESS) != 0) {
        return false;  // a capture its owner protected stays as it is
    }
    if (begin_replacement(kCaptureName, c->replacement)) {
        c->kind = CAPTURE_REPLACE;
        c->fd = c->replacement.fd;
        return true;
    }
    const int reason = errno;
    if (reason != EACCES && reason != EPERM) {
        if (!c->replacement.target.empty()) c->path = c->replacement.target;
        return false;
    }
    c->kind = CAPTURE_IN_PLACE;
    c->fd = open(kCaptureName, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (c->fd < 0) errno = errno == ENOENT ? reason : errno;
    return c->fd >= 0;
}

// Writes the whole capture; a termination signal stops it (errno EINTR).
static bool write_capture(struct capture* c, const void* samples, size_t bytes) {
    if (c->kind == CAPTURE_IN_PLACE && ftruncate(c->fd, 0) != 0) return false;
    if (!write_all(c->fd, samples, bytes, &termination_signal)) return false;
    return c->kind == CAPTURE_THROUGH || c->kind == CAPTURE_REPLACE || fsync(c->fd) == 0;
}

// Closes the capture. A replacement takes the capture's name only when `keep`
// is true and it reaches the disk; false with errno when that fails.
static bool close_capture(struct capture* c, bool keep) {
    if (c->kind == CAPTURE_REPLACE) {
        if (keep) return commit_replacement(c->replacement);
        abandon_replacement(c->replacement);
        return true;
    }
    return close(c->fd) == 0;
}

int main(int argc, char* argv[]) {
    const char* prog = argc > 0 && argv[0] != NULL ? argv[0] : "twin_capture";
    guard_standard_descriptors(prog);
    guard_output();
    catch_termination_signals(note_termination);

    struct orlix_device* dev = NULL;
    struct capture capture;
    bool file_open = false;
    bool failed = false;
    bool write_reported = false;
    int status;
    const size_t bytes = (size_t)NUM_CHANNELS * NUM_SAMPLES * 2 * sizeof(int16_t);

    // No options: on a bench of several boards, ORLIX_DEVICE names the one.
    const char* const devstr = device_from_environment();

    orlix_log_set_verbosity(ORLIX_LOG_LEVEL_DEBUG);

    int16_t* samples = (int16_t*)malloc(bytes);
    if (samples == NULL) {
        fprintf(stderr, "Failed to allocate memory for samples\n");
        failed = true;
        goto cleanup;
    }

    status = orlix_open(&dev, devstr);
    if (status != 0) {
        report("orlix_open(&dev, devstr)", status);
        failed = true;
        goto cleanup;
    }
    if (termination_signal) goto cleanup;

    status = init_sync(dev, NUM_CHANNELS, samp_rate);
    if (status != 0) {
        report("init_sync(dev, NUM_CHANNELS, samp_rate)", status);
        failed = true;
        goto cleanup;
    }
    if (termination_signal) goto cleanup;

    status = orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), true);
    if (status != 0) {
        report("orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), true)", status);
        failed = true;
        goto cleanup;
    }
    if (termination_signal) goto cleanup;
    status = orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), true);
    if (status != 0) {
        report("orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), true)", status);
        failed = true;
        goto cleanup;
    }
    if (termination_signal) goto cleanup;

    status = orlix_sync_rx(dev, samples, NUM_CHANNELS * NUM_SAMPLES, NULL, 5000);
    if (status != 0) {
        report("orlix_sync_rx(dev, samples, NUM_CHANNELS * NUM_SAMPLES, NULL, 5000)", status);
        failed = true;
        goto cleanup;
    }
    if (termination_signal) goto cleanup;

    file_open = open_capture(&capture);
    if (!file_open) {
        if (termination_signal) goto cleanup;
        const int reason = errno;
        fprintf(stderr, "Failed to open file for writing\n");
        fprintf(stderr, "%s: %s\n", capture.path.c_str(), strerror(reason));
        failed = true;
        goto cleanup;
    }

    pause_ms(5000);
    if (termination_signal) goto cleanup;

    printf("Sample Preview:\n");
    for (int k = 0; k < 10; k++) {
        printf("[ch1]%hi, %hi\n", samples[4 * k], samples[4 * k + 1]);
        printf("[ch2]%hi, %hi\n", samples[4 * k + 2], samples[4 * k + 3]);
    }

    if (!write_capture(&capture, samples, bytes)) {
        if (termination_signal) goto cleanup;
        perror("Failed to write to file");
        write_reported = true;
        failed = true;
    }
    // A preview nobody got fails the run: the earlier capture then stays.
    fflush(stdout);
    if (output_failed()) failed = true;

cleanup:
    if (file_open && !close_capture(&capture, !failed && termination_signal == 0) &&
        !write_reported) {
        perror("Failed to write to file");
        failed = true;
    }

    // The library accepts a null handle only in orlix_close.
    if (dev != NULL) {
        status = orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), false);
        if (status != 0) {
            report("orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), false)", status);
            failed = true;
        }
        status = orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), false);
        if (status != 0) {
            report("orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), false)", status);
            failed = true;
        }
    }

    orlix_close(dev);
    free(samples);

    if (!finish_output(prog)) failed = true;
    if (termination_signal) end_by_signal(termination_signal);
    return failed ? 1 : 0;
}
