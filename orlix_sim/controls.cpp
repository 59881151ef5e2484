// The simulated device's environment controls, read once at the first call,
// and its trace.
#include "controls.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "files.h"
#include "guard.h"
#include "log.h"
#include "orlix.h"

namespace orlix_sim {

Controls::Controls() {
    // The trace and data files must never land on a closed standard descriptor.
    if (!fill_standard_descriptors()) {
        log_line(ORLIX_LOG_LEVEL_CRITICAL, "a closed standard descriptor cannot be filled: %s",
                 std::strerror(errno));
        broken = true;
    }
    if (const char* fail = std::getenv(kFailControl)) {
        std::string bad;
        if (!parse_fail_rules(fail, rules, bad)) {
            log_line(ORLIX_LOG_LEVEL_CRITICAL, "ORLIX_SIM_FAIL: malformed rule \"%s\"",
                     escaped(bad).c_str());
            rules.clear();
            broken = true;
        }
    }
    if (const char* hang = std::getenv(kHangControl); hang && *hang) {
        std::string bad;
        if (!parse_hang_rules(hang, hangs, bad)) {
            log_line(ORLIX_LOG_LEVEL_CRITICAL, "ORLIX_SIM_HANG: malformed rule \"%s\"",
                     escaped(bad).c_str());
            hangs.clear();
            broken = true;
        }
    }
    if (const char* stamp = std::getenv(kTraceTimeControl); stamp && *stamp) {
        if (std::strcmp(stamp, "1") != 0 && std::strcmp(stamp, "0") != 0) {
            log_line(ORLIX_LOG_LEVEL_CRITICAL, "ORLIX_SIM_TRACE_TIME: bad value \"%s\"",
                     escaped(stamp).c_str());
            broken = true;
        }
        trace_time = std::strcmp(stamp, "1") == 0;
    }
    trace_fd = open_append(kTraceControl);
    if (trace_fd >= 0) trace_path = std::getenv(kTraceControl);
    tx_fd = open_append(kTxFileControl);
    if (const char* rx = std::getenv(kRxFileControl); rx && *rx) rx_file = rx;
    if (const char* text = std::getenv(kSignalControl); text && *text) {
        std::string bad;
        signal.emplace();
        if (!parse_signal_settings(text, *signal, bad)) {
            log_line(ORLIX_LOG_LEVEL_CRITICAL, "ORLIX_SIM_SIGNAL: malformed setting \"%s\"",
                     escaped(bad).c_str());
            signal.reset();
            broken = true;
        }
    }
    if (const char* delay = std::getenv(kDelayControl); delay && *delay) {
        char* end = nullptr;
        errno = 0;
        const unsigned long ms = std::strtoul(delay, &end, 10);
        if (*end != '\0' || errno != 0 || ms > 3'600'000 || delay[0] == '-') {
            log_line(ORLIX_LOG_LEVEL_CRITICAL, "ORLIX_SIM_DELAY_MS: bad value \"%s\"",
                     escaped(delay).c_str());
            broken = true;
        } else {
            delay_ms = static_cast<unsigned>(ms);
        }
    }
}
Controls::~Controls() {
    if (trace_fd >= 0) ::close(trace_fd);
    if (tx_fd >= 0) ::close(tx_fd);
}

int Controls::open_append(const char* name) {
    const char* path = std::getenv(name);
    if (!path || !*path) return -1;
    // Close-on-exec: a power-cycle script started by a program must not hold it.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_line(ORLIX_LOG_LEVEL_CRITICAL, "%s: cannot open \"%s\": %s", name,
                 escaped(path).c_str(), std::strerror(errno));
        broken = true;
    }
    return fd;
}

int Controls::injected(std::string_view op) {
    const auto index = static_cast<std::size_t>(
        std::find(kFailableOps.begin(), kFailableOps.end(), op) - kFailableOps.begin());
    const std::uint64_t number = ++calls[index];
    for (const HangRule& rule : hangs) {
        if (rule.op == op && rule.nth == number) hang(op, rule.ms);
    }
    for (const FailRule& rule : rules) {
        if (rule.op == op && rule.fires(number)) return rule.status;
    }
    return 0;
}

void Controls::trace(const std::string& line) {
    if (trace_fd < 0) return;
    std::string text = line + "\n";
    if (trace_time) {
        // Several processes' traces in one file line up by their times.
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        char stamp[48];
        std::snprintf(stamp, sizeof stamp, "%lld.%06ld %ld ", static_cast<long long>(now.tv_sec),
                      now.tv_nsec / 1000, static_cast<long>(getpid()));
        text.insert(0, stamp);
    }
    if (!write_all(trace_fd, text.data(), text.size()) && !trace_failed) {
        trace_failed = true;  // once: a full disk would say so at every call
        log_line(ORLIX_LOG_LEVEL_CRITICAL, "ORLIX_SIM_TRACE: cannot write \"%s\": %s",
                 escaped(trace_path).c_str(), std::strerror(errno));
    }
}

// Like a driver stuck in the kernel: no signal ends the wait, and one that
// comes meanwhile is delivered once the call returns. Only SIGKILL ends a
// program that hangs for ever.
void Controls::hang(std::string_view op, std::optional<std::uint64_t> ms) {
    log_line(ORLIX_LOG_LEVEL_DEBUG, "orlix_%.*s: hanging %s", static_cast<int>(op.size()),
             op.data(), ms ? "for a while" : "for ever");
    sigset_t all, saved;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &saved);
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    const std::uint64_t wait = ms.value_or(0);
    until.tv_sec += static_cast<time_t>(wait / 1000);
    until.tv_nsec += static_cast<long>(wait % 1000) * 1'000'000L;
    if (until.tv_nsec >= 1'000'000'000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1'000'000'000L;
    }
    while (!ms || clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) {
        if (!ms) pause();
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

void Controls::delay() const {
    if (delay_ms == 0) return;
    // An absolute deadline: a wait that a signal interrupts resumes where it was.
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += delay_ms / 1000;
    until.tv_nsec += static_cast<long>(delay_ms % 1000) * 1'000'000L;
    if (until.tv_nsec >= 1'000'000'000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1'000'000'000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

namespace {
std::optional<Controls> g_controls;
}  // namespace

Controls& controls() {
    if (!g_controls) g_controls.emplace();
    return *g_controls;
}

void forget_controls() {
    g_controls.reset();
}

}  // namespace orlix_sim
