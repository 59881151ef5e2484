// refswitch_soak: switches the reference-clock select back and forth many
// times, optionally power-cycling, reopening or reloading the device first, and
// counts the iterations in which switching failed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "device_choice.h"
#include "getopt_long.h"
#include "guard.h"
#include "orlix.h"

#define POWER_CYCLE_COMMAND \
    "cd ../libraries/libOrlix_test/common/arduino/power-toggle &&./turn.sh off &&./turn.sh on"
#define REOPEN_WAIT_MS 3000

// Reports a failed check with the line of its own call site.
#define REPORT_CHECK(status) \
    fprintf(stderr, "Error at %s:%d (%s): Status %d\n", __FILE__, __LINE__, __func__, (status))

// Set by the handler, read by the iteration loop once per iteration.
static std::atomic<bool> sigint_caught{false};
static_assert(std::atomic<bool>::is_always_lock_free && sizeof(std::atomic<bool>) == 1);

static const cmdline::option_record long_options[] = {
    {"device", 1, NULL, 'd'},      {"load", 1, NULL, 'l'},   {"iterations", 1, NULL, 'i'},
    {"power_reset", 0, NULL, 'p'}, {"reopen", 0, NULL, 'r'}, {"verbosity", 0, NULL, 'v'},
    {"help", 0, NULL, 'h'},        {NULL, 0, NULL, 0},
};

static void print_usage(const char* prog) {
    fprintf(stderr, "Usage: %s [options]\n", prog);
    fprintf(stderr, "Options:\n");
    fprintf(stderr, "  -d, --device <device>    Specify the device string (defaults to 'auto')\n");
    fprintf(stderr, "  -l, --load <file>        Specify the FPGA bitstream file to load\n");
    fprintf(stderr,
            "  -i, --iterations <num>   Specify the number of test iterations (default 100)\n");
    fprintf(stderr,
            "  -p, --power_reset        Perform a power reset before each iteration if "
            "specified\n");
    fprintf(stderr,
            "  -r, --reopen             Reopen the device before each iteration if specified\n");
    fprintf(stderr, "  -v, --verbosity          Enable verbose logging\n");
    fprintf(stderr, "  -h, --help               Display this help message and exit\n");
}

// The signal that ended the run: SIGTERM and SIGHUP, from a supervisor, end
// the program by that signal once the run is summed up; Ctrl-C does not.
static volatile sig_atomic_t caught_signal = 0;

// Runs for SIGINT, SIGTERM and SIGHUP alike and names the one it got. A second
// one of any of them ends the process at once.
static void sigint_handler(int sig) {
    static const char sigint_text[] = "\nSIGINT caught. Closing test...";
    static const char sigterm_text[] = "\nSIGTERM caught. Closing test...";
    static const char sighup_text[] = "\nSIGHUP caught. Closing test...";
    const int saved_errno = errno;
    release_termination_signals();
    const char* text = sig == SIGTERM ? sigterm_text : sig == SIGHUP ? sighup_text : sigint_text;
    const size_t length = sig == SIGTERM  ? sizeof sigterm_text - 1
                          : sig == SIGHUP ? sizeof sighup_text - 1
                                          : sizeof sigint_text - 1;
    if (write(STDERR_FILENO, text, length) < 0) {
        // Nothing safe to do about a lost message here.
    }
    caught_signal = sig;
    sigint_caught.store(true);
    errno = saved_errno;
}

// atoi's reading of a number (blanks, a sign, digits up to the first other
// character, 0 without digits), but clamped to the int range instead of undefined.
static int parse_iterations(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') p++;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (value <= INT_MAX) value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return (int)value;
}

static void sleep_ms(unsigned ms) {
    // An absolute deadline, so that an interrupt never shortens the wait.
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
    }
}

// Runs the command through the command processor as system() would and gives
// its result: the raw wait status, or -1 when no command processor could be
// started. Unlike system(), the termination signals are ignored only in the
// child, so that they reach this program's handler and never cut the
// power-toggle script between off and on.
static int run_command(const char* command) {
    const int terminating[] = {SIGINT, SIGTERM, SIGHUP};
    sigset_t block, saved;
    sigemptyset(&block);
    for (int sig : terminating) sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, &saved);  // no handler runs in the child
    const pid_t pid = fork();
    if (pid == 0) {
        for (int sig : terminating) signal(sig, SIG_IGN);
        restore_output_signals();
        sigprocmask(SIG_SETMASK, &saved, NULL);
        execl("/bin/sh", "sh", "-c", command, (char*)NULL);
        _exit(127);
    }
    sigprocmask(SIG_SETMASK, &saved, NULL);  // an interrupt meanwhile is delivered now
    if (pid < 0) return -1;
    int wait_status;
    while (waitpid(pid, &wait_status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return wait_status;
}

int main(int argc, char* argv[]) {
    const char* prog = argc > 0 && argv[0] != NULL ? argv[0] : "";
    guard_standard_descriptors(prog);
    guard_output();
    const char* devstr = NULL;
    const char* fpga_file = NULL;
    uint64_t iterations = 100;
    bool power_reset = false;
    bool force_reopen = false;

    int c;
    while ((c = cmdline::getopt_long(argc, argv, "d:l:i:prvh", long_options, NULL)) != -1) {
        switch (c) {
            case 'd':
                devstr = cmdline::optarg;
                break;
            case 'l':
                fpga_file = cmdline::optarg;
                break;
            case 'i': {
                const int value = parse_iterations(cmdline::optarg);
                if (value == 0) {
                    fprintf(stderr, "Invalid number of iterations: %s\n", cmdline::optarg);
                    return 1;
                }
                iterations = (uint64_t)(int64_t)value;  // -1 asks for 2^64 - 1
                break;
            }
            case 'p':
                power_reset = true;
                break;
            case 'r':
                force_reopen = true;
                break;
            case 'v':
                printf("Setting verbosity to verbose\n");
                orlix_log_set_verbosity(ORLIX_LOG_LEVEL_VERBOSE);
                break;
            case 'h':
                print_usage(prog);
                return finish_output(prog) ? 0 : 1;
            case '?':
                print_usage(prog);
                return 1;
            default:
                printf("?? getopt returned character code 0%o ??\n", (unsigned)c);
                break;
        }
    }

    if (devstr == NULL) devstr = device_from_environment();
    printf("Iterations:  %" PRIu64 "\n", iterations);
    printf("Device str:  %s\n", devstr != NULL ? devstr : "auto");
    printf("FPGA file:   %s\n", fpga_file != NULL ? fpga_file : "None");
    printf("Force reopen:  %s\n", force_reopen ? "true" : "false");
    printf("Power reset: %s\n", power_reset ? "true" : "false");

    struct orlix_device* dev = NULL;
    uint64_t failures = 0;
    uint64_t begun = 0;
    bool check_failed = false;
    int status;

    if (!force_reopen) {
        status = orlix_open(&dev, devstr);
        if (status != 0) {
            REPORT_CHECK(status);
            check_failed = true;
        }
    }

    if (!check_failed) {
        catch_termination_signals(sigint_handler);

        bool reported = false;
        int64_t last_report = 0;
        for (uint64_t i = 0; i < iterations; i++) {
            begun = i + 1;

            // A clock stepped backwards must not silence the progress.
            const int64_t now = (int64_t)time(NULL);
            if (!reported || now != last_report) {
                printf("Failures: %" PRIu64 "/%" PRIu64 " of %" PRIu64 "\n", failures, i + 1,
                       iterations);
                last_report = now;
                reported = true;
            }

            if (power_reset) {
                status = run_command(POWER_CYCLE_COMMAND);
                if (status != 0) {
                    REPORT_CHECK(status);
                    check_failed = true;
                    break;
                }
            }

            if (force_reopen) {
                status = orlix_open(&dev, devstr);
                if (status != 0) {
                    REPORT_CHECK(status);
                    check_failed = true;
                    break;
                }
            }

            if (fpga_file != NULL) {
                status = orlix_load_fpga(dev, fpga_file);
                if (status != 0) {
                    REPORT_CHECK(status);
                    check_failed = true;
                    break;
                }
            }

            status = orlix_set_clock_select(dev, 1);
            if (status == 0) status = orlix_set_clock_select(dev, 0);
            if (status != 0) {
                fprintf(stderr, "Failed to set clock select: %s\n", orlix_strerror(status));
                failures++;
                fprintf(stderr, "Attempting to reopen device...\n");
                orlix_close(dev);
                dev = NULL;
                sleep_ms(REOPEN_WAIT_MS);
                status = orlix_open(&dev, devstr);
                if (status != 0) {
                    REPORT_CHECK(status);
                    check_failed = true;
                    break;
                }
            }

            if (force_reopen) {
                orlix_close(dev);
                dev = NULL;
            }

            // Output nobody reads ends the run as an interrupt would.
            if (sigint_caught.load() || output_failed()) break;
        }
    }

    printf("\nFailures: %" PRIu64 "/%" PRIu64 "\n", failures, begun);

    if (dev != NULL) {
        orlix_close(dev);
    }
    const bool output_ok = finish_output(prog);
    if (caught_signal == SIGTERM || caught_signal == SIGHUP) die_by_signal(caught_signal);
    return check_failed || failures != 0 || !output_ok ? 1 : 0;
}
