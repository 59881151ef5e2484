// image_reloader: loads the FPGA image twice and checks that the device still
// takes settings afterwards.
#include <cstdio>

#include "device_choice.h"
#include "getopt_long.h"
#include "guard.h"
#include "orlix.h"

// Reports a failed step with the line of its own check and leaves the steps;
// a termination signal noted meanwhile leaves them once the call is done.
#define CHECK_STEP(call)                                                                      \
    do {                                                                                      \
        status = (call);                                                                      \
        if (status != 0) {                                                                    \
            fprintf(stderr, "Error at %s:%d (%s): Status %d\n", __FILE__, __LINE__, __func__, \
                    status);                                                                  \
            goto out;                                                                         \
        }                                                                                     \
        if (termination_signal) goto out;                                                     \
    } while (0)

static const cmdline::option_record long_options[] = {
    {"device", 1, NULL, 'd'},
    {"fpga", 1, NULL, 'f'},
    {"verbosity", 0, NULL, 'v'},
    {NULL, 0, NULL, 0},
};

int main(int argc, char* argv[]) {
    const char* prog = argc > 0 && argv[0] != NULL ? argv[0] : "image_reloader";
    guard_standard_descriptors(prog);
    guard_output();
    catch_termination_signals(note_termination);

    const char* devstr = NULL;
    const char* fpga_file = "latest.rbf";
    struct orlix_device* dev = NULL;
    int option_index = 0;
    int status = 0;

    orlix_log_set_verbosity(ORLIX_LOG_LEVEL_ERROR);

    for (;;) {
        option_index = 0;
        const int c = cmdline::getopt_long(argc, argv, "d:f:v", long_options, &option_index);
        if (c == -1) break;
        switch (c) {
            case 'd':
                devstr = cmdline::optarg;
                printf("Using device: %s\n", devstr);
                break;
            case 'f':
                fpga_file = cmdline::optarg;
                printf("Using FPGA file: %s\n", fpga_file);
                break;
            case 'v':
                printf("Setting verbosity to verbose\n");
                orlix_log_set_verbosity(ORLIX_LOG_LEVEL_VERBOSE);
                break;
            case '?':
                finish_output(prog);
                return 1;
            default:
                printf("?? getopt returned character code 0%o ??\n", (unsigned)c);
                break;
        }
    }
    // No options at all leaves the device string unset too.
    if (devstr == NULL) devstr = device_from_environment();
    if (devstr == NULL) {
        fprintf(stderr, "No device specified.\n");
        finish_output(prog);
        return 1;
    }

    printf("Opening device...\n");
    CHECK_STEP(orlix_open(&dev, devstr));

    printf("Loading FPGA image...\n");
    CHECK_STEP(orlix_load_fpga(dev, fpga_file));

    printf("Setting sample rate to 10e6...\n");
    CHECK_STEP(orlix_set_sample_rate(dev, 0, 10000000, NULL));

    printf("Reloading the FPGA image...\n");
    CHECK_STEP(orlix_load_fpga(dev, fpga_file));

    printf("Setting tuning mode to FPGA...\n");
    CHECK_STEP(orlix_set_tuning_mode(dev, ORLIX_TUNING_MODE_FPGA));

    printf("Setting sample rate again to 10e6...\n");
    CHECK_STEP(orlix_set_sample_rate(dev, 0, 10000000, NULL));

    printf("Passed!\n");

out:
    if (dev != NULL) {
        orlix_close(dev);
    }
    if (!finish_output(prog) && status == 0) status = 1;
    if (termination_signal) end_by_signal(termination_signal);
    // An exit status keeps only the low 8 bits: a failure must never read as 0.
    if (status != 0 && (status & 0xff) == 0) {
        return 1;
    }
    return status;
}
