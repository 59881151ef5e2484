// The simulated device's environment controls, read once at the first call,
// and its trace and log lines.
#include "controls.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "files.h"
#include "guard.h"
#include "orlix.h"

namespace orlix_sim {

int g_verbosity = ORLIX_LOG_LEVEL_WARNING;

__attribute__((format(printf, 2, 3))) void log_line(int level, const char* fmt, ...) {
    static constexpr const char* kNames[] = {"VERBOSE", "DEBUG", "INFO",
                                             "WARNING", "ERROR", "CRITICAL"};
    if (level < g_verbosity) return;
    // One write a line, so that lines stay whole next to the program's own; no
    // allocation, so that a line can report that memory ran out.
    char line[640];
    int length = std::snprintf(line, sizeof line, "[%s] ", kNames[level]);
    va_list ap;
    va_start(ap, fmt);
    const int text =
        std::vsnprintf(line + length, sizeof line - 1 - static_cast<std::size_t>(length), fmt, ap);
    va_end(ap);
    length = std::min<int>(length + std::max(text, 0), static_cast<int>(sizeof line) - 2);
    line[length++] = '\n';
    write_all(STDERR_FILENO, line, static_cast<std::size_t>(length));
}

std::string escaped(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

Controls::Controls() {
    // The trace and data files must never land on a closed standard descriptor.
    if (!fill_standard_descriptors()) {
        log_line(ORLIX_LOG_LEVEL_CRITICAL, "a closed standard descriptor cannot be filled: %s",
                 std::strerror(errno));
        broken = true;
    }
    if (const char* fail = std::getenv("ORLIX_SIM_FAIL")) {
        std::string bad;
        if (!parse_fail_rules(fail, rules, bad)) {
            log_line(ORLIX_LOG_LEVEL_CRITICAL, "ORLIX_SIM_FAIL: malformed rule \"%s\"",
                     escaped(bad).c_str());
            rules.clear();
            broken = true;
        }
    }
    trace_fd = open_append("ORLIX_SIM_TRACE");
    if (trace_fd >= 0) trace_path = std::getenv("ORLIX_SIM_TRACE");
    tx_fd = open_append("ORLIX_SIM_TX_FILE");
    if (const char* rx = std::getenv("ORLIX_SIM_RX_FILE"); rx && *rx) rx_file = rx;
    if (const char* text = std::getenv("ORLIX_SIM_SIGNAL"); text && *text) {
        std::string bad;
        signal.emplace();
        if (!parse_signal_settings(text, *signal, bad)) {
            log_line(ORLIX_LOG_LEVEL_CRITICAL, "ORLIX_SIM_SIGNAL: malformed setting \"%s\"",
                     escaped(bad).c_str());
            signal.reset();
            broken = true;
        }
    }
    if (const char* delay = std::getenv("ORLIX_SIM_DELAY_MS"); delay && *delay) {
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
    const auto& ops = failable_ops();
    const auto index =
        static_cast<std::size_t>(std::find(ops.begin(), ops.end(), op) - ops.begin());
    const std::uint64_t number = ++calls[index];
    for (const FailRule& rule : rules) {
        if (rule.op == op && rule.fires(number)) return rule.status;
    }
    return 0;
}

void Controls::trace(const std::string& line) {
    if (trace_fd < 0) return;
    const std::string text = line + "\n";
    if (!write_all(trace_fd, text.data(), text.size()) && !trace_failed) {
        trace_failed = true;  // once: a full disk would say so at every call
        log_line(ORLIX_LOG_LEVEL_CRITICAL, "ORLIX_SIM_TRACE: cannot write \"%s\": %s",
                 escaped(trace_path).c_str(), std::strerror(errno));
    }
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
