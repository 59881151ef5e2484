// The simulated device's environment controls, read once at the first call,
// and its trace.
#include "controls.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "files.h"
#include "guard.h"
#include "log.h"
#include "orlix.h"

namespace orlix_sim {

namespace {

// A bench's board names: letters, digits and '_', each once.
bool parse_bench(std::string_view text, std::vector<std::string>& names) {
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = text.find(',', at);
        const std::string_view name =
            text.substr(at, comma == std::string_view::npos ? text.npos : comma - at);
        if (name.empty()) return false;
        for (char c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
        }
        if (std::find(names.begin(), names.end(), name) != names.end()) return false;
        names.emplace_back(name);
        if (comma == std::string_view::npos) return true;
        at = comma + 1;
    }
}

// Milliseconds, at most an hour.
bool parse_delay(const char* text, unsigned& ms) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || errno != 0 || value > 3'600'000 || text[0] == '-') return false;
    ms = static_cast<unsigned>(value);
    return true;
}

}  // namespace

Controls::Controls() {
    // The trace and data files must never land on a closed standard descriptor.
    if (!fill_standard_descriptors()) {
        log_line(ORLIX_LOG_LEVEL_CRITICAL, "a closed standard descriptor cannot be filled: %s",
                 std::strerror(errno));
        broken = true;
    }
    if (const char* stamp = std::getenv(kTraceTimeControl); stamp && *stamp) {
        if (std::strcmp(stamp, "1") != 0 && std::strcmp(stamp, "0") != 0) {
            log_line(ORLIX_LOG_LEVEL_CRITICAL, "ORLIX_SIM_TRACE_TIME: bad value \"%s\"",
                     escaped(stamp).c_str());
            broken = true;
        }
        trace_time = std::strcmp(stamp, "1") == 0;
    }
    trace_fd = open_append(kTraceControl, std::getenv(kTraceControl));
    if (trace_fd >= 0) trace_path = std::getenv(kTraceControl);
    device = read_device("", nullptr);
    if (const char* text = std::getenv(kBenchControl); text && *text) {
        if (!parse_bench(text, bench)) {
            log_line(ORLIX_LOG_LEVEL_CRITICAL,
                     "ORLIX_SIM_BENCH: malformed bench \"%s\" (names of letters, digits and _, "
                     "comma-separated, each once)",
                     escaped(text).c_str());
            bench.clear();
            broken = true;
        }
    }
    for (const std::string& name : bench) boards.push_back(read_device("_" + name, &device));
    const char* dir = std::getenv(kBenchDirControl);
    bench_dir_given = dir && *dir;
    bench_dir = bench_dir_given ? dir : "/tmp/orlix-sim-bench-" + std::to_string(geteuid());
}

Controls::~Controls() {
    if (trace_fd >= 0) ::close(trace_fd);
}

// One device's controls: for a board, CONTROL_NAME where set (even empty)
// replaces the default's CONTROL whole.
DeviceControls Controls::read_device(const std::string& suffix, const DeviceControls* defaults) {
    DeviceControls d;
    if (defaults != nullptr) {
        d.rules = defaults->rules;
        d.hangs = defaults->hangs;
        d.rx_file = defaults->rx_file;
        d.signal = defaults->signal;
        d.delay_ms = defaults->delay_ms;
        if (defaults->tx_fd >= 0) d.tx_fd = fcntl(defaults->tx_fd, F_DUPFD_CLOEXEC, 3);
    }
    auto own = [&](const char* control, std::string& name) -> const char* {
        name = control + suffix;
        return std::getenv(name.c_str());
    };
    std::string name;
    if (const char* fail = own(kFailControl, name)) {
        std::string bad;
        d.rules.clear();
        if (!parse_fail_rules(fail, d.rules, bad)) {
            log_line(ORLIX_LOG_LEVEL_CRITICAL, "%s: malformed rule \"%s\"", name.c_str(),
                     escaped(bad).c_str());
            d.rules.clear();
            broken = true;
        }
    }
    if (const char* hang = own(kHangControl, name)) {
        std::string bad;
        d.hangs.clear();
        if (*hang && !parse_hang_rules(hang, d.hangs, bad)) {
            log_line(ORLIX_LOG_LEVEL_CRITICAL, "%s: malformed rule \"%s\"", name.c_str(),
                     escaped(bad).c_str());
            d.hangs.clear();
            broken = true;
        }
    }
    if (const char* tx = own(kTxFileControl, name)) {
        if (d.tx_fd >= 0) ::close(d.tx_fd);
        d.tx_fd = open_append(name, tx);
    }
    if (const char* rx = own(kRxFileControl, name)) {
        d.rx_file.reset();
        if (*rx) d.rx_file = rx;
    }
    if (const char* text = own(kSignalControl, name)) {
        d.signal.reset();
        std::string bad;
        if (*text && !parse_signal_settings(text, d.signal.emplace(), bad)) {
            log_line(ORLIX_LOG_LEVEL_CRITICAL, "%s: malformed setting \"%s\"", name.c_str(),
                     escaped(bad).c_str());
            d.signal.reset();
            broken = true;
        }
    }
    if (const char* delay = own(kDelayControl, name)) {
        d.delay_ms = 0;
        if (*delay && !parse_delay(delay, d.delay_ms)) {
            log_line(ORLIX_LOG_LEVEL_CRITICAL, "%s: bad value \"%s\"", name.c_str(),
                     escaped(delay).c_str());
            broken = true;
        }
    }
    return d;
}

int Controls::open_append(const std::string& name, const char* path) {
    if (!path || !*path) return -1;
    // Close-on-exec: a power-cycle script started by a program must not hold it.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_line(ORLIX_LOG_LEVEL_CRITICAL, "%s: cannot open \"%s\": %s", name.c_str(),
                 escaped(path).c_str(), std::strerror(errno));
        broken = true;
    }
    return fd;
}

int Controls::board_named(std::string_view name) const {
    const auto it = std::find(bench.begin(), bench.end(), name);
    return it == bench.end() ? -1 : static_cast<int>(it - bench.begin());
}

DeviceControls::~DeviceControls() {
    if (tx_fd >= 0) ::close(tx_fd);
}

DeviceControls::DeviceControls(DeviceControls&& o) noexcept {
    *this = std::move(o);
}

DeviceControls& DeviceControls::operator=(DeviceControls&& o) noexcept {
    if (this == &o) return *this;
    if (tx_fd >= 0) ::close(tx_fd);
    rules = std::move(o.rules);
    hangs = std::move(o.hangs);
    calls = o.calls;
    tx_fd = std::exchange(o.tx_fd, -1);
    rx_file = std::move(o.rx_file);
    signal = std::move(o.signal);
    delay_ms = o.delay_ms;
    return *this;
}

namespace {

// Like a driver stuck in the kernel: no signal ends the wait, and one that
// comes meanwhile is delivered once the call returns. Only SIGKILL ends a
// program that hangs for ever.
void hang(std::string_view op, std::optional<std::uint64_t> ms) {
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

}  // namespace

int DeviceControls::injected(std::string_view op) {
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

void DeviceControls::delay() const {
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
