// capture_inspect on captures of the simulated device, 80,000,000 bytes (a
// full twin_capture run, and one whose tone only a fit parts from its image)
// and 2,000,000,000 bytes made for the purpose: on one
// thread and on every processor, next to a plain one-pass read-and-sum of the
// same file. Reports the median times (this machine's neighbours make single
// runs wander), their ratios, the time per gigabyte (which stays put as the
// capture grows) and the peak memory against its bound.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_folder.h"
#include "receive_signal.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::int64_t plain_read_and_sum(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    static std::int16_t block[1 << 19];
    std::int64_t sum = 0;
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0) {
        for (ssize_t i = 0; i < n / 2; ++i) sum += block[i];
    }
    close(fd);
    return sum;
}

// Writes `bytes` of the signal `s` a block at a time; false if it could not.
bool make_capture(const std::string& path, std::uint64_t bytes,
                  const orlix_sim::SignalSettings& s) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    constexpr std::uint64_t kBlockFrames = 1 << 20;
    std::vector<std::int16_t> samples(4 * kBlockFrames);
    bool ok = true;
    for (std::uint64_t first = 0; ok && first < bytes / 8; first += kBlockFrames) {
        const std::uint64_t frames = std::min(kBlockFrames, bytes / 8 - first);
        // Two samples a frame, one from each channel.
        orlix_sim::fill_signal(s, {2e6, 2e6}, samples.data(), 2 * first, 2 * frames);
        ok = write(fd, samples.data(), 8 * frames) == static_cast<ssize_t>(8 * frames);
    }
    return close(fd) == 0 && ok;
}

struct Runs {
    std::vector<double> seconds;
    long peak_kib = 0;

    double median() const {
        std::vector<double> s = seconds;
        std::sort(s.begin(), s.end());
        return s.empty() ? 0 : s[s.size() / 2];
    }
};

// The child's peak resident memory so far, from the kernel's high-water mark
// of its own address space: its rusage would count what it shared with this
// process before exec.
long peak_kib_of(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

// Runs capture_inspect with -jJOBS; false unless it passed the capture.
bool inspect(const std::string& path, unsigned jobs, Runs& runs) {
    const std::string j = "-j" + std::to_string(jobs);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(126);
        execl(CAPTURE_INSPECT_BIN, "capture_inspect", j.c_str(), path.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) return false;
    int status = 0;
    long peak = 0;
    // The mark only rises; looking every 10 ms misses at most what the last
    // 10 ms added.
    while (waitpid(pid, &status, WNOHANG) == 0) {
        peak = std::max(peak, peak_kib_of(pid));
        usleep(10000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    runs.seconds.push_back(seconds_since(start));
    runs.peak_kib = std::max(runs.peak_kib, peak);
    return true;
}

unsigned processors() {
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

}  // namespace

static void BM_CaptureInspect(benchmark::State& state) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(state.range(0)) * 1'000'000;
    const std::string dir = bench_folder(state, "inspect_bench");
    if (dir.empty()) return;
    const std::string path = dir + "/dual_test.bin";
    // The default signal, or a tone 300 Hz below +rate/2, whose lines only a
    // second pass, the fit, parts.
    orlix_sim::SignalSettings signal;
    if (state.range(1) == 1) {
        for (auto& ch : signal.channels) ch.tone_hz = 1e6 - 300;
    }
    if (!make_capture(path, bytes, signal)) {
        std::filesystem::remove_all(dir);
        state.SkipWithError("could not write the capture");
        return;
    }
    const unsigned jobs = processors();
    plain_read_and_sum(path);  // into the page cache, for all alike
    Runs plain, one, every;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(plain_read_and_sum(path));
        plain.seconds.push_back(seconds_since(start));
        if (!inspect(path, 1, one) || !inspect(path, jobs, every)) {
            state.SkipWithError("capture_inspect did not pass the capture");
            break;
        }
    }
    std::filesystem::remove_all(dir);
    const double gigabytes = static_cast<double>(bytes) / 1e9;
    state.counters["jobs"] = jobs;
    state.counters["plain_s"] = plain.median();
    state.counters["j1_s"] = one.median();
    state.counters["jN_s"] = every.median();
    state.counters["jN_over_j1"] = every.median() / one.median();
    state.counters["j1_over_plain"] = one.median() / plain.median();
    state.counters["j1_s_per_GB"] = one.median() / gigabytes;
    state.counters["jN_s_per_GB"] = every.median() / gigabytes;
    state.counters["j1_peak_MB"] = static_cast<double>(one.peak_kib) * 1024 / 1e6;
    state.counters["jN_peak_MB"] = static_cast<double>(every.peak_kib) * 1024 / 1e6;
    state.counters["jN_bound_MB"] = 24 * 1.048576 + 8 * 1.048576 * jobs;
}
BENCHMARK(BM_CaptureInspect)
    ->ArgNames({"MB", "fit"})
    ->Args({80, 0})
    ->Args({80, 1})
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaptureInspect)
    ->ArgNames({"MB", "fit"})
    ->Args({2000, 0})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
