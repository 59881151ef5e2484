// twin_capture: receives on both receive channels at once and stores the raw
// capture in "dual_test.bin" in the working directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "guard.h"
#include "orlix.h"

#define NUM_CHANNELS 2
#define NUM_SAMPLES 10000000
#define CAPTURE_NAME "dual_test.bin"
#define CAPTURE_TEMP CAPTURE_NAME ".XXXXXX"

static const uint32_t samp_rate = 2000000;
static const uint64_t freq = 915000000;
static const unsigned int num_buffers = 5120;
static const unsigned int buffer_size = 16384;
static const unsigned int num_transfers = 64;
static const unsigned int timeout_ms = 3500;
static const char* const devstr = NULL;

static void report(const char* call, int status) {
    fprintf(stderr, "Failed at %s: %s\n", call, orlix_strerror(status));
}

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

    for (uint64_t i = 0; i < num_channels; i++) {
        status = orlix_set_frequency(dev, ORLIX_CHANNEL_RX(i), (orlix_frequency)freq);
        if (status != 0) {
            report("orlix_set_frequency(dev, ORLIX_CHANNEL_RX(i), (orlix_frequency)freq)", status);
            return 1;
        }
        status = orlix_set_sample_rate(dev, ORLIX_CHANNEL_RX(i), samp_rate, NULL);
        if (status != 0) {
            report("orlix_set_sample_rate(dev, ORLIX_CHANNEL_RX(i), samp_rate, NULL)", status);
            return 1;
        }
        status = orlix_set_gain_mode(dev, ORLIX_CHANNEL_RX(i), ORLIX_GAIN_MGC);
        if (status != 0) {
            report("orlix_set_gain_mode(dev, ORLIX_CHANNEL_RX(i), ORLIX_GAIN_MGC)", status);
            return 1;
        }
        status = orlix_set_gain(dev, ORLIX_CHANNEL_RX(i), 60);
        if (status != 0) {
            report("orlix_set_gain(dev, ORLIX_CHANNEL_RX(i), 60)", status);
            return 1;
        }
    }
    return 0;
}

// Opens where the capture goes. A regular "dual_test.bin", or none, is replaced
// only once the new capture is written whole: the bytes go to a new file beside
// it, with the mode fopen would leave, and `temp_path` names that file. Anything
// else under that name (a link, a FIFO, a device) is where the caller wants the
// bytes: it is opened as it is, never created, and `temp_path` is left empty.
static FILE* open_capture(char temp_path[sizeof CAPTURE_TEMP]) {
    temp_path[0] = '\0';
    struct stat st;
    const bool exists = lstat(CAPTURE_NAME, &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        const int fd = open(CAPTURE_NAME, O_WRONLY | O_TRUNC | O_CLOEXEC);
        FILE* file = fd < 0 ? NULL : fdopen(fd, "wb");
        if (file == NULL && fd >= 0) close(fd);
        return file;
    }
    mode_t mode;
    if (exists) {
        if (faccessat(AT_FDCWD, CAPTURE_NAME, W_OK, AT_EACCESS) != 0) return NULL;
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    strcpy(temp_path, CAPTURE_TEMP);
    const int fd = mkostemp(temp_path, O_CLOEXEC);
    if (fd < 0) {
        temp_path[0] = '\0';
        return NULL;
    }
    FILE* file = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : NULL;
    if (file == NULL) {
        close(fd);
        unlink(temp_path);
        temp_path[0] = '\0';
    }
    return file;
}

// Waits `ms` milliseconds, or less when a termination signal is noted.
static void pause_ms(int ms) {
    for (int waited = 0; waited < ms && termination_signal == 0; waited += 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

int main(int argc, char* argv[]) {
    guard_standard_descriptors();
    guard_output();
    catch_termination_signals(note_termination);

    const char* prog = argc > 0 && argv[0] != NULL ? argv[0] : "twin_capture";
    struct orlix_device* dev = NULL;
    FILE* file = NULL;
    char temp_path[sizeof CAPTURE_TEMP] = "";
    bool failed = false;
    bool write_reported = false;
    int status;

    orlix_log_set_verbosity(ORLIX_LOG_LEVEL_DEBUG);

    int16_t* samples = (int16_t*)malloc((size_t)NUM_CHANNELS * NUM_SAMPLES * 2 * sizeof(int16_t));
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

    file = open_capture(temp_path);
    if (file == NULL) {
        fprintf(stderr, "Failed to open file for writing\n");
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

    // fwrite can count every element while the tail still sits in the C
    // library's buffer: the flush, and the close below, must succeed too, and
    // a new file must be on the disk before it takes the capture's name.
    if (fwrite(samples, 2, (size_t)NUM_CHANNELS * NUM_SAMPLES * 2, file) <
            (size_t)NUM_CHANNELS * NUM_SAMPLES * 2 ||
        fflush(file) != 0 || (temp_path[0] != '\0' && fsync(fileno(file)) != 0)) {
        perror("Failed to write to file");
        write_reported = true;
        failed = true;
    }

cleanup:
    if (file != NULL) {
        if (fclose(file) != 0 && !write_reported) {
            perror("Failed to write to file");
            write_reported = true;
            failed = true;
        }
    }
    // The new capture takes the name only when whole; otherwise the old one stays.
    if (temp_path[0] != '\0') {
        const bool whole = !failed && termination_signal == 0;
        if (whole && rename(temp_path, CAPTURE_NAME) != 0) {
            perror("Failed to write to file");
            failed = true;
        }
        if (!whole || failed) unlink(temp_path);
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
