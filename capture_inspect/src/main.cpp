// capture_inspect: tells in one command whether a dual capture is any good:
// its figures, a few checks with an exit status, and on request a SigMF
// description and a picture.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "capture_format.h"
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
    double max_clipped_percent = 0.1;
    double max_stuck = 8;
    double max_dc_dbfs = -30;
    double min_tone_db = 20;
    double min_coherence = 0.9;
    double max_phase_jump = 30;
    double min_snr_db = 30;
    double min_sfdr_dbc = 30;
    double max_gain_mismatch_db = 3;
    double max_ppm = 10;
    std::optional<double> expected_tone_hz;
    unsigned jobs = available_processors();
};

static const cmdline::option_record long_options[] = {
    {"rate", 1, nullptr, 'r'},
    {"frequency", 1, nullptr, 'f'},
    {"sigmf", 0, nullptr, 'S'},
    {"plot", 1, nullptr, 'P'},
    {"json", 0, nullptr, 'J'},
    {"max_clipped", 1, nullptr, 'c'},
    {"max_stuck", 1, nullptr, 's'},
    {"max_dc", 1, nullptr, 'd'},
    {"min_tone_db", 1, nullptr, 't'},
    {"min_coherence", 1, nullptr, 'k'},
    {"max_phase_jump", 1, nullptr, 'p'},
    {"jobs", 1, nullptr, 'j'},
    {"min_snr", 1, nullptr, 'N'},
    {"min_sfdr", 1, nullptr, 'F'},
    {"max_gain_mismatch", 1, nullptr, 'G'},
    {"max_ppm", 1, nullptr, 'M'},
    {"expected_tone", 1, nullptr, 'E'},
    {"help", 0, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

static void print_usage(FILE* out, const char* prog) {
    const Settings d;
    fprintf(out,
            "Usage: %s [options] [CAPTURE]\n"
            "Checks a dual capture (default %s): per channel DC offset, RMS level,\n"
            "peak, clipping, stuck samples and the strongest tone; between the channels\n"
            "correlation, coherence and phase at the tone.\n"
            "Options:\n"
            "  -r, --rate <samples/s>       Sample rate (default %s)\n"
            "  -f, --frequency <Hz>         Centre frequency (default %s)\n"
            "      --sigmf                  Write the SigMF metadata beside the capture\n"
            "      --plot <file.png>        Draw the spectrum and the first samples (gnuplot)\n"
            "      --json                   Print one JSON object instead of the report\n"
            "  -c, --max_clipped <percent>  Most clipped samples a channel may have (%s)\n"
            "  -s, --max_stuck <samples>    Longest run of identical samples allowed (%s)\n"
            "  -d, --max_dc <dBFS>          Largest DC offset allowed (%s)\n"
            "  -t, --min_tone_db <dB>       Least tone height above the noise floor (%s)\n"
            "  -k, --min_coherence <0..1>   Least coherence between the channels (%s)\n"
            "  -p, --max_phase_jump <deg>   Largest sudden phase jump allowed (%s)\n"
            "      --min_snr <dB>           Least signal-to-noise ratio (%s)\n"
            "      --min_sfdr <dBc>         Least spurious-free dynamic range (%s)\n"
            "      --max_gain_mismatch <dB> Largest gain difference between the channels (%s)\n"
            "      --expected_tone <Hz>     The tone's offset the generator sets: checks the\n"
            "                               frequency error against it\n"
            "      --max_ppm <ppm>          Largest frequency error, with --expected_tone (%s)\n"
            "  -j, --jobs <n>               Threads that read the capture (the processors\n"
            "                               this process may run on); the figures are the\n"
            "                               same for any number\n"
            "  -h, --help                   Show this help and exit\n"
            "Exit status: 0 all checks passed, 1 a check failed, 2 usage or file trouble.\n",
            prog, kCaptureName, fixed(d.rate, 0).c_str(), fixed(d.frequency, 0).c_str(),
            fixed(d.max_clipped_percent, 1).c_str(), fixed(d.max_stuck, 0).c_str(),
            fixed(d.max_dc_dbfs, 0).c_str(), fixed(d.min_tone_db, 0).c_str(),
            fixed(d.min_coherence, 1).c_str(), fixed(d.max_phase_jump, 0).c_str(),
            fixed(d.min_snr_db, 0).c_str(), fixed(d.min_sfdr_dbc, 0).c_str(),
            fixed(d.max_gain_mismatch_db, 0).c_str(), fixed(d.max_ppm, 0).c_str());
}

// How an option is named in a message: -c, or --name where it has no letter.
static std::string option_name(int c) {
    for (const cmdline::option_record* o = long_options; o->name != nullptr; ++o) {
        if (o->val == c && std::isupper(c)) return std::string("--") + o->name;
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

// True when writing `output` would overwrite the capture: the same path, or
// the same file by device and inode (a link, another name for it).
static bool is_the_capture(const std::string& output, const std::string& capture,
                           const struct stat& capture_st) {
    struct stat st;
    return output == capture || (stat(output.c_str(), &st) == 0 && st.st_dev == capture_st.st_dev &&
                                 st.st_ino == capture_st.st_ino);
}

static std::vector<Check> run_checks(const Settings& s, const CaptureFigures& f) {
    std::vector<Check> checks;
    char detail[200];
    for (int c = 0; c < 2; c++) {
        const ChannelFigures& ch = f.channels[c];
        const std::string prefix = "ch" + std::to_string(c) + " ";
        const double share =
            100.0 * static_cast<double>(ch.clipped) / static_cast<double>(f.frames);
        snprintf(detail, sizeof detail, "%s %% of the samples clipped, at most %s %%",
                 fixed(share, 3).c_str(), fixed(s.max_clipped_percent, 3).c_str());
        checks.push_back({prefix + "clipping", share <= s.max_clipped_percent, detail});
        snprintf(detail, sizeof detail, "longest run of identical samples %" PRIu64 ", at most %s",
                 ch.longest_stuck_run, fixed(s.max_stuck, 0).c_str());
        checks.push_back(
            {prefix + "stuck", static_cast<double>(ch.longest_stuck_run) <= s.max_stuck, detail});
        snprintf(detail, sizeof detail, "DC offset %s dBFS, at most %s dBFS",
                 fixed(ch.dc_dbfs, 1).c_str(), fixed(s.max_dc_dbfs, 1).c_str());
        checks.push_back({prefix + "dc", ch.dc_dbfs <= s.max_dc_dbfs, detail});
        if (ch.tone_above_floor_db) {
            snprintf(detail, sizeof detail, "tone %s dB above the noise floor, at least %s dB",
                     fixed(*ch.tone_above_floor_db, 1).c_str(), fixed(s.min_tone_db, 1).c_str());
        } else {
            snprintf(detail, sizeof detail,
                     "no tone: the capture is shorter than one %zu-frame window", kFftSize);
        }
        checks.push_back(
            {prefix + "tone", ch.tone_above_floor_db.value_or(-INFINITY) >= s.min_tone_db, detail});
        // A jump counts only where it stands clear of what noise makes; a
        // channel too weak to have a phase is the tone check's to fail.
        const double noise_jump = ch.noise_phase_jump_deg.value_or(0);
        const double allowed = std::max(s.max_phase_jump, 2 * noise_jump);
        if (!ch.largest_phase_jump_deg) {
            snprintf(detail, sizeof detail, "no phase: the samples are too weak to have one");
        } else if (allowed > s.max_phase_jump) {
            snprintf(detail, sizeof detail,
                     "largest phase jump %s degrees, at most %s as noise alone makes %s",
                     fixed(*ch.largest_phase_jump_deg, 1).c_str(), fixed(allowed, 1).c_str(),
                     fixed(noise_jump, 1).c_str());
        } else {
            snprintf(detail, sizeof detail, "largest phase jump %s degrees, at most %s",
                     fixed(*ch.largest_phase_jump_deg, 1).c_str(), fixed(allowed, 1).c_str());
        }
        checks.push_back(
            {prefix + "continuity", ch.largest_phase_jump_deg.value_or(0) <= allowed, detail});
        if (ch.snr_db) {
            snprintf(detail, sizeof detail, "SNR %s dB, at least %s dB",
                     fixed(*ch.snr_db, 1).c_str(), fixed(s.min_snr_db, 1).c_str());
        } else {
            snprintf(detail, sizeof detail, "no SNR: no tone to measure against");
        }
        checks.push_back({prefix + "snr", ch.snr_db.value_or(-INFINITY) >= s.min_snr_db, detail});
        if (ch.sfdr_dbc) {
            const std::string spur = ch.worst_spur
                                         ? std::string(ch.worst_spur) + " at " +
                                               fixed(*ch.worst_spur_offset_hz, 1, true) + " Hz"
                                         : std::string("the noise floor");
            snprintf(detail, sizeof detail, "SFDR %s dBc to %s, at least %s dBc",
                     fixed(*ch.sfdr_dbc, 1).c_str(), spur.c_str(),
                     fixed(s.min_sfdr_dbc, 1).c_str());
        } else {
            snprintf(detail, sizeof detail, "no SFDR: no tone to measure against");
        }
        checks.push_back(
            {prefix + "sfdr", ch.sfdr_dbc.value_or(-INFINITY) >= s.min_sfdr_dbc, detail});
        // A rig's generator may sit anywhere: only a tone said is checked.
        if (s.expected_tone_hz) {
            if (ch.frequency_error_ppm) {
                snprintf(detail, sizeof detail,
                         "tone at %s Hz, %s ppm of the centre from %s Hz, at most %s ppm",
                         fixed(*ch.tone_offset_hz, 3, true).c_str(),
                         fixed(*ch.frequency_error_ppm, 3, true).c_str(),
                         fixed(*s.expected_tone_hz, 3, true).c_str(), fixed(s.max_ppm, 3).c_str());
            } else {
                snprintf(detail, sizeof detail, "no frequency: no tone to measure");
            }
            checks.push_back({prefix + "frequency",
                              std::fabs(ch.frequency_error_ppm.value_or(INFINITY)) <= s.max_ppm,
                              detail});
        }
    }
    if (f.gain_match_db) {
        snprintf(detail, sizeof detail, "channel 1 %s dB against channel 0, at most %s dB apart",
                 fixed(*f.gain_match_db, 2, true).c_str(),
                 fixed(s.max_gain_mismatch_db, 2).c_str());
    } else {
        snprintf(detail, sizeof detail, "no gain match: a channel without a tone");
    }
    checks.push_back({"gain match",
                      std::fabs(f.gain_match_db.value_or(INFINITY)) <= s.max_gain_mismatch_db,
                      detail});
    if (f.coherence) {
        snprintf(detail, sizeof detail, "coherence %s at the tone, at least %s",
                 fixed(*f.coherence, 3).c_str(), fixed(s.min_coherence, 3).c_str());
    } else {
        snprintf(detail, sizeof detail, "no coherence: no segment, or a channel without power");
    }
    checks.push_back({"coherence", f.coherence.value_or(-1) >= s.min_coherence, detail});
    return checks;
}

int main(int argc, char* argv[]) {
    const char* prog = argc > 0 && argv[0] != nullptr ? argv[0] : "capture_inspect";
    guard_standard_descriptors(prog);
    guard_output();

    Settings s;
    int c;
    while ((c = cmdline::getopt_long(argc, argv, "r:f:c:s:d:t:k:p:j:h", long_options, nullptr)) !=
           -1) {
        bool ok = true;
        switch (c) {
            case 'r':
                ok = parse_number(cmdline::optarg, 1, 1e12, &s.rate);
                break;
            case 'f':
                ok = parse_number(cmdline::optarg, 0, 1e12, &s.frequency);
                break;
            case 'S':
                s.sigmf = true;
                break;
            case 'P':
                s.plot = cmdline::optarg;
                break;
            case 'J':
                s.json = true;
                break;
            case 'j': {
                double jobs = 0;
                ok = parse_number(cmdline::optarg, 1, 1024, &jobs) && jobs == std::floor(jobs);
                s.jobs = static_cast<unsigned>(jobs);
                break;
            }
            case 'c':
                ok = parse_number(cmdline::optarg, 0, 100, &s.max_clipped_percent);
                break;
            case 's':
                ok = parse_number(cmdline::optarg, 1, 1e18, &s.max_stuck);
                break;
            case 'd':
                ok = parse_number(cmdline::optarg, kFloorDb, 40, &s.max_dc_dbfs);
                break;
            case 't':
                ok = parse_number(cmdline::optarg, -1000, 1000, &s.min_tone_db);
                break;
            case 'k':
                ok = parse_number(cmdline::optarg, 0, 1, &s.min_coherence);
                break;
            case 'p':
                ok = parse_number(cmdline::optarg, 0, 180, &s.max_phase_jump);
                break;
            case 'N':
                ok = parse_number(cmdline::optarg, -1000, 1000, &s.min_snr_db);
                break;
            case 'F':
                ok = parse_number(cmdline::optarg, -1000, 1000, &s.min_sfdr_dbc);
                break;
            case 'G':
                ok = parse_number(cmdline::optarg, 0, 1000, &s.max_gain_mismatch_db);
                break;
            case 'M':
                ok = parse_number(cmdline::optarg, 0, 1e6, &s.max_ppm);
                break;
            case 'E': {
                double tone = 0;
                ok =
                    parse_number(cmdline::optarg, -kExpectedToneMostHz, kExpectedToneMostHz, &tone);
                s.expected_tone_hz = tone;
                break;
            }
            case 'h':
                print_usage(stdout, prog);
                return finish_output(prog) ? kExitPassed : kExitTrouble;
            default:
                print_usage(stderr, prog);
                return kExitTrouble;
        }
        if (!ok) {
            fprintf(stderr, "%s: invalid value \"%s\" for %s\n", prog, cmdline::optarg,
                    option_name(c).c_str());
            return kExitTrouble;
        }
    }
    if (argc - cmdline::optind > 1) {
        fprintf(stderr, "%s: one capture at a time\n", prog);
        print_usage(stderr, prog);
        return kExitTrouble;
    }
    if (cmdline::optind < argc) s.path = argv[cmdline::optind];
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

    const int fd = open(s.path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fprintf(stderr, "%s: %s: %s\n", prog, name.c_str(), strerror(errno));
        return kExitTrouble;
    }
    if (S_ISREG(st.st_mode) && (st.st_size == 0 || st.st_size % kFrameBytes != 0)) {
        if (st.st_size == 0) {
            fprintf(stderr, "%s: %s: the capture is empty\n", prog, name.c_str());
        } else {
            fprintf(stderr, "%s: %s: %jd bytes is not a whole number of %zu-byte frames\n", prog,
                    name.c_str(), static_cast<intmax_t>(st.st_size), kFrameBytes);
        }
        return kExitTrouble;
    }

    // SigMF describes a file by name: a regular one, named exactly. A capture
    // named NAME.sigmf-data is a conforming dataset beside NAME.sigmf-meta.
    std::string meta_path, dataset;
    if (s.sigmf) {
        if (!S_ISREG(st.st_mode)) {
            fprintf(stderr, "%s: %s: --sigmf needs a regular file\n", prog, name.c_str());
            return kExitTrouble;
        }
        if (!valid_utf8(s.path)) {
            fprintf(stderr, "%s: %s: --sigmf needs a name in UTF-8, which SigMF metadata holds\n",
                    prog, name.c_str());
            return kExitTrouble;
        }
        meta_path = sigmf_meta_path(s.path, dataset);
    }
    for (const std::string& output : {meta_path, std::string(s.plot ? s.plot : "")}) {
        if (!output.empty() && is_the_capture(output, s.path, st)) {
            fprintf(stderr, "%s: %s: writing %s would overwrite the capture\n", prog, name.c_str(),
                    shown_utf8(output).c_str());
            return kExitTrouble;
        }
    }

    // A capture that cannot be read a second time keeps its first frames for
    // a fit.
    ScanResult scan = scan_capture(fd, s.jobs, s.sigmf, !S_ISREG(st.st_mode));
    if (!scan.error.empty()) {
        fprintf(stderr, "%s: %s: %s\n", prog, name.c_str(), scan.error.c_str());
        return kExitTrouble;
    }
    if (scan.bytes == 0) {
        fprintf(stderr, "%s: %s: the capture is empty\n", prog, name.c_str());
        return kExitTrouble;
    }
    if (S_ISREG(st.st_mode) && scan.bytes != static_cast<std::uint64_t>(st.st_size)) {
        fprintf(stderr,
                "%s: %s: the capture changed while it was read (%" PRIu64 " of %" PRIu64
                " bytes)\n",
                prog, name.c_str(), scan.bytes, static_cast<std::uint64_t>(st.st_size));
        return kExitTrouble;
    }
    if (scan.partial_frame) {
        fprintf(stderr, "%s: %s: %" PRIu64 " bytes is not a whole number of %zu-byte frames\n",
                prog, name.c_str(), scan.bytes, kFrameBytes);
        return kExitTrouble;
    }
    const CaptureSums& sums = scan.sums;
    const Reference reference{s.rate, s.frequency, s.expected_tone_hz};
    // The figures, read again from the capture where a fit needs it.
    const FitSource source = S_ISREG(st.st_mode)
                                 ? FitSource{fd, nullptr, sums.frames}
                                 : FitSource{-1, &scan.kept, scan.kept.size() / kFrameValues};
    Inspection inspection{name, s.rate, s.frequency, s.expected_tone_hz, {}, {}, true};
    try {
        inspection.figures = figures_from(sums, reference, source, s.jobs);
    } catch (const std::exception& e) {
        fprintf(stderr, "%s: %s: cannot read the capture again: %s\n", prog, name.c_str(), e.what());
        return kExitTrouble;
    }
    close(fd);
    inspection.checks = run_checks(s, inspection.figures);
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
    if (s.sigmf) {
        const std::string& sha512 = scan.sha512;
        if (!write_file_whole(meta_path, sigmf_metadata(inspection, dataset, sha512))) {
            fprintf(stderr, "%s: cannot write %s: %s\n", prog, meta_path.c_str(), strerror(errno));
            status = kExitTrouble;
        }
    }
    if (s.plot != nullptr) {
        std::string png, why;
        if (!draw_picture(gnuplot, inspection, png, why)) {
            fprintf(stderr, "%s: gnuplot could not draw %s: %s\n", prog, shown_utf8(s.plot).c_str(),
                    why.c_str());
            status = kExitTrouble;
        } else if (!write_file_whole(s.plot, png)) {
            fprintf(stderr, "%s: cannot write %s: %s\n", prog, shown_utf8(s.plot).c_str(),
                    strerror(errno));
            status = kExitTrouble;
        }
    }
    if (!finish_output(prog)) status = kExitTrouble;
    return status;
}
