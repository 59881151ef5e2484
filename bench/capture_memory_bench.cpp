// twin_capture's peak memory: its own 80,000,000-byte buffer and little else,
// since the library writes straight into it.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_folder.h"

static void BM_TwinCapturePeakMemory(benchmark::State& state) {
    const std::string dir = bench_folder(state, "capture_bench");
    if (dir.empty()) return;
    long peak_kib = 0;
    for (auto _ : state) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0) _exit(126);
            if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr))
                _exit(126);
            execl(TWIN_CAPTURE_BIN, "twin_capture", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            state.SkipWithError("twin_capture did not run cleanly");
            break;
        }
        peak_kib = usage.ru_maxrss;
    }
    std::filesystem::remove_all(dir);
    state.counters["peak_MB"] = static_cast<double>(peak_kib) * 1024 / 1e6;
    state.counters["buffer_MB"] = 80.0;
}
BENCHMARK(BM_TwinCapturePeakMemory)->Iterations(1)->Unit(benchmark::kSecond);
