#include "signal_wake.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "guard.h"

volatile sig_atomic_t signals_caught = 0;

namespace {

int wake_pipe[2] = {-1, -1};

void on_signal(int sig) {
    const int saved = errno;
    if (termination_signal == 0) termination_signal = sig;
    if (signals_caught < 1000) signals_caught = signals_caught + 1;
    if (write(wake_pipe[1], "x", 1) < 0) {
        // Counted all the same.
    }
    errno = saved;
}

}  // namespace

bool catch_signals_to_pipe() {
    if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    catch_termination_signals(on_signal, true);
    return true;
}

void take_termination(int sig) {
    on_signal(sig);
}

int signal_wake_fd() {
    return wake_pipe[0];
}

void forget_caught_signals() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old = {};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler == on_signal) signal(sig, SIG_DFL);
    }
    for (int& fd : wake_pipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    signals_caught = 0;
    termination_signal = 0;
}
