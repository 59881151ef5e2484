// station_run's own cost per step: a sequence of steps that do nothing, run by
// station_run (with its record flushed to the disk after every step) and by a
// plain shell loop. Target: at most 20 ms a step over the loop.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr int kSteps = 50;

double run_seconds(const std::string& dir, std::initializer_list<const char*> argv) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0 || !freopen("/dev/null", "w", stdout)) _exit(126);
        std::vector<char*> args;
        for (const char* a : argv) args.push_back(const_cast<char*>(a));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

static void BM_StationRunCostPerStep(benchmark::State& state) {
    std::string dir = (std::filesystem::temp_directory_path() / "station_bench_XXXXXX").string();
    if (!mkdtemp(dir.data())) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    {
        std::ofstream seq(dir + "/nothing.toml");
        seq << "name = \"nothing\"\nversion = \"1\"\n";
        for (int i = 0; i < kSteps; ++i) {
            seq << "[[step]]\nname = \"s" << i << "\"\nrun = [\"/bin/true\"]\n";
        }
    }
    const std::string loop = "for i in $(seq " + std::to_string(kSteps) + "); do /bin/true; done";
    double station = 0, shell = 0;
    int n = 0;
    for (auto _ : state) {
        const std::string out = "run" + std::to_string(n++);
        const double s = run_seconds(dir, {STATION_RUN_BIN, "-o", out.c_str(), "nothing.toml"});
        const double l = run_seconds(dir, {"/bin/sh", "-c", loop.c_str()});
        if (s < 0 || l < 0) {
            state.SkipWithError("a run failed");
            break;
        }
        station += s;
        shell += l;
    }
    std::filesystem::remove_all(dir);
    const double runs = static_cast<double>(state.iterations());
    state.counters["station_s"] = station / runs;
    state.counters["shell_loop_s"] = shell / runs;
    state.counters["ms_per_step_over_loop"] = (station - shell) / runs / kSteps * 1000;
}
BENCHMARK(BM_StationRunCostPerStep)->Iterations(5)->Unit(benchmark::kMillisecond);
