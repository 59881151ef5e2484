// capture_inspect: tells in one command whether a dual capture is any good:
// its figures, a few checks with an exit status, and on request a SigMF
// description and a picture.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "analysis.h"
#include "getopt_long.h"
#include "guard.h"

#define EXIT_CHECK_FAILED 1
#define EXIT_TROUBLE 2
#define BLOCK_FRAMES 131072   // 1 MiB a read
#define MAP_WINDOW (8 << 20)  // bytes mapped at a time: whole pages, whole frames

using json = nlohmann::ordered_json;

struct Settings {
    const char* path = "dual_test.bin";
    double rate = 2000000;
    double frequency = 915000000;
    bool sigmf = false;
    const char* plot = NULL;
    bool json = false;
    double max_clipped_percent = 0.1;
    double max_stuck = 8;
    double min_tone_db = 20;
    double min_coherence = 0.9;
    double max_phase_jump = 30;
};

struct Check {
    std::string name;
    bool passed;
    std::string detail;
};

static const cmdline::option_record long_options[] = {
    {"rate", 1, NULL, 'r'},          {"frequency", 1, NULL, 'f'},
    {"sigmf", 0, NULL, 'S'},         {"plot", 1, NULL, 'P'},
    {"json", 0, NULL, 'j'},          {"max_clipped", 1, NULL, 'c'},
    {"max_stuck", 1, NULL, 's'},     {"min_tone_db", 1, NULL, 't'},
    {"min_coherence", 1, NULL, 'k'}, {"max_phase_jump", 1, NULL, 'p'},
    {"help", 0, NULL, 'h'},          {NULL, 0, NULL, 0},
};

static void print_usage(FILE* out, const char* prog) {
    fprintf(out,
            "Usage: %s [options] [CAPTURE]\n"
            "Checks a dual capture (default dual_test.bin): per channel DC offset, RMS level,\n"
            "peak, clipping, stuck samples and the strongest tone; between the channels\n"
            "correlation, coherence and phase at the tone.\n"
            "Options:\n"
            "  -r, --rate <samples/s>       Sample rate (default 2000000)\n"
            "  -f, --frequency <Hz>         Centre frequency (default 915000000)\n"
            "      --sigmf                  Write the SigMF metadata beside the capture\n"
            "      --plot <file.png>        Draw the spectrum and the first samples (gnuplot)\n"
            "      --json                   Print one JSON object instead of the report\n"
            "  -c, --max_clipped <percent>  Most clipped samples a channel may have (0.1)\n"
            "  -s, --max_stuck <samples>    Longest run of identical samples allowed (8)\n"
            "  -t, --min_tone_db <dB>       Least tone height above the noise floor (20)\n"
            "  -k, --min_coherence <0..1>   Least coherence between the channels (0.9)\n"
            "  -p, --max_phase_jump <deg>   Largest sudden phase jump allowed (30)\n"
            "  -h, --help                   Show this help and exit\n"
            "Exit status: 0 all checks passed, 1 a check failed, 2 usage or file trouble.\n",
            prog);
}

// A whole number text at least `min`, or false.
static bool parse_number(const char* text, double min, double* value) {
    char* end = NULL;
    errno = 0;
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v) || v < min) return false;
    *value = v;
    return true;
}

// The directory entry of an executable `name` on PATH, or an empty text.
static std::string find_on_path(const char* name) {
    const char* path = getenv("PATH");
    std::string dirs = path != NULL ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// Writes `text` to a new file beside `path` and renames it there only once
// it is whole on the disk; on failure nothing is left behind.
static bool write_replacing(const std::string& path, const std::string& text) {
    std::string temp = path + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    const mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += (size_t)n;
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int saved = errno;
        unlink(temp.c_str());
        errno = saved;
    }
    return ok;
}

static std::string quote_for_gnuplot(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

// Runs gnuplot with `script` on its standard input, never through a shell.
static bool run_gnuplot(const std::string& gnuplot, const std::string& script) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        restore_output_signals();
        if (dup2(fds[0], STDIN_FILENO) < 0) _exit(127);
        execl(gnuplot.c_str(), "gnuplot", (char*)NULL);
        _exit(127);
    }
    close(fds[0]);
    bool ok = pid > 0;
    for (size_t done = 0; ok && done < script.size();) {
        const ssize_t n = write(fds[1], script.data() + done, script.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += (size_t)n;
    }
    close(fds[1]);
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

static bool draw_plot(const std::string& gnuplot, const std::string& png, const Settings& s,
                      const CaptureFigures& f) {
    std::string temp = png + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    std::string script = "set terminal pngcairo size 1200,800\nset output " +
                         quote_for_gnuplot(temp) + "\n$spectrum << EOD\n";
    char line[128];
    for (size_t k = 0; k < kFftSize; ++k) {
        const double khz = ((double)k - kFftSize / 2.0) * s.rate / kFftSize / 1000.0;
        snprintf(line, sizeof line, "%.4f %.2f %.2f\n", khz, f.channels[0].spectrum_dbfs[k],
                 f.channels[1].spectrum_dbfs[k]);
        script += line;
    }
    script += "EOD\n$samples << EOD\n";
    for (size_t k = 0; k < f.head.size(); ++k) {
        snprintf(line, sizeof line, "%zu %d %d %d %d\n", k, f.head[k][0], f.head[k][1],
                 f.head[k][2], f.head[k][3]);
        script += line;
    }
    script +=
        "EOD\n"
        "set multiplot layout 2,1\n"
        "set grid\n"
        "set title 'Power spectrum (Welch, Hann window, 4096 points)'\n"
        "set xlabel 'Frequency offset from the centre (kHz)'\n"
        "set ylabel 'Power (dBFS)'\n"
        "plot $spectrum using 1:2 with lines title 'channel 0', "
        "'' using 1:3 with lines title 'channel 1'\n"
        "set title 'First samples'\n"
        "set xlabel 'Sample'\n"
        "set ylabel 'Value'\n"
        "plot $samples using 1:2 with lines title 'channel 0 I', "
        "'' using 1:3 with lines title 'channel 0 Q', "
        "'' using 1:4 with lines title 'channel 1 I', "
        "'' using 1:5 with lines title 'channel 1 Q'\n"
        "unset multiplot\n";
    const bool ok = run_gnuplot(gnuplot, script) && rename(temp.c_str(), png.c_str()) == 0;
    if (!ok) unlink(temp.c_str());
    return ok;
}

// The largest phase jump that noise alone would likely make somewhere in the
// capture: for n turns of Gaussian spread, the largest is about sqrt(2 ln n)
// times their RMS. A whole but noisy capture must not fail for such a jump.
static double noise_phase_jump_deg(const ChannelFigures& ch, std::uint64_t frames) {
    const double turns = std::max(3.0, static_cast<double>(frames));
    return std::min(180.0, std::sqrt(2 * std::log(turns)) * ch.phase_turn_rms_deg);
}

static std::vector<Check> run_checks(const Settings& s, const CaptureFigures& f) {
    std::vector<Check> checks;
    char detail[160];
    for (int c = 0; c < 2; c++) {
        const ChannelFigures& ch = f.channels[c];
        const std::string prefix = "ch" + std::to_string(c) + " ";
        const double share = 100.0 * (double)ch.clipped / (double)f.frames;
        snprintf(detail, sizeof detail, "%.3f %% of the samples clipped, at most %.3f %%", share,
                 s.max_clipped_percent);
        checks.push_back({prefix + "clipping", share <= s.max_clipped_percent, detail});
        snprintf(detail, sizeof detail,
                 "longest run of identical samples %" PRIu64 ", at most %.0f", ch.longest_stuck_run,
                 s.max_stuck);
        checks.push_back({prefix + "stuck", (double)ch.longest_stuck_run <= s.max_stuck, detail});
        snprintf(detail, sizeof detail, "tone %.1f dB above the noise floor, at least %.1f dB",
                 ch.tone_above_floor_db, s.min_tone_db);
        checks.push_back({prefix + "tone", ch.tone_above_floor_db >= s.min_tone_db, detail});
        // A jump counts only where it stands clear of what noise makes.
        const double noise_jump = noise_phase_jump_deg(ch, f.frames);
        const double allowed = std::max(s.max_phase_jump, 2 * noise_jump);
        if (allowed > s.max_phase_jump) {
            snprintf(detail, sizeof detail,
                     "largest phase jump %.1f degrees, at most %.1f as noise alone makes %.1f",
                     ch.largest_phase_jump_deg, allowed, noise_jump);
        } else {
            snprintf(detail, sizeof detail, "largest phase jump %.1f degrees, at most %.1f",
                     ch.largest_phase_jump_deg, allowed);
        }
        checks.push_back({prefix + "continuity", ch.largest_phase_jump_deg <= allowed, detail});
    }
    snprintf(detail, sizeof detail, "coherence %.3f at the tone, at least %.3f", f.coherence,
             s.min_coherence);
    checks.push_back({"coherence", f.coherence >= s.min_coherence, detail});
    return checks;
}

static void print_report(const Settings& s, const CaptureFigures& f,
                         const std::vector<Check>& checks, bool passed) {
    printf("Capture %s: %" PRIu64 " frames, %.3f s at %.0f samples/s, centre %.0f Hz\n", s.path,
           f.frames, (double)f.frames / s.rate, s.rate, s.frequency);
    for (int c = 0; c < 2; c++) {
        const ChannelFigures& ch = f.channels[c];
        printf("Channel %d:\n", c);
        printf("  DC offset        I %.2f, Q %.2f\n", ch.dc_i, ch.dc_q);
        printf("  RMS level        %.2f dBFS\n", ch.rms_dbfs);
        printf("  Peak             %d, %" PRIu64 " samples clipped\n", ch.peak, ch.clipped);
        printf("  Longest stuck    %" PRIu64 " samples\n", ch.longest_stuck_run);
        printf("  Strongest tone   %+.1f Hz, %.2f dBFS, %.1f dB above the noise floor\n",
               ch.tone_offset_hz, ch.tone_dbfs, ch.tone_above_floor_db);
        printf("  Image            %.1f dBc at %+.1f Hz\n", ch.image_dbc, -ch.tone_offset_hz);
        printf("  Phase jump       %.1f degrees at most, %.2f RMS\n", ch.largest_phase_jump_deg,
               ch.phase_turn_rms_deg);
    }
    printf("Pair:\n");
    printf("  Correlation      %.4f\n", f.correlation);
    printf("  Coherence        %.4f at the tone\n", f.coherence);
    printf("  Phase            %.1f degrees, channel 1 against channel 0\n", f.phase_deg);
    printf("Checks:\n");
    for (const Check& c : checks) {
        printf("  %-14s %s  %s\n", c.name.c_str(), c.passed ? "passed" : "FAILED",
               c.detail.c_str());
    }
    printf("Result: %s\n", passed ? "passed" : "FAILED");
}

static json to_json(const Settings& s, const CaptureFigures& f, const std::vector<Check>& checks,
                    bool passed) {
    json j;
    j["file"] = s.path;
    j["frames"] = f.frames;
    j["sample_rate"] = s.rate;
    j["centre_frequency"] = s.frequency;
    j["duration_s"] = (double)f.frames / s.rate;
    j["channels"] = json::array();
    for (int c = 0; c < 2; c++) {
        const ChannelFigures& ch = f.channels[c];
        j["channels"].push_back({{"index", c},
                                 {"dc_i", ch.dc_i},
                                 {"dc_q", ch.dc_q},
                                 {"rms_dbfs", ch.rms_dbfs},
                                 {"peak", ch.peak},
                                 {"clipped", ch.clipped},
                                 {"longest_stuck_run", ch.longest_stuck_run},
                                 {"tone_offset_hz", ch.tone_offset_hz},
                                 {"tone_dbfs", ch.tone_dbfs},
                                 {"tone_above_floor_db", ch.tone_above_floor_db},
                                 {"image_dbc", ch.image_dbc},
                                 {"largest_phase_jump_deg", ch.largest_phase_jump_deg},
                                 {"phase_turn_rms_deg", ch.phase_turn_rms_deg}});
    }
    j["pair"] = {
        {"correlation", f.correlation}, {"coherence", f.coherence}, {"phase_deg", f.phase_deg}};
    j["checks"] = json::array();
    for (const Check& c : checks) {
        j["checks"].push_back({{"name", c.name}, {"passed", c.passed}, {"detail", c.detail}});
    }
    j["passed"] = passed;
    return j;
}

static std::string sigmf_text(const Settings& s, const std::string& sha512) {
    json global = {{"core:datatype", "ci16_le"},
                   {"core:sample_rate", s.rate},
                   {"core:num_channels", 2},
                   {"core:version", "1.2.0"},
                   {"core:dataset", std::filesystem::path(s.path).filename().string()},
                   {"core:sha512", sha512},
                   {"core:recorder", "twin_capture"},
                   {"core:extensions",
                    json::array({{{"name", "orlix"}, {"version", "1.0.0"}, {"optional", true}}})},
                   {"orlix:sample_bits", 12}};
    json meta = {
        {"global", global},
        {"captures", json::array({{{"core:sample_start", 0}, {"core:frequency", s.frequency}}})},
        {"annotations", json::array()}};
    return meta.dump(2) + "\n";
}

// Reads the whole capture once, feeding the analysis and, when asked, the hash.
// A regular file is mapped a window at a time, which spares a copy of every
// byte; anything else is read. Gives false with a message for a file that
// cannot be read or is no capture.
static bool read_capture(const Settings& s, const char* prog, CaptureAnalysis& analysis,
                         std::string* sha512) {
    const int fd = open(s.path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fprintf(stderr, "%s: %s: %s\n", prog, s.path, strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
    EVP_MD_CTX* hash = sha512 != NULL ? EVP_MD_CTX_new() : NULL;
    if (hash != NULL) EVP_DigestInit_ex(hash, EVP_sha512(), NULL);
    uint64_t total = 0;
    std::vector<int16_t> block;
    char* bytes = NULL;
    size_t held = 0;  // bytes of a partial frame carried to the next read
    bool ok = true;
    for (;;) {
        ssize_t n;
        void* window = MAP_FAILED;
        if (S_ISREG(st.st_mode)) {
            n = (ssize_t)std::min<uint64_t>(MAP_WINDOW, (uint64_t)st.st_size - total);
            if (n > 0) window = mmap(NULL, (size_t)n, PROT_READ, MAP_PRIVATE, fd, (off_t)total);
            if (n > 0 && window == MAP_FAILED) n = -1;
            bytes = (char*)window;
        } else {
            if (block.empty()) block.resize(4 * BLOCK_FRAMES);
            bytes = (char*)block.data();
            n = read(fd, bytes + held, block.size() * 2 - held);
            if (n < 0 && errno == EINTR) continue;
        }
        if (n < 0) {
            fprintf(stderr, "%s: %s: %s\n", prog, s.path, strerror(errno));
            ok = false;
            break;
        }
        if (n == 0) break;
        if (hash != NULL) EVP_DigestUpdate(hash, bytes + held, (size_t)n);
        total += (uint64_t)n;
        held += (size_t)n;
        analysis.add((const int16_t*)bytes, held / 8);
        if (window != MAP_FAILED) {
            munmap(window, (size_t)n);  // windows hold whole frames but maybe the last
            held = 0;
        } else {
            memmove(bytes, bytes + held / 8 * 8, held % 8);
            held %= 8;
        }
    }
    close(fd);
    if (ok && total == 0) {
        fprintf(stderr, "%s: %s: the capture is empty\n", prog, s.path);
        ok = false;
    } else if (ok && total % 8 != 0) {
        fprintf(stderr, "%s: %s: %" PRIu64 " bytes is not a whole number of 8-byte frames\n", prog,
                s.path, total);
        ok = false;
    }
    if (hash != NULL) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(hash, digest, &length);
        EVP_MD_CTX_free(hash);
        char hex[3];
        for (unsigned int i = 0; i < length; i++) {
            snprintf(hex, sizeof hex, "%02x", digest[i]);
            *sha512 += hex;
        }
    }
    return ok;
}

int main(int argc, char* argv[]) {
    const char* prog = argc > 0 && argv[0] != NULL ? argv[0] : "capture_inspect";
    guard_standard_descriptors(prog);
    guard_output();
    Settings s;
    int c;
    while ((c = cmdline::getopt_long(argc, argv, "r:f:c:s:t:k:p:h", long_options, NULL)) != -1) {
        bool ok = true;
        switch (c) {
            case 'r':
                ok = parse_number(cmdline::optarg, 1, &s.rate);
                break;
            case 'f':
                ok = parse_number(cmdline::optarg, 0, &s.frequency);
                break;
            case 'S':
                s.sigmf = true;
                break;
            case 'P':
                s.plot = cmdline::optarg;
                break;
            case 'j':
                s.json = true;
                break;
            case 'c':
                ok = parse_number(cmdline::optarg, 0, &s.max_clipped_percent);
                break;
            case 's':
                ok = parse_number(cmdline::optarg, 1, &s.max_stuck);
                break;
            case 't':
                ok = parse_number(cmdline::optarg, -1000, &s.min_tone_db);
                break;
            case 'k':
                ok = parse_number(cmdline::optarg, 0, &s.min_coherence);
                break;
            case 'p':
                ok = parse_number(cmdline::optarg, 0, &s.max_phase_jump);
                break;
            case 'h':
                print_usage(stdout, prog);
                return finish_output(prog) ? 0 : EXIT_TROUBLE;
            default:
                print_usage(stderr, prog);
                return EXIT_TROUBLE;
        }
        if (!ok) {
            fprintf(stderr, "%s: invalid value \"%s\" for -%c\n", prog, cmdline::optarg, c);
            return EXIT_TROUBLE;
        }
    }
    if (argc - cmdline::optind > 1) {
        fprintf(stderr, "%s: one capture at a time\n", prog);
        print_usage(stderr, prog);
        return EXIT_TROUBLE;
    }
    if (cmdline::optind < argc) s.path = argv[cmdline::optind];

    // Known before anything is read or written: a plot that cannot be drawn.
    std::string gnuplot;
    if (s.plot != NULL) {
        gnuplot = find_on_path("gnuplot");
        if (gnuplot.empty()) {
            fprintf(stderr, "%s: --plot needs gnuplot, which is not installed\n", prog);
            return EXIT_TROUBLE;
        }
    }

    CaptureAnalysis analysis(s.rate);
    std::string sha512;
    if (!read_capture(s, prog, analysis, s.sigmf ? &sha512 : NULL)) return EXIT_TROUBLE;
    const CaptureFigures f = analysis.finish();
    const std::vector<Check> checks = run_checks(s, f);
    bool passed = true;
    for (const Check& check : checks) {
        if (!check.passed) {
            fprintf(stderr, "%s: check failed: %s: %s\n", prog, check.name.c_str(),
                    check.detail.c_str());
            passed = false;
        }
    }
    if (s.json) {
        printf("%s\n", to_json(s, f, checks, passed).dump(2).c_str());
    } else {
        print_report(s, f, checks, passed);
    }

    int status = passed ? 0 : EXIT_CHECK_FAILED;
    if (s.sigmf) {
        const std::string meta =
            std::filesystem::path(s.path).replace_extension(".sigmf-meta").string();
        if (!write_replacing(meta, sigmf_text(s, sha512))) {
            fprintf(stderr, "%s: cannot write %s: %s\n", prog, meta.c_str(), strerror(errno));
            status = EXIT_TROUBLE;
        }
    }
    if (s.plot != NULL && !draw_plot(gnuplot, s.plot, s, f)) {
        fprintf(stderr, "%s: gnuplot could not draw %s\n", prog, s.plot);
        status = EXIT_TROUBLE;
    }
    if (!finish_output(prog)) status = EXIT_TROUBLE;
    return status;
}
