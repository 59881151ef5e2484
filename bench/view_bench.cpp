// station_view's latency: record lines written and flushed to the disk at
// known times, each timed to its appearance in the page's DOM in headless
// Chromium (target: 95th percentile at most 100 ms).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "bench_folder.h"

static void BM_ViewLineToPage(benchmark::State& state) {
    if (std::string(CHROMIUM_BIN).empty() || std::string(CHROMEDRIVER_BIN).empty()) {
        state.SkipWithError("Chromium and its driver are not installed");
        return;
    }
    double p50 = 0, p95 = 0, most = 0;
    for (auto _ : state) {
        const std::string dir = bench_folder(state, "view_bench");
        if (dir.empty()) break;
        // A free port, as the kernel picks one.
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
        close(fd);
        const std::string command = std::string(PYTHON3_BIN) + " " + SOURCE_DIR +
                                    "/tests/data/check_view.py latency " + CHROMEDRIVER_BIN + " " +
                                    CHROMIUM_BIN + " " + STATION_VIEW_BIN + " " +
                                    std::to_string(ntohs(a.sin_port)) + " " + dir + " 500 100";
        std::string out;
        if (FILE* p = popen(command.c_str(), "r")) {
            std::array<char, 4096> buffer;
            while (std::size_t n = fread(buffer.data(), 1, buffer.size(), p))
                out.append(buffer.data(), n);
            pclose(p);
        }
        std::filesystem::remove_all(dir);
        const nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
        if (!j.is_object()) {
            state.SkipWithError("the measurement failed");
            break;
        }
        p50 = j["p50_ms"].get<double>();
        p95 = std::max(p95, j["p95_ms"].get<double>());
        most = std::max(most, j["max_ms"].get<double>());
    }
    state.counters["p50_ms"] = p50;
    state.counters["p95_ms"] = p95;
    state.counters["max_ms"] = most;
}
BENCHMARK(BM_ViewLineToPage)->Iterations(2)->Unit(benchmark::kSecond);
