#include "guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "files.h"

volatile sig_atomic_t termination_signal = 0;

namespace {

const int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP};
bool caught[3] = {false, false, false};  // written before any handler is installed

// Other signals whose default action ends the program, watched while a file
// must not be left behind.
const int kOtherEndingSignals[] = {SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};
bool watching[4] = {false, false, false, false};

char remove_path[PATH_MAX];
volatile sig_atomic_t remove_set = 0;

int first_stdout_errno = 0;

// The C library forgets why a buffered write failed; this keeps the reason.
ssize_t write_stdout(void*, const char* data, size_t size) {
    if (write_all(STDOUT_FILENO, data, size)) return static_cast<ssize_t>(size);
    if (first_stdout_errno == 0) first_stdout_errno = errno;
    return -1;
}

void die_at_once(int sig) {
    if (remove_set) unlink(remove_path);
    signal(sig, SIG_DFL);
    raise(sig);  // blocked while this runs: it ends the program when the handler returns
}

void set_action(int sig, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

}  // namespace

bool fill_standard_descriptors(void) {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free descriptor is the closed one.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0) return false;
        if (opened != fd) {
            close(opened);
            errno = EBADF;
            return false;
        }
    }
    return true;
}

void guard_standard_descriptors(const char* prog) {
    if (fill_standard_descriptors()) return;
    char text[512];
    const int length = snprintf(text, sizeof text,
                                "%s: a standard descriptor is closed and /dev/null cannot "
                                "take its place: %s\n",
                                prog, strerror(errno));
    for (int fd : {STDERR_FILENO, STDOUT_FILENO}) {
        if (fcntl(fd, F_GETFD) >= 0) {
            if (write(fd, text, static_cast<size_t>(length)) >= 0) break;
        }
    }
    _exit(1);
}

void guard_output(void) {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    cookie_io_functions_t io = {};
    io.write = write_stdout;
    if (FILE* out = fopencookie(nullptr, "w", io)) {
        fflush(stdout);
        stdout = out;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
}

void note_stdout_error(int error) {
    if (first_stdout_errno == 0) first_stdout_errno = error;
}

bool output_failed(void) {
    return first_stdout_errno != 0 || ferror(stdout);
}

bool finish_output(const char* prog) {
    const bool flushed = fflush(stdout) == 0;
    if (flushed && !output_failed()) return true;
    const int reason = first_stdout_errno != 0 ? first_stdout_errno : flushed ? EIO : errno;
    fprintf(stderr, "%s: error writing standard output: %s\n", prog, strerror(reason));
    return false;
}

void catch_termination_signals(void (*handler)(int), bool every_time) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int sig : kTerminationSignals) sigaddset(&action.sa_mask, sig);
    action.sa_flags = every_time ? SA_RESTART : SA_RESETHAND | SA_RESTART;
    for (int i = 0; i < 3; i++) {
        struct sigaction old = {};
        sigaction(kTerminationSignals[i], nullptr, &old);
        if (old.sa_handler == SIG_IGN) continue;
        caught[i] = true;
        sigaction(kTerminationSignals[i], &action, nullptr);
    }
}

void release_termination_signals(void) {
    for (int i = 0; i < 3; i++) {
        if (caught[i]) set_action(kTerminationSignals[i], die_at_once);
    }
}

void note_termination(int sig) {
    if (termination_signal == 0) termination_signal = sig;
    release_termination_signals();
}

void remove_on_signal(const char* path) {
    remove_set = 0;
    if (path == nullptr) {
        for (int i = 0; i < 4; i++) {
            if (watching[i]) set_action(kOtherEndingSignals[i], SIG_DFL);
            watching[i] = false;
        }
        return;
    }
    if (strlen(path) >= sizeof remove_path) return;
    strcpy(remove_path, path);
    remove_set = 1;
    for (int i = 0; i < 4; i++) {
        struct sigaction old = {};
        sigaction(kOtherEndingSignals[i], nullptr, &old);
        if (watching[i] || old.sa_handler != SIG_DFL) continue;
        watching[i] = true;
        set_action(kOtherEndingSignals[i], die_at_once);
    }
    // A termination signal not caught by the program ends it at its default too.
    for (int i = 0; i < 3; i++) {
        struct sigaction old = {};
        sigaction(kTerminationSignals[i], nullptr, &old);
        if (!caught[i] && old.sa_handler == SIG_DFL) {
            caught[i] = true;
            set_action(kTerminationSignals[i], die_at_once);
        }
    }
}

void die_by_signal(int sig) {
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);  // only if the signal did not end the program
}

void end_by_signal(int sig) {
    fputs("Interrupted\n", stderr);
    die_by_signal(sig);
}

void restore_output_signals(void) {
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
}
