// capture_inspect on a full 80,000,000-byte capture of the simulated device,
// next to a plain one-pass read-and-sum of the same file: its time, the ratio
// of the two, and its peak memory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

}  // namespace

static void BM_CaptureInspectAgainstPlainRead(benchmark::State& state) {
    std::string dir = (std::filesystem::temp_directory_path() / "inspect_bench_XXXXXX").string();
    if (!mkdtemp(dir.data())) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    const std::string path = dir + "/dual_test.bin";
    {
        std::vector<std::int16_t> samples(40'000'000);
        orlix_sim::fill_signal({}, {2e6, 2e6}, samples.data(), 0, samples.size() / 2);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(samples.data()),
                   static_cast<std::streamsize>(samples.size() * 2));
    }
    plain_read_and_sum(path);  // into the page cache, for both alike
    double plain = 0, inspect = 0;
    long peak_kib = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(plain_read_and_sum(path));
        plain += seconds_since(start);

        start = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            if (!freopen("/dev/null", "w", stdout)) _exit(126);
            execl(CAPTURE_INSPECT_BIN, "capture_inspect", path.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            state.SkipWithError("capture_inspect did not pass the capture");
            break;
        }
        inspect += seconds_since(start);
        peak_kib = std::max(peak_kib, usage.ru_maxrss);
    }
    std::filesystem::remove_all(dir);
    const double runs = static_cast<double>(state.iterations());
    state.counters["inspect_s"] = inspect / runs;
    state.counters["plain_read_s"] = plain / runs;
    state.counters["times_plain"] = inspect / plain;
    state.counters["peak_MB"] = static_cast<double>(peak_kib) * 1024 / 1e6;
}
BENCHMARK(BM_CaptureInspectAgainstPlainRead)->Iterations(5)->Unit(benchmark::kMillisecond);
