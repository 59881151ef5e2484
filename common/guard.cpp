#include "guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

volatile sig_atomic_t termination_signal = 0;

namespace {

const int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP};
bool caught[3] = {false, false, false};  // written before any handler is installed

int first_stdout_errno = 0;

// The C library forgets why a buffered write failed; this keeps the reason.
ssize_t write_stdout(void*, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(STDOUT_FILENO, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (first_stdout_errno == 0) first_stdout_errno = errno;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

}  // namespace

void guard_standard_descriptors(void) {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free descriptor is the closed one.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) close(opened);
    }
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

void catch_termination_signals(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int sig : kTerminationSignals) sigaddset(&action.sa_mask, sig);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    for (int i = 0; i < 3; i++) {
        struct sigaction old = {};
        sigaction(kTerminationSignals[i], nullptr, &old);
        if (old.sa_handler == SIG_IGN) continue;
        caught[i] = true;
        sigaction(kTerminationSignals[i], &action, nullptr);
    }
}

void release_termination_signals(void) {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; i++) {
        if (caught[i]) sigaction(kTerminationSignals[i], &action, nullptr);
    }
}

void note_termination(int sig) {
    if (termination_signal == 0) termination_signal = sig;
    release_termination_signals();
}

void end_by_signal(int sig) {
    fputs("Interrupted\n", stderr);
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);  // only if the signal did not end the program
}

void restore_output_signals(void) {
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
}
