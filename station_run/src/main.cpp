// station_run: runs a test sequence of the suite's programs on one board, with
// limits, margins and a deadline on every step, and leaves a record that
// survives the station: record.jsonl as it goes, record.json, junit.xml and
// report.html at the end. It also rewrites a run's page and summarizes the
// history.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/times.h"
#include "base/trouble.h"
#include "board/board_run.h"
#include "board/hold.h"
#include "capture_format.h"
#include "decimal.h"
#include "files.h"
#include "getopt_long.h"
#include "guard.h"
#include "history/history.h"
#include "outputs/fleet_page.h"
#include "outputs/output_guard.h"
#include "outputs/report_page.h"
#include "outputs/statistics.h"
#include "record/events.h"
#include "station/loop.h"
#include "station/station.h"
#include "station/station_file.h"
#include "station/station_json.h"

namespace {

constexpr int kPassed = 0;

enum class Mode { run, loop, resume, report, summary };

struct Options {
    Mode mode = Mode::run;
    NewBoardRun run;
    RunSettings settings;
    std::string folder;                // --resume or --report
    std::string station_file;          // several boards at once
    std::vector<std::string> serials;  // every -s, in order
    std::string history_for_summary = "station.sqlite";
    SummaryFilter filter;
    bool json = false;
    bool spc = false;
    SpcSettings spc_settings;
    std::string baseline_since;  // the record's form
    std::string html;            // the fleet page's file
};

const cmdline::option_record long_options[] = {
    {"device", 1, nullptr, 'd'},        {"image", 1, nullptr, 'i'},
    {"serial", 1, nullptr, 's'},        {"station", 1, nullptr, 'S'},
    {"operator", 1, nullptr, 'O'},      {"output", 1, nullptr, 'o'},
    {"resume", 1, nullptr, 'R'},        {"report", 1, nullptr, 'P'},
    {"history", 1, nullptr, 'H'},       {"summary", 0, nullptr, 'U'},
    {"since", 1, nullptr, 'N'},         {"sequence", 1, nullptr, 'Q'},
    {"json", 0, nullptr, 'J'},          {"verbose", 0, nullptr, 'v'},
    {"output-limit", 1, nullptr, 'L'},  {"history-timeout", 1, nullptr, 'T'},
    {"expected-tone", 1, nullptr, 'E'}, {"spc", 0, nullptr, 'C'},
    {"baseline", 1, nullptr, 'B'},      {"baseline-since", 1, nullptr, 'D'},
    {"ewma-lambda", 1, nullptr, 'W'},   {"ewma-l", 1, nullptr, 'Y'},
    {"html", 1, nullptr, 'M'},          {"station-file", 1, nullptr, 'F'},
    {"loop", 0, nullptr, 'K'},          {"help", 0, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

void print_usage(FILE* out, const char* prog) {
    fprintf(out,
            "Usage: %s [options] [SEQUENCE]\n"
            "       %s --station-file FILE -s SOCKET=SERIAL... [options] [SEQUENCE]\n"
            "       %s --loop [--station-file FILE] [options] [SEQUENCE]\n"
            "       %s --resume DIR\n"
            "       %s --report DIR\n"
            "       %s --summary [--since DATE] [--sequence NAME] [-s SERIAL] [--json]\n"
            "                    [--spc [--baseline N | --baseline-since DATE]] [--html FILE]\n"
            "Runs a test sequence (default: the board acceptance sequence of the suite) on one\n"
            "device, with limits and a deadline on every step, and records it.\n"
            "Options:\n"
            "  -d, --device DEVICE    The device string for the steps (%s)\n"
            "  -i, --image FILE       The FPGA image for the steps that need one\n"
            "  -s, --serial SERIAL    The board's serial number (default unknown)\n"
            "      --station ID       The station (default the station file's name, or the host\n"
            "                         name)\n"
            "      --station-file FILE  Test the boards in the sockets FILE names, each given\n"
            "                         its serial as -s SOCKET=SERIAL; -o is the station's folder\n"
            "      --operator NAME    Who runs it, and answers its operator's steps\n"
            "      --loop             Board after board: read each serial as a scanner types\n"
            "                         it (or from station_view --control), run, show the\n"
            "                         verdict, ask for the next; -o is the loop's folder\n"
            "  -o, --output DIR       The run folder (default runs/SERIAL-YYYYMMDDTHHMMSSZ)\n"
            "      --output-limit MB  What is kept of each stream of a step (default 64)\n"
            "      --expected-tone HZ The tone's offset the generator sets, for {expected_tone}\n"
            "                         (default 20000, the simulated device's)\n"
            "      --resume DIR       Continue the run that DIR records\n"
            "      --report DIR       Write DIR/report.html from the record there, and exit\n"
            "      --history FILE     The history: a SQLite file (default station.sqlite)\n"
            "                         or a postgresql:// URL\n"
            "      --history-timeout S  How long the history may keep a run waiting (default 15)\n"
            "      --summary          Summarize the history per measurement (Cpk, Ppk) and exit\n"
            "      --since DATE       With --summary: runs started at DATE or later\n"
            "      --sequence NAME    With --summary: runs of this sequence (-s: of this board)\n"
            "      --json             With --summary: print JSON\n"
            "      --spc              With --summary: control charts and run rules too\n"
            "      --baseline N       The runs that set a chart's limits (default 25)\n"
            "      --baseline-since DATE  The charts start at DATE\n"
            "      --ewma-lambda X    The EWMA's weight (default 0.2); --ewma-l X its limit\n"
            "                         in sigmas (default 3)\n"
            "      --html FILE        With --summary: write the fleet page, charts and all\n"
            "  -v, --verbose          Show each step's output as it comes\n"
            "  -h, --help             Show this help and exit\n"
            "Exit status: 0 passed, 1 a limit or step failed, 2 an error or an abort,\n"
            "3 a step timed out.\n",
            prog, prog, prog, prog, prog, prog,
#ifdef ORLIX_SIMULATED
            "default sim"
#else
            "required"
#endif
    );
}

// A positive decimal number of seconds, megabytes or runs; false for
// anything else.
bool positive(const char* text, double most, double& out) {
    const std::optional<double> v = decimal_number(text);
    if (!v || *v <= 0 || *v > most) return false;
    out = *v;
    return true;
}

// Reads the command line; false (after a message) for a usage error.
bool read_options(int argc, char* argv[], const char* prog, Options& o) {
#ifdef ORLIX_SIMULATED
    o.run.device = "sim";
#endif
    // What a resumed run takes from its record may not be given again.
    std::vector<std::string> run_options, summary_options;
    bool summary = false, report = false, loop = false;
    int c;
    while ((c = cmdline::getopt_long(argc, argv, "d:i:s:o:vh", long_options, nullptr)) != -1) {
        const char* arg = cmdline::optarg;
        double number = 0;
        switch (c) {
            case 'd':
                o.run.device = arg;
                run_options.push_back("-d");
                break;
            case 'i':
                o.run.image = arg;
                run_options.push_back("-i");
                break;
            case 's':
                o.run.serial = o.filter.serial = arg;
                o.serials.push_back(arg);
                run_options.push_back("-s");
                break;
            case 'F':
                o.station_file = arg;
                run_options.push_back("--station-file");
                break;
            case 'S':
                o.run.station = arg;
                run_options.push_back("--station");
                break;
            case 'O':
                o.run.operator_name = arg;
                run_options.push_back("--operator");
                break;
            case 'o':
                o.run.output = arg;
                run_options.push_back("-o");
                break;
            case 'L':
                if (!positive(arg, 1 << 20, number)) {
                    fprintf(stderr, "%s: --output-limit takes megabytes above 0\n", prog);
                    return false;
                }
                o.run.output_limit = static_cast<std::uint64_t>(number * (1 << 20));
                run_options.push_back("--output-limit");
                break;
            case 'E': {
                // What capture_inspect takes, refused now rather than after a capture.
                const std::optional<double> tone = decimal_number(arg);
                if (!tone || std::fabs(*tone) > kExpectedToneMostHz) {
                    fprintf(stderr,
                            "%s: --expected-tone takes a frequency in Hz, at most %g either way\n",
                            prog, kExpectedToneMostHz);
                    return false;
                }
                o.run.expected_tone_hz = *tone;
                run_options.push_back("--expected-tone");
                break;
            }
            case 'R':
                o.mode = Mode::resume;
                o.folder = arg;
                break;
            case 'P':
                report = true;
                o.folder = arg;
                break;
            case 'H':
                o.run.history = o.history_for_summary = arg;
                run_options.push_back("--history");
                break;
            case 'T':
                if (!positive(arg, 86400, o.settings.history_timeout_s)) {
                    fprintf(stderr, "%s: --history-timeout takes seconds above 0\n", prog);
                    return false;
                }
                break;
            case 'U':
                summary = true;
                break;
            case 'K':
                loop = true;
                break;
            case 'N': {
                const std::optional<std::string> since = time_from_user(arg);
                if (!since) {
                    fprintf(stderr,
                            "%s: --since takes a date (2026-12-01) or an RFC 3339 time with its "
                            "offset (2026-12-01T09:30:00+01:00)\n",
                            prog);
                    return false;
                }
                o.filter.since = *since;
                break;
            }
            case 'Q':
                o.filter.sequence = arg;
                break;
            case 'J':
                o.json = true;
                summary_options.push_back("--json");
                break;
            case 'C':
                o.spc = true;
                summary_options.push_back("--spc");
                break;
            case 'B':
                if (!positive(arg, 1e9, number) || number < 2 || number != std::floor(number)) {
                    fprintf(stderr, "%s: --baseline takes a whole number of runs, 2 or more\n",
                            prog);
                    return false;
                }
                o.spc_settings.baseline_runs = static_cast<std::size_t>(number);
                summary_options.push_back("--baseline");
                break;
            case 'D': {
                const std::optional<std::string> since = time_from_user(arg);
                if (!since) {
                    fprintf(stderr, "%s: --baseline-since takes a date or an RFC 3339 time\n",
                            prog);
                    return false;
                }
                o.baseline_since = *since;
                summary_options.push_back("--baseline-since");
                break;
            }
            case 'W':
                if (!positive(arg, 1, o.spc_settings.ewma_lambda)) {
                    fprintf(stderr, "%s: --ewma-lambda takes a weight above 0, at most 1\n", prog);
                    return false;
                }
                summary_options.push_back("--ewma-lambda");
                break;
            case 'Y':
                if (!positive(arg, 100, o.spc_settings.ewma_l)) {
                    fprintf(stderr, "%s: --ewma-l takes sigmas above 0\n", prog);
                    return false;
                }
                summary_options.push_back("--ewma-l");
                break;
            case 'M':
                o.html = arg;
                summary_options.push_back("--html");
                break;
            case 'v':
                o.settings.live = true;
                break;
            case 'h':
                print_usage(stdout, prog);
                exit(finish_output(prog) ? kPassed : kTrouble);
            default:
                print_usage(stderr, prog);
                return false;
        }
    }
    if (argc - cmdline::optind > 1) {
        fprintf(stderr, "%s: one sequence at a time\n", prog);
        return false;
    }
    if (cmdline::optind < argc) {
        o.run.sequence = argv[cmdline::optind];
        run_options.push_back("SEQUENCE");
    }
    if (summary + report + loop + (o.mode == Mode::resume) > 1) {
        fprintf(stderr, "%s: --resume, --report, --summary and --loop are modes: one at a time\n",
                prog);
        return false;
    }
    if (loop && !o.serials.empty()) {
        fprintf(stderr, "%s: --loop reads each serial from its input: -s cannot be given\n", prog);
        return false;
    }
    if (loop) o.mode = Mode::loop;
    if (!summary && !summary_options.empty()) {
        fprintf(stderr, "%s: %s goes with --summary\n", prog, summary_options.front().c_str());
        return false;
    }
    if (summary && !o.spc && o.html.empty() &&
        std::any_of(summary_options.begin(), summary_options.end(),
                    [](const std::string& x) { return x != "--json"; })) {
        fprintf(stderr, "%s: the baseline and the EWMA go with --spc or --html\n", prog);
        return false;
    }
    if (o.mode == Mode::resume && !run_options.empty()) {
        fprintf(stderr, "%s: --resume takes the run as its record has it: %s cannot be given\n",
                prog, run_options.front().c_str());
        return false;
    }
    if (summary) o.mode = Mode::summary;
    if (report) o.mode = Mode::report;
    if (!o.station_file.empty() &&
        std::find(run_options.begin(), run_options.end(), "-d") != run_options.end()) {
        fprintf(stderr, "%s: the station file names each socket's device: -d cannot be given\n",
                prog);
        return false;
    }
    if (o.run.station.empty() && o.station_file.empty()) {
        char host[HOST_NAME_MAX + 1] = "";
        gethostname(host, sizeof host);
        o.run.station = host;
    }
    return true;
}

// Writes DIR/report.html anew from the record there.
int rewrite_page(const std::string& folder, const char* prog) {
    FilePart bytes;
    RunRecord run;
    std::string error = "no record";
    if (read_file_part(folder, "record.json", std::size_t{64} << 20, false, bytes)) {
        const nlohmann::json doc = nlohmann::json::parse(bytes.bytes, nullptr, false);
        if (!doc.is_discarded() && record_from_document(doc, run, error)) error.clear();
    }
    if (!error.empty()) return trouble(folder + "/record.json: " + error);
    run.output = folder;  // the folder may have moved since
    const std::string page = folder + "/report.html";
    if (!may_write_output(page, kPageStart, run.history, error)) {
        return trouble(page + ": " + error);
    }
    if (!write_file_whole(page, report_page(run), false)) {
        return trouble(folder + "/report.html: " + strerror(errno));
    }
    printf("Report: %s/report.html\n", folder.c_str());
    return finish_output(prog) ? kPassed : kTrouble;
}

// Several boards at once: the station file read, and each -s SOCKET=SERIAL
// matched to its socket, before anything runs.
int run_sockets(const Options& o) {
    NewStation s;
    std::string error;
    char resolved[PATH_MAX];
    const std::string path = realpath(o.station_file.c_str(), resolved) ? resolved : o.station_file;
    if (!load_station_file(path, s.file, error) ||
        !serials_of(s.file, o.serials, s.serials, error)) {
        return trouble(error);
    }
    s.run = o.run;
    if (s.run.station.empty()) s.run.station = s.file.name;
    s.folder = o.run.output;
    s.run.output.clear();
    return run_station(s, o.settings);
}

// Prints what the history holds per measurement, and its last runs; with
// --spc their charts, with --html the fleet page.
int print_summary(const Options& o, const char* prog) {
    std::string error;
    // Before the history is read: a slip that names it, or another file, as
    // the page must cost nothing.
    if (!o.html.empty() && !may_write_output(o.html, kPageStart, o.history_for_summary, error)) {
        return trouble(o.html + ": " + error);
    }
    Summary summary;
    summary.settings = o.spc_settings;
    summary.spc = o.spc;
    HistoryFault fault;
    const std::unique_ptr<History> history = History::open(
        o.history_for_summary, true, {o.settings.history_timeout_s, -1, nullptr}, error, fault);
    if (!history || !read_summary(*history, o.filter, o.spc || !o.html.empty(), o.baseline_since,
                                  summary, error)) {
        return trouble("history: " + error);
    }
    fputs((o.json ? summary_json(summary) : summary_text(summary)).c_str(), stdout);
    if (!o.html.empty()) {
        if (!write_file_whole(o.html, fleet_page(summary), false)) {
            return trouble(o.html + ": " + strerror(errno));
        }
        if (!o.json) printf("Fleet page: %s\n", o.html.c_str());
    }
    return finish_output(prog) ? kPassed : kTrouble;
}

}  // namespace

int main(int argc, char* argv[]) {
    const char* prog = argc > 0 && argv[0] != nullptr ? argv[0] : "station_run";
    guard_standard_descriptors(prog);
    guard_output();

    Options o;
    if (!read_options(argc, argv, prog, o)) return kTrouble;
    std::string error;
    if (!hold_control_valid(error)) return trouble(error);
    // The operator answers at the terminal, when there is one.
    if (isatty(STDIN_FILENO)) o.settings.terminal_fd = STDIN_FILENO;
    switch (o.mode) {
        case Mode::report:
            return rewrite_page(o.folder, prog);
        case Mode::summary:
            return print_summary(o, prog);
        case Mode::resume:
            return is_station_folder(o.folder) ? resume_station(o.folder, o.settings)
                                               : resume_board(o.folder, o.settings);
        case Mode::loop:
            return run_loop({o.run, o.station_file, o.run.output}, o.settings);
        case Mode::run:
            break;
    }
    return o.station_file.empty() ? run_board(o.run, o.settings) : run_sockets(o);
}
