// capture_inspect: tells in one command whether a dual capture is any good:
// its figures, a few checks with an exit status, and on request a SigMF
// description and a picture.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "capture_format.h"
#include "checks.h"
#include "decimal.h"
#include "figures.h"
#include "files.h"
#include "getopt_long.h"
#include "guard.h"
#include "report.h"
#include "scan.h"

constexpr int kExitPassed = 0;
constexpr int kExitCheckFailed = 1;
constexpr int kExitTrouble = 2;

struct Settings {
    std::string path = kCaptureName;
    double rate = kCaptureSampleRate;
    double frequency = kCaptureFrequency;
    bool sigmf = false;
    const char* plot = nullptr;
    bool json = false;
    std::vector<double> limits;  // one per check rule
    std::optional<double> expected_tone_hz;
    unsigned jobs = available_processors();
};

// The options besides the checks' limits; a check's option is its rule's
// index past kRuleOption.
constexpr int kRuleOption = 1000;
enum Option { kSigmf = 'S', kPlot = 'P', kJson = 'J', kExpectedTone = 'E' };

static std::vector<cmdline::option_record> long_options() {
    std::vector<cmdline::option_record> options = {{"rate", 1, nullptr, 'r'},
                                                   {"frequency", 1, nullptr, 'f'},
                                                   {"sigmf", 0, nullptr, kSigmf},
                                                   {"plot", 1, nullptr, kPlot},
                                                   {"json", 0, nullptr, kJson},
                                                   {"jobs", 1, nullptr, 'j'},
                                                   {"expected_tone", 1, nullptr, kExpectedTone},
                                                   {"help", 0, nullptr, 'h'}};
    const std::vector<CheckRule>& rules = check_rules();
    for (std::size_t i = 0; i < rules.size(); ++i) {
        options.push_back({rules[i].option, 1, nullptr,
                           rules[i].letter ? rules[i].letter : kRuleOption + static_cast<int>(i)});
    }
    options.push_back({nullptr, 0, nullptr, 0});
    return options;
}

static std::string short_options() {
    std::string text = "r:f:j:h";
    for (const CheckRule& rule : check_rules()) {
        if (rule.letter) text += std::string(1, rule.letter) + ":";
    }
    return text;
}

static void print_usage(FILE* out, const char* prog) {
    fprintf(out,
            "Usage: %s [options] [CAPTURE]\n"
            "Checks a dual capture (default %s): per channel DC offset, RMS level,\n"
            "peak, clipping, stuck samples, the strongest tone and the receiver's figures\n"
            "of merit; between the channels correlation, coherence and phase at the tone.\n"
            "Options:\n"
            "  -r, --rate <samples/s>       Sample rate (default %s)\n"
            "  -f, --frequency <Hz>         Centre frequency (default %s)\n"
            "      --sigmf                  Write the SigMF metadata beside the capture\n"
            "      --plot <file.png>        Draw the spectrum and the first samples (gnuplot)\n"
            "      --json                   Print one JSON object instead of the report\n"
            "      --expected_tone <Hz>     The tone's offset the generator sets: checks the\n"
            "                               frequency error against it\n"
            "  -j, --jobs <n>               Threads that read the capture (the processors\n"
            "                               this process may run on); the figures are the\n"
            "                               same for any number\n"
            "  -h, --help                   Show this help and exit\n"
            "The checks' limits (defaults in brackets):\n%s"
            "Exit status: 0 all checks passed, 1 a check failed, 2 usage or file trouble.\n",
            prog, kCaptureName, fixed(kCaptureSampleRate, 0).c_str(),
            fixed(static_cast<double>(kCaptureFrequency), 0).c_str(), checks_usage().c_str());
}

// How an option is named in a message: -c, or --name where it has no letter.
static std::string option_name(int c, const std::vector<cmdline::option_record>& options) {
    for (const cmdline::option_record& o : options) {
        if (o.name != nullptr && o.val == c && !(c < 128 && std::islower(c)))
            return std::string("--") + o.name;
    }
    return std::string("-") + static_cast<char>(c);
}

// A decimal number text within [min, max], or false.
static bool parse_number(const char* text, double min, double max, double* value) {
    const std::optional<double> v = decimal_number(text);
    if (!v || *v < min || *v > max) return false;
    *value = *v;
    return true;
}

// Reads the options into `s`; gives the exit status when the program ends
// here (help, or a usage error), else -1.
static int read_options(int argc, char* argv[], const char* prog, Settings& s) {
    const std::vector<CheckRule>& rules = check_rules();
    for (const CheckRule& rule : rules) s.limits.push_back(rule.fallback);
    const std::vector<cmdline::option_record> options = long_options();
    const std::string letters = short_options();
    int c;
    while ((c = cmdline::getopt_long(argc, argv, letters.c_str(), options.data(), nullptr)) != -1) {
        bool ok = true;
        std::size_t rule = rules.size();
        for (std::size_t i = 0; i < rules.size(); ++i) {
            if (c == (rules[i].letter ? rules[i].letter : kRuleOption + static_cast<int>(i)))
                rule = i;
        }
        if (rule < rules.size()) {
            ok = parse_number(cmdline::optarg, rules[rule].lowest, rules[rule].highest,
                              &s.limits[rule]);
        } else if (c == 'r') {
            ok = parse_number(cmdline::optarg, 1, 1e12, &s.rate);
        } else if (c == 'f') {
            ok = parse_number(cmdline::optarg, 0, 1e12, &s.frequency);
        } else if (c == kSigmf) {
            s.sigmf = true;
        } else if (c == kPlot) {
            s.plot = cmdline::optarg;
        } else if (c == kJson) {
            s.json = true;
        } else if (c == 'j') {
            double jobs = 0;
            ok = parse_number(cmdline::optarg, 1, 1024, &jobs) && jobs == std::floor(jobs);
            s.jobs = static_cast<unsigned>(jobs);
        } else if (c == kExpectedTone) {
            double tone = 0;
            ok = parse_number(cmdline::optarg, -kExpectedToneMostHz, kExpectedToneMostHz, &tone);
            s.expected_tone_hz = tone;
        } else if (c == 'h') {
            print_usage(stdout, prog);
            return finish_output(prog) ? kExitPassed : kExitTrouble;
        } else {
            print_usage(stderr, prog);
            return kExitTrouble;
        }
        if (!ok) {
            fprintf(stderr, "%s: invalid value \"%s\" for %s\n", prog, cmdline::optarg,
                    option_name(c, options).c_str());
            return kExitTrouble;
        }
    }
    if (argc - cmdline::optind > 1) {
        fprintf(stderr, "%s: one capture at a time\n", prog);
        print_usage(stderr, prog);
        return kExitTrouble;
    }
    if (cmdline::optind < argc) s.path = argv[cmdline::optind];
    return -1;
}

// True when writing `output` would overwrite the capture: the same path, or
// the same file by device and inode (a link, another name for it).
static bool is_the_capture(const std::string& output, const std::string& capture,
                           const struct stat& capture_st) {
    struct stat st;
    return output == capture || (stat(output.c_str(), &st) == 0 && st.st_dev == capture_st.st_dev &&
                                 st.st_ino == capture_st.st_ino);
}

// Opens the capture and refuses one that cannot hold whole frames; -1 after
// saying why.
static int open_capture(const Settings& s, const char* prog, const std::string& name,
                        struct stat& st) {
    const int fd = open(s.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0) {
        fprintf(stderr, "%s: %s: %s\n", prog, name.c_str(), strerror(errno));
        return -1;
    }
    if (S_ISREG(st.st_mode) && (st.st_size == 0 || st.st_size % kFrameBytes != 0)) {
        if (st.st_size == 0) {
            fprintf(stderr, "%s: %s: the capture is empty\n", prog, name.c_str());
        } else {
            fprintf(stderr, "%s: %s: %jd bytes is not a whole number of %zu-byte frames\n", prog,
                    name.c_str(), static_cast<intmax_t>(st.st_size), kFrameBytes);
        }
        close(fd);
        return -1;
    }
    return fd;
}

// Where the SigMF metadata goes, known before anything is read: SigMF
// describes a file by name, a regular one, named exactly. False after
// saying why it cannot be written.
static bool plan_outputs(const Settings& s, const char* prog, const std::string& name,
                         const struct stat& st, std::string& meta_path, std::string& dataset) {
    if (s.sigmf) {
        if (!S_ISREG(st.st_mode)) {
            fprintf(stderr, "%s: %s: --sigmf needs a regular file\n", prog, name.c_str());
            return false;
        }
        if (!valid_utf8(s.path)) {
            fprintf(stderr, "%s: %s: --sigmf needs a name in UTF-8, which SigMF metadata holds\n",
                    prog, name.c_str());
            return false;
        }
        meta_path = sigmf_meta_path(s.path, dataset);
    }
    for (const std::string& output : {meta_path, std::string(s.plot ? s.plot : "")}) {
        if (!output.empty() && is_the_capture(output, s.path, st)) {
            fprintf(stderr, "%s: %s: writing %s would overwrite the capture\n", prog, name.c_str(),
                    shown_utf8(output).c_str());
            return false;
        }
    }
    return true;
}

// Sums the capture in one pass; false after saying why it could not be.
static bool read_capture(int fd, const Settings& s, const char* prog, const std::string& name,
                         const struct stat& st, ScanResult& scan) {
    // A capture that cannot be read a second time keeps its first frames for
    // a fit.
    scan = scan_capture(fd, s.jobs, s.sigmf, !S_ISREG(st.st_mode));
    if (!scan.error.empty()) {
        fprintf(stderr, "%s: %s: %s\n", prog, name.c_str(), scan.error.c_str());
    } else if (scan.bytes == 0) {
        fprintf(stderr, "%s: %s: the capture is empty\n", prog, name.c_str());
    } else if (S_ISREG(st.st_mode) && scan.bytes != static_cast<std::uint64_t>(st.st_size)) {
        fprintf(stderr,
                "%s: %s: the capture changed while it was read (%" PRIu64 " of %" PRIu64
                " bytes)\n",
                prog, name.c_str(), scan.bytes, static_cast<std::uint64_t>(st.st_size));
    } else if (scan.partial_frame) {
        fprintf(stderr, "%s: %s: %" PRIu64 " bytes is not a whole number of %zu-byte frames\n",
                prog, name.c_str(), scan.bytes, kFrameBytes);
    } else {
        return true;
    }
    return false;
}

// Writes the metadata and the picture asked for; false after saying why one
// could not be.
static bool write_outputs(const Settings& s, const char* prog, const Inspection& inspection,
                          const std::string& gnuplot, const std::string& meta_path,
                          const std::string& dataset, const std::string& sha512) {
    bool ok = true;
    if (s.sigmf && !write_file_whole(meta_path, sigmf_metadata(inspection, dataset, sha512))) {
        fprintf(stderr, "%s: cannot write %s: %s\n", prog, meta_path.c_str(), strerror(errno));
        ok = false;
    }
    if (s.plot != nullptr) {
        std::string png, why;
        if (!draw_picture(gnuplot, inspection, png, why)) {
            fprintf(stderr, "%s: gnuplot could not draw %s: %s\n", prog, shown_utf8(s.plot).c_str(),
                    why.c_str());
            ok = false;
        } else if (!write_file_whole(s.plot, png)) {
            fprintf(stderr, "%s: cannot write %s: %s\n", prog, shown_utf8(s.plot).c_str(),
                    strerror(errno));
            ok = false;
        }
    }
    return ok;
}

int main(int argc, char* argv[]) {
    const char* prog = argc > 0 && argv[0] != nullptr ? argv[0] : "capture_inspect";
    guard_standard_descriptors(prog);
    guard_output();

    Settings s;
    if (const int status = read_options(argc, argv, prog, s); status >= 0) return status;
    const std::string name = shown_utf8(s.path);

    // Known before anything is read or written: a plot that cannot be drawn.
    std::string gnuplot;
    if (s.plot != nullptr) {
        gnuplot = find_on_path("gnuplot");
        if (gnuplot.empty()) {
            fprintf(stderr, "%s: --plot needs gnuplot, which is not installed\n", prog);
            return kExitTrouble;
        }
    }
    struct stat st;
    const int fd = open_capture(s, prog, name, st);
    if (fd < 0) return kExitTrouble;
    std::string meta_path, dataset;
    if (!plan_outputs(s, prog, name, st, meta_path, dataset)) return kExitTrouble;
    ScanResult scan;
    if (!read_capture(fd, s, prog, name, st, scan)) return kExitTrouble;

    // The figures, read again from the capture where a fit needs it, and
    // the checks on them.
    const Reference reference{s.rate, s.frequency, s.expected_tone_hz};
    const FitSource source = S_ISREG(st.st_mode)
                                 ? FitSource{fd, nullptr, scan.sums.frames}
                                 : FitSource{-1, &scan.kept, scan.kept.size() / kFrameValues};
    Inspection inspection{name, s.rate, s.frequency, s.expected_tone_hz, {}, {}, true};
    try {
        inspection.figures = figures_from(scan.sums, reference, source, s.jobs);
    } catch (const std::exception& e) {
        fprintf(stderr, "%s: %s: cannot read the capture again: %s\n", prog, name.c_str(),
                e.what());
        return kExitTrouble;
    }
    close(fd);
    inspection.checks = run_checks(s.limits, s.expected_tone_hz.has_value(), inspection.figures);
    for (const Check& check : inspection.checks) {
        if (!check.passed) {
            fprintf(stderr, "%s: check failed: %s: %s\n", prog, check.name.c_str(),
                    check.detail.c_str());
            inspection.passed = false;
        }
    }

    if (s.json) {
        fputs(json_report(inspection).c_str(), stdout);
    } else {
        print_report(inspection);
    }
    int status = inspection.passed ? kExitPassed : kExitCheckFailed;
    if (!write_outputs(s, prog, inspection, gnuplot, meta_path, dataset, scan.sha512)) {
        status = kExitTrouble;
    }
    if (!finish_output(prog)) status = kExitTrouble;
    return status;
}
