// station_view's latency: record lines written and flushed to the disk at
// known times, each timed to its appearance in the page's DOM in headless
// Chromium (target: 95th percentile at most 100 ms); and what a viewer costs
// over a shift's folder of runs with pages open: its CPU and descriptors.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

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

extern char** environ;

namespace {

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

int connect_to(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The CPU time, user and system, of a process so far.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t at = text.rfind(')');
    if (at == std::string::npos) return 0;
    std::vector<std::string> fields;
    std::string field;
    for (char c : text.substr(at + 2)) {
        if (c == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    // utime and stime are the 14th and 15th fields, the 12th and 13th here.
    if (fields.size() < 13) return 0;
    return (std::stod(fields[11]) + std::stod(fields[12])) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

// A folder of range(0) finished runs, and range(1) pages following it: the
// viewer's share of a core while nothing changes, and its descriptors.
static void BM_ViewOverAShiftOfRuns(benchmark::State& state) {
    const std::string dir = bench_folder(state, "view_shift_bench");
    if (dir.empty()) return;
    char name[64];
    for (long i = 0; i < state.range(0); ++i) {
        std::snprintf(name, sizeof name, "/SN-%06ld-20261209T080000Z", i);
        std::filesystem::create_directories(dir + name);
        std::ofstream(dir + name + "/record.jsonl")
            << R"({"event":"run_started","serial":"SN","started":"2026-12-09T08:00:00.000Z"})"
            << "\n"
            << R"({"event":"run_ended","verdict":"PASS","exit_status":0})"
            << "\n";
    }
    const int port = free_port();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    char* const argv[] = {const_cast<char*>(STATION_VIEW_BIN), const_cast<char*>(address.c_str()),
                          const_cast<char*>(dir.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t viewer = -1;
    if (posix_spawn(&viewer, STATION_VIEW_BIN, &actions, nullptr, argv, environ) != 0) {
        state.SkipWithError("the viewer cannot be started");
        return;
    }
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 100; ++i) {
        const int probe = connect_to(port);
        if (probe >= 0) {
            close(probe);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::atomic<bool> done{false};
    std::vector<std::thread> pages;
    for (long p = 0; p < state.range(1); ++p) {
        pages.emplace_back([&] {
            const int fd = connect_to(port);
            const std::string ask = "GET /events HTTP/1.1\r\nHost: " + address + "\r\n\r\n";
            if (fd < 0 || write(fd, ask.data(), ask.size()) < 0) return;
            timeval wait = {0, 200000};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            char buffer[65536];
            while (!done) {
                if (read(fd, buffer, sizeof buffer) == 0) break;
            }
            close(fd);
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));  // every page has had its lines
    double cores = 0;
    std::size_t descriptors = 0;
    for (auto _ : state) {
        const double before = cpu_seconds(viewer);
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cores = (cpu_seconds(viewer) - before) / seconds;
        descriptors = static_cast<std::size_t>(std::distance(
            std::filesystem::directory_iterator("/proc/" + std::to_string(viewer) + "/fd"),
            std::filesystem::directory_iterator()));
    }
    done = true;
    for (std::thread& t : pages) t.join();
    kill(viewer, SIGTERM);
    waitpid(viewer, nullptr, 0);
    std::filesystem::remove_all(dir);
    state.counters["cores"] = cores;
    state.counters["descriptors"] = static_cast<double>(descriptors);
}
BENCHMARK(BM_ViewOverAShiftOfRuns)
    ->Args({20000, 1})
    ->Args({20000, 16})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
