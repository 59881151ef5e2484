// station_run's own cost per step: a sequence of steps that do nothing, run by
// station_run (with its record flushed to the disk after every step) and by a
// plain shell loop; target: at most 20 ms a step over the loop. The time and
// memory --summary takes on histories of 10,000 to 1,000,000 runs (target: at
// most 2 s and 100 MB, not growing with the history). And station_run under a flood
// of output: its peak memory (target: under 100 MB) and how long past its
// deadline and grace a step that floods and ignores SIGTERM ends (target:
// under a second).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "bench_folder.h"
#include "history/history.h"

namespace {

constexpr int kSteps = 50;

// The peak resident memory of the last run, in bytes.
long last_peak_bytes = 0;
// The CPU time of the last run and every process below it, in seconds.
double last_cpu_s = 0;

double run_argv(const std::string& dir, const std::vector<std::string>& argv) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0 || !freopen("/dev/null", "w", stdout)) _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    // Counts what the child shared with this process before exec too: keep
    // this process small.
    last_peak_bytes = usage.ru_maxrss * 1024L;
    last_cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double run_seconds(const std::string& dir, std::initializer_list<const char*> argv) {
    return run_argv(dir, std::vector<std::string>(argv.begin(), argv.end()));
}

}  // namespace

static void BM_StationRunCostPerStep(benchmark::State& state) {
    const std::string dir = bench_folder(state, "station_bench");
    if (dir.empty()) return;
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

namespace {

// The days a generated history spreads over: this many runs a day.
constexpr int kRunsADay = 2000;

// The start of run `r` of a generated history, `kRunsADay` a day from
// 2026-01-01.
std::string start_of(int r) {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mday = 1 + r / kRunsADay;
    const int second = (r % kRunsADay) * 86400 / kRunsADay;
    t.tm_hour = second / 3600;
    t.tm_min = second / 60 % 60;
    t.tm_sec = second % 60;
    const std::time_t when = timegm(&t);
    std::tm out{};
    gmtime_r(&when, &out);
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S.000Z", &out);
    return stamp;
}

// The figures of the board acceptance sequence's last step, at a board's
// typical values.
const std::pair<const char*, double> kFigures[] = {{"ch0_snr", 48},
                                                   {"ch1_snr", 48},
                                                   {"ch0_sfdr", 77},
                                                   {"ch1_sfdr", 77},
                                                   {"ch0_frequency_error", 0},
                                                   {"ch1_frequency_error", 0},
                                                   {"ch0_tone", 82},
                                                   {"ch1_tone", 82},
                                                   {"ch0_image", -77},
                                                   {"ch1_image", -77},
                                                   {"ch0_dc", -120},
                                                   {"ch1_dc", -120},
                                                   {"ch0_phase_jump", -3},
                                                   {"ch1_phase_jump", -3},
                                                   {"gain_match", 0},
                                                   {"coherence", 0.9999},
                                                   {"failures", 0}};

// Run `r` of a generated history: six steps, their exit statuses and
// seventeen figures, each scattered around its typical value.
RunRecord bench_run(int r, std::mt19937& random) {
    std::normal_distribution<double> spread(0.0, 1.0);
    RunRecord run;
    run.station = "bench";
    run.serial = "SN-" + std::to_string(r);
    run.device = "sim";
    run.sequence_name = "board-acceptance";
    run.sequence_version = "1.0";
    run.sequence_sha256 = std::string(64, '0');
    run.output = "/runs/" + std::to_string(r);
    run.started = run.ended = start_of(r);
    run.verdict = Verdict::pass;
    for (int s = 0; s < 6; ++s) {
        StepRecord step;
        step.name = "step" + std::to_string(s);
        Attempt a;
        a.verdict = Verdict::pass;
        a.exit_status = 0;
        a.measurements.push_back(judge("exit_status", "", 0.0, {0.0, 0.0, {}, {}}));
        if (s == 5) {
            for (const auto& [name, typical] : kFigures) {
                a.measurements.push_back(judge(name, "dB", typical + spread(random),
                                               {typical - 10, typical + 10, {}, {}}));
            }
        }
        step.attempts.push_back(a);
        step.verdict = Verdict::pass;
        run.steps.push_back(step);
    }
    return run;
}

// A history of `runs` runs of the board acceptance sequence's shape, written
// straight into the store, many runs a transaction, not by running boards.
bool make_history(const std::string& target, int runs) {
    std::string error;
    HistoryFault fault;
    const std::unique_ptr<History> history =
        History::open(target, false, {600, -1, nullptr}, error, fault);
    if (!history) return false;
    std::mt19937 random(7);
    std::vector<RunRecord> batch;
    for (int r = 0; r < runs; ++r) {
        batch.push_back(bench_run(r, random));
        if (batch.size() == 5000 || r + 1 == runs) {
            if (!history->end_runs(batch, error)) return false;
            batch.clear();
        }
    }
    return true;
}

// Where a benchmark's history of `runs` runs lives: a SQLite file in `dir`,
// or a database of its own on the server ORLIX_TEST_PG_URL names.
std::string history_target(const std::string& dir, bool server, int runs) {
    if (!server) return dir + "/station.sqlite";
    const char* url = std::getenv("ORLIX_TEST_PG_URL");
    if (url == nullptr || *url == '\0') return "";
    const std::string name = "orlix_bench_" + std::to_string(runs);
    const std::string base = url;
    std::system(("psql -q '" + base + "' -c 'DROP DATABASE IF EXISTS " + name +
                 "' -c 'CREATE DATABASE " + name + "' >/dev/null 2>&1")
                    .c_str());
    const std::size_t authority = base.find("://") + 3;
    const std::size_t query = base.find('?', authority);
    const std::size_t slash = base.find('/', authority);
    const std::string head =
        base.substr(0, slash != std::string::npos && slash < query ? slash : query);
    return head + "/" + name + (query == std::string::npos ? "" : base.substr(query));
}

}  // namespace

// --summary, --summary --spc and --summary --since a week on histories of
// 10,000, 100,000 and 1,000,000 runs of the board acceptance sequence, in
// SQLite and in PostgreSQL: the time and peak memory of each, which must not
// grow with the history (target: at most 2 s and 100 MB, and 1.2 times the
// 10,000 runs' figures); and a run's write with the books.
static void BM_SummaryByHistorySize(benchmark::State& state) {
    const int runs = static_cast<int>(state.range(0));
    const bool server = state.range(1) == 1;
    const std::string dir = bench_folder(state, "summary_bench");
    if (dir.empty()) return;
    const std::string target = history_target(dir, server, runs);
    if (target.empty()) {
        std::filesystem::remove_all(dir);
        state.SkipWithError("ORLIX_TEST_PG_URL names no server");
        return;
    }
    const auto made = std::chrono::steady_clock::now();
    // Made by a child, so that this process stays as small as it was for the
    // peaks measured below.
    const pid_t maker = fork();
    if (maker == 0) _exit(make_history(target, runs) ? 0 : 1);
    int made_status = 0;
    waitpid(maker, &made_status, 0);
    if (!WIFEXITED(made_status) || WEXITSTATUS(made_status) != 0) {
        std::filesystem::remove_all(dir);
        state.SkipWithError("cannot make the history");
        return;
    }
    const double making =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - made).count();
    // The server's statistics as its autovacuum would have them by now: a
    // summary planned without them, right after the bulk load, is no
    // station's case.
    if (server && std::system(("psql -q '" + target + "' -c ANALYZE").c_str()) != 0) {
        std::filesystem::remove_all(dir);
        state.SkipWithError("cannot analyze the history");
        return;
    }
    const std::string since = start_of(std::max(0, runs - 7 * kRunsADay));
    struct Kind {
        const char* name;
        std::vector<std::string> args;
        double seconds = 0;
        long peak = 0;
    };
    std::vector<Kind> kinds = {{"summary", {"--summary"}},
                               {"spc", {"--summary", "--spc"}},
                               {"week", {"--summary", "--since", since}}};
    for (auto _ : state) {
        for (Kind& k : kinds) {
            std::vector<std::string> argv = {STATION_RUN_BIN, "--history", target};
            argv.insert(argv.end(), k.args.begin(), k.args.end());
            const double t = run_argv(dir, argv);
            if (t < 0) {
                state.SkipWithError("--summary failed");
                break;
            }
            k.seconds += t;
            k.peak = std::max(k.peak, last_peak_bytes);
        }
    }
    // A run's write, books and all, on the history as it stands.
    std::string error;
    HistoryFault fault;
    const std::unique_ptr<History> history =
        History::open(target, true, {60, -1, nullptr}, error, fault);
    double write = 0;
    constexpr int kWrites = 20;
    std::mt19937 random(11);
    for (int i = 0; history && i < kWrites; ++i) {
        RunRecord run = bench_run(runs + i, random);
        const auto start = std::chrono::steady_clock::now();
        if (!history->end_run(run, error)) break;
        write += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    std::filesystem::remove_all(dir);
    const double n = static_cast<double>(state.iterations());
    state.counters["runs"] = runs;
    state.counters["make_s"] = making;
    for (const Kind& k : kinds) {
        state.counters[std::string(k.name) + "_s"] = k.seconds / n;
        state.counters[std::string(k.name) + "_MB"] = static_cast<double>(k.peak) / 1e6;
    }
    state.counters["write_ms"] = write / kWrites * 1000;
}
BENCHMARK(BM_SummaryByHistorySize)
    ->ArgNames({"runs", "postgres"})
    ->ArgsProduct({{10'000, 100'000, 1'000'000}, {0, 1}})
    ->Iterations(3)
    ->Unit(benchmark::kSecond);

static void BM_StationUnderAFlood(benchmark::State& state) {
    const std::string dir = bench_folder(state, "flood_bench");
    if (dir.empty()) return;
    {
        // 2 GB that ends by itself, measured; then a flood that only SIGKILL ends.
        std::ofstream seq(dir + "/flood.toml");
        seq << "name = \"flood\"\nversion = \"1\"\n"
               "[[step]]\nname = \"two-gigabytes\"\nrun = [\"sh\", \"-c\", "
               "\"head -c 2147483648 /dev/zero; echo 'v: 1'\"]\ntimeout_s = 120\n"
               "  [[step.measure]]\n  name = \"v\"\n  stdout = 'v: (\\d+)'\n"
               "[[step]]\nname = \"endless\"\nrun = [\"sh\", \"-c\", \"trap '' TERM; cat "
               "/dev/zero\"]\ntimeout_s = 2\ngrace_s = 1\n";
    }
    double peak = 0, past = 0;
    int n = 0;
    for (auto _ : state) {
        const std::string out = "run" + std::to_string(n++);
        // Exit status 3 (the endless step's timeout) reads as a failure here.
        run_seconds(dir, {STATION_RUN_BIN, "-o", out.c_str(), "flood.toml"});
        peak = std::max(peak, static_cast<double>(last_peak_bytes));
        std::ifstream record(dir + "/" + out + "/record.json");
        const std::string text((std::istreambuf_iterator<char>(record)),
                               std::istreambuf_iterator<char>());
        const std::size_t at = text.rfind("\"duration_s\": ");
        if (at == std::string::npos) {
            state.SkipWithError("no record");
            break;
        }
        past = std::max(past, std::stod(text.substr(at + 14)) - 3.0);
    }
    std::filesystem::remove_all(dir);
    state.counters["peak_MB"] = peak / (1 << 20);
    state.counters["s_past_deadline_and_grace"] = past;
}
BENCHMARK(BM_StationUnderAFlood)->Iterations(2)->Unit(benchmark::kSecond);

namespace {

// The duration of a step in a record, read from record.json.
double step_seconds(const std::string& record_path, const std::string& step) {
    std::ifstream in(record_path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t named = text.find("\"name\": \"" + step + "\"");
    const std::size_t at = text.find("\"duration_s\": ", named);
    return named == std::string::npos || at == std::string::npos ? -1
                                                                 : std::stod(text.substr(at + 14));
}

}  // namespace

// Four simulated boards at once on the board acceptance sequence, whose
// capture holds the shared signal generator's lock: against the ideal
// schedule, one board alone plus the other three boards' captures (target:
// within 5 %); and the CPU station_run itself adds per board, the station's
// processes against the same programs run by a shell, board by board.
static void BM_FourSocketsUnderALock(benchmark::State& state) {
    const std::string dir = bench_folder(state, "sockets_bench");
    if (dir.empty()) return;
    {
        std::ofstream file(dir + "/station.toml");
        file << "name = \"bench\"\n";
        for (const char* s : {"A", "B", "C", "D"}) {
            file << "[[socket]]\nname = \"" << s << "\"\ndevice = \"sim:" << s << "\"\n";
        }
    }
    const std::string bin = std::filesystem::path(STATION_RUN_BIN).parent_path().string();
    const std::string programs =
        bin + "/refswitch_soak -d sim -i 20 && " + bin + "/burst_sender -d sim -n 1000 && " + bin +
        "/burst_sender -d sim -n 1000 -s 256 && " + bin + "/twin_capture && " + bin +
        "/capture_inspect --json --plot capture.png --expected_tone "
        "20000 dual_test.bin";
    double wall = 0, ideal = 0, added_cpu = 0;
    int n = 0;
    for (auto _ : state) {
        const std::string tag = std::to_string(n++);
        const std::string alone = "alone" + tag, station = "station" + tag;
        const double one = run_seconds(dir, {STATION_RUN_BIN, "-s", "SN-0", "-o", alone.c_str()});
        const double capture = step_seconds(dir + "/" + alone + "/record.json", "capture");
        const double four = run_seconds(
            dir, {STATION_RUN_BIN, "--station-file", "station.toml", "-s", "A=SN-1", "-s", "B=SN-2",
                  "-s", "C=SN-3", "-s", "D=SN-4", "-o", station.c_str()});
        const double station_cpu = last_cpu_s;
        std::filesystem::create_directory(dir + "/shell" + tag);
        const double shell = run_seconds(dir + "/shell" + tag, {"/bin/sh", "-c", programs.c_str()});
        const double shell_cpu = last_cpu_s;
        if (one < 0 || four < 0 || shell < 0 || capture < 0) {
            state.SkipWithError("a run failed");
            break;
        }
        wall += four;
        ideal += one + 3 * capture;
        added_cpu += (station_cpu - 4 * shell_cpu) / 4;
    }
    std::filesystem::remove_all(dir);
    const double runs = static_cast<double>(state.iterations());
    state.counters["wall_s"] = wall / runs;
    state.counters["ideal_s"] = ideal / runs;
    state.counters["over_ideal_percent"] = (wall / ideal - 1) * 100;
    state.counters["station_cpu_per_board_s"] = added_cpu / runs;
}
BENCHMARK(BM_FourSocketsUnderALock)->Iterations(2)->Unit(benchmark::kSecond);
