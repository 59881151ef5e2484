// station_run: runs a test sequence of the suite's programs on one board, with
// limits, margins and a deadline on every step, and leaves a record that
// survives the station: record.jsonl as it goes, record.json and junit.xml at
// the end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "getopt_long.h"
#include "guard.h"
#include "history.h"
#include "junit.h"
#include "measure.h"
#include "record.h"
#include "report_page.h"
#include "sequence.h"
#include "statistics.h"
#include "supervisor.h"
#include "times.h"

constexpr int kExitPassed = 0;
constexpr int kExitTrouble = 2;

struct Options {
    std::string device;
    std::string image;
    std::string serial = "unknown";
    std::string station;
    std::string operator_name;
    std::string output;
    std::string resume;
    std::string report;
    std::string history = "station.sqlite";
    bool summary = false;
    bool json = false;
    SummaryFilter filter;
    std::string sequence;
    bool live = false;
};

static const cmdline::option_record long_options[] = {
    {"device", 1, nullptr, 'd'},  {"image", 1, nullptr, 'i'},    {"serial", 1, nullptr, 's'},
    {"station", 1, nullptr, 'S'}, {"operator", 1, nullptr, 'O'}, {"output", 1, nullptr, 'o'},
    {"resume", 1, nullptr, 'R'},  {"report", 1, nullptr, 'P'},   {"history", 1, nullptr, 'H'},
    {"summary", 0, nullptr, 'U'}, {"since", 1, nullptr, 'N'},    {"sequence", 1, nullptr, 'Q'},
    {"json", 0, nullptr, 'J'},    {"verbose", 0, nullptr, 'v'},  {"help", 0, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

static void print_usage(FILE* out, const char* prog) {
    fprintf(out,
            "Usage: %s [options] [SEQUENCE]\n"
            "Runs a test sequence (default: the board acceptance sequence of the suite) on one\n"
            "device, with limits and a deadline on every step, and records it.\n"
            "Options:\n"
            "  -d, --device DEVICE    The device string for the steps (%s)\n"
            "  -i, --image FILE       The FPGA image for the steps that need one\n"
            "  -s, --serial SERIAL    The board's serial number (default unknown)\n"
            "      --station ID       The station (default the host name)\n"
            "      --operator NAME    Who runs it\n"
            "  -o, --output DIR       The run folder (default runs/SERIAL-YYYYMMDDTHHMMSSZ)\n"
            "      --resume DIR       Continue the run that DIR records\n"
            "      --report DIR       Write DIR/report.html from the record there, and exit\n"
            "      --history FILE     The history: a SQLite file (default station.sqlite)\n"
            "                         or a postgresql:// URL\n"
            "      --summary          Summarize the history per measurement, with Cpk, and exit\n"
            "      --since DATE       With --summary: runs started at DATE or later\n"
            "      --sequence NAME    With --summary: runs of this sequence (-s: of this board)\n"
            "      --json             With --summary: print JSON\n"
            "  -v, --verbose          Show each step's output as it comes\n"
            "  -h, --help             Show this help and exit\n"
            "Exit status: 0 passed, 1 a limit or step failed, 2 an error or an abort,\n"
            "3 a step timed out.\n",
            prog,
#ifdef ORLIX_SIMULATED
            "default sim"
#else
            "required"
#endif
    );
}

// Wakes the step's supervision when a termination signal comes.
static int stop_pipe[2] = {-1, -1};

static void on_termination(int sig) {
    const int saved = errno;
    note_termination(sig);
    if (write(stop_pipe[1], "x", 1) < 0) {
        // The signal is noted all the same.
    }
    errno = saved;
}

static std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// This program's own folder: its sibling programs and its data are found from it.
static std::string own_folder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    return folder_of(path);
}

// A program beside station_run first, then on PATH; empty when nowhere.
static std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    const std::string beside = own_folder() + "/" + name;
    return access(beside.c_str(), X_OK) == 0 ? beside : find_on_path(name);
}

static std::string substituted(std::string arg, const RunRecord& run) {
    const std::pair<const char*, const std::string*> fields[] = {
        {"{device}", &run.device}, {"{image}", &run.image}, {"{output}", &run.output}};
    for (const auto& [name, value] : fields) {
        for (size_t at = arg.find(name); at != std::string::npos; at = arg.find(name, at)) {
            arg.replace(at, strlen(name), *value);
            at += value->size();
        }
    }
    return arg;
}

// A new run folder: runs/SERIAL-YYYYMMDDTHHMMSSZ, or -2, -3, ... when taken.
static bool make_run_folder(Options& o, std::string& error) {
    if (o.output.empty()) {
        std::string serial;
        for (char c : o.serial)
            serial += isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'
                          ? c
                          : '_';
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        gmtime_r(&now, &tm);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
        if (mkdir("runs", 0777) != 0 && errno != EEXIST) {
            error = std::string("runs: ") + strerror(errno);
            return false;
        }
        const std::string base = "runs/" + serial + "-" + stamp;
        for (int n = 1; n < 100; ++n) {
            o.output = n == 1 ? base : base + "-" + std::to_string(n);
            if (mkdir(o.output.c_str(), 0777) == 0) break;
            if (errno != EEXIST) break;
        }
    } else if (mkdir(o.output.c_str(), 0777) != 0 && errno != EEXIST) {
        error = o.output + ": " + strerror(errno);
        return false;
    }
    char resolved[PATH_MAX];
    if (realpath(o.output.c_str(), resolved) == nullptr) {
        error = o.output + ": " + strerror(errno);
        return false;
    }
    o.output = resolved;
    struct stat st;
    if (stat((o.output + "/record.jsonl").c_str(), &st) == 0) {
        error = o.output + ": holds a run already (--resume continues it)";
        return false;
    }
    return true;
}

static std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

static std::string value_text(const std::optional<double>& v) {
    if (!v) return "none";
    char text[64];
    snprintf(text, sizeof text, "%.6g", *v);
    return text;
}

// One line a step: its verdict, name, time and what failed.
static void print_step(const StepRecord& s) {
    double time = 0;
    for (const Attempt& a : s.attempts) time += a.duration_s;
    std::string detail = s.skip_reason;
    if (!s.attempts.empty()) {
        const Attempt& last = s.attempts.back();
        if (last.timed_out) detail = "the deadline passed";
        if (!last.note.empty()) detail = last.note;
        for (const Measurement& m : last.measurements) {
            if (passed(m.verdict) || !detail.empty()) continue;
            detail = m.value ? m.name + " = " + value_text(m.value) +
                                   (m.units.empty() ? "" : " " + m.units) + ", low " +
                                   value_text(m.limits.low) + ", high " + value_text(m.limits.high)
                             : m.name + ": " + m.note;
        }
        if (s.passed_on_retry) detail = "passed on retry, attempt " + std::to_string(last.number);
    }
    if (s.verdict == Verdict::aborted) detail = "the run was aborted";
    printf("%-9s %-24s %7.1f s%s%s\n", verdict_name(s.verdict.value_or(Verdict::aborted)),
           s.name.c_str(), time, detail.empty() ? "" : "  ", detail.c_str());
}

// The record in one document, the JUnit file and the page, each written whole.
static bool write_outputs(const RunRecord& run, std::string& error) {
    char host[HOST_NAME_MAX + 1] = "";
    gethostname(host, sizeof host);
    if (!write_file_whole(run.output + "/record.json", record_document(run).dump(2) + "\n") ||
        !write_file_whole(run.output + "/junit.xml", junit_xml(run, host)) ||
        !write_file_whole(run.output + "/report.html", report_page(run))) {
        error = std::string("cannot write the record: ") + strerror(errno);
        return false;
    }
    return true;
}

// Runs the attempts of one step until one passes or its retries are spent.
// False when a termination signal stopped it.
static bool run_step(const Step& step, StepRecord& rec, const RunRecord& run, bool live,
                     RecordLog& log) {
    std::vector<std::string> argv = rec.argv;
    argv[0] = find_program(argv[0]);
    for (int number = static_cast<int>(rec.attempts.size()) + 1;; ++number) {
        if (termination_signal != 0) return false;
        std::string error;
        Attempt a;
        a.number = number;
        a.stdout_file = step.name + "." + std::to_string(number) + ".stdout";
        a.stderr_file = step.name + "." + std::to_string(number) + ".stderr";
        if (!log.append(step_started_event(step.name, number, utc_now()), error)) {
            fprintf(stderr, "station_run: %s\n", error.c_str());
            return false;
        }
        const Outcome out = supervise({argv,
                                       {},
                                       run.output,
                                       run.output + "/" + a.stdout_file,
                                       run.output + "/" + a.stderr_file,
                                       step.timeout_s,
                                       step.grace_s,
                                       kDefaultOutputLimit,
                                       live,
                                       stop_pipe[0]});
        a.started = out.started;
        a.ended = out.ended;
        a.duration_s = out.duration_s;
        a.exit_status = out.exit_status;
        a.signal = out.signal;
        a.timed_out = out.timed_out;
        a.note = out.failure;
        if (!out.failure.empty()) {
            a.verdict = Verdict::error;
        } else {
            const std::string output = read_all(run.output + "/" + a.stdout_file);
            const auto deadline = std::chrono::steady_clock::now() +
                                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(step.grace_s));
            a.measurements = measure_step(step, out.exit_status, {output, false}, deadline);
            a.verdict = Verdict::pass;
            for (const Measurement& m : a.measurements) a.verdict = worse(a.verdict, m.verdict);
            if (out.timed_out) a.verdict = Verdict::timeout;
            if (out.stopped) a.verdict = Verdict::aborted;
        }
        rec.attempts.push_back(a);
        if (!log.append(attempt_ended_event(step.name, a), error)) {
            fprintf(stderr, "station_run: %s\n", error.c_str());
            return false;
        }
        if (a.verdict == Verdict::aborted) return false;
        if (passed(a.verdict) || number > step.retries) break;
    }
    rec.verdict = rec.attempts.back().verdict;
    rec.passed_on_retry = passed(*rec.verdict) && rec.attempts.size() > 1;
    return true;
}

int main(int argc, char* argv[]) {
    const char* prog = argc > 0 && argv[0] != nullptr ? argv[0] : "station_run";
    guard_standard_descriptors(prog);
    guard_output();

    Options o;
#ifdef ORLIX_SIMULATED
    o.device = "sim";
#endif
    int c;
    while ((c = cmdline::getopt_long(argc, argv, "d:i:s:o:vh", long_options, nullptr)) != -1) {
        switch (c) {
            case 'd':
                o.device = cmdline::optarg;
                break;
            case 'i':
                o.image = cmdline::optarg;
                break;
            case 's':
                o.serial = o.filter.serial = cmdline::optarg;
                break;
            case 'S':
                o.station = cmdline::optarg;
                break;
            case 'O':
                o.operator_name = cmdline::optarg;
                break;
            case 'o':
                o.output = cmdline::optarg;
                break;
            case 'R':
                o.resume = cmdline::optarg;
                break;
            case 'P':
                o.report = cmdline::optarg;
                break;
            case 'H':
                o.history = cmdline::optarg;
                break;
            case 'U':
                o.summary = true;
                break;
            case 'N':
                o.filter.since = cmdline::optarg;
                break;
            case 'Q':
                o.filter.sequence = cmdline::optarg;
                break;
            case 'J':
                o.json = true;
                break;
            case 'v':
                o.live = true;
                break;
            case 'h':
                print_usage(stdout, prog);
                return finish_output(prog) ? kExitPassed : kExitTrouble;
            default:
                print_usage(stderr, prog);
                return kExitTrouble;
        }
    }
    if (argc - cmdline::optind > 1) {
        fprintf(stderr, "%s: one sequence at a time\n", prog);
        return kExitTrouble;
    }
    if (cmdline::optind < argc) o.sequence = argv[cmdline::optind];
    if (o.station.empty()) {
        char host[HOST_NAME_MAX + 1] = "";
        gethostname(host, sizeof host);
        o.station = host;
    }

    if (!o.report.empty()) {
        RunRecord run;
        std::string error;
        std::ifstream in(o.report + "/record.json");
        const nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
        if (doc.is_discarded() || !record_from_document(doc, run, error)) {
            fprintf(stderr, "%s: %s/record.json: %s\n", prog, o.report.c_str(),
                    doc.is_discarded() ? "no record" : error.c_str());
            return kExitTrouble;
        }
        run.output = o.report;  // the folder may have moved since
        if (!write_file_whole(o.report + "/report.html", report_page(run))) {
            fprintf(stderr, "%s: %s/report.html: %s\n", prog, o.report.c_str(), strerror(errno));
            return kExitTrouble;
        }
        printf("Report: %s/report.html\n", o.report.c_str());
        return finish_output(prog) ? kExitPassed : kExitTrouble;
    }

    if (o.summary) {
        std::string error;
        std::vector<MeasurementTotals> rows;
        std::vector<HistoryRun> runs;
        const std::unique_ptr<History> history = History::open(o.history, true, error);
        if (!history || !history->totals(o.filter, rows, error) ||
            !history->last_runs(o.filter, 20, runs, error)) {
            fprintf(stderr, "%s: history: %s\n", prog, error.c_str());
            return kExitTrouble;
        }
        const std::vector<MeasurementSummary> summaries = summarize(rows);
        fputs((o.json ? summary_json(summaries, runs) : summary_text(summaries, runs)).c_str(),
              stdout);
        return finish_output(prog) ? kExitPassed : kExitTrouble;
    }

    // The run: taken up again from its record, or a new one.
    RunRecord run;
    Sequence sequence;
    std::string error;
    bool resuming = !o.resume.empty();
    if (resuming) {
        bool cut = false;
        if (!replay(o.resume + "/record.jsonl", run, cut, error)) {
            fprintf(stderr, "%s: %s\n", prog, error.c_str());
            return kExitTrouble;
        }
        if (!load_sequence(run.sequence_path, sequence, error)) {
            fprintf(stderr, "%s: %s\n", prog, error.c_str());
            return kExitTrouble;
        }
        if (sequence.sha256 != run.sequence_sha256) {
            fprintf(stderr, "%s: %s changed since the run started\n", prog,
                    run.sequence_path.c_str());
            return kExitTrouble;
        }
        if (run.verdict && *run.verdict != Verdict::aborted) {
            // Ended already (a kill may have come before its last files): said
            // again as it stands.
            if (!write_outputs(run, error)) {
                fprintf(stderr, "%s: %s\n", prog, error.c_str());
                return kExitTrouble;
            }
            for (const StepRecord& s : run.steps) print_step(s);
            printf("Run %s (ended %s, exit status %d)\n", verdict_name(*run.verdict),
                   run.ended.c_str(), run.exit_status);
            return finish_output(prog) ? run.exit_status : kExitTrouble;
        }
    } else {
        if (o.device.empty()) {
            fprintf(stderr, "%s: -d DEVICE is required\n", prog);
            return kExitTrouble;
        }
        const std::string path = o.sequence.empty()
                                     ? own_folder() + "/../share/orlix-suite/board-acceptance.toml"
                                     : o.sequence;
        char resolved[PATH_MAX];
        if (!load_sequence(realpath(path.c_str(), resolved) ? resolved : path, sequence, error)) {
            fprintf(stderr, "%s: %s\n", prog, error.c_str());
            return kExitTrouble;
        }
    }
    for (const Step& step : sequence.steps) {
        if (find_program(step.run[0]).empty()) {
            fprintf(stderr, "%s: %s: step %s: program not found: %s\n", prog, sequence.path.c_str(),
                    step.name.c_str(), step.run[0].c_str());
            return kExitTrouble;
        }
    }
    if (!resuming) {
        // The steps run in the run folder: the image is named from anywhere.
        if (!o.image.empty()) {
            char resolved[PATH_MAX];
            if (realpath(o.image.c_str(), resolved) == nullptr) {
                fprintf(stderr, "%s: %s: %s\n", prog, o.image.c_str(), strerror(errno));
                return kExitTrouble;
            }
            o.image = resolved;
        }
        if (!make_run_folder(o, error)) {
            fprintf(stderr, "%s: %s\n", prog, error.c_str());
            return kExitTrouble;
        }
        run.station = o.station;
        run.operator_name = o.operator_name;
        run.serial = o.serial;
        run.device = o.device;
        run.image = o.image;
        run.sequence_name = sequence.name;
        run.sequence_version = sequence.version;
        run.sequence_path = sequence.path;
        run.sequence_sha256 = sequence.sha256;
        run.suite_version = ORLIX_SUITE_VERSION;
        run.output = o.output;
        run.started = utc_now();
        for (const Step& step : sequence.steps) {
            std::vector<std::string> argv;
            for (const std::string& arg : step.run) argv.push_back(substituted(arg, run));
            run.steps.push_back({step.name, argv, {}, {}, "", false});
        }
    }

    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        fprintf(stderr, "%s: %s\n", prog, strerror(errno));
        return kExitTrouble;
    }
    catch_termination_signals(on_termination);
    RecordLog log;
    bool logged = log.open(run.output + "/record.jsonl", error);
    if (logged && !resuming) logged = log.append(run_started_event(run), error);
    if (logged && resuming) {
        // What an earlier run left unfinished runs again: a step it was in,
        // and any step an abort cut short.
        std::vector<std::string> interrupted;
        for (StepRecord& s : run.steps) {
            const bool aborted = s.verdict == Verdict::aborted;
            if (aborted) s.verdict.reset();
            std::erase_if(s.attempts,
                          [](const Attempt& a) { return a.verdict == Verdict::aborted; });
            if (!s.verdict && (aborted || !s.attempts.empty())) interrupted.push_back(s.name);
        }
        run.resumed.push_back(utc_now());
        run.verdict.reset();
        run.ended.clear();
        logged = log.append(run_resumed_event(run.resumed.back(), interrupted), error);
        printf("Resuming %s\n", run.output.c_str());
    }
    if (!logged) {
        fprintf(stderr, "%s: %s\n", prog, error.c_str());
        return kExitTrouble;
    }

    // The history keeps the run from its start; one that cannot be used is
    // reported, and the run and its record go on without it.
    bool history_ok = true;
    std::unique_ptr<History> history = History::open(o.history, false, error);
    if (!history || !history->begin_run(run, error)) {
        fprintf(stderr, "%s: history: %s\n", prog, error.c_str());
        history.reset();
        history_ok = false;
    }

    bool aborted = false;
    bool stopping = false;  // a failed step that stops the run
    for (std::size_t i = 0; i < sequence.steps.size() && logged; ++i) {
        const Step& step = sequence.steps[i];
        StepRecord& rec = run.steps[i];
        if (!rec.verdict) {
            if (aborted || termination_signal != 0) {
                aborted = true;
                continue;
            }
            if (stopping) {
                rec.verdict = Verdict::skipped;
                rec.skip_reason = "an earlier step failed and stops the run";
            } else if (step.requires_image && run.image.empty()) {
                rec.verdict = Verdict::skipped;
                rec.skip_reason = "no image given (-i)";
            } else if (!run_step(step, rec, run, o.live, log)) {
                aborted = true;
                if (!rec.attempts.empty() && rec.attempts.back().verdict == Verdict::aborted) {
                    rec.verdict = Verdict::aborted;
                }
            }
            if (rec.verdict) logged = log.append(step_ended_event(rec), error);
        }
        if (rec.verdict) print_step(rec);
        if (rec.verdict && !passed(*rec.verdict) && *rec.verdict != Verdict::skipped &&
            step.stop_on_fail) {
            stopping = true;
        }
    }
    for (StepRecord& s : run.steps) {
        if (!s.verdict) s.verdict = Verdict::aborted;
    }
    run.ended = utc_now();
    conclude(run, aborted || !logged);
    if (logged) logged = log.append(run_ended_event(run), error);
    if (logged) logged = write_outputs(run, error);
    if (!logged) {
        fprintf(stderr, "%s: %s\n", prog, error.c_str());
        run.exit_status = std::max(run.exit_status, kExitTrouble);
    }
    if (history && !history->end_run(run, error)) {
        fprintf(stderr, "%s: history: %s\n", prog, error.c_str());
        history_ok = false;
    }
    if (!history_ok) run.exit_status = std::max(run.exit_status, kExitTrouble);

    int steps = 0, ok = 0, skipped = 0, retried = 0;
    for (const StepRecord& s : run.steps) {
        ++steps;
        ok += passed(*s.verdict);
        skipped += *s.verdict == Verdict::skipped;
        retried += s.passed_on_retry;
    }
    printf("Run %s: %d of %d steps passed, %d skipped, %d on retry (exit status %d)\n",
           verdict_name(*run.verdict), ok, steps, skipped, retried, run.exit_status);
    printf("Record: %s/record.json\nJUnit: %s/junit.xml\n", run.output.c_str(), run.output.c_str());
    if (!finish_output(prog)) run.exit_status = std::max(run.exit_status, kExitTrouble);
    if (termination_signal != 0) end_by_signal(termination_signal);
    return run.exit_status;
}
